// Plug-ins for driving a whole session end to end: a gain effect, a tone
// instrument and their controller, and variants that crash, hang, print,
// grow their state, hand out broken UTF-16 or refuse their settings.
// Written against pluginterfaces only.
//
// Switches (compile definitions):
//   FX_CRASH_PROCESS   process() dereferences a null pointer
//   FX_CRASH_OPEN      setActive(true) dereferences a null pointer
//   FX_HANG_PROCESS    process() never returns
//   FX_PRINTS          writes to standard output and standard error while
//                      loading, in initialize() and in process(), through
//                      stdio and fds 1 and 2
//   FX_STATE_GROWS     the component state is one byte longer on every save
//   FX_LONE_SURROGATE  texts (title, units, display) hold lone UTF-16 surrogates
//   FX_NO_PARAMS       the controller has no parameters
//   FX_REJECTS_STATE   the component's setState answers kResultFalse
//   FX_DELAYS          the effect's output is also delayed by the latency it
//                      reports, as a look-ahead plug-in's is
//   FX_STATE_FAILS     the component's getState answers kResultFalse
//   FX_STATE_EMPTY     the component's state is empty (getState writes nothing
//                      and succeeds; setState accepts an empty stream)
//   FX_CONTROLLER_STATE_FAILS  the controller's getState answers kNotImplemented
//   FX_SKIPS_SILENCE   a block of silent input leaves the outputs untouched
//                      (marked silent), as plug-ins that skip work do
//   FX_IGNORES_FLUSH   process() returns at once when given no samples,
//                      without looking at the parameter changes (DPF does)
//   FX_LOOKAHEAD       a third parameter, Look-ahead, adds to the latency: the
//                      controller hands the value to the processor and calls
//                      restartComponent(kLatencyChanged); the processor takes
//                      it on at its next setActive(true), as VST3 describes
//   FX_ANNOUNCES_ON_ACTIVATE  with FX_LOOKAHEAD: every setActive(true) also
//                      calls restartComponent(kLatencyChanged), changed or
//                      not, as plug-ins that set their latency on every
//                      activation do
//   FX_ANNOUNCES_IN_PROCESS  with FX_LOOKAHEAD: the controller only hands the
//                      value over, and the processor calls
//                      restartComponent(kLatencyChanged) in its next block
//   FX_RECORDS_THREADS every call from the host appends "<call> main" or
//                      "<call> other <thread name>" to the file named by
//                      TV3_FIXTURE_THREAD_LOG (a block without samples, a
//                      parameter flush, is "flush")
#include "common/FixtureFactory.h"
#include "session/SessionFixtureIds.h"

#include <pluginterfaces/base/ibstream.h>
#include <pluginterfaces/base/ipluginbase.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstevents.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

void putWide(String128 out, const char16_t* text) {
    int i = 0;
    for (; text[i] && i < 127; ++i) out[i] = static_cast<TChar>(text[i]);
    out[i] = 0;
}

void noise([[maybe_unused]] const char* where) {
#ifdef FX_PRINTS
    std::printf("session fixture printf in %s\n", where);
    std::fputs("session fixture fputs\n", stdout);
    std::fflush(stdout);
    char text[128];
    const int n = std::snprintf(text, sizeof text, "session fixture write(1) in %s\n", where);
    [[maybe_unused]] const ssize_t ignored = ::write(STDOUT_FILENO, text, static_cast<std::size_t>(n));
    std::fprintf(stderr, "session fixture stderr in %s\n", where);
    const int m = std::snprintf(text, sizeof text, "session fixture write(2) in %s\n", where);
    [[maybe_unused]] const ssize_t alsoIgnored = ::write(STDERR_FILENO, text, static_cast<std::size_t>(m));
    // Left in the stdio buffer: wherever it is flushed to, it is not the protocol.
    std::printf("unflushed ");
#endif
}

#ifdef FX_PRINTS
struct LoadNoise {
    LoadNoise() { noise("load"); }
} loadNoise;
#endif

