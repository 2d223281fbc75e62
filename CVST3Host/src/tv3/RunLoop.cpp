#include "tv3/RunLoop.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

using namespace Steinberg;
using Steinberg::Linux::FileDescriptor;
using Steinberg::Linux::IEventHandler;
using Steinberg::Linux::ITimerHandler;
using Steinberg::Linux::TimerInterval;

namespace tv3 {
namespace {

std::mutex gLoopLock;
std::optional<tv3m_run_loop> gLoop;

} // namespace

std::optional<tv3m_run_loop> currentRunLoop() {
    std::lock_guard lock(gLoopLock);
    return gLoop;
}

bool answerRunLoop(RunLoop* runLoop, const TUID iid, void** obj) {
    if (!runLoop || !iid || !obj) return false;
    if (std::memcmp(iid, InterfaceId<Linux::IRunLoop>::value(), sizeof(TUID)) != 0) return false;
    runLoop->addRef();
    *obj = static_cast<Linux::IRunLoop*>(runLoop);
    return true;
}

RunLoop::~RunLoop() {
    removeAll();
    // The last reference is gone, so no callback can be under way: whatever
    // is still waiting to be freed can go.
    std::lock_guard hold(lock_);
    for (Registration* r : removed_) delete r;
    removed_.clear();
}

std::size_t RunLoop::registrations() const {
    std::lock_guard hold(lock_);
    return registrations_.size();
}

void RunLoop::fdReady(void* data) {
    auto* r = static_cast<Registration*>(data);
    r->owner->dispatch(r);
}

void RunLoop::timerTick(void* data) {
    auto* r = static_cast<Registration*>(data);
    r->owner->dispatch(r);
}

void RunLoop::dispatch(Registration* r) {
    FUnknown* held = nullptr;
    IEventHandler* eventHandler = nullptr;
    ITimerHandler* timerHandler = nullptr;
    FileDescriptor fd = -1;
    {
        std::lock_guard hold(lock_);
        // Unregistered by another thread since the loop decided to call.
        if (r->removed) return;
        held = r->handler;
        eventHandler = r->eventHandler;
        timerHandler = r->timerHandler;
        fd = r->fd;
        // Held through the call: the handler may unregister itself there, or
        // another thread may unregister it meanwhile, letting go of ours. This
        // loop too, which is touched again after the call.
        held->addRef();
        addRef();
        ++callbacksUnderWay_;
    }
    // Nothing of `r` is touched after this: it may be removed in the call.
    if (eventHandler) eventHandler->onFDIsSet(fd);
    else timerHandler->onTimer();
    held->release();
    {
        std::lock_guard hold(lock_);
        --callbacksUnderWay_;
    }
    freeRemovedWhenIdle();
    release();
}

void RunLoop::freeRemovedWhenIdle() {
    std::vector<Registration*> freed;
    {
        std::lock_guard hold(lock_);
        if (callbacksUnderWay_ > 0) return;
        freed.swap(removed_);
    }
    for (Registration* r : freed) delete r;
}

tresult RunLoop::add(Registration* r, bool timer, std::uint64_t milliseconds) {
    // Held before the loop can call it; let go again if it is refused.
    r->handler->addRef();
    tresult result = kResultOk;
    {
        std::lock_guard hold(lock_);
        try {
            registrations_.reserve(registrations_.size() + 1);
        } catch (const std::bad_alloc&) {
            result = kOutOfMemory;
        }
        // Started with the lock held: a callback that comes at once on the
        // main thread waits until the registration is in the list.
        if (result == kResultOk) {
            r->id = timer ? loop_->start_timer(loop_->context, milliseconds, &RunLoop::timerTick, r)
                          : loop_->watch_readable(loop_->context, r->fd, &RunLoop::fdReady, r);
            if (r->id == 0) result = kResultFalse;
        }
        if (result == kResultOk) registrations_.push_back(r);
    }
    if (result != kResultOk) {
        r->handler->release();
        delete r;
    }
    return result;
}

tresult PLUGIN_API RunLoop::registerEventHandler(IEventHandler* handler, FileDescriptor fd) {
    if (!handler || fd < 0) return kInvalidArgument;
    if (!loop_) return kResultFalse;
    auto* r = new (std::nothrow) Registration{this, 0, handler, handler, nullptr, fd, false};
    if (!r) return kOutOfMemory;
    return add(r, false, 0);
}

tresult PLUGIN_API RunLoop::registerTimer(ITimerHandler* handler, TimerInterval milliseconds) {
    if (!handler) return kInvalidArgument;
    if (!loop_) return kResultFalse;
    auto* r = new (std::nothrow) Registration{this, 0, handler, nullptr, handler, -1, false};
    if (!r) return kOutOfMemory;
    // A timer of 0 ms would spin the loop; the shortest a plug-in gets is 1 ms.
    return add(r, true, std::max<std::uint64_t>(milliseconds, 1));
}

template <class Match>
bool RunLoop::removeWhere(Match match) {
    std::vector<FUnknown*> handlers;
    {
        std::lock_guard hold(lock_);
        auto kept = std::stable_partition(registrations_.begin(), registrations_.end(),
                                          [&](Registration* r) { return !match(*r); });
        if (kept == registrations_.end()) return false;
        try {
            handlers.reserve(static_cast<std::size_t>(registrations_.end() - kept));
            removed_.reserve(removed_.size() + handlers.capacity());
        } catch (const std::bad_alloc&) {
            // Nowhere to note them: they stay registered.
            return false;
        }
        for (auto it = kept; it != registrations_.end(); ++it) {
            Registration* r = *it;
            r->removed = true;
            // Before it can be freed: once cancelled, the loop starts no call
            // for it.
            loop_->cancel(loop_->context, r->id);
            handlers.push_back(r->handler);
            removed_.push_back(r);
        }
        registrations_.erase(kept, registrations_.end());
    }
    // Outside the lock: a handler released here may call back into this loop
    // (unregistering something else) from its destructor.
    for (FUnknown* handler : handlers) handler->release();
    return true;
}

tresult PLUGIN_API RunLoop::unregisterEventHandler(IEventHandler* handler) {
    if (!handler) return kInvalidArgument;
    return removeWhere([handler](const Registration& r) { return r.eventHandler == handler; }) ? kResultOk
                                                                                                : kResultFalse;
}

tresult PLUGIN_API RunLoop::unregisterTimer(ITimerHandler* handler) {
    if (!handler) return kInvalidArgument;
    return removeWhere([handler](const Registration& r) { return r.timerHandler == handler; }) ? kResultOk
                                                                                                : kResultFalse;
}

void RunLoop::removeAll() {
    // Again while releasing a handler registered something new.
    while (removeWhere([](const Registration&) { return true; })) {
    }
    freeRemovedWhenIdle();
}

} // namespace tv3

extern "C" void tv3m_set_run_loop(const tv3m_run_loop* loop) {
    std::lock_guard lock(tv3::gLoopLock);
    if (loop && loop->watch_readable && loop->start_timer && loop->cancel) {
        tv3::gLoop = *loop;
    } else {
        tv3::gLoop.reset();
    }
}
