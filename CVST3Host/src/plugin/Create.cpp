// Creating an instance from a class of a loaded module, and tearing it down.
#include "Errors.h"
#include "module/ModuleCache.h"
#include "plugin/BusLayout.h"
#include "plugin/Guard.h"
#include "plugin/NoteOrder.h"
#include "plugin/PluginInstance.h"
#include "tv3/ComponentHandler.h"
#include "tv3/EmptyEventList.h"
#include "tv3/EventList.h"
#include "tv3/HostApplication.h"
#include "tv3/MemoryStream.h"
#include "tv3/ParameterChanges.h"
#include "tv3/PlugFrame.h"
#include "tv3/RunLoop.h"

#include <cxxabi.h>

#include <climits>
#include <new>
#include <stdexcept>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace tv3m {
namespace {

constexpr int32 kDefaultBlockSize = 4096;
constexpr int32 kMaxInstrumentChannels = 8;
// Beyond these a plug-in's answer is not a layout but a fault: a speaker
// arrangement has 64 bits, so no bus carries more channels, and no plug-in
// has thousands of buses. Refusing them keeps an absurd answer from sending
// the host into billions of calls or gigabytes of zeros.
constexpr int32 kMaxBusChannels = 64;
constexpr int32 kMaxBuses = 256;

// Runs one allocating step. Out of memory (or asked for more than a vector
// can hold) it writes the message `describe` makes and answers false.
template <class Step, class Describe>
bool withMemory(Step&& step, Describe&& describe) {
    try {
        step();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    describe();
    return false;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseClassId(const char* text, TUID out) {
    if (!text) return false;
    for (int i = 0; i < 32; ++i) {
        if (hexValue(text[i]) < 0) return false; // also stops at an early NUL
    }
    if (text[32] != '\0') return false;
    for (int i = 0; i < 16; ++i) {
        out[i] = static_cast<char>(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1]));
    }
    return true;
}

template <class T>
void releaseAndForget(T*& object) {
    if (object) object->release();
    object = nullptr;
}

// Creation proper, on a record that already holds its module and host
// objects. Returns false with the message written; the caller tears down.
bool build(tv3m_plugin& p, const TUID classId, int32 channels, char* error, int32 errorSize) {
    IPluginFactory* factory = p.module->factory;
    FUnknown* context = p.hostApplication;

    if (factory->createInstance(reinterpret_cast<FIDString>(classId), IComponent_iid,
                                reinterpret_cast<void**>(&p.component)) != kResultOk ||
        !p.component) {
        p.component = nullptr;
        setError(error, errorSize, "the factory refused to create this class");
        return false;
    }
    if (p.component->initialize(context) != kResultOk) {
        setError(error, errorSize, "the plug-in's processor failed to initialize");
        return false;
    }
    p.componentInitialized = true;

    // The controller: a class of its own where the component names one, else
    // the component itself for plug-ins built as a single object.
    TUID controllerId = {};
    if (p.component->getControllerClassId(controllerId) == kResultOk) {
        if (factory->createInstance(reinterpret_cast<FIDString>(controllerId), IEditController_iid,
                                    reinterpret_cast<void**>(&p.controller)) != kResultOk) {
            p.controller = nullptr;
        }
        if (p.controller && p.controller->initialize(context) != kResultOk) releaseAndForget(p.controller);
        p.controllerInitialized = p.controller != nullptr;
    }
    if (!p.controller && (p.component->queryInterface(IEditController_iid, reinterpret_cast<void**>(&p.controller)) !=
                              kResultOk)) {
        p.controller = nullptr;
    }

    if (p.controller) {
        p.controller->setComponentHandler(p.componentHandler);
        if (p.component->queryInterface(IConnectionPoint_iid, reinterpret_cast<void**>(&p.componentConnection)) !=
            kResultOk) {
            p.componentConnection = nullptr;
        } else if (p.controller->queryInterface(IConnectionPoint_iid,
                                                reinterpret_cast<void**>(&p.controllerConnection)) != kResultOk) {
            p.controllerConnection = nullptr;
        }
        if (p.componentConnection && p.controllerConnection) {
            p.componentConnection->connect(p.controllerConnection);
            p.controllerConnection->connect(p.componentConnection);
        }
        // The controller learns the component's current settings. Like any
        // failed hand-over, no memory for the stream is not a failure.
        if (auto* stream = new (std::nothrow) tv3::MemoryStream()) {
            if (p.component->getState(stream) == kResultOk) {
                stream->setPosition(0);
                p.controller->setComponentState(stream);
            }
            stream->release();
        }
    }

    if (p.component->queryInterface(IAudioProcessor_iid, reinterpret_cast<void**>(&p.processor)) != kResultOk ||
        !p.processor) {
        p.processor = nullptr;
        setError(error, errorSize, "this class is not an audio effect (no IAudioProcessor)");
        return false;
    }
    if (p.processor->canProcessSampleSize(kSample32) != kResultOk) {
        setError(error, errorSize, "the plug-in cannot process 32-bit float audio");
        return false;
    }

    const int32 inputs = p.component->getBusCount(kAudio, kInput);
    const int32 outputs = p.component->getBusCount(kAudio, kOutput);
    p.hasAudioInput = inputs > 0;
    if (outputs <= 0) {
        setError(error, errorSize, "the plug-in has no audio output bus");
        return false;
    }
    if (p.isInstrument && p.component->getBusCount(kEvent, kInput) < 1) {
        setError(error, errorSize, "the instrument has no note input");
        return false;
    }
    if (inputs > kMaxBuses || outputs > kMaxBuses) {
        setError(error, errorSize, "the plug-in reports %d audio %s buses", inputs > kMaxBuses ? inputs : outputs,
                 inputs > kMaxBuses ? "input" : "output");
        return false;
    }

    std::vector<SpeakerArrangement> inputList;
    std::vector<SpeakerArrangement> outputList;
    if (!withMemory(
            [&] {
                inputList = requestedArrangements(p, kInput, inputs, channels);
                outputList = requestedArrangements(p, kOutput, outputs, channels);
            },
            [&] {
                setError(error, errorSize, "not enough memory for the speaker arrangements of %d buses",
                         (inputs > 0 ? inputs : 0) + outputs);
            })) {
        return false;
    }
    p.processor->setBusArrangements(inputs > 0 ? inputList.data() : nullptr, inputs > 0 ? inputs : 0,
                                    outputList.data(), outputs);

    if (!p.isInstrument) {
        if (!mainBusMatches(p, kOutput, channels) || (inputs > 0 && !mainBusMatches(p, kInput, channels))) {
            setError(error, errorSize, "the plug-in cannot process %s audio", channels == 1 ? "mono" : "stereo");
            return false;
        }
    } else if (!mainBusMatches(p, kOutput, channels)) {
        const int32 actual = busChannelCount(p, kOutput, 0);
        if (actual < 1 || actual > kMaxInstrumentChannels) {
            setError(error, errorSize, "the instrument's main output has %d channels", actual);
            return false;
        }
        p.outputChannels = actual;
    }

    if (!p.isInstrument && inputs > 0) p.component->activateBus(kAudio, kInput, 0, true);
    p.component->activateBus(kAudio, kOutput, 0, true);
    if (p.isInstrument) p.component->activateBus(kEvent, kInput, 0, true);

    // Buses the caller does not feed get host buffers: every input of an
    // instrument, every input but the main one of an effect, every output but
    // the main one.
    const int32 buses = (inputs > 0 ? inputs : 0) + outputs;
    if (!withMemory(
            [&] {
                p.inputBuses.resize(static_cast<std::size_t>(inputs > 0 ? inputs : 0));
                p.outputBuses.resize(static_cast<std::size_t>(outputs));
                p.inputBusBuffers.resize(p.inputBuses.size());
                p.outputBusBuffers.resize(p.outputBuses.size());
                p.mainInputPointers.resize(static_cast<std::size_t>(p.outputChannels));
                p.mainOutputPointers.resize(static_cast<std::size_t>(p.outputChannels));
            },
            [&] { setError(error, errorSize, "not enough memory for the tables of %d audio buses", buses); })) {
        return false;
    }
    const auto prepareBus = [&](AuxBus& bus, BusDirection direction, int32 index) {
        const int32 busChannels = busChannelCount(p, direction, index);
        const char* side = direction == kInput ? "input" : "output";
        if (busChannels > kMaxBusChannels) {
            setError(error, errorSize, "the plug-in reports %d channels on %s bus %d", busChannels, side, index);
            return false;
        }
        return withMemory([&] { bus.prepare(busChannels, p.maxBlockSize); },
                          [&] {
                              setError(error, errorSize,
                                       "not enough memory for %d-sample blocks on %s bus %d (%d channels)",
                                       p.maxBlockSize, side, index, busChannels);
                          });
    };
    for (int32 i = p.isInstrument ? 0 : 1; i < inputs; ++i) {
        if (!prepareBus(p.inputBuses[i], kInput, i)) return false;
    }
    for (int32 i = 1; i < outputs; ++i) {
        if (!prepareBus(p.outputBuses[i], kOutput, i)) return false;
    }
    // Only an instrument is given notes.
    if (p.isInstrument && !withMemory([&] { reserveNoteScratch(p, kNoteScratchAtStart); },
                    [&] {
                        setError(error, errorSize, "not enough memory for the note lists of %d events",
                                 static_cast<int>(kNoteScratchAtStart));
                    })) {
        return false;
    }

    ProcessSetup setup{kOffline, kSample32, p.maxBlockSize, p.sampleRate};
    if (p.processor->setupProcessing(setup) != kResultOk) {
        setError(error, errorSize, "the plug-in rejected the offline processing setup (%.0f Hz, %d-sample blocks)",
                 p.sampleRate, p.maxBlockSize);
        return false;
    }
    if (p.component->setActive(true) != kResultOk) {
        setError(error, errorSize, "the plug-in refused to activate");
        return false;
    }
    p.active = true;
    p.processor->setProcessing(true);
    p.processing = true;
    return true;
}

tv3m_plugin* createPlugin(const char* path, const char* cid, double sampleRate, int32 maxBlockSize, int32 channels,
                          bool instrument, char* error, int32 errorSize) {
    if (channels != 1 && channels != 2) {
        setError(error, errorSize, "only mono and stereo are supported (asked for %d)", channels);
        return nullptr;
    }
    if (maxBlockSize < 1) maxBlockSize = kDefaultBlockSize;
    TUID classId = {};
    if (!parseClassId(cid, classId)) {
        setError(error, errorSize, "malformed class id");
        return nullptr;
    }
    tv3m_module* module = nullptr;
    if (!withMemory([&] { module = tv3m_module_open(path, error, errorSize); },
                    [&] { setError(error, errorSize, "not enough memory to open the plug-in's module"); })) {
        return nullptr;
    }
    if (!module) return nullptr;

    tv3m_plugin* p = new (std::nothrow) tv3m_plugin();
    if (!p) {
        tv3m_module_close(module);
        setError(error, errorSize, "not enough memory for the instance record");
        return nullptr;
    }
    p->module = module;
    p->sampleRate = sampleRate;
    p->maxBlockSize = maxBlockSize;
    p->outputChannels = channels;
    p->isInstrument = instrument;

    bool built = withMemory(
        [&] {
            p->runLoop = new tv3::RunLoop(tv3::currentRunLoop());
            p->hostApplication = new tv3::HostApplication(p->runLoop);
            p->componentHandler = new tv3::ComponentHandler();
            p->inputChanges = new tv3::ParameterChanges();
            p->outputChanges = new tv3::ParameterChanges();
            p->plugFrame = new tv3::PlugFrame(p->runLoop);
            p->inputEvents = new tv3::EventList();
            p->outputEvents = new EmptyEventList();
        },
        [&] { setError(error, errorSize, "not enough memory for the host objects of an instance"); });
    if (built) {
        try {
            built = build(*p, classId, channels, error, errorSize);
        } catch (const std::bad_alloc&) {
            // Thrown inside one of the plug-in's own calls: its memory, not
            // one of the host's allocations above.
            setError(error, errorSize, "not enough memory while the plug-in was set up");
            built = false;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            setError(error, errorSize, "the plug-in failed with an exception while it was set up");
            built = false;
        }
    }
    if (!built) {
        guarded([&] { teardown(p); });
        return nullptr;
    }
    return p;
}

} // namespace

