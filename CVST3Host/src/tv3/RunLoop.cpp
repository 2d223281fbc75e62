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

// Keeps the handler alive through its own callback: it may unregister itself
// there, which lets go of our reference.
template <class Handler, class Call>
void callHeld(Handler* handler, Call call) {
    handler->addRef();
    call(handler);
    handler->release();
}

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

RunLoop::~RunLoop() { removeAll(); }

void RunLoop::fdReady(void* data) {
    const auto* r = static_cast<const Registration*>(data);
    const FileDescriptor fd = r->fd;
    // Nothing of `r` is touched after the call: the handler may unregister.
    callHeld(r->eventHandler, [fd](IEventHandler* h) { h->onFDIsSet(fd); });
}

void RunLoop::timerTick(void* data) {
    const auto* r = static_cast<const Registration*>(data);
    callHeld(r->timerHandler, [](ITimerHandler* h) { h->onTimer(); });
}

tresult RunLoop::add(Registration* r, bool timer, std::uint64_t milliseconds) {
    try {
        registrations_.reserve(registrations_.size() + 1);
    } catch (const std::bad_alloc&) {
        delete r;
        return kOutOfMemory;
    }
    r->id = timer ? loop_->start_timer(loop_->context, milliseconds, &RunLoop::timerTick, r)
                  : loop_->watch_readable(loop_->context, r->fd, &RunLoop::fdReady, r);
    if (r->id == 0) {
        delete r;
        return kResultFalse;
    }
    r->handler->addRef();
    registrations_.push_back(r);
    return kResultOk;
}

tresult PLUGIN_API RunLoop::registerEventHandler(IEventHandler* handler, FileDescriptor fd) {
    if (!handler || fd < 0) return kInvalidArgument;
    if (!loop_) return kResultFalse;
    auto* r = new (std::nothrow) Registration{0, handler, handler, nullptr, fd};
    if (!r) return kOutOfMemory;
    return add(r, false, 0);
}

tresult PLUGIN_API RunLoop::registerTimer(ITimerHandler* handler, TimerInterval milliseconds) {
    if (!handler) return kInvalidArgument;
    if (!loop_) return kResultFalse;
    auto* r = new (std::nothrow) Registration{0, handler, nullptr, handler, -1};
    if (!r) return kOutOfMemory;
    // A timer of 0 ms would spin the loop; the shortest a plug-in gets is 1 ms.
    return add(r, true, std::max<std::uint64_t>(milliseconds, 1));
}

template <class Match>
bool RunLoop::removeWhere(Match match) {
    // Taken out of the list first: a handler released here may call back into
    // this loop (unregistering something else) from its destructor.
    std::vector<Registration*> gone;
    for (Registration* r : registrations_)
        if (match(*r)) gone.push_back(r);
    if (gone.empty()) return false;
    registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                        [&](Registration* r) { return match(*r); }),
                         registrations_.end());
    for (Registration* r : gone) {
        loop_->cancel(loop_->context, r->id);
        r->handler->release();
        delete r;
    }
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
    while (!registrations_.empty()) removeWhere([](const Registration&) { return true; });
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
