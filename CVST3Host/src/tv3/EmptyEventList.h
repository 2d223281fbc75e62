#pragma once

#include "tv3/Unknown.h"

namespace tv3m {

// Given to plug-ins as their output event list: the host plays no events a
// plug-in sends, so they are accepted and dropped.
class EmptyEventList final : public tv3::Unknown<Steinberg::Vst::IEventList> {
public:
    Steinberg::int32 PLUGIN_API getEventCount() override { return 0; }
    Steinberg::tresult PLUGIN_API getEvent(Steinberg::int32, Steinberg::Vst::Event&) override {
        return Steinberg::kResultFalse;
    }
    Steinberg::tresult PLUGIN_API addEvent(Steinberg::Vst::Event&) override { return Steinberg::kResultOk; }
};

} // namespace tv3m
