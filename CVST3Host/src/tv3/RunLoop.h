#pragma once

#include "tv3/Unknown.h"
#include "tv3m.h"

#include <pluginterfaces/gui/iplugview.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tv3 {

// The run loop a Linux editor asks its host for: descriptor watches and
// timers, run on the host's main loop (lent through tv3m_set_run_loop). Every
// handler is held (one reference) while registered, so that a plug-in that
// drops its handler without unregistering it leaves nothing dangling; all are
// let go when the plug-in unregisters them, when its view is closed and when
// the instance goes. Main thread only, as the plug-ins' editors are.
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
    std::size_t registrations() const { return registrations_.size(); }

private:
    // One watch or timer. Owned by registrations_; the loop's callback gets
    // its address, which stays valid until the id is cancelled.
    struct Registration {
        std::uint64_t id = 0;
        Steinberg::FUnknown* handler; // an IEventHandler or an ITimerHandler, held
        Steinberg::Linux::IEventHandler* eventHandler = nullptr;
        Steinberg::Linux::ITimerHandler* timerHandler = nullptr;
        Steinberg::Linux::FileDescriptor fd = -1;
    };
    static void fdReady(void* data);
    static void timerTick(void* data);
    Steinberg::tresult add(Registration* registration, bool timer, std::uint64_t milliseconds);
    // Removes the registrations `match` picks; false when there were none.
    template <class Match>
    bool removeWhere(Match match);

    std::optional<tv3m_run_loop> loop_;
    std::vector<Registration*> registrations_;
};

// The loop new instances are given (tv3m_set_run_loop), or none.
std::optional<tv3m_run_loop> currentRunLoop();

// For the objects that hand the run loop out (the plug frame and the host
// application): when `iid` asks for IRunLoop and there is one, stores it with
// a new reference in *obj and answers true.
bool answerRunLoop(RunLoop* runLoop, const Steinberg::TUID iid, void** obj);

} // namespace tv3
