// The run loop Linux editors are given: watches and timers go to the host's
// loop, their handlers are held while registered, a callback may unregister
// itself or another, and nothing is called once a handler is unregistered or
// the loop has let go of everything. The plug frame and the host application
// hand the loop out when they were given one.
#include "support/FakeRunLoop.h"
#include "tv3/HostApplication.h"
#include "tv3/PlugFrame.h"
#include "tv3/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

using namespace Steinberg;
using Steinberg::Linux::IEventHandler;
using Steinberg::Linux::IRunLoop;
using Steinberg::Linux::ITimerHandler;

namespace {

// A handler of either kind that counts its calls and references and runs a
// test's action from inside its callback.
template <class I>
class Handler : public I {
public:
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return ++refs; }
    uint32 PLUGIN_API release() override { return --refs; } // on the stack: never deleted
    uint32 refs = 1;
    int calls = 0;
    Linux::FileDescriptor lastFd = -1;
    std::function<void()> inside;
};

struct Watch : Handler<IEventHandler> {
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
        ++calls;
        lastFd = fd;
        if (inside) inside();
    }
};

struct Timer : Handler<ITimerHandler> {
    void PLUGIN_API onTimer() override {
        ++calls;
        if (inside) inside();
    }
};

class RunLoopTest : public ::testing::Test {
protected:
    void TearDown() override {
        loop->removeAll();
        EXPECT_EQ(loop->release(), 0u);
        EXPECT_TRUE(fake.live.empty());
    }
    tv3test::FakeRunLoop fake;
    tv3::RunLoop* loop = new tv3::RunLoop(fake.loop());
};

TEST_F(RunLoopTest, WatchesAndTimersRunOnTheHostLoopWithTheirHandlersHeld) {
    Watch watch;
    Timer timer;
    ASSERT_EQ(loop->registerEventHandler(&watch, 17), kResultOk);
    ASSERT_EQ(loop->registerTimer(&timer, 40), kResultOk);
    EXPECT_EQ(watch.refs, 2u);
    EXPECT_EQ(timer.refs, 2u);
    ASSERT_EQ(fake.count(false), 1u);
    ASSERT_EQ(fake.count(true), 1u);
    for (const auto& [id, e] : fake.live) {
        if (e.timer) EXPECT_EQ(e.milliseconds, 40u);
        else EXPECT_EQ(e.fd, 17);
    }
    // The callbacks hold a reference while they run.
    watch.inside = [&] { EXPECT_EQ(watch.refs, 3u); };
    timer.inside = [&] { EXPECT_EQ(timer.refs, 3u); };
    EXPECT_EQ(fake.fireAll(false), 1);
    EXPECT_EQ(fake.fireAll(true), 1);
    EXPECT_EQ(fake.fireAll(true), 1);
    watch.inside = nullptr;
    timer.inside = nullptr;
    EXPECT_EQ(watch.calls, 1);
    EXPECT_EQ(watch.lastFd, 17);
    EXPECT_EQ(timer.calls, 2);
    // ... and give it back.
    EXPECT_EQ(watch.refs, 2u);
    EXPECT_EQ(timer.refs, 2u);

    EXPECT_EQ(loop->unregisterEventHandler(&watch), kResultOk);
    EXPECT_EQ(loop->unregisterTimer(&timer), kResultOk);
    EXPECT_EQ(watch.refs, 1u);
    EXPECT_EQ(timer.refs, 1u);
    EXPECT_EQ(fake.fireAll(false) + fake.fireAll(true), 0);
    EXPECT_EQ(fake.cancelled.size(), 2u);
}

TEST_F(RunLoopTest, AHandlerMayUnregisterItselfInsideItsOwnCallback) {
    Timer timer;
    Watch watch;
    timer.inside = [&] { EXPECT_EQ(loop->unregisterTimer(&timer), kResultOk); };
    watch.inside = [&] { EXPECT_EQ(loop->unregisterEventHandler(&watch), kResultOk); };
    ASSERT_EQ(loop->registerTimer(&timer, 10), kResultOk);
    ASSERT_EQ(loop->registerEventHandler(&watch, 3), kResultOk);
    EXPECT_EQ(fake.fireAll(true), 1);
    EXPECT_EQ(fake.fireAll(false), 1);
    EXPECT_EQ(fake.fireAll(true) + fake.fireAll(false), 0);
    EXPECT_EQ(timer.calls, 1);
    EXPECT_EQ(watch.calls, 1);
    EXPECT_EQ(timer.refs, 1u);
    EXPECT_EQ(watch.refs, 1u);
    EXPECT_EQ(loop->registrations(), 0u);
}

TEST_F(RunLoopTest, ACallbackThatUnregistersAnotherStopsItBeforeItsTurn) {
    Timer first, second;
    first.inside = [&] { loop->unregisterTimer(&second); };
    second.inside = [&] { loop->unregisterTimer(&first); };
    ASSERT_EQ(loop->registerTimer(&first, 10), kResultOk);
    ASSERT_EQ(loop->registerTimer(&second, 10), kResultOk);
    EXPECT_EQ(fake.fireAll(true), 1); // first runs, and second is gone before its turn
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_EQ(second.refs, 1u);
    loop->removeAll(); // before the handlers on this stack go
    EXPECT_EQ(first.refs, 1u);
}

