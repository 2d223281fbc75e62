#include "tv3/PlugFrame.h"

#include "tv3/RunLoop.h"

#include <climits>

using namespace Steinberg;

namespace tv3 {

PlugFrame::PlugFrame(RunLoop* runLoop) : runLoop_(runLoop) {
    if (runLoop_) runLoop_->addRef();
}

PlugFrame::~PlugFrame() {
    if (runLoop_) runLoop_->release();
}

tresult PLUGIN_API PlugFrame::queryInterface(const TUID iid, void** obj) {
    return answerRunLoop(runLoop_, iid, obj) ? kResultOk : Unknown::queryInterface(iid, obj);
}

tresult PLUGIN_API PlugFrame::resizeView(IPlugView*, ViewRect* newSize) {
    if (!newSize) return kInvalidArgument;
    // In 64 bits: a plug-in's rectangle may hold any values.
    const auto span = [](int32 from, int32 to) {
        const int64 d = static_cast<int64>(to) - from;
        return static_cast<int32>(d > INT32_MAX ? INT32_MAX : (d < INT32_MIN ? INT32_MIN : d));
    };
    width_ = span(newSize->left, newSize->right);
    height_ = span(newSize->top, newSize->bottom);
    pending_ = true;
    return kResultOk;
}

bool PlugFrame::takeResizeRequest(int32& width, int32& height) {
    if (!pending_) return false;
    width = width_;
    height = height_;
    pending_ = false;
    return true;
}

} // namespace tv3
