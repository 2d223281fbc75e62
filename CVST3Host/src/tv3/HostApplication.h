#pragma once

#include "tv3/Unknown.h"

namespace tv3 {

// The context handed to a plug-in's component and controller in initialize:
// the host's name, and messages and attribute lists on request.
class HostApplication final : public Unknown<Steinberg::Vst::IHostApplication> {
public:
    static constexpr const char* kName = "Mossbeck Quor";

    Steinberg::tresult PLUGIN_API getName(Steinberg::Vst::String128 name) override;
    Steinberg::tresult PLUGIN_API createInstance(Steinberg::TUID cid, Steinberg::TUID iid, void** obj) override;
};

} // namespace tv3
