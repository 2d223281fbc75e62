// A plug-in's threads edit parameters while the processing side drains the
// pending edits under the handler's lock, as each block does.
#include "tv3/ComponentHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <pluginterfaces/vst/ivsteditcontroller.h>

using namespace Steinberg;

namespace {

using Edit = tv3::ComponentHandler::Edit;

constexpr int kWriters = 4;
constexpr int kEditsPerWriter = 5000;
constexpr Vst::ParamID kSharedEveryRound = 7;
constexpr Vst::ParamID kSharedEveryOtherRound = 8;
constexpr Vst::ParamID kOwnIdBase = 100;
// Every writer's last edit of a shared id; all earlier values are below it.
constexpr double kFinalValue = 1.0;
constexpr double kScale = kWriters * kEditsPerWriter + 1;

// Below 1, and telling which writer sent it in which round.
double sharedValue(int writer, int round) { return (writer * kEditsPerWriter + round + 1) / kScale; }
int writerOf(double value) { return (static_cast<int>(std::lround(value * kScale)) - 1) / kEditsPerWriter; }
int roundOf(double value) { return (static_cast<int>(std::lround(value * kScale)) - 1) % kEditsPerWriter; }
double ownValue(int round) { return (round + 1) / static_cast<double>(kEditsPerWriter); }

TEST(ComponentHandlerThreads, DrainingWhileThreadsEditLosesAndRepeatsNothing) {
    auto* handler = new tv3::ComponentHandler();
    std::barrier start(kWriters + 1);
    std::atomic<int> writersFinished{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            start.arrive_and_wait();
            for (int i = 0; i < kEditsPerWriter; ++i) {
                handler->performEdit(kOwnIdBase + w, ownValue(i));
                handler->performEdit(kSharedEveryRound, sharedValue(w, i));
                if (i % 2 == 0) handler->performEdit(kSharedEveryOtherRound, sharedValue(w, i));
            }
            handler->performEdit(kSharedEveryRound, kFinalValue);
            handler->performEdit(kSharedEveryOtherRound, kFinalValue);
            writersFinished.fetch_add(1, std::memory_order_release);
        });
    }

    // The processing side: take everything pending, block after block, and
    // once more after the last writer is done.
    std::vector<std::vector<Edit>> blocks;
    std::thread drainer([&] {
        start.arrive_and_wait();
        for (;;) {
            const bool last = writersFinished.load(std::memory_order_acquire) == kWriters;
            std::vector<Edit> block;
            {
                std::lock_guard<std::mutex> hold(handler->editLock());
                block = handler->pendingEditsLocked();
                handler->pendingEditsLocked().clear();
            }
            if (!block.empty()) blocks.push_back(std::move(block));
            if (last) break;
        }
    });
    for (auto& writer : writers) writer.join();
    drainer.join();

    {
        std::lock_guard<std::mutex> hold(handler->editLock());
        EXPECT_TRUE(handler->pendingEditsLocked().empty());
    }

    // Each id at most once per block.
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        std::set<Vst::ParamID> ids;
        for (const Edit& edit : blocks[b]) ASSERT_TRUE(ids.insert(edit.id).second) << "id " << edit.id << " twice in block " << b;
    }

    // Every value that arrives for an id, in block order.
    std::map<Vst::ParamID, std::vector<double>> arrived;
    for (const auto& block : blocks)
        for (const Edit& edit : block) arrived[edit.id].push_back(edit.value);
    ASSERT_EQ(arrived.size(), static_cast<std::size_t>(kWriters + 2)) << "an id never arrived";

    // A writer's own id: its values arrive in the order sent, none twice, and
    // the last one sent is the last one to arrive.
    for (int w = 0; w < kWriters; ++w) {
        SCOPED_TRACE(w);
        const std::vector<double>& values = arrived[kOwnIdBase + w];
        ASSERT_FALSE(values.empty());
        for (std::size_t i = 1; i < values.size(); ++i) ASSERT_LT(values[i - 1], values[i]) << "arrival " << i;
        EXPECT_EQ(values.back(), ownValue(kEditsPerWriter - 1));
    }

    // A shared id: from each writer, rounds only move forward; the last value
    // to arrive is the final one every writer ends with.
    for (Vst::ParamID id : {kSharedEveryRound, kSharedEveryOtherRound}) {
        SCOPED_TRACE(id);
        const std::vector<double>& values = arrived[id];
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), kFinalValue);
        std::vector<int> lastRound(kWriters, -1);
        for (double value : values) {
            if (value == kFinalValue) continue;
            const int writer = writerOf(value);
            ASSERT_GE(writer, 0);
            ASSERT_LT(writer, kWriters);
            ASSERT_GT(roundOf(value), lastRound[writer]) << "writer " << writer << " went back";
            lastRound[writer] = roundOf(value);
        }
    }
    EXPECT_EQ(handler->release(), 0u);
}

// The owner also reads the number pending under the lock (to count edits)
// while the plug-in keeps editing; the count never exceeds the ids in use.
TEST(ComponentHandlerThreads, PendingCountSeenByTheOwnerStaysWithinTheIdsInUse) {
    constexpr int kIds = 16;
    auto* handler = new tv3::ComponentHandler();
    std::atomic<bool> done{false};
    std::thread editor([&] {
        for (int i = 0; i < 20000; ++i) handler->performEdit(static_cast<Vst::ParamID>(i % kIds), i / 20000.0);
        done.store(true, std::memory_order_release);
    });
    std::size_t largest = 0;
    int drains = 0;
    while (!done.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> hold(handler->editLock());
        largest = std::max(largest, handler->pendingEditsLocked().size());
        if (++drains % 3 == 0) handler->pendingEditsLocked().clear();
    }
    editor.join();
    EXPECT_LE(largest, static_cast<std::size_t>(kIds));
    handler->release();
}

// A plug-in announces latency changes from its own threads while the owner
// takes the note between blocks: no announcement made after the last take is
// lost, and each take answers once.
TEST(ComponentHandlerThreads, LatencyChangesAnnouncedFromOtherThreadsAreNeverLost) {
    auto* handler = new tv3::ComponentHandler();
    constexpr int kAnnouncers = 3;
    constexpr int kRounds = 2000;
    std::atomic<int> finished{0};
    std::vector<std::thread> announcers;
    for (int t = 0; t < kAnnouncers; ++t) {
        announcers.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) handler->restartComponent(Vst::kLatencyChanged);
            finished.fetch_add(1);
        });
    }
    int taken = 0;
    while (finished.load() < kAnnouncers) {
        if (handler->takeLatencyChange()) ++taken;
        std::this_thread::yield();
    }
    for (std::thread& t : announcers) t.join();
    // Whatever was announced after the owner's last look is still noted.
    const bool last = handler->takeLatencyChange();
    EXPECT_TRUE(last || taken > 0);
    EXPECT_LE(taken + (last ? 1 : 0), kAnnouncers * kRounds);
    // An announcement after everything was taken is seen by the next take.
    handler->restartComponent(Vst::kLatencyChanged);
    EXPECT_TRUE(handler->takeLatencyChange());
    EXPECT_FALSE(handler->takeLatencyChange());
    EXPECT_EQ(handler->release(), 0u);
}

} // namespace
