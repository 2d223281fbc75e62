#include "tv3/EventList.h"

#include <new>
#include <stdexcept>

using namespace Steinberg;

namespace tv3 {

tresult PLUGIN_API EventList::getEvent(int32 index, Vst::Event& e) {
    if (index < 0 || index >= getEventCount()) return kResultFalse;
    e = events_[index];
    return kResultOk;
}

tresult PLUGIN_API EventList::addEvent(Vst::Event& e) {
    try {
        events_.push_back(e);
    } catch (const std::bad_alloc&) {
        return kOutOfMemory; // the events already in the list stay
    }
    return kResultOk;
}

bool EventList::reserve(std::size_t count) noexcept {
    try {
        events_.reserve(count);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tv3
