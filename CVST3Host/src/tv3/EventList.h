#pragma once

#include "tv3/Unknown.h"

#include <cstddef>
#include <vector>

namespace tv3 {

// The note events of one block, kept by value; storage is reused.
class EventList final : public Unknown<Steinberg::Vst::IEventList> {
public:
    EventList() { events_.reserve(128); }

    Steinberg::int32 PLUGIN_API getEventCount() override { return static_cast<Steinberg::int32>(events_.size()); }
    Steinberg::tresult PLUGIN_API getEvent(Steinberg::int32 index, Steinberg::Vst::Event& e) override;
    Steinberg::tresult PLUGIN_API addEvent(Steinberg::Vst::Event& e) override;

    void clear() { events_.clear(); }
    // Room for `count` events without further allocation; false when memory
    // runs out (the list is unchanged then).
    bool reserve(std::size_t count) noexcept;

private:
    std::vector<Steinberg::Vst::Event> events_;
};

} // namespace tv3