TEST_F(RunLoopTest, OneHandlerOnTwoDescriptorsIsUnregisteredFromBoth) {
    Watch watch;
    ASSERT_EQ(loop->registerEventHandler(&watch, 5), kResultOk);
    ASSERT_EQ(loop->registerEventHandler(&watch, 6), kResultOk);
    EXPECT_EQ(watch.refs, 3u);
    EXPECT_EQ(fake.fireAll(false), 2);
    EXPECT_EQ(loop->unregisterEventHandler(&watch), kResultOk);
    EXPECT_EQ(watch.refs, 1u);
    EXPECT_EQ(fake.count(false), 0u);
    EXPECT_EQ(loop->unregisterEventHandler(&watch), kResultFalse) << "nothing left to unregister";
}

TEST_F(RunLoopTest, RemovingAllEndsEveryWatchAndTimerAndLetsGoOfTheirHandlers) {
    Watch watch;
    Timer timer;
    ASSERT_EQ(loop->registerEventHandler(&watch, 9), kResultOk);
    ASSERT_EQ(loop->registerTimer(&timer, 16), kResultOk);
    loop->removeAll();
    EXPECT_TRUE(fake.live.empty());
    EXPECT_EQ(watch.refs, 1u);
    EXPECT_EQ(timer.refs, 1u);
    EXPECT_EQ(fake.fireAll(false) + fake.fireAll(true), 0);
    // A plug-in that unregisters afterwards is told there was nothing.
    EXPECT_EQ(loop->unregisterTimer(&timer), kResultFalse);
}

TEST_F(RunLoopTest, RefusesWhatItCannotServe) {
    Watch watch;
    Timer timer;
    EXPECT_EQ(loop->registerEventHandler(nullptr, 3), kInvalidArgument);
    EXPECT_EQ(loop->registerEventHandler(&watch, -1), kInvalidArgument);
    EXPECT_EQ(loop->registerTimer(nullptr, 10), kInvalidArgument);
    EXPECT_EQ(loop->unregisterEventHandler(nullptr), kInvalidArgument);
    EXPECT_EQ(loop->unregisterTimer(nullptr), kInvalidArgument);
    fake.refuse = true;
    EXPECT_EQ(loop->registerEventHandler(&watch, 3), kResultFalse);
    EXPECT_EQ(loop->registerTimer(&timer, 10), kResultFalse);
    EXPECT_EQ(watch.refs, 1u) << "a refused registration holds nothing";
    EXPECT_EQ(timer.refs, 1u);
}

TEST_F(RunLoopTest, ATimerOfNoMillisecondsRunsEveryMillisecondRatherThanSpinning) {
    Timer timer;
    ASSERT_EQ(loop->registerTimer(&timer, 0), kResultOk);
    ASSERT_EQ(fake.live.size(), 1u);
    EXPECT_EQ(fake.live.begin()->second.milliseconds, 1u);
    loop->removeAll();
}

// A plug-in that lets go of the loop's last reference inside a callback (its
// instance already gone): the loop lasts until the call is over, then ends
// everything and lets go of the handlers.
TEST(RunLoopLetGoOf, InsideACallbackLastsUntilTheCallIsOver) {
    tv3test::FakeRunLoop fake;
    auto* loop = new tv3::RunLoop(fake.loop());
    Timer timer;
    Watch watch;
    ASSERT_EQ(loop->registerTimer(&timer, 10), kResultOk);
    ASSERT_EQ(loop->registerEventHandler(&watch, 4), kResultOk);
    timer.inside = [&] { loop->release(); };
    EXPECT_EQ(fake.fireAll(true), 1);
    EXPECT_TRUE(fake.live.empty());
    EXPECT_EQ(timer.refs, 1u);
    EXPECT_EQ(watch.refs, 1u);
}

TEST(RunLoopWithoutHostLoop, RefusesEveryRegistration) {
    tv3::RunLoop* loop = new tv3::RunLoop(std::nullopt);
    Watch watch;
    Timer timer;
    EXPECT_EQ(loop->registerEventHandler(&watch, 3), kResultFalse);
    EXPECT_EQ(loop->registerTimer(&timer, 10), kResultFalse);
    EXPECT_EQ(watch.refs, 1u);
    EXPECT_EQ(loop->release(), 0u);
}

// Both objects a plug-in may ask answer IRunLoop with the same loop, with a
// reference of its own; without a loop they answer as before.
TEST(RunLoopHandedOut, ByThePlugFrameAndTheHostApplication) {
    tv3test::FakeRunLoop fake;
    auto* loop = new tv3::RunLoop(fake.loop());
    auto* frame = new tv3::PlugFrame(loop);
    auto* host = new tv3::HostApplication(loop);
    for (FUnknown* asked : {static_cast<FUnknown*>(frame), static_cast<FUnknown*>(host)}) {
        void* found = nullptr;
        ASSERT_EQ(asked->queryInterface(Linux::IRunLoop_iid, &found), kResultOk);
        EXPECT_EQ(found, static_cast<IRunLoop*>(loop));
        EXPECT_EQ(static_cast<IRunLoop*>(found)->release(), 3u); // the loop's own, the frame's, the host's
    }
    EXPECT_EQ(frame->release(), 0u);
    EXPECT_EQ(host->release(), 0u);
    EXPECT_EQ(loop->release(), 0u);

    auto* bare = new tv3::PlugFrame();
    void* found = reinterpret_cast<void*>(1);
    EXPECT_EQ(bare->queryInterface(Linux::IRunLoop_iid, &found), kNoInterface);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(bare->release(), 0u);
}

} // namespace
