#pragma once

#include "tv3/Unknown.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace tv3 {

// Receives the controller's parameter edits, from any thread, and keeps them
// until the next processing block takes them: at most one per parameter, the
// latest value, in the order each parameter was first edited. Also notes a
// change of latency announced through restartComponent, for the owner to act
// on between blocks.
class ComponentHandler final : public Unknown<Steinberg::Vst::IComponentHandler> {
public:
    struct Edit {
        Steinberg::Vst::ParamID id;
        Steinberg::Vst::ParamValue value;
    };

    ComponentHandler();

    Steinberg::tresult PLUGIN_API beginEdit(Steinberg::Vst::ParamID id) override;
    Steinberg::tresult PLUGIN_API performEdit(Steinberg::Vst::ParamID id,
                                              Steinberg::Vst::ParamValue valueNormalized) override;
    Steinberg::tresult PLUGIN_API endEdit(Steinberg::Vst::ParamID id) override;
    Steinberg::tresult PLUGIN_API restartComponent(Steinberg::int32 flags) override;

    // Guards the pending edits and, by its owner's convention, the owner's
    // edit counter. Held only for short list work, never across plug-in calls.
    std::mutex& editLock() { return lock_; }
    // Only with editLock() held. The owner drains and clears it.
    std::vector<Edit>& pendingEditsLocked() { return edits_; }

    // Whether restartComponent announced a new latency since the last call;
    // clears the note. Any thread.
    bool takeLatencyChange() { return latencyChanged_.exchange(false); }

private:
    std::atomic<bool> latencyChanged_{false};
    std::mutex lock_;
    std::vector<Edit> edits_;
};

} // namespace tv3
