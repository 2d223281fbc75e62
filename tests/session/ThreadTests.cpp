// Which thread the helper calls a plug-in on: audio blocks on the thread that
// read the request, as a host's audio thread runs them, and every other call
// (creation, set-up, activation, state, parameters, the edit poll, the end)
// on the main thread. The fixture writes the thread of each call to a file.
#include "session/SessionHarness.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace sessiontest {
namespace {

// One block through the effect; checks the output is the input times `gain`.
void expectGainBlock(PluginBridgeClient& client, int frames, float gain) {
    const auto in = testSignal(2, frames);
    Reply r = succeed(client, processRequest(frames), bytesOf(in, frames));
    ASSERT_EQ(r.payload.size(), static_cast<std::size_t>(2 * frames * 4));
    const std::vector<float> out = samples(r.payload);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < frames; ++i) {
            ASSERT_EQ(out[c * frames + i], in[c][i] * gain) << "channel " << c << " frame " << i;
        }
    }
}

struct Call {
    std::string name;
    bool onMain = false;
    std::string thread; // the thread's name when not the main thread
};

std::vector<Call> readLog(const std::string& path) {
    std::vector<Call> calls;
    std::ifstream in(path);
    std::string name, where;
    while (in >> name >> where) {
        Call c{name, where == "main", {}};
        if (!c.onMain) std::getline(in >> std::ws, c.thread);
        calls.push_back(c);
    }
    return calls;
}

// Sets the fixture's log file for helpers started while it lives.
class ThreadLog {
public:
    explicit ThreadLog(const std::string& path) { ::setenv("TV3_FIXTURE_THREAD_LOG", path.c_str(), 1); }
    ~ThreadLog() { ::unsetenv("TV3_FIXTURE_THREAD_LOG"); }
};

// Runs `session` against the thread-recording fixture, quits, and answers
// the calls the fixture saw, in order.
template <class Session>
std::vector<Call> recordedCalls(Session&& session) {
    tv3test::TempDir dir;
    const std::string log = dir / "threads.log";
    {
        ThreadLog logging(log);
        auto client = startHelper();
        if (!client) {
            ADD_FAILURE() << "no helper";
            return {};
        }
        openFixture(*client, "session_records_threads");
        session(*client);
        EXPECT_TRUE(client->quit(kEndSeconds).exitedWith(0));
    }
    return readLog(log);
}

// Every block on one thread other than the main thread, every other call on
// the main thread; answers the number of blocks.
int expectThreads(const std::vector<Call>& calls) {
    std::set<std::string> blockThreads;
    int blocks = 0;
    for (const Call& c : calls) {
        if (c.name == "process") {
            ++blocks;
            EXPECT_FALSE(c.onMain) << "a block ran on the main thread";
            blockThreads.insert(c.thread);
        } else {
            EXPECT_TRUE(c.onMain) << c.name << " ran on thread \"" << c.thread << "\"";
        }
    }
    EXPECT_LE(blockThreads.size(), 1u) << "every block runs on the one request thread";
    if (!blockThreads.empty()) {
        EXPECT_EQ(blockThreads.begin()->rfind("TarvelVST3Host", 0), 0u) << *blockThreads.begin();
    }
    return blocks;
}

TEST(SessionThreads, BlocksRunOnTheRequestThreadAndEveryOtherCallOnTheMainThread) {
    const std::vector<Call> calls = recordedCalls([](PluginBridgeClient& client) {
        expectGainBlock(client, 64, 1.0f);
        // An edit made through the controller on the main thread reaches the
        // very next block on the request thread.
        succeed(client, setParameterRequest(sessionfx::kGainId, 1.0));
        expectGainBlock(client, 64, 2.0f);
        Reply saved = succeed(client, request(Op::saveState));
        succeed(client, setParameterRequest(sessionfx::kGainId, 0.25));
        expectGainBlock(client, 128, 0.5f);
        Message load = Message::init(Op::loadState);
        load.componentBytes = saved.message.componentBytes;
        load.controllerBytes = saved.message.controllerBytes;
        succeed(client, load, saved.payload);
        expectGainBlock(client, 512, 2.0f);
        EXPECT_FALSE(parameters(client).empty());
        // Blocks and requests of the main thread interleaved, many times.
        for (int i = 0; i < 20; ++i) {
            const double value = (i % 4 + 1) / 8.0;
            succeed(client, setParameterRequest(sessionfx::kGainId, value));
            expectGainBlock(client, 32, static_cast<float>(2 * value));
        }
        // Edits the plug-in reports from inside its blocks, on the request
        // thread, are counted for the parent like those of the main thread.
        succeed(client, setParameterRequest(sessionfx::kReportId, 1.0));
        call(client, request(Op::status));
        for (int i = 0; i < 3; ++i) succeed(client, processRequest(64), bytesOf(testSignal(2, 64), 64));
        EXPECT_GE(call(client, request(Op::status)).message.editCount.value_or(0), 2);
    });

    EXPECT_EQ(expectThreads(calls), 27);
    std::set<std::string> seen;
    for (const Call& c : calls) seen.insert(c.name);
    for (const char* expected :
         {"component.initialize", "controller.initialize", "controller.setComponentHandler",
          "component.setBusArrangements", "component.setupProcessing", "component.setActive",
          "component.setProcessing", "component.getState", "component.setState", "controller.getState",
          "controller.setState", "controller.setComponentState", "controller.setParamNormalized",
          "controller.getParameterInfo", "component.terminate", "controller.terminate"}) {
        EXPECT_TRUE(seen.count(expected)) << expected << " was never called";
    }
}

// A plug-in that announces a new latency from inside a block: the block
// runs on the request thread, the restart VST3 asks for (processing off,
// deactivation, activation) on the main thread, and the block's own reply
// carries the new latency.
TEST(SessionThreads, ALatencyAnnouncedInABlockIsActedOnOnTheMainThread) {
    const std::vector<Call> calls = recordedCalls([](PluginBridgeClient& client) {
        Reply set = succeed(client, setParameterRequest(sessionfx::kLookAheadId, 0.5));
        EXPECT_FALSE(set.message.latency) << "this fixture announces only in its next block";
        Reply block = succeed(client, processRequest(64), bytesOf(testSignal(2, 64), 64));
        EXPECT_EQ(block.message.latency, std::optional<std::int64_t>(sessionfx::kLatency + sessionfx::kLookAheadMost / 2));
        Reply next = succeed(client, processRequest(64), bytesOf(testSignal(2, 64), 64));
        EXPECT_FALSE(next.message.latency);
    });
    EXPECT_EQ(expectThreads(calls), 2);
    // After the first block: the restart, then the second block.
    std::vector<std::string> afterFirst;
    bool pastFirst = false;
    for (const Call& c : calls) {
        if (pastFirst) afterFirst.push_back(c.name);
        if (c.name == "process") pastFirst = true;
    }
    const std::vector<std::string> restart = {"component.setProcessing", "component.setActive", "component.setActive",
                                              "component.setProcessing", "process"};
    ASSERT_GE(afterFirst.size(), restart.size());
    EXPECT_EQ(std::vector<std::string>(afterFirst.begin(), afterFirst.begin() + restart.size()), restart);
}

} // namespace
} // namespace sessiontest
