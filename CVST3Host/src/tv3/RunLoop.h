#pragma once

#include "tv3/Unknown.h"
#include "tv3m.h"

#include <pluginterfaces/gui/iplugview.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace tv3 {

// The run loop a Linux editor asks its host for: descriptor watches and
// timers, run on the host's main loop (lent through tv3m_set_run_loop). Every
// handler is held (one reference) while registered, so that a plug-in that
// drops its handler without unregistering it leaves nothing dangling; all are
// let go when the plug-in unregisters them, when its view is closed and when
// the instance goes.
//
// Handlers are called on the main thread, but plug-ins register and
// unregister from any thread (a framework's own timer thread, say), so the
// list is locked. Unregistering on the main thread means no call comes
// afterwards; from another thread, a call already under way on the main
// thread may still finish, and none begins afterwards. removeAll() and the
// destructor belong to the main thread.
class RunLoop final : public Unknown<Steinberg::Linux::IRunLoop> {
public:
    // Without a loop, every registration is refused.
    explicit RunLoop(const std::optional<tv3m_run_loop>& loop) : loop_(loop) {}
    ~RunLoop() override;

    Steinberg::tresult PLUGIN_API registerEventHandler(Steinberg::Linux::IEventHandler* handler,
                                                       Steinberg::Linux::FileDescriptor fd) override;
    Steinberg::tresult PLUGIN_API unregisterEventHandler(Steinberg::Linux::IEventHandler* handler) override;
    Steinberg::tresult PLUGIN_API registerTimer(Steinberg::Linux::ITimerHandler* handler,
                                                Steinberg::Linux::TimerInterval milliseconds) override;
    Steinberg::tresult PLUGIN_API unregisterTimer(Steinberg::Linux::ITimerHandler* handler) override;

    // Ends every watch and timer and lets go of their handlers.
    void removeAll();
    std::size_t registrations() const;

private:
    // One watch or timer. The loop's callback gets its address, so it stays
    // allocated after it is removed until the main thread is outside every
    // callback: only then can no call for it be on its way.
    struct Registration {
        RunLoop* owner = nullptr;
        std::uint64_t id = 0;
        Steinberg::FUnknown* handler = nullptr; // an IEventHandler or an ITimerHandler, held
        Steinberg::Linux::IEventHandler* eventHandler = nullptr;
        Steinberg::Linux::ITimerHandler* timerHandler = nullptr;
        Steinberg::Linux::FileDescriptor fd = -1;
        bool removed = false; // under the owner's lock
    };
    static void fdReady(void* data);
    static void timerTick(void* data);
    void dispatch(Registration* registration);
    Steinberg::tresult add(Registration* registration, bool timer, std::uint64_t milliseconds);
    // Removes the registrations `match` picks; false when there were none.
    template <class Match>
    bool removeWhere(Match match);
    // Frees the removed registrations when no callback is under way. Main
    // thread only.
    void freeRemovedWhenIdle();

    const std::optional<tv3m_run_loop> loop_;
    mutable std::mutex lock_;
    std::vector<Registration*> registrations_; // under lock_
    std::vector<Registration*> removed_;       // under lock_: to be freed
    int callbacksUnderWay_ = 0;                // under lock_
};

// The loop new instances are given (tv3m_set_run_loop), or none.
std::optional<tv3m_run_loop> currentRunLoop();

// For the objects that hand the run loop out (the plug frame and the host
// application): when `iid` asks for IRunLoop and there is one, stores it with
// a new reference in *obj and answers true.
bool answerRunLoop(RunLoop* runLoop, const Steinberg::TUID iid, void** obj);

} // namespace tv3
