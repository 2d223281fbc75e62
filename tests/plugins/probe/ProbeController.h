// The probe's separate edit controller: the controller class of the factory.
#pragma once

#include "probe/ProbeEditController.h"

#include <pluginterfaces/vst/ivstmessage.h>

#include <atomic>

namespace probe {

class ProbeController final : public ProbeEditController, public Steinberg::Vst::IConnectionPoint {
public:
    ProbeController();
    virtual ~ProbeController();

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::uint32 PLUGIN_API addRef() override;
    Steinberg::uint32 PLUGIN_API release() override;

    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;

    Steinberg::tresult PLUGIN_API connect(Steinberg::Vst::IConnectionPoint* other) override;
    Steinberg::tresult PLUGIN_API disconnect(Steinberg::Vst::IConnectionPoint* other) override;
    Steinberg::tresult PLUGIN_API notify(Steinberg::Vst::IMessage* message) override;

private:
    std::atomic<Steinberg::int32> refs_{1};
    Steinberg::FUnknown* context_ = nullptr;
    Steinberg::Vst::IConnectionPoint* peer_ = nullptr;
};

} // namespace probe
