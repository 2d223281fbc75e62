// The probe's component: an effect or an instrument that records every call a
// host makes, behaves as the record's switches say, and with the single-object
// switch is its own edit controller.
#pragma once

#include "probe/ProbeEditController.h"

#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivstmessage.h>

#include <atomic>

namespace probe {

class ProbeComponent final : public Steinberg::Vst::IComponent,
                             public Steinberg::Vst::IAudioProcessor,
                             public Steinberg::Vst::IConnectionPoint,
                             public ProbeEditController {
public:
    explicit ProbeComponent(bool instrument);
    virtual ~ProbeComponent();

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override;
    Steinberg::uint32 PLUGIN_API release() override;

    // IPluginBase (shared by the component and the controller face)
    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;

    // IComponent
    Steinberg::tresult PLUGIN_API getControllerClassId(Steinberg::TUID classId) override;
    Steinberg::tresult PLUGIN_API setIoMode(Steinberg::Vst::IoMode mode) override;
    Steinberg::int32 PLUGIN_API getBusCount(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir) override;
    Steinberg::tresult PLUGIN_API getBusInfo(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                             Steinberg::int32 index, Steinberg::Vst::BusInfo& bus) override;
    Steinberg::tresult PLUGIN_API getRoutingInfo(Steinberg::Vst::RoutingInfo& inInfo,
                                                 Steinberg::Vst::RoutingInfo& outInfo) override;
    Steinberg::tresult PLUGIN_API activateBus(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir,
                                              Steinberg::int32 index, Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API setActive(Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) override;

    // IAudioProcessor
    Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                     Steinberg::int32 numIns,
                                                     Steinberg::Vst::SpeakerArrangement* outputs,
                                                     Steinberg::int32 numOuts) override;
    Steinberg::tresult PLUGIN_API getBusArrangement(Steinberg::Vst::BusDirection dir, Steinberg::int32 index,
                                                    Steinberg::Vst::SpeakerArrangement& arr) override;
    Steinberg::tresult PLUGIN_API canProcessSampleSize(Steinberg::int32 symbolicSampleSize) override;
    Steinberg::uint32 PLUGIN_API getLatencySamples() override;
    Steinberg::tresult PLUGIN_API setupProcessing(Steinberg::Vst::ProcessSetup& setup) override;
    Steinberg::tresult PLUGIN_API setProcessing(Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) override;
    Steinberg::uint32 PLUGIN_API getTailSamples() override;

    // IConnectionPoint
    Steinberg::tresult PLUGIN_API connect(Steinberg::Vst::IConnectionPoint* other) override;
    Steinberg::tresult PLUGIN_API disconnect(Steinberg::Vst::IConnectionPoint* other) override;
    Steinberg::tresult PLUGIN_API notify(Steinberg::Vst::IMessage* message) override;

    // IComponent and IEditController declare the same getState/setState: in
    // the single-object shape the component's pair serves both, as in any
    // single-object plug-in.
private:
    static constexpr int kMaxBuses = 4;

    bool isMainInput(Steinberg::int32 index) const { return mainInput_ && index == 0; }
    // The buses that exist, without the extra ones a switch makes it report.
    Steinberg::int32 realBusCount(Steinberg::Vst::MediaType type, Steinberg::Vst::BusDirection dir) const;

    std::atomic<Steinberg::int32> refs_{1};
    bool instrument_;
    bool mainInput_;     // an effect's main audio input exists (bus 0)
    Steinberg::int32 inputCount_ = 0;
    Steinberg::int32 outputCount_ = 0;
    Steinberg::int32 eventInputCount_ = 0;
    Steinberg::Vst::SpeakerArrangement inputs_[kMaxBuses] = {};
    Steinberg::Vst::SpeakerArrangement outputs_[kMaxBuses] = {};
    Steinberg::FUnknown* context_ = nullptr;
    Steinberg::Vst::IConnectionPoint* peer_ = nullptr;
};

} // namespace probe
