// The main thread's event loop as platform-free code sees it: work queued from
// any thread, a synchronous hand-over for the request thread, repeating timers,
// descriptor watches and a watch on another process's exit. Session logic is
// written against this interface only, so that its routing and endings can be
// tested with a fake loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class MainLoop {
public:
    using Id = std::uint64_t; // of a timer or a watch; never 0

    virtual ~MainLoop() = default;

    // Runs the loop on the calling thread (the main thread) until stop().
    virtual void run() = 0;
    // Makes run() return once the handler in progress, if any, has returned.
    // Callable from any thread.
    virtual void stop() = 0;

    // Queues `work` to run on the loop's thread, after work queued before it.
    // Returns at once. Callable from any thread, the loop's own included.
    virtual void post(std::function<void()> work) = 0;

    // Runs `work` on the loop's thread and returns once it has returned. For
    // other threads only: called on the loop's own thread it would wait for
    // itself, so it runs `work` directly there instead.
    virtual void runAndWait(const std::function<void()>& work) = 0;

    // Calls `tick` on the loop's thread every `interval`, the first time one
    // interval from now, until cancelled. A tick that runs late does not make
    // up for the ticks it missed. Like the two watches below, callable from
    // any thread; from another thread than the loop's, the interval counts
    // from when the loop takes the timer up.
    virtual Id startRepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> tick) = 0;

    // Calls `ready` on the loop's thread each time `fd` is readable (or has hung
    // up, or has an error), until cancelled. The loop never reads from or closes
    // the descriptor: `ready` must read what woke it, or it is called again.
    virtual Id watchReadable(int fd, std::function<void()> ready) = 0;

    // Calls `exited` once, on the loop's thread, when the process `pid` has
    // exited; at once (queued) when no process `pid` exists when the watch
    // starts. Not a child of ours: the watch never reaps.
    virtual Id watchProcessExit(int pid, std::function<void()> exited) = 0;

    // Ends a timer or a watch: its callback is not called again, even when a
    // call was already due. Cancelling from inside the callback itself, or
    // cancelling an id that has ended, is allowed. Callable from any thread;
    // from another thread than the loop's, a call that has already begun may
    // still be running when cancel returns (it is not waited for), but no call
    // begins afterwards.
    virtual void cancel(Id id) = 0;
};

// The platform's loop, for the calling thread to run().
std::unique_ptr<MainLoop> makeMainLoop();

// The same loop, but seeing process exits only the way it does where the
// kernel offers no better means (polling twice a second), so that tests
// reach that path too.
std::unique_ptr<MainLoop> makeMainLoopPollingProcesses();

} // namespace platform
