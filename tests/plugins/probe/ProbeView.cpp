#include "probe/ProbeView.h"

#include "probe/ProbeGlobals.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace probe {
namespace {

using namespace Steinberg;
using Steinberg::Linux::IEventHandler;
using Steinberg::Linux::IRunLoop;
using Steinberg::Linux::ITimerHandler;

bool sameId(const char* a, const char* b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

// Reference counting shared by the probe's small objects.
template <class I>
class Counted : public I {
public:
    explicit Counted(const char* iid) : iid_(iid) {}
    uint32 PLUGIN_API addRef() override { return ++count_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --count_;
        if (left == 0) delete this;
        return left;
    }
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameId(iid, FUnknown_iid) || sameId(iid, iid_)) {
            addRef();
            *obj = static_cast<I*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    virtual ~Counted() = default;

private:
    const char* iid_;
    std::atomic<uint32> count_{1};
};

class ProbeTimer final : public Counted<ITimerHandler> {
public:
    explicit ProbeTimer(IRunLoop* loop) : Counted(Linux::ITimerHandler_iid), loop_(loop) { ++record().edLog.handlersAlive; }
    ~ProbeTimer() override { --record().edLog.handlersAlive; }
    void PLUGIN_API onTimer() override {
        ProbeRecord& r = record();
        ++r.edLog.timerTicks;
        if (r.ed.timerStopsAfter > 0 && r.edLog.timerTicks == r.ed.timerStopsAfter) loop_->unregisterTimer(this);
    }

private:
    IRunLoop* loop_; // not held: the view holds it
};

class ProbeWatch final : public Counted<IEventHandler> {
public:
    explicit ProbeWatch(IRunLoop* loop) : Counted(Linux::IEventHandler_iid), loop_(loop) { ++record().edLog.handlersAlive; }
    ~ProbeWatch() override { --record().edLog.handlersAlive; }
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
        ProbeRecord& r = record();
        ++r.edLog.watchCalls;
        r.edLog.lastWatchFd = fd;
        char byte;
        (void)::read(fd, &byte, 1); // what woke it, so that it is not called again for it
        if (r.ed.watchStopsAfter > 0 && r.edLog.watchCalls == r.ed.watchStopsAfter) loop_->unregisterEventHandler(this);
    }

private:
    IRunLoop* loop_;
};

class ProbeView;
ProbeView* gLiveView = nullptr;

class ProbeView final : public Counted<IPlugView> {
public:
    ProbeView() : Counted(IPlugView_iid) {
        ++record().edLog.viewsAlive;
        gLiveView = this;
    }
    ~ProbeView() override {
        dropRunLoop();
        --record().edLog.viewsAlive;
        if (gLiveView == this) gLiveView = nullptr;
        if (frame_) frame_->release();
    }

    tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
        ProbeRecord& r = record();
        ++r.edLog.platformAsked;
        std::snprintf(r.edLog.lastPlatformType, sizeof r.edLog.lastPlatformType, "%s", type ? type : "(null)");
        if (r.ed.refusePlatform || !type) return kResultFalse;
        return std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
    }

    tresult PLUGIN_API attached(void* parent, FIDString type) override {
        ProbeRecord& r = record();
        ++r.edLog.attachedCalls;
        r.edLog.lastParent = reinterpret_cast<std::uint64_t>(parent);
        std::snprintf(r.edLog.lastAttachType, sizeof r.edLog.lastAttachType, "%s", type ? type : "(null)");
        if (r.ed.refuseAttach) return kResultFalse;
        attached_ = true;
        useRunLoop();
        return kResultOk;
    }

    tresult PLUGIN_API removed() override {
        ProbeRecord& r = record();
        ++r.edLog.removedCalls;
        attached_ = false;
        if (!r.ed.leaveRegistered) dropRunLoop();
        return kResultOk;
    }

    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }

    tresult PLUGIN_API getSize(ViewRect* size) override {
        ProbeRecord& r = record();
        if (!size || r.ed.failGetSize) return kResultFalse;
        const int32 w = attached_ && r.ed.attachedWidth ? r.ed.attachedWidth : r.ed.width;
        const int32 h = attached_ && r.ed.attachedHeight ? r.ed.attachedHeight : r.ed.height;
        *size = ViewRect(0, 0, w, h);
        return kResultOk;
    }

    tresult PLUGIN_API onSize(ViewRect* newSize) override {
        ProbeRecord& r = record();
        if (!newSize) return kInvalidArgument;
        ++r.edLog.onSizeCalls;
        r.edLog.lastOnSizeWidth = newSize->getWidth();
        r.edLog.lastOnSizeHeight = newSize->getHeight();
        return kResultOk;
    }

    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }

    tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
        ProbeRecord& r = record();
        if (frame) {
            ++r.edLog.setFrameCalls;
            frame->addRef();
        } else {
            ++r.edLog.setFrameNullCalls;
        }
        if (frame_) frame_->release();
        frame_ = frame;
        return kResultOk;
    }

    tresult PLUGIN_API canResize() override { return record().ed.canResize ? kResultTrue : kResultFalse; }
    tresult PLUGIN_API checkSizeConstraint(ViewRect*) override { return kResultOk; }

    int32 resize(int32 width, int32 height) {
        if (!frame_) return -1;
        ViewRect rect(0, 0, width, height);
        return frame_->resizeView(this, &rect);
    }

private:
    // As a Linux editor does on attach: the run loop from the frame, then a
    // timer and a watch on it, each a handler object of its own.
    void useRunLoop() {
        ProbeRecord& r = record();
        if (!frame_ || (r.ed.timerMs <= 0 && !r.ed.watch)) return;
        void* found = nullptr;
        if (frame_->queryInterface(Linux::IRunLoop_iid, &found) != kResultOk || !found) return;
        r.edLog.frameHadRunLoop = 1;
        loop_ = static_cast<IRunLoop*>(found);
        if (r.ed.timerMs > 0) {
            timer_ = new ProbeTimer(loop_);
            r.edLog.registerTimerAnswer = loop_->registerTimer(timer_, static_cast<uint64>(r.ed.timerMs));
        }
        if (r.ed.watch) {
            watch_ = new ProbeWatch(loop_);
            r.edLog.registerWatchAnswer = loop_->registerEventHandler(watch_, r.ed.watchFd);
        }
    }

    // Unregisters what it registered, as a well-behaved editor does on removed.
    void dropRunLoop() {
        if (timer_) {
            loop_->unregisterTimer(timer_);
            timer_->release();
            timer_ = nullptr;
        }
        if (watch_) {
            loop_->unregisterEventHandler(watch_);
            watch_->release();
            watch_ = nullptr;
        }
        if (loop_) {
            loop_->release();
            loop_ = nullptr;
        }
    }

    IPlugFrame* frame_ = nullptr;
    IRunLoop* loop_ = nullptr;
    ProbeTimer* timer_ = nullptr;
    ProbeWatch* watch_ = nullptr;
    bool attached_ = false;
};

} // namespace

IPlugView* makeView() { return new ProbeView(); }

int32 resizeLiveView(int32 width, int32 height) { return gLiveView ? gLiveView->resize(width, height) : -1; }

} // namespace probe
