// A plug-in whose latency follows a parameter: the reply to the request after
// which it announced the change carries the new latency, read once the
// plug-in has been restarted as VST3 asks; other replies carry none.
#include "session/SessionHarness.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sessiontest {
namespace {

Message withLatency(std::int64_t latency) {
    Message m = Message::reply();
    m.latency = latency;
    return m;
}

std::int64_t lookAheadLatency(double value) {
    return sessionfx::kLatency + static_cast<std::int64_t>(std::lround(value * sessionfx::kLookAheadMost));
}

TEST(LatencyChange, TheReplyToTheSettingThatChangedItCarriesTheNewLatency) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Reply opened = succeed(*client, openRequest(fixture("session_lookahead"), sessionfx::kEffectCid));
    EXPECT_EQ(opened.message.latency, sessionfx::kLatency);

    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kLookAheadId, 0.5)).message,
              withLatency(lookAheadLatency(0.5)));
    // Nothing new: no latency in the replies that follow.
    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kGainId, 0.5)).message, Message::reply());
    Reply listed = succeed(*client, request(Op::parameters));
    EXPECT_FALSE(listed.message.latency);
    Reply block = succeed(*client, processRequest(64), bytesOf(testSignal(2, 64), 64));
    EXPECT_FALSE(block.message.latency);
    EXPECT_EQ(block.payload.size(), 2u * 64 * 4) << "the restarted instance still processes";

    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kLookAheadId, 1.0)).message,
              withLatency(lookAheadLatency(1.0)));
    // "loadState" always reports the latency; after a restart it is the new one.
    Message load = Message::init(Op::loadState);
    EXPECT_EQ(call(*client, load).message, withLatency(lookAheadLatency(1.0)));
}

// A plug-in that announces its latency at every activation, changed or not:
// the restart that follows a change announces it again. That announcement is
// answered by the latency read after the restart; taken as a new change it
// would restart the plug-in after every later request, emptying its delay
// lines at every block.
TEST(LatencyChange, AnAnnouncementMadeByTheRestartItselfRestartsNothingMore) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    succeed(*client, openRequest(fixture("session_lookahead_announces"), sessionfx::kEffectCid));
    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kLookAheadId, 0.5)).message,
              withLatency(lookAheadLatency(0.5)));
    for (int b = 0; b < 3; ++b) {
        SCOPED_TRACE("block " + std::to_string(b));
        Reply block = succeed(*client, processRequest(64), bytesOf(testSignal(2, 64, b * 64L), 64));
        EXPECT_FALSE(block.message.latency) << "restarted again";
    }
    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kGainId, 0.5)).message, Message::reply());
}

} // namespace
} // namespace sessiontest
