// The platform's main loop itself, run on a thread of the test: how soon it
// sees another process exit (through a pidfd, and by polling where the kernel
// has none), and timers and watches started and ended by other threads while
// it runs and fires them.
#include "RunningLoop.h"
#include "platform/MainLoop.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

pid_t startSleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (;;) ::pause();
    }
    return pid;
}

void endAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

struct LoopKind {
    const char* name;
    std::unique_ptr<platform::MainLoop> (*make)();
};

void PrintTo(const LoopKind& kind, std::ostream* out) { *out << kind.name; }

const LoopKind kLoopKinds[] = {
    {"Pidfd", &platform::makeMainLoop},
    {"PollingWithoutPidfd", &platform::makeMainLoopPollingProcesses},
};

class ProcessExit : public testing::TestWithParam<LoopKind> {};

// The poll runs twice a second; a poll five times slower would take 5 s to
// see an exit that happened right after the watch began. 2.5 s leaves a
// loaded machine plenty of room and still tells the two apart.
TEST_P(ProcessExit, AnExitIsSeenWithinTwoAndAHalfSeconds) {
    RunningLoop loop(GetParam().make());
    const pid_t sleeper = startSleeper();
    ASSERT_GT(sleeper, 0);
    std::atomic<int> calls{0};
    std::atomic<bool> onLoopThread{false};
    const std::thread::id loopThread = loop.thread();
    loop->runAndWait([&] {
        loop->watchProcessExit(sleeper, [&] {
            onLoopThread = std::this_thread::get_id() == loopThread;
            ++calls;
        });
    });
    // Still there: nothing yet.
    loop->runAndWait([] {});
    EXPECT_EQ(calls.load(), 0);

    const auto ended = Clock::now();
    endAndReap(sleeper); // reaped, as a parent that is not our child would be by its own parent
    ASSERT_TRUE(tv3test::waitFor([&] { return calls.load() > 0; }, 10)) << "the exit was never seen";
    const double seconds = std::chrono::duration<double>(Clock::now() - ended).count();
    EXPECT_LT(seconds, 2.5) << "the exit took " << seconds << " s to be seen";
    EXPECT_TRUE(onLoopThread.load());
    // Once only.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(calls.load(), 1);
}

