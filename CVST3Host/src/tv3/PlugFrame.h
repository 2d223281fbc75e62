#pragma once

#include "tv3/Unknown.h"

namespace tv3 {

class RunLoop;

// The frame an editor view asks for a new size. The request is only recorded;
// the editor window collects it by polling and resizes itself.
// Linux editors also ask it for the host's run loop: it answers IRunLoop with
// the instance's RunLoop object, when it was given one.
class PlugFrame final : public Unknown<Steinberg::IPlugFrame> {
public:
    explicit PlugFrame(RunLoop* runLoop = nullptr);
    ~PlugFrame() override;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override;
    Steinberg::tresult PLUGIN_API resizeView(Steinberg::IPlugView* view, Steinberg::ViewRect* newSize) override;

    // The latest untaken request, if any; taking it clears it.
    bool takeResizeRequest(Steinberg::int32& width, Steinberg::int32& height);
    void clearPending() { pending_ = false; }
    bool pending() const { return pending_; }

private:
    RunLoop* runLoop_; // held
    Steinberg::int32 width_ = 0;
    Steinberg::int32 height_ = 0;
    bool pending_ = false;
};

} // namespace tv3
