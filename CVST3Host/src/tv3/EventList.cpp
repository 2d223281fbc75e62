#include "tv3/EventList.h"

using namespace Steinberg;

namespace tv3 {

tresult PLUGIN_API EventList::getEvent(int32 index, Vst::Event& e) {
    if (index < 0 || index >= getEventCount()) return kResultFalse;
    e = events_[index];
    return kResultOk;
}

tresult PLUGIN_API EventList::addEvent(Vst::Event& e) {
    events_.push_back(e);
    return kResultOk;
}

} // namespace tv3