TEST_P(ProcessExit, APidThatNamesNoProcessCountsAsExitedAtOnce) {
    RunningLoop loop(GetParam().make());
    const pid_t gone = startSleeper();
    ASSERT_GT(gone, 0);
    endAndReap(gone);
    std::atomic<int> calls{0};
    loop->runAndWait([&] { loop->watchProcessExit(gone, [&] { ++calls; }); });
    // Queued when the watch began, so it has run before work queued after
    // it: not left to a poll.
    loop->runAndWait([] {});
    EXPECT_EQ(calls.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(calls.load(), 1);
}

TEST_P(ProcessExit, ACancelledWatchNeverCalls) {
    RunningLoop loop(GetParam().make());
    const pid_t sleeper = startSleeper();
    ASSERT_GT(sleeper, 0);
    std::atomic<int> calls{0};
    platform::MainLoop::Id id = 0;
    loop->runAndWait([&] { id = loop->watchProcessExit(sleeper, [&] { ++calls; }); });
    loop->runAndWait([&] { loop->cancel(id); });
    endAndReap(sleeper);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    loop->runAndWait([] {});
    EXPECT_EQ(calls.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(MainLoop, ProcessExit, testing::ValuesIn(kLoopKinds),
                         [](const testing::TestParamInfo<LoopKind>& info) { return info.param.name; });

// ---- Timers and watches from other threads -------------------------------------

// Threads that start and end timers and watches while the loop runs and fires
// them; some callbacks end themselves, or one started by another thread. Run
// under ThreadSanitizer, this is where a list changed without a lock shows.
TEST(MainLoopFromThreads, TimersAndWatchesStartAndEndOnAnyThread) {
    RunningLoop loop(platform::makeMainLoop());
    const std::thread::id loopThread = loop.thread();

    // A descriptor that stays readable: its watches are called on every turn
    // of the loop until they end.
    int readable[2];
    ASSERT_EQ(::pipe2(readable, O_CLOEXEC), 0);
    ASSERT_EQ(::write(readable[1], "x", 1), 1);

    std::atomic<long> timerCalls{0}, watchCalls{0}, offThread{0};
    // Ids started by the threads, for callbacks to end one of another's.
    std::mutex sharedLock;
    std::vector<platform::MainLoop::Id> shared;

    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1);
            for (int round = 0; round < kRounds; ++round) {
                auto selfId = std::make_shared<std::atomic<platform::MainLoop::Id>>(0);
                const bool endsItself = random() % 3 == 0;
                const bool endsAnother = random() % 5 == 0;
                platform::MainLoop& l = *loop;
                const auto timer = l.startRepeatingTimer(std::chrono::microseconds(200 + random() % 800), [&, selfId,
                                                                                                           endsItself,
                                                                                                           endsAnother] {
                    if (std::this_thread::get_id() != loopThread) ++offThread;
                    ++timerCalls;
                    if (endsItself && *selfId) l.cancel(*selfId);
                    if (endsAnother) {
                        std::lock_guard<std::mutex> hold(sharedLock);
                        if (!shared.empty()) l.cancel(shared[static_cast<std::size_t>(timerCalls) % shared.size()]);
                    }
                });
                *selfId = timer;
                const auto watch = l.watchReadable(readable[0], [&] {
                    if (std::this_thread::get_id() != loopThread) ++offThread;
                    ++watchCalls;
                });
                {
                    std::lock_guard<std::mutex> hold(sharedLock);
                    shared.push_back(watch);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
                l.cancel(watch);
                l.cancel(timer);
                l.cancel(timer); // ending twice is allowed
            }
        });
    }
    for (std::thread& t : threads) t.join();

    EXPECT_GT(timerCalls.load(), 0) << "no timer started from a thread ever ran";
    EXPECT_GT(watchCalls.load(), 0) << "no watch started from a thread ever ran";
    EXPECT_EQ(offThread.load(), 0) << "a callback ran off the loop's thread";

    // Everything has ended: once the loop has taken up the last ends, nothing
    // is called any more.
    loop->runAndWait([] {});
    loop->runAndWait([] {});
    const long timersAfter = timerCalls.load();
    const long watchesAfter = watchCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    loop->runAndWait([] {});
    EXPECT_EQ(timerCalls.load(), timersAfter);
    EXPECT_EQ(watchCalls.load(), watchesAfter);
    ::close(readable[0]);
    ::close(readable[1]);
}

// On the loop's own thread an end is final at once: a callback that ends
// another, due in the same turn, is never followed by that other's call.
TEST(MainLoopFromThreads, AnEndOnTheLoopThreadStopsACallThatWasAlreadyDue) {
    RunningLoop loop(platform::makeMainLoop());
    int readable[2];
    ASSERT_EQ(::pipe2(readable, O_CLOEXEC), 0);
    ASSERT_EQ(::write(readable[1], "x", 1), 1);
    std::atomic<int> calls{0};
    platform::MainLoop::Id first = 0, second = 0;
    loop->runAndWait([&] {
        // Both readable already, so both are due in the loop's next turn;
        // whichever runs first ends the other and itself.
        first = loop->watchReadable(readable[0], [&] {
            ++calls;
            loop->cancel(second);
            loop->cancel(first);
        });
        second = loop->watchReadable(readable[0], [&] {
            ++calls;
            loop->cancel(first);
            loop->cancel(second);
        });
    });
    ASSERT_TRUE(tv3test::waitFor([&] { return calls.load() > 0; }, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    loop->runAndWait([] {});
    EXPECT_EQ(calls.load(), 1) << "the one ended inside the other's call still ran";
    ::close(readable[0]);
    ::close(readable[1]);
}

} // namespace
