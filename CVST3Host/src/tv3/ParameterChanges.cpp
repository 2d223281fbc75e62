#include "tv3/ParameterChanges.h"

#include <new>

using namespace Steinberg;

namespace tv3 {

ParameterChanges::ParameterChanges() { queues_.reserve(16); }

ParameterChanges::~ParameterChanges() {
    for (ParamValueQueue* queue : queues_) queue->release();
}

Vst::IParamValueQueue* PLUGIN_API ParameterChanges::getParameterData(int32 index) {
    read_ = true;
    if (index < 0 || index >= used_) return nullptr;
    return queues_[index];
}

Vst::IParamValueQueue* PLUGIN_API ParameterChanges::addParameterData(const Vst::ParamID& id, int32& index) {
    for (int32 i = 0; i < used_; ++i) {
        if (queues_[i]->getParameterId() == id) {
            index = i;
            return queues_[i];
        }
    }
    if (static_cast<std::size_t>(used_) < queues_.size()) {
        queues_[used_]->reset(id);
    } else {
        // Out of memory, the plug-in gets no queue (a null answer it must
        // handle anyway) and the list stays as it was. Room in the list is
        // made before the queue, so that a queue is never left without owner.
        try {
            if (queues_.size() == queues_.capacity()) queues_.reserve(queues_.capacity() * 2 + 1);
            queues_.push_back(new ParamValueQueue(id));
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    index = used_;
    return queues_[used_++];
}

void ParameterChanges::clear() {
    for (ParamValueQueue* queue : queues_) queue->clearPoints();
    used_ = 0;
    read_ = false;
}

} // namespace tv3