// Which thread the host called on: the process's main thread has the
// process's id as its thread id.
void noteThread([[maybe_unused]] const char* call) {
#ifdef FX_RECORDS_THREADS
    const char* path = std::getenv("TV3_FIXTURE_THREAD_LOG");
    if (!path) return;
    char name[32] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    char line[128];
    const bool main = ::gettid() == ::getpid();
    const int n = main ? std::snprintf(line, sizeof line, "%s main\n", call)
                       : std::snprintf(line, sizeof line, "%s other %s\n", call, name);
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per line: O_APPEND keeps lines whole whichever thread writes.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, line, static_cast<std::size_t>(n));
    ::close(fd);
#endif
}

[[maybe_unused]] [[noreturn]] void crash() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    __builtin_trap();
}

bool writeAll(IBStream* stream, const void* bytes, int32 size) {
    int32 written = 0;
    return stream && stream->write(const_cast<void*>(bytes), size, &written) == kResultOk && written == size;
}

bool readAll(IBStream* stream, void* bytes, int32 size) {
    int32 got = 0;
    return stream && stream->read(bytes, size, &got) == kResultOk && got == size;
}

#ifdef FX_LOOKAHEAD
// What the controller hands its processor (a plug-in would send a message).
std::atomic<double> gLookAheadAsked{0.0};
#endif

class Controller;
// The one controller of the process (a session holds one instance), so that
// the processor can report edits through the controller's component handler.
std::atomic<Controller*> gController{nullptr};

template <class... I>
class Object : public I... {
public:
    virtual ~Object() = default;
    uint32 PLUGIN_API addRef() override { return static_cast<uint32>(++refs_); }
    uint32 PLUGIN_API release() override {
        const int left = --refs_;
        if (left == 0) delete this;
        return static_cast<uint32>(left);
    }

private:
    std::atomic<int> refs_{1};
};

// ---- Controller -----------------------------------------------------------

