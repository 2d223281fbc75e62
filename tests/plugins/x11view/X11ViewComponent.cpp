#include "x11view/X11ViewComponent.h"

#include "common/FixtureFactory.h"
#include "x11view/X11ViewIds.h"

#include <cstring>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace x11viewfx {
namespace {

class Component final : public Object<IComponent, IAudioProcessor> {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIid(iid, FUnknown_iid) || sameIid(iid, IPluginBase_iid) || sameIid(iid, IComponent_iid)) {
            addRef();
            *obj = static_cast<IComponent*>(this);
            return kResultOk;
        }
        if (sameIid(iid, IAudioProcessor_iid)) {
            addRef();
            *obj = static_cast<IAudioProcessor*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }

    tresult PLUGIN_API initialize(FUnknown*) override { return kResultOk; }
    tresult PLUGIN_API terminate() override { return kResultOk; }

    tresult PLUGIN_API getControllerClassId(TUID classId) override {
        fixture::hexToTUID(kControllerCid, classId);
        return kResultOk;
    }
    tresult PLUGIN_API setIoMode(IoMode) override { return kResultOk; }
    int32 PLUGIN_API getBusCount(MediaType type, BusDirection) override { return type == kAudio ? 1 : 0; }
    tresult PLUGIN_API getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo& bus) override {
        if (type != kAudio || index != 0) return kInvalidArgument;
        bus = BusInfo{};
        bus.mediaType = type;
        bus.direction = dir;
        bus.channelCount = channels_;
        putWide(bus.name, dir == kInput ? u"In" : u"Out");
        bus.busType = kMain;
        bus.flags = BusInfo::kDefaultActive;
        return kResultOk;
    }
    tresult PLUGIN_API getRoutingInfo(RoutingInfo&, RoutingInfo&) override { return kNotImplemented; }
    tresult PLUGIN_API activateBus(MediaType, BusDirection, int32, TBool) override { return kResultOk; }
    tresult PLUGIN_API setActive(TBool) override { return kResultOk; }
    tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }
    tresult PLUGIN_API getState(IBStream*) override { return kResultOk; }

    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                          int32 numOuts) override {
        if (numIns != 1 || numOuts != 1 || inputs[0] != outputs[0]) return kResultFalse;
        if (outputs[0] != SpeakerArr::kStereo && outputs[0] != SpeakerArr::kMono) return kResultFalse;
        channels_ = outputs[0] == SpeakerArr::kStereo ? 2 : 1;
        return kResultOk;
    }
    tresult PLUGIN_API getBusArrangement(BusDirection, int32 index, SpeakerArrangement& arr) override {
        if (index != 0) return kInvalidArgument;
        arr = channels_ == 2 ? SpeakerArr::kStereo : SpeakerArr::kMono;
        return kResultOk;
    }
    tresult PLUGIN_API canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultOk : kResultFalse; }
    uint32 PLUGIN_API getLatencySamples() override { return 0; }
    tresult PLUGIN_API setupProcessing(ProcessSetup&) override { return kResultOk; }
    tresult PLUGIN_API setProcessing(TBool) override { return kResultOk; }
    uint32 PLUGIN_API getTailSamples() override { return 0; }

    tresult PLUGIN_API process(ProcessData& data) override {
        if (data.numInputs < 1 || data.numOutputs < 1 || !data.inputs || !data.outputs) return kResultOk;
        const AudioBusBuffers& in = data.inputs[0];
        AudioBusBuffers& out = data.outputs[0];
        for (int32 c = 0; c < out.numChannels && c < in.numChannels; ++c) {
            if (out.channelBuffers32[c] != in.channelBuffers32[c])
                std::memmove(out.channelBuffers32[c], in.channelBuffers32[c],
                             sizeof(float) * static_cast<std::size_t>(data.numSamples));
        }
        return kResultOk;
    }

private:
    int32 channels_ = 2;
};

} // namespace

IComponent* makeComponent() { return new Component(); }

} // namespace x11viewfx