void teardown(tv3m_plugin* p) {
    if (!p) return;
    if (p->view) {
        if (p->viewAttached) {
            p->view->removed();
            p->viewAttached = false;
        }
        p->view->setFrame(nullptr);
        releaseAndForget(p->view);
    }
    // No watch or timer may call into the plug-in once it starts to go.
    if (p->runLoop) p->runLoop->removeAll();
    if (p->processing) p->processor->setProcessing(false);
    if (p->active) p->component->setActive(false);
    if (p->componentConnection && p->controllerConnection) {
        p->componentConnection->disconnect(p->controllerConnection);
        p->controllerConnection->disconnect(p->componentConnection);
    }
    releaseAndForget(p->componentConnection);
    releaseAndForget(p->controllerConnection);
    releaseAndForget(p->processor);
    if (p->controller) {
        p->controller->setComponentHandler(nullptr);
        // A controller that is the component itself ends with the component.
        if (p->controllerInitialized) p->controller->terminate();
        releaseAndForget(p->controller);
    }
    if (p->component) {
        if (p->componentInitialized) p->component->terminate();
        releaseAndForget(p->component);
    }
    releaseAndForget(p->componentHandler);
    releaseAndForget(p->inputEvents);
    releaseAndForget(p->outputEvents);
    releaseAndForget(p->inputChanges);
    releaseAndForget(p->outputChanges);
    releaseAndForget(p->plugFrame);
    releaseAndForget(p->hostApplication);
    if (p->runLoop) p->runLoop->removeAll(); // anything registered while it terminated
    releaseAndForget(p->runLoop);
    tv3m_module_close(p->module);
    delete p;
}

} // namespace tv3m