class Controller final : public Object<IEditController> {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown_iid) || FUnknownPrivate::iidEqual(iid, IPluginBase_iid) ||
            FUnknownPrivate::iidEqual(iid, IEditController_iid)) {
            addRef();
            *obj = static_cast<IEditController*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    tresult PLUGIN_API initialize(FUnknown*) override {
        noteThread("controller.initialize");
        gController = this;
        return kResultOk;
    }
    tresult PLUGIN_API terminate() override {
        noteThread("controller.terminate");
        Controller* self = this;
        gController.compare_exchange_strong(self, nullptr);
        setComponentHandler(nullptr);
        return kResultOk;
    }

    tresult PLUGIN_API setComponentState(IBStream* state) override {
        noteThread("controller.setComponentState");
        char magic[4];
        double values[2];
        if (!readAll(state, magic, 4) || std::memcmp(magic, "SFXC", 4) != 0 || !readAll(state, values, sizeof values))
            return kResultFalse;
        values_[0] = values[0];
        values_[1] = values[1];
        return kResultOk;
    }
    tresult PLUGIN_API setState(IBStream* state) override {
        noteThread("controller.setState");
        char magic[4];
        double gain;
        if (!readAll(state, magic, 4) || std::memcmp(magic, "SFXK", 4) != 0 || !readAll(state, &gain, sizeof gain))
            return kResultFalse;
        values_[0] = gain;
        return kResultOk;
    }
    tresult PLUGIN_API getState(IBStream* state) override {
        noteThread("controller.getState");
#ifdef FX_CONTROLLER_STATE_FAILS
        (void)state;
        return kNotImplemented;
#endif
        const double gain = values_[0];
        return writeAll(state, "SFXK", 4) && writeAll(state, &gain, sizeof gain) ? kResultOk : kResultFalse;
    }

    int32 PLUGIN_API getParameterCount() override { return getParameterCountConst(); }
    tresult PLUGIN_API getParameterInfo(int32 index, ParameterInfo& info) override {
        noteThread("controller.getParameterInfo");
        if (index < 0 || index >= getParameterCount()) return kInvalidArgument;
        info = ParameterInfo{};
        if (index == 0) {
            info.id = sessionfx::kGainId;
#ifdef FX_LONE_SURROGATE
            putWide(info.title, u"Gain \xD800 high alone");
            putWide(info.units, u"x\xDC00");
#else
            putWide(info.title, u"Gain");
            putWide(info.units, u"x");
#endif
            info.defaultNormalizedValue = sessionfx::kGainDefault;
            info.flags = ParameterInfo::kCanAutomate;
        } else if (index == 1) {
            info.id = sessionfx::kReportId;
            putWide(info.title, u"Report edits");
            info.stepCount = 1;
            info.flags = ParameterInfo::kCanAutomate;
        } else {
            info.id = sessionfx::kLookAheadId;
            putWide(info.title, u"Look-ahead");
            info.flags = ParameterInfo::kCanAutomate;
        }
        return kResultOk;
    }
    tresult PLUGIN_API getParamStringByValue(ParamID id, ParamValue value, String128 string) override {
        const int slot = slotOf(id);
        if (slot < 0) return kInvalidArgument;
        char text[64];
        std::snprintf(text, sizeof text, slot == 0 ? "%.3f" : "%.0f", slot == 0 ? 2 * value : value);
        char16_t wide[80] = {};
        int i = 0;
        for (; text[i]; ++i) wide[i] = static_cast<char16_t>(text[i]);
#ifdef FX_LONE_SURROGATE
        if (slot == 0) wide[i++] = 0xDBFF; // a high surrogate at the very end
#endif
        wide[i] = 0;
        putWide(string, wide);
        return kResultOk;
    }
    tresult PLUGIN_API getParamValueByString(ParamID, TChar*, ParamValue&) override { return kResultFalse; }
    ParamValue PLUGIN_API normalizedParamToPlain(ParamID, ParamValue value) override { return value; }
    ParamValue PLUGIN_API plainParamToNormalized(ParamID, ParamValue plain) override { return plain; }
    ParamValue PLUGIN_API getParamNormalized(ParamID id) override {
        noteThread("controller.getParamNormalized");
        const int slot = slotOf(id);
        return slot < 0 ? 0 : values_[slot].load();
    }
    tresult PLUGIN_API setParamNormalized(ParamID id, ParamValue value) override {
        noteThread("controller.setParamNormalized");
        const int slot = slotOf(id);
        if (slot < 0) return kInvalidArgument;
        values_[slot] = value;
#ifdef FX_LOOKAHEAD
        if (slot == 2) {
            gLookAheadAsked = value;
#ifndef FX_ANNOUNCES_IN_PROCESS
            announceLatency();
#endif
        }
#endif
        return kResultOk;
    }
    tresult PLUGIN_API setComponentHandler(IComponentHandler* handler) override {
        noteThread("controller.setComponentHandler");
        if (handler) handler->addRef();
        IComponentHandler* old = handler_.exchange(handler);
        if (old) old->release();
        return kResultOk;
    }
    IPlugView* PLUGIN_API createView(FIDString) override { return nullptr; }

    // From the processor, inside setActive(true) or process().
    void announceLatency() {
        if (IComponentHandler* handler = handler_.load()) handler->restartComponent(kLatencyChanged);
    }

    // From the processor, inside process().
    void reportGainEdit(double value) {
        if (IComponentHandler* handler = handler_.load()) {
            handler->beginEdit(sessionfx::kGainId);
            handler->performEdit(sessionfx::kGainId, value);
            handler->endEdit(sessionfx::kGainId);
        }
    }

private:
    int slotOf(ParamID id) const {
        const int slot = id == sessionfx::kGainId ? 0 : id == sessionfx::kReportId ? 1 : id == sessionfx::kLookAheadId ? 2 : -1;
        return slot < getParameterCountConst() ? slot : -1;
    }
    static int getParameterCountConst() {
#if defined(FX_NO_PARAMS)
        return 0;
#elif defined(FX_LOOKAHEAD)
        return 3;
#else
        return 2;
#endif
    }

    std::atomic<double> values_[3] = {sessionfx::kGainDefault, 0.0, 0.0};
    std::atomic<IComponentHandler*> handler_{nullptr};
};

