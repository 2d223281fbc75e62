#pragma once

#include "tv3/Unknown.h"

namespace tv3 {

class RunLoop;

// The context handed to a plug-in's component and controller in initialize:
// the host's name, and messages and attribute lists on request. Plug-ins that
// start timers before (or without) an editor ask it for the run loop too: it
// answers IRunLoop with the instance's RunLoop object, when it was given one.
class HostApplication final : public Unknown<Steinberg::Vst::IHostApplication> {
public:
    explicit HostApplication(RunLoop* runLoop = nullptr);
    ~HostApplication() override;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    static constexpr const char* kName = "Mossbeck Quor";

    Steinberg::tresult PLUGIN_API getName(Steinberg::Vst::String128 name) override;
    Steinberg::tresult PLUGIN_API createInstance(Steinberg::TUID cid, Steinberg::TUID iid, void** obj) override;

private:
    RunLoop* runLoop_; // held
};

} // namespace tv3