extern "C" tv3m_plugin* tv3m_plugin_create(const char* path, const char* cid, double sampleRate,
                                           int32_t maxBlockSize, int32_t channels, char* error,
                                           int32_t errorSize) {
    return tv3m::guarded(static_cast<tv3m_plugin*>(nullptr), [&] {
        return tv3m::createPlugin(path, cid, sampleRate, maxBlockSize, channels, false, error, errorSize);
    });
}

extern "C" tv3m_plugin* tv3m_plugin_create_instrument(const char* path, const char* cid, double sampleRate,
                                                      int32_t maxBlockSize, int32_t channels, char* error,
                                                      int32_t errorSize) {
    return tv3m::guarded(static_cast<tv3m_plugin*>(nullptr), [&] {
        return tv3m::createPlugin(path, cid, sampleRate, maxBlockSize, channels, true, error, errorSize);
    });
}

extern "C" void tv3m_plugin_destroy(tv3m_plugin* plugin) {
    tv3m::guarded([&] { tv3m::teardown(plugin); });
}

extern "C" int32_t tv3m_plugin_output_channels(tv3m_plugin* plugin) {
    return plugin ? plugin->outputChannels : 0;
}

extern "C" int32_t tv3m_plugin_latency(tv3m_plugin* plugin) {
    if (!plugin || !plugin->processor) return 0;
    return tv3m::guarded(0, [&] {
        const uint32 latency = plugin->processor->getLatencySamples();
        return latency > static_cast<uint32>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(latency);
    });
}

extern "C" int32_t tv3m_plugin_has_audio_input(tv3m_plugin* plugin) {
    return plugin && plugin->hasAudioInput ? 1 : 0;
}