// ---- Component ------------------------------------------------------------

class Component final : public Object<IComponent, IAudioProcessor> {
public:
    explicit Component(bool instrument) : instrument_(instrument) {}

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown_iid) || FUnknownPrivate::iidEqual(iid, IPluginBase_iid) ||
            FUnknownPrivate::iidEqual(iid, IComponent_iid)) {
            addRef();
            *obj = static_cast<IComponent*>(this);
            return kResultOk;
        }
        if (FUnknownPrivate::iidEqual(iid, IAudioProcessor_iid)) {
            addRef();
            *obj = static_cast<IAudioProcessor*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }

    tresult PLUGIN_API initialize(FUnknown*) override {
        noteThread("component.initialize");
        noise("initialize");
        return kResultOk;
    }
    tresult PLUGIN_API terminate() override {
        noteThread("component.terminate");
        return kResultOk;
    }

    tresult PLUGIN_API getControllerClassId(TUID classId) override {
        fixture::hexToTUID(sessionfx::kControllerCid, classId);
        return kResultOk;
    }
    tresult PLUGIN_API setIoMode(IoMode) override { return kResultOk; }
    int32 PLUGIN_API getBusCount(MediaType type, BusDirection dir) override {
        if (type == kAudio) return dir == kOutput || !instrument_ ? 1 : 0;
        return instrument_ && dir == kInput ? 1 : 0;
    }
    tresult PLUGIN_API getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override {
        if (index != 0 || index >= getBusCount(type, dir)) return kInvalidArgument;
        bus = BusInfo{};
        bus.mediaType = type;
        bus.direction = dir;
        bus.channelCount = type == kAudio ? channels_ : 1;
        putWide(bus.name, type == kAudio ? (dir == kInput ? u"In" : u"Out") : u"Notes");
        bus.busType = kMain;
        bus.flags = BusInfo::kDefaultActive;
        return kResultOk;
    }
    tresult PLUGIN_API getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
    tresult PLUGIN_API activateBus(MediaType, BusDirection, int32, TBool) override { return kResultOk; }
    tresult PLUGIN_API setActive(TBool state) override {
        noteThread("component.setActive");
#ifdef FX_CRASH_OPEN
        if (state) crash();
#endif
#ifdef FX_LOOKAHEAD
        if (state) lookAhead_ = gLookAheadAsked.load();
        if (state) announced_ = false;
#endif
#ifdef FX_ANNOUNCES_ON_ACTIVATE
        if (Controller* controller = gController.load(); state && controller) controller->announceLatency();
#endif
        (void)state;
        return kResultOk;
    }
    tresult PLUGIN_API setState(IBStream* state) override {
        noteThread("component.setState");
#ifdef FX_REJECTS_STATE
        (void)state;
        return kResultFalse;
#elif defined(FX_STATE_EMPTY)
        (void)state;
        return kResultOk;
#else
        char magic[4];
        double values[2];
        if (!readAll(state, magic, 4) || std::memcmp(magic, "SFXC", 4) != 0 || !readAll(state, values, sizeof values))
            return kResultFalse;
        gain_ = values[0];
        report_ = values[1];
        return kResultOk;
#endif
    }
    tresult PLUGIN_API getState(IBStream* state) override {
        noteThread("component.getState");
#if defined(FX_STATE_FAILS)
        (void)state;
        return kResultFalse;
#elif defined(FX_STATE_EMPTY)
        return state ? kResultOk : kInvalidArgument;
#endif
        const double values[2] = {gain_, report_};
        if (!writeAll(state, "SFXC", 4) || !writeAll(state, values, sizeof values)) return kResultFalse;
#ifdef FX_STATE_GROWS
        const int extra = ++saves_;
        for (int i = 0; i < extra; ++i) {
            const char pad = static_cast<char>('a' + i % 26);
            if (!writeAll(state, &pad, 1)) return kResultFalse;
        }
#endif
        return kResultOk;
    }

    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                          int32 numOuts) override {
        noteThread("component.setBusArrangements");
        if (numOuts != 1 || numIns != (instrument_ ? 0 : 1)) return kResultFalse;
        const SpeakerArrangement out = outputs[0];
        if (out != SpeakerArr::kStereo && out != SpeakerArr::kMono) return kResultFalse;
        if (!instrument_ && inputs[0] != out) return kResultFalse;
        channels_ = out == SpeakerArr::kStereo ? 2 : 1;
        return kResultOk;
    }
    tresult PLUGIN_API getBusArrangement(BusDirection, int32 index, SpeakerArrangement& arr) override {
        if (index != 0) return kInvalidArgument;
        arr = channels_ == 2 ? SpeakerArr::kStereo : SpeakerArr::kMono;
        return kResultOk;
    }
    tresult PLUGIN_API canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultOk : kResultFalse; }
    // Scales with the sample rate, so that the rate an instance was set up
    // with can be read back from its latency.
    uint32 PLUGIN_API getLatencySamples() override {
        const long base = std::lround(sessionfx::kLatency * sampleRate_ / 48000.0);
#ifdef FX_LOOKAHEAD
        return static_cast<uint32>(base + std::lround(lookAhead_ * sessionfx::kLookAheadMost));
#else
        return static_cast<uint32>(base);
#endif
    }
    tresult PLUGIN_API setupProcessing(ProcessSetup& setup) override {
        noteThread("component.setupProcessing");
        sampleRate_ = setup.sampleRate;
        return kResultOk;
    }
    tresult PLUGIN_API setProcessing(TBool) override {
        noteThread("component.setProcessing");
        return kResultOk;
    }
    uint32 PLUGIN_API getTailSamples() override { return 0; }

    tresult PLUGIN_API process(ProcessData& data) override {
        noteThread(data.numSamples > 0 ? "process" : "flush");
#ifdef FX_CRASH_PROCESS
        crash();
#endif
#ifdef FX_HANG_PROCESS
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(3600));
#endif
        noise("process");
