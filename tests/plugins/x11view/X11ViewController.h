// The fixture's edit controller: one parameter, and a view that shows itself
// in an X11 window.
#pragma once

#include "x11view/X11ViewIds.h"
#include "x11view/X11ViewObject.h"

#include <pluginterfaces/vst/ivsteditcontroller.h>

namespace x11viewfx {

class Controller final : public Object<Steinberg::Vst::IEditController> {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;

    Steinberg::tresult PLUGIN_API setComponentState(Steinberg::IBStream*) override { return Steinberg::kResultOk; }
    Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream*) override { return Steinberg::kResultOk; }
    Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream*) override { return Steinberg::kResultOk; }

    Steinberg::int32 PLUGIN_API getParameterCount() override { return 1; }
    Steinberg::tresult PLUGIN_API getParameterInfo(Steinberg::int32 index, Steinberg::Vst::ParameterInfo& info) override;
    Steinberg::tresult PLUGIN_API getParamStringByValue(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value,
                                                        Steinberg::Vst::String128 string) override;
    Steinberg::tresult PLUGIN_API getParamValueByString(Steinberg::Vst::ParamID, Steinberg::Vst::TChar*,
                                                        Steinberg::Vst::ParamValue&) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::Vst::ParamValue PLUGIN_API normalizedParamToPlain(Steinberg::Vst::ParamID,
                                                                 Steinberg::Vst::ParamValue value) override {
        return value;
    }
    Steinberg::Vst::ParamValue PLUGIN_API plainParamToNormalized(Steinberg::Vst::ParamID,
                                                                 Steinberg::Vst::ParamValue plain) override {
        return plain;
    }
    Steinberg::Vst::ParamValue PLUGIN_API getParamNormalized(Steinberg::Vst::ParamID id) override;
    Steinberg::tresult PLUGIN_API setParamNormalized(Steinberg::Vst::ParamID id,
                                                     Steinberg::Vst::ParamValue value) override;
    Steinberg::tresult PLUGIN_API setComponentHandler(Steinberg::Vst::IComponentHandler* handler) override;
    Steinberg::IPlugView* PLUGIN_API createView(Steinberg::FIDString name) override;

    // What the host gave initialize(), where the view looks for the run loop
    // when its frame has none. Not owned by the caller.
    Steinberg::FUnknown* hostContext() const { return context_; }
    // An edit of the parameter as the user's gesture makes it: begin,
    // perform, end through the component handler.
    void userEdit();

private:
    ~Controller() override;

    Steinberg::FUnknown* context_ = nullptr;
    Steinberg::Vst::IComponentHandler* handler_ = nullptr;
    double level_ = kLevelDefault;
};

} // namespace x11viewfx
