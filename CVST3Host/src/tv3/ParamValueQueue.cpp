#include "tv3/ParamValueQueue.h"

#include <new>

using namespace Steinberg;

namespace tv3 {

ParamValueQueue::ParamValueQueue(Vst::ParamID id) : id_(id) { points_.reserve(8); }

tresult PLUGIN_API ParamValueQueue::getPoint(int32 index, int32& sampleOffset, Vst::ParamValue& value) {
    if (index < 0 || index >= getPointCount()) return kInvalidArgument;
    sampleOffset = points_[index].sampleOffset;
    value = points_[index].value;
    return kResultOk;
}

tresult PLUGIN_API ParamValueQueue::addPoint(int32 sampleOffset, Vst::ParamValue value, int32& index) {
    try {
        points_.push_back(Point{sampleOffset, value});
    } catch (const std::bad_alloc&) {
        return kOutOfMemory; // the points already in the queue stay, index untouched
    }
    index = getPointCount() - 1;
    return kResultOk;
}

void ParamValueQueue::reset(Vst::ParamID id) {
    id_ = id;
    points_.clear();
}

} // namespace tv3
