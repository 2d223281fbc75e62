#include "tv3/ComponentHandler.h"

#include <pluginterfaces/vst/ivsteditcontroller.h>

#include <new>

using namespace Steinberg;

namespace tv3 {

// Enough for every parameter of most plug-ins, so an edit rarely allocates
// while the lock is held.
ComponentHandler::ComponentHandler() { edits_.reserve(256); }

tresult PLUGIN_API ComponentHandler::beginEdit(Vst::ParamID) { return kResultOk; }

tresult PLUGIN_API ComponentHandler::performEdit(Vst::ParamID id, Vst::ParamValue valueNormalized) {
    std::lock_guard<std::mutex> hold(lock_);
    for (Edit& edit : edits_) {
        if (edit.id == id) {
            edit.value = valueNormalized;
            return kResultOk;
        }
    }
    // A new parameter may need more room; running out of memory is the
    // plug-in's answer, with the pending edits as they were.
    try {
        edits_.push_back(Edit{id, valueNormalized});
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    return kResultOk;
}

tresult PLUGIN_API ComponentHandler::endEdit(Vst::ParamID) { return kResultOk; }

// Offline processing at a fixed set-up: of what a plug-in asks to restart,
// only a new latency matters (the parent aligns its audio by it). It is
// noted here, from whatever thread the plug-in calls on, and acted on by
// the owner between blocks; bus layouts and parameter titles are not
// followed.
tresult PLUGIN_API ComponentHandler::restartComponent(int32 flags) {
    if (flags & Vst::kLatencyChanged) latencyChanged_.store(true);
    return kResultOk;
}

} // namespace tv3
