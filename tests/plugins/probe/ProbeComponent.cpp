#include "probe/ProbeComponent.h"

#include "probe/ProbeGlobals.h"

#include <pluginterfaces/vst/ivsthostapplication.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>
#include <pluginterfaces/vst/vstspeaker.h>

#include <bit>
#include <climits>
#include <cstring>

namespace probe {

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

SpeakerArrangement arrangementOf(int channels) {
    if (channels == 1) return SpeakerArr::kMono;
    if (channels >= 64) return ~SpeakerArrangement{0};
    return (SpeakerArrangement{1} << channels) - 1;
}

int32 channelsOf(SpeakerArrangement arr) { return std::popcount(static_cast<std::uint64_t>(arr)); }

bool same(const TUID a, const TUID b) { return std::memcmp(a, b, 16) == 0; }

// True when the bus's buffers can be read: pointers present for every channel.
bool readable(const AudioBusBuffers& bus, int32 frames) {
    if (frames < 1 || bus.numChannels < 0) return false;
    if (bus.numChannels == 0) return true;
    if (!bus.channelBuffers32) return false;
    for (int32 c = 0; c < bus.numChannels; ++c)
        if (!bus.channelBuffers32[c]) return false;
    return true;
}

void recordBuses(const AudioBusBuffers* buses, int32 count, int32 frames, std::int32_t* channels,
                 std::uint64_t* silence, std::int32_t* nullBuffers, std::int32_t* allZero) {
    for (int32 b = 0; b < count && b < kProbeMaxBuses && buses; ++b) {
        const AudioBusBuffers& bus = buses[b];
        channels[b] = bus.numChannels;
        silence[b] = bus.silenceFlags;
        nullBuffers[b] = readable(bus, frames) ? 0 : 1;
        if (allZero) {
            bool zero = !nullBuffers[b];
            for (int32 c = 0; zero && c < bus.numChannels; ++c)
                for (int32 i = 0; zero && i < frames; ++i) zero = bus.channelBuffers32[c][i] == 0.0f;
            allZero[b] = zero ? 1 : 0;
        }
    }
}

void recordChanges(IParameterChanges* changes, ProbeBlock& block) {
    ProbeRecord& r = record();
    block.queueCount = changes->getParameterCount();
    for (int32 q = 0; q < block.queueCount; ++q) {
        IParamValueQueue* queue = changes->getParameterData(q);
        if (!queue) continue;
        const ParamID id = queue->getParameterId();
        const int32 points = queue->getPointCount();
        for (int32 k = 0; k < points; ++k) {
            int32 offset = -1;
            ParamValue value = -1;
            if (queue->getPoint(k, offset, value) != kResultOk) continue;
            if (block.pointCount < kProbeMaxPoints) block.points[block.pointCount] = {id, offset, value};
            ++block.pointCount;
            if (id >= kProbeEditIdBase && id < kProbeEditIdBase + kProbeMaxEditIds) {
                ++r.editSeen[id - kProbeEditIdBase];
                r.editSeenValue[id - kProbeEditIdBase] = value;
            }
        }
    }
}

void recordEvents(IEventList* events, ProbeBlock& block) {
    block.eventCount = events->getEventCount();
    for (int32 i = 0; i < block.eventCount && i < kProbeMaxEvents; ++i) {
        Event e{};
        if (events->getEvent(i, e) == kResultOk) block.events[i] = e;
    }
}

} // namespace

ProbeComponent::ProbeComponent(bool instrument) : instrument_(instrument) {
    ProbeRecord& r = record();
    ++r.liveObjects;
    const ProbeSwitches& sw = r.sw;
    mainInput_ = !instrument && !sw.noAudioInput;
    const int mainWidth = sw.stuckMainChannels > 0 ? sw.stuckMainChannels : 2;
    if (mainInput_)
        inputs_[inputCount_++] = arrangementOf(sw.stuckInputChannels > 0 ? sw.stuckInputChannels : mainWidth);
    if (sw.sidechainChannels > 0) inputs_[inputCount_++] = arrangementOf(sw.sidechainChannels);
    if (!sw.noOutputBus) {
        outputs_[outputCount_++] = arrangementOf(mainWidth);
        if (sw.auxOutputChannels > 0) outputs_[outputCount_++] = arrangementOf(sw.auxOutputChannels);
    }
    eventInputCount_ = instrument && !sw.noEventInput ? 1 : 0;
}

ProbeComponent::~ProbeComponent() {
    dropHandler();
    ProbeRecord& r = record();
    --r.liveObjects;
    ++r.componentDestroyed;
    logCall(kCallComponentDestroyed);
}

