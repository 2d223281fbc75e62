// The run loop plug-ins are given, over the session's real main loop, when a
// plug-in registers and unregisters handlers from threads of its own while the
// main thread runs and calls them: every handler is let go exactly once, none
// is called once it is gone, and one unregistered on the main thread is not
// called again.
#include "PluginRunLoop.h"
#include "RunningLoop.h"
#include "tv3/RunLoop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

using namespace Steinberg;

namespace {

std::atomic<long> gHandlersAlive{0};
std::atomic<long> gCalls{0};
std::atomic<long> gCallsOffTheLoop{0};
std::atomic<long> gCallsAfterMainThreadEnd{0};
std::thread::id gLoopThread;

// A handler as a plug-in makes it: reference counted, deleted with its last
// reference, so that a call after that is a use after free the sanitizers see.
template <class I>
class Handler : public I {
public:
    Handler() { ++gHandlersAlive; }
    virtual ~Handler() { --gHandlersAlive; }
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return ++refs_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    void called() {
        ++gCalls;
        if (std::this_thread::get_id() != gLoopThread) ++gCallsOffTheLoop;
        if (endedOnTheLoop) ++gCallsAfterMainThreadEnd;
    }
    // Set on the loop's thread by the call that unregistered it there.
    bool endedOnTheLoop = false;

private:
    std::atomic<uint32> refs_{1};
};

struct Watch : Handler<Linux::IEventHandler> {
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor) override { called(); }
};

// Runs `inside` on each call, on the loop's thread. Holds `sibling`, which
// `inside` may use, for as long as it lives itself.
struct Timer : Handler<Linux::ITimerHandler> {
    explicit Timer(Timer* sibling = nullptr) : sibling(sibling) {
        if (sibling) sibling->addRef();
    }
    ~Timer() override {
        if (sibling) sibling->release();
    }
    void PLUGIN_API onTimer() override {
        called();
        if (inside) inside(this);
    }
    Timer* sibling;
    std::function<void(Timer*)> inside;
};

class PluginRunLoopFromThreads : public testing::Test {
protected:
    void SetUp() override {
        gHandlersAlive = 0;
        gCalls = 0;
        gCallsOffTheLoop = 0;
        gCallsAfterMainThreadEnd = 0;
        gLoopThread = loop.thread();
        lendMainLoopToPlugins(*loop);
        runLoop = new tv3::RunLoop(tv3::currentRunLoop());
    }
    void TearDown() override { tv3m_set_run_loop(nullptr); }

    RunningLoop loop{platform::makeMainLoop()};
    tv3::RunLoop* runLoop = nullptr;
};

TEST_F(PluginRunLoopFromThreads, HandlersComeAndGoOnPlugInThreadsWhileTheMainThreadCallsThem) {
    // Stays readable: its watches are called on every turn of the loop.
    int readable[2];
    ASSERT_EQ(::pipe2(readable, O_CLOEXEC), 0);
    ASSERT_EQ(::write(readable[1], "x", 1), 1);

    constexpr int kThreads = 4;
    constexpr int kRounds = 120;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 11);
            for (int round = 0; round < kRounds; ++round) {
                auto* watch = new Watch;
                auto* sibling = new Timer;
                auto* timer = new Timer(sibling);
                const int kind = static_cast<int>(random() % 3);
                // On its first call the timer unregisters itself, or its
                // sibling (which must then never be called again), or nothing.
                timer->inside = [this, kind](Timer* self) {
                    if (kind == 0) {
                        runLoop->unregisterTimer(self);
                    } else if (kind == 1 && !self->sibling->endedOnTheLoop) {
                        if (runLoop->unregisterTimer(self->sibling) == kResultOk) self->sibling->endedOnTheLoop = true;
                    }
                };
                EXPECT_EQ(runLoop->registerEventHandler(watch, readable[0]), kResultOk);
                EXPECT_EQ(runLoop->registerTimer(sibling, 1), kResultOk);
                EXPECT_EQ(runLoop->registerTimer(timer, 1 + random() % 2), kResultOk);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                EXPECT_EQ(runLoop->unregisterEventHandler(watch), kResultOk);
                runLoop->unregisterTimer(timer); // may have gone by itself
                const bool timerGone = runLoop->unregisterTimer(timer) == kResultFalse;
                EXPECT_TRUE(timerGone);
                runLoop->unregisterTimer(sibling);
                watch->release();
                timer->release();
                sibling->release();
            }
        });
    }
    for (std::thread& t : threads) t.join();

    EXPECT_GT(gCalls.load(), 0) << "nothing registered from a thread was ever called";
    EXPECT_EQ(gCallsOffTheLoop.load(), 0) << "a handler was called off the main thread";
    EXPECT_EQ(gCallsAfterMainThreadEnd.load(), 0) << "a handler unregistered on the main thread was called again";
    loop->runAndWait([&] { EXPECT_EQ(runLoop->registrations(), 0u); });
    EXPECT_EQ(gHandlersAlive.load(), 0) << "a registration kept its handler after it was unregistered";

    // Teardown on the main thread, as an instance's is.
    loop->runAndWait([&] {
        runLoop->removeAll();
        EXPECT_EQ(runLoop->release(), 0u);
    });
    ::close(readable[0]);
    ::close(readable[1]);
}

// Whatever is still registered when the view closes or the instance goes is
// ended on the main thread while plug-in threads keep registering: every
// handler is let go, and nothing is called after the teardown.
TEST_F(PluginRunLoopFromThreads, RemovingAllOnTheMainThreadWhileThreadsRegister) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                auto* timer = new Timer;
                runLoop->registerTimer(timer, 1);
                timer->release(); // left to the run loop, as a careless plug-in does
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    }
    for (int i = 0; i < 30; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        loop->runAndWait([&] { runLoop->removeAll(); });
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_GT(gCalls.load(), 0);
    loop->runAndWait([&] {
        runLoop->removeAll();
        EXPECT_EQ(runLoop->registrations(), 0u);
    });
    EXPECT_EQ(gHandlersAlive.load(), 0);
    const long calls = gCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop->runAndWait([] {});
    EXPECT_EQ(gCalls.load(), calls) << "a handler was called after everything was removed";
    EXPECT_EQ(gCallsOffTheLoop.load(), 0);
    loop->runAndWait([&] { EXPECT_EQ(runLoop->release(), 0u); });
}

} // namespace