#ifdef FX_IGNORES_FLUSH
        if (data.numSamples == 0) return kResultOk;
#endif
        takeChanges(data.inputParameterChanges);
#if defined(FX_LOOKAHEAD) && defined(FX_ANNOUNCES_IN_PROCESS)
        if (!announced_ && gLookAheadAsked.load() != lookAhead_) {
            announced_ = true;
            if (Controller* controller = gController.load()) controller->announceLatency();
        }
#endif
        if (data.numOutputs < 1 || !data.outputs) return kResultOk;
        AudioBusBuffers& out = data.outputs[0];
        if (instrument_) {
            playNotes(data, out);
        } else if (data.numInputs >= 1 && data.inputs) {
#ifdef FX_SKIPS_SILENCE
            if (silent(data.inputs[0], data.numSamples)) {
                out.silenceFlags = data.inputs[0].silenceFlags | ((uint64{1} << out.numChannels) - 1);
                return kResultOk;
            }
#endif
            const float gain = static_cast<float>(2 * gain_);
            for (int32 c = 0; c < out.numChannels && c < data.inputs[0].numChannels; ++c) {
#ifdef FX_DELAYS
                delayThrough(c, data.inputs[0].channelBuffers32[c], out.channelBuffers32[c], data.numSamples, gain);
#else
                for (int32 i = 0; i < data.numSamples; ++i)
                    out.channelBuffers32[c][i] = data.inputs[0].channelBuffers32[c][i] * gain;
#endif
            }
        }
        if (report_ >= 0.5) {
            if (Controller* controller = gController.load()) controller->reportGainEdit(gain_);
        }
        return kResultOk;
    }