tresult PLUGIN_API ProbeComponent::queryInterface(const TUID iid, void** obj) {
    if (!obj) return kInvalidArgument;
    const ProbeSwitches& sw = record().sw;
    void* answer = nullptr;
    if (same(iid, FUnknown_iid) || same(iid, IPluginBase_iid) || same(iid, IComponent_iid))
        answer = static_cast<IComponent*>(this);
    else if (same(iid, IAudioProcessor_iid) && !sw.noProcessor)
        answer = static_cast<IAudioProcessor*>(this);
    else if (same(iid, IConnectionPoint_iid))
        answer = static_cast<IConnectionPoint*>(this);
    else if (same(iid, IEditController_iid) && sw.singleObject)
        answer = static_cast<IEditController*>(this);
    *obj = answer;
    if (!answer) return kNoInterface;
    addRef();
    return kResultOk;
}

uint32 PLUGIN_API ProbeComponent::addRef() { return static_cast<uint32>(++refs_); }

uint32 PLUGIN_API ProbeComponent::release() {
    const int32 left = --refs_;
    if (left == 0) delete this;
    return static_cast<uint32>(left);
}

tresult PLUGIN_API ProbeComponent::initialize(FUnknown* context) {
    ProbeRecord& r = record();
    logCall(kCallComponentInitialize);
    ++r.componentInitialize;
    r.componentContext = reinterpret_cast<std::uint64_t>(context);
    if (r.sw.failInitialize || !context) return kResultFalse;
    void* app = nullptr;
    if (context->queryInterface(IHostApplication_iid, &app) == kResultOk && app) {
        auto* host = static_cast<IHostApplication*>(app);
        String128 name{};
        if (host->getName(name) == kResultOk)
            for (int i = 0; i < 127 && name[i]; ++i) r.hostName[i] = name[i] < 128 ? static_cast<char>(name[i]) : '?';
        host->release();
    }
    keep(r.keptContext, context);
    context->addRef();
    context_ = context;
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::terminate() {
    ProbeRecord& r = record();
    logCall(kCallComponentTerminate);
    ++r.componentTerminate;
    if (context_) {
        r.contextReleaseByComponent = static_cast<std::int32_t>(context_->release());
        context_ = nullptr;
    }
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::getControllerClassId(TUID classId) {
    logCall(kCallGetControllerClassId);
    if (record().sw.noController) return kResultFalse;
    std::memcpy(classId, controllerCid(), 16);
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::setIoMode(IoMode) { return kResultOk; }

int32 PLUGIN_API ProbeComponent::getBusCount(MediaType type, BusDirection dir) {
    const ProbeSwitches& sw = record().sw;
    if (type == kAudio) {
        // The extra buses do not exist: nothing answers for them but the count.
        const std::int64_t extra = dir == kInput ? sw.extraInputBuses : sw.extraOutputBuses;
        const std::int64_t count = (dir == kInput ? inputCount_ : outputCount_) + (extra > 0 ? extra : 0);
        return static_cast<int32>(count > INT32_MAX ? INT32_MAX : count);
    }
    if (type == kEvent && dir == kInput) return eventInputCount_;
    return 0;
}

tresult PLUGIN_API ProbeComponent::getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) {
    const ProbeSwitches& sw = record().sw;
    if (sw.failGetBusInfo) return kResultFalse;
    if (index < 0 || index >= realBusCount(type, dir)) return kInvalidArgument;
    std::memset(&bus, 0, sizeof bus);
    bus.mediaType = type;
    bus.direction = dir;
    const bool main = index == 0 && (type != kAudio || dir == kOutput || mainInput_);
    bus.busType = main ? kMain : kAux;
    bus.flags = main ? BusInfo::kDefaultActive : 0;
    if (type == kEvent) {
        bus.channelCount = 16;
    } else {
        bus.channelCount = channelsOf(dir == kInput ? inputs_[index] : outputs_[index]);
        if (!main && sw.auxInfoChannels != 0) bus.channelCount = sw.auxInfoChannels;
    }
    const char16_t* name = main ? u"Main" : u"Aux";
    for (int i = 0; name[i]; ++i) bus.name[i] = name[i];
    return kResultOk;
}

int32 ProbeComponent::realBusCount(MediaType type, BusDirection dir) const {
    if (type == kAudio) return dir == kInput ? inputCount_ : outputCount_;
    return type == kEvent && dir == kInput ? eventInputCount_ : 0;
}

tresult PLUGIN_API ProbeComponent::getRoutingInfo(RoutingInfo&, RoutingInfo&) { return kNotImplemented; }

tresult PLUGIN_API ProbeComponent::activateBus(MediaType type, BusDirection dir, int32 index, TBool state) {
    ProbeRecord& r = record();
    logCall(kCallActivateBus);
    if (r.activationCount < 16) r.activations[r.activationCount] = {type, dir, index, state ? 1 : 0};
    ++r.activationCount;
    return index >= 0 && index < realBusCount(type, dir) ? kResultOk : kInvalidArgument;
}

tresult PLUGIN_API ProbeComponent::setActive(TBool state) {
    ProbeRecord& r = record();
    logCall(state ? kCallSetActiveOn : kCallSetActiveOff);
    if (r.setActiveCount < 8) r.setActiveStates[r.setActiveCount] = state ? 1 : 0;
    ++r.setActiveCount;
    return state && r.sw.refuseActivate ? kResultFalse : kResultOk;
}

tresult PLUGIN_API ProbeComponent::setState(IBStream* state) {
    ProbeRecord& r = record();
    logCall(kCallComponentSetState);
    ++r.componentSetStateCalls;
    if (!state) {
        ++r.componentSetStateNull;
        return kInvalidArgument;
    }
    r.componentSetStateSize = readAll(state, r.componentSetStateBytes, kProbeStateBytes);
    return r.sw.refuseSetState ? kResultFalse : kResultOk;
}

tresult PLUGIN_API ProbeComponent::getState(IBStream* state) {
    ProbeRecord& r = record();
    logCall(kCallComponentGetState);
    const std::int32_t call = r.componentGetStateCalls++;
    if (!state) return kInvalidArgument;
    keep(r.keptStateStream, state);
    if (r.sw.failGetState) return kResultFalse;
    std::uint8_t bytes[kProbeStateBytes];
    std::int32_t size = r.componentStateSize + r.sw.stateGrowth * call;
    if (size > kProbeStateBytes) size = kProbeStateBytes;
    for (std::int32_t i = 0; i < size; ++i)
        bytes[i] = i < r.componentStateSize ? r.componentState[i] : static_cast<std::uint8_t>(0xEE);
    return writeAll(state, bytes, size) ? kResultOk : kResultFalse;
}

tresult PLUGIN_API ProbeComponent::setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                                      SpeakerArrangement* outputs, int32 numOuts) {
    ProbeRecord& r = record();
    logCall(kCallSetBusArrangements);
    ++r.setBusArrangementsCalls;
    r.arrangementInputsNull = inputs ? 0 : 1;
    r.arrangementNumIns = numIns;
    r.arrangementNumOuts = numOuts;
    for (int32 i = 0; i < numIns && i < kProbeMaxBuses && inputs; ++i) r.arrangementIns[i] = inputs[i];
    for (int32 i = 0; i < numOuts && i < kProbeMaxBuses && outputs; ++i) r.arrangementOuts[i] = outputs[i];
    // Like most plug-ins: the lists must describe every bus, or nothing changes.
    if (numIns != inputCount_ || numOuts != outputCount_ || (numIns > 0 && !inputs) || (numOuts > 0 && !outputs))
        return kResultFalse;
    bool all = true;
    for (int32 i = 0; i < numIns; ++i) {
        const bool stuck = isMainInput(i) && (r.sw.stuckInputChannels > 0 || r.sw.stuckMainChannels > 0);
        if (stuck) all = all && inputs[i] == inputs_[i];
        else inputs_[i] = inputs[i];
    }
    for (int32 i = 0; i < numOuts; ++i) {
        const bool stuck = i == 0 && r.sw.stuckMainChannels > 0;
        if (stuck) all = all && outputs[i] == outputs_[i];
        else outputs_[i] = outputs[i];
    }
    return all ? kResultOk : kResultFalse;
}

tresult PLUGIN_API ProbeComponent::getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) {
    if (record().sw.failGetBusArrangement) return kResultFalse;
    if (index < 0 || index >= realBusCount(kAudio, dir)) return kInvalidArgument;
    arr = dir == kInput ? inputs_[index] : outputs_[index];
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::canProcessSampleSize(int32 symbolicSampleSize) {
    logCall(kCallCanProcessSampleSize);
    return symbolicSampleSize == kSample32 && !record().sw.refuse32Bit ? kResultOk : kResultFalse;
}

uint32 PLUGIN_API ProbeComponent::getLatencySamples() { return static_cast<uint32>(record().sw.latency); }

tresult PLUGIN_API ProbeComponent::setupProcessing(ProcessSetup& setup) {
    ProbeRecord& r = record();
    logCall(kCallSetupProcessing);
    ++r.setupCalls;
    r.setup = setup;
    return r.sw.refuseSetup ? kResultFalse : kResultOk;
}

tresult PLUGIN_API ProbeComponent::setProcessing(TBool state) {
    ProbeRecord& r = record();
    logCall(state ? kCallSetProcessingOn : kCallSetProcessingOff);
    if (r.setProcessingCount < 8) r.setProcessingStates[r.setProcessingCount] = state ? 1 : 0;
    ++r.setProcessingCount;
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::process(ProcessData& data) {
    ProbeRecord& r = record();
    if (r.sw.ignoreFlush && data.numSamples == 0) return kResultOk;
    ProbeBlock block{};
    const int32 frames = data.numSamples;
    block.numSamples = frames;
    block.processMode = data.processMode;
    block.symbolicSampleSize = data.symbolicSampleSize;
    block.numInputs = data.numInputs;
    block.numOutputs = data.numOutputs;
    recordBuses(data.inputs, data.numInputs, frames, block.inputChannels, block.inputSilence,
                block.inputNullBuffers, block.inputAllZero);
    recordBuses(data.outputs, data.numOutputs, frames, block.outputChannels, block.outputSilence,
                block.outputNullBuffers, nullptr);

    const AudioBusBuffers* mainIn =
        mainInput_ && data.inputs && data.numInputs > 0 && readable(data.inputs[0], frames) ? &data.inputs[0] : nullptr;
    if (mainIn)
        for (int32 c = 0; c < mainIn->numChannels && c < 2; ++c)
            for (int32 i = 0; i < frames && i < kProbeFirstSamples; ++i) block.firstInput[c][i] = mainIn->channelBuffers32[c][i];

    if (data.processContext) {
        block.hasContext = 1;
        block.context = *data.processContext;
    }
    if (data.inputParameterChanges) {
        block.hasInputChanges = 1;
        keep(r.keptInputChanges, data.inputParameterChanges);
        recordChanges(data.inputParameterChanges, block);
    }
    if (data.outputParameterChanges) {
        block.hasOutputChanges = 1;
        keep(r.keptOutputChanges, data.outputParameterChanges);
        block.outputChangesAtEntry = data.outputParameterChanges->getParameterCount();
        // A meter-like output value, as many plug-ins send; the host must not
        // carry it into the next block.
        int32 index = 0;
        if (IParamValueQueue* queue = data.outputParameterChanges->addParameterData(kProbeGainId, index)) {
            int32 pointIndex = 0;
            queue->addPoint(0, 0.75, pointIndex);
        }
    }
    if (data.inputEvents) {
        block.hasInputEvents = 1;
        keep(r.keptInputEvents, data.inputEvents);
        recordEvents(data.inputEvents, block);
    }
    if (data.outputEvents) {
        block.hasOutputEvents = 1;
        keep(r.keptOutputEvents, data.outputEvents);
        Event e{};
        e.type = Event::kNoteOnEvent;
        e.noteOn.pitch = 64;
        e.noteOn.velocity = 1;
        e.noteOn.noteId = -1;
        block.outputEventAddResult = data.outputEvents->addEvent(e);
        block.outputEventCountAfterAdd = data.outputEvents->getEventCount();
    }

    // Audio: an effect doubles its main input, an instrument plays a constant
    // 0.25; extra outputs get 7 and extra inputs are used as scratch space, so
    // that a host which does not clear them each block is seen.
    for (int32 b = 0; b < data.numOutputs && data.outputs; ++b) {
        AudioBusBuffers& bus = data.outputs[b];
        if (!readable(bus, frames)) continue;
        for (int32 c = 0; c < bus.numChannels; ++c)
            for (int32 i = 0; i < frames; ++i) {
                float v = 7.0f;
                if (b == 0) v = instrument_ ? 0.25f : (mainIn && c < mainIn->numChannels ? mainIn->channelBuffers32[c][i] * 2 : 0.5f);
                bus.channelBuffers32[c][i] = v;
            }
    }
    for (int32 b = mainInput_ ? 1 : 0; b < data.numInputs && data.inputs; ++b) {
        AudioBusBuffers& bus = data.inputs[b];
        if (!readable(bus, frames)) continue;
        for (int32 c = 0; c < bus.numChannels; ++c)
            for (int32 i = 0; i < frames; ++i) bus.channelBuffers32[c][i] = 9.0f;
    }

    if (r.blockCount < kProbeMaxBlocks) r.blocks[r.blockCount] = block;
    r.lastBlock = block;
    ++r.blockCount;
    return r.sw.failProcess ? kResultFalse : kResultOk;
}

uint32 PLUGIN_API ProbeComponent::getTailSamples() { return 0; }

tresult PLUGIN_API ProbeComponent::connect(IConnectionPoint* other) {
    ProbeRecord& r = record();
    logCall(kCallComponentConnect);
    ++r.componentConnects;
    if (!other) return kInvalidArgument;
    if (other == static_cast<IConnectionPoint*>(this)) ++r.selfConnects;
    else ++r.peerConnects;
    if (peer_) return kResultFalse;
    other->addRef();
    peer_ = other;
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::disconnect(IConnectionPoint* other) {
    logCall(kCallComponentDisconnect);
    ++record().componentDisconnects;
    if (!peer_ || other != peer_) return kResultFalse;
    peer_->release();
    peer_ = nullptr;
    return kResultOk;
}

tresult PLUGIN_API ProbeComponent::notify(IMessage*) { return kResultOk; }

} // namespace probe