private:
#ifdef FX_DELAYS
    // One ring of `latency` samples per channel: what comes out is what went
    // in that many samples earlier.
    void delayThrough(int32 c, const float* in, float* out, int32 frames, float gain) {
        const std::size_t length = getLatencySamples();
        if (c >= 2) return;
        std::vector<float>& ring = delay_[c];
        std::size_t& at = delayAt_[c];
        if (ring.size() != length) {
            ring.assign(length, 0.0f);
            at = 0;
        }
        for (int32 i = 0; i < frames; ++i) {
            const float x = in[i];
            if (length == 0) {
                out[i] = x * gain;
                continue;
            }
            out[i] = ring[at] * gain;
            ring[at] = x;
            at = (at + 1) % length;
        }
    }
    std::vector<float> delay_[2];
    std::size_t delayAt_[2] = {0, 0};
#endif
#ifdef FX_SKIPS_SILENCE
    static bool silent(const AudioBusBuffers& bus, int32 frames) {
        for (int32 c = 0; c < bus.numChannels; ++c)
            for (int32 i = 0; i < frames; ++i)
                if (bus.channelBuffers32[c][i] != 0.0f) return false;
        return true;
    }
#endif
    void takeChanges(IParameterChanges* changes) {
        if (!changes) return;
        for (int32 q = 0; q < changes->getParameterCount(); ++q) {
            IParamValueQueue* queue = changes->getParameterData(q);
            if (!queue || queue->getPointCount() < 1) continue;
            int32 offset = 0;
            ParamValue value = 0;
            if (queue->getPoint(queue->getPointCount() - 1, offset, value) != kResultOk) continue;
            if (queue->getParameterId() == sessionfx::kGainId) gain_ = value;
            if (queue->getParameterId() == sessionfx::kReportId) report_ = value;
        }
    }

    void playNotes(ProcessData& data, AudioBusBuffers& out) {
        int32 eventIndex = 0;
        const int32 eventCount = data.inputEvents ? data.inputEvents->getEventCount() : 0;
        for (int32 i = 0; i < data.numSamples; ++i) {
            while (eventIndex < eventCount) {
                Event e{};
                if (data.inputEvents->getEvent(eventIndex, e) != kResultOk) {
                    ++eventIndex;
                    continue;
                }
                if (e.sampleOffset > i) break;
                if (e.type == Event::kNoteOnEvent) {
                    level_ = e.noteOn.velocity * static_cast<float>(e.noteOn.pitch) / 128.0f;
                } else if (e.type == Event::kNoteOffEvent) {
                    level_ = 0;
                }
                ++eventIndex;
            }
            for (int32 c = 0; c < out.numChannels; ++c) out.channelBuffers32[c][i] = level_;
        }
    }

    const bool instrument_;
    int32 channels_ = 2;
    double sampleRate_ = 48000;
    double gain_ = sessionfx::kGainDefault;
    double report_ = 0;
    float level_ = 0;
#ifdef FX_LOOKAHEAD
    double lookAhead_ = 0; // taken on at activation
    bool announced_ = false; // since the last activation
#endif
#ifdef FX_STATE_GROWS
    int saves_ = 0;
#endif
};

// ---- Factory --------------------------------------------------------------

FUnknown* makeEffect() { return static_cast<IComponent*>(new Component(false)); }
FUnknown* makeInstrument() { return static_cast<IComponent*>(new Component(true)); }
FUnknown* makeController() { return static_cast<IEditController*>(new Controller()); }

const fixture::FixtureClass kClasses[] = {
    {sessionfx::kEffectCid, kVstAudioEffectClass, "Session Gain", "Fx", makeEffect},
    {sessionfx::kInstrumentCid, kVstAudioEffectClass, "Session Tone", "Instrument|Synth", makeInstrument},
    {sessionfx::kControllerCid, kVstComponentControllerClass, "Session Controller", "", makeController},
};

fixture::FixtureFactory gFactory(kClasses);

} // namespace

extern "C" SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return true; }
extern "C" SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }
extern "C" SMTG_EXPORT_SYMBOL IPluginFactory* PLUGIN_API GetPluginFactory() { return &gFactory; }
