// Deadlines and the stop callback of receive.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <functional>
#include <thread>
#include <tuple>

namespace {

using Failure = PluginBridgeChannel::Failure;
using Op = PluginBridgeMessage::Op;

class ChannelWait : public ::testing::Test {
protected:
    Conduit conduit{ConduitKind::pipe};
    PluginBridgeChannel channel{conduit.readEnd(), conduit.writeEnd()};

    // Whatever stopped the receive must have left the frame in the pipe.
    void expectFrameStillWaiting() {
        auto frame = channel.receive();
        ASSERT_TRUE(frame) << frame.error().description();
        EXPECT_EQ(frame->message, PluginBridgeMessage::init(Op::status));
        EXPECT_EQ(frame->payload, (std::vector<std::uint8_t>{5, 6}));
    }
    void putWholeFrame() { conduit.put(rawFrame(R"({"op":"status"})", {5, 6})); }
};

TEST_F(ChannelWait, DeadlineInThePastTimesOutEvenWithAWholeFrameWaiting) {
    putWholeFrame();
    for (double deadline : {PluginBridgeChannel::now() - 1, 0.0, -1e300}) {
        auto frame = channel.receive(deadline);
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error(), Failure::timedOut());
        EXPECT_EQ(frame.error().description(), "the plug-in did not answer in time");
    }
    expectFrameStillWaiting();
}

TEST_F(ChannelWait, StopCallbackThatSaysStopCancelsBeforeAnythingIsRead) {
    putWholeFrame();
    int asked = 0;
    auto frame = channel.receive(std::nullopt, [&] { return ++asked > 0; });
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::cancelled());
    EXPECT_EQ(frame.error().description(), "stopped");
    EXPECT_EQ(asked, 1);
    expectFrameStillWaiting();
}

TEST_F(ChannelWait, StopCallbackIsAskedAgainAndAgainWhilePeerIsSilent) {
    // Said "stop" only on the fourth question: the three waits before it each
    // ended by themselves, after one 250 ms slice.
    int asked = 0;
    const double start = PluginBridgeChannel::now();
    auto frame = channel.receive(std::nullopt, [&] { return ++asked == 4; });
    const double waited = PluginBridgeChannel::now() - start;
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::cancelled());
    EXPECT_EQ(asked, 4);
    EXPECT_GE(waited, 0.74);
}

TEST_F(ChannelWait, StopCallbackIsAskedBeforeEveryRead) {
    // A whole frame is waiting: header, JSON text and payload are one read,
    // after one question.
    putWholeFrame();
    int asked = 0;
    auto frame = channel.receive(std::nullopt, [&] { return ++asked > 1; });
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_EQ(asked, 1);
}

TEST_F(ChannelWait, LimitsAreLookedAtEvenForAFrameAlreadyReadAhead) {
    // Two frames come with one read; the second is at hand without a wait,
    // yet an expired deadline or a stop request still ends its receive, and
    // leaves it for the next one.
    auto two = rawFrame(R"({"op":"quit"})");
    const auto second = rawFrame(R"({"op":"status"})", {5, 6});
    two.insert(two.end(), second.begin(), second.end());
    conduit.put(two);
    auto first = channel.receive(PluginBridgeChannel::now() + 60, [] { return false; });
    ASSERT_TRUE(first) << first.error().description();
    EXPECT_EQ(first->message, PluginBridgeMessage::init(Op::quit));
    ASSERT_FALSE(conduit.hasWaitingBytes());

    auto late = channel.receive(PluginBridgeChannel::now() - 1);
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error(), Failure::timedOut());
    int asked = 0;
    auto stopped = channel.receive(std::nullopt, [&] { return ++asked > 0; });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), Failure::cancelled());
    EXPECT_EQ(asked, 1);
    expectFrameStillWaiting();
}

TEST_F(ChannelWait, ShortDeadlineWithASilentPeerTimesOut) {
    const double start = PluginBridgeChannel::now();
    auto frame = channel.receive(start + 0.010);
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::timedOut());
    EXPECT_GE(PluginBridgeChannel::now() - start, 0.010);
}

struct ShortDeadlineCase {
    const char* name;
    double seconds;
    bool withStopCallback;
    double atMost; // generous, yet well under one 250 ms slice of the callback
};

const ShortDeadlineCase kShortDeadlines[] = {
    {"tenMillisecondsAlone", 0.010, false, 0.200},
    {"hundredMillisecondsWithStopCallback", 0.100, true, 0.200},
};

class ShortDeadline : public ::testing::TestWithParam<ShortDeadlineCase> {};

// The wait ends with the deadline, not with the end of a poll slice that
// ignores the time left.
TEST_P(ShortDeadline, EndsSoonAfterTheDeadline) {
    const auto& c = GetParam();
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    int asked = 0;
    const std::function<bool()> stop = [&] { return ++asked < 0; };
    const double start = PluginBridgeChannel::now();
    auto frame = channel.receive(start + c.seconds, c.withStopCallback ? stop : std::function<bool()>());
    const double took = PluginBridgeChannel::now() - start;
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::timedOut());
    EXPECT_GE(took, c.seconds);
    EXPECT_LT(took, c.atMost);
    if (c.withStopCallback) {
        EXPECT_GE(asked, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ShortDeadline, ::testing::ValuesIn(kShortDeadlines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelWait, DeadlineCoversTheWholeFrame) {
    // The header and half the JSON arrive in time, the rest never does.
    const auto whole = rawFrame(R"({"op":"status"})");
    conduit.put(std::vector<std::uint8_t>(whole.begin(), whole.begin() + 12));
    auto frame = channel.receive(PluginBridgeChannel::now() + 0.05);
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::timedOut());
}

TEST_F(ChannelWait, StopCallbackEndsAReceiveInTheMiddleOfAFrame) {
    const auto whole = rawFrame(R"({"op":"status"})");
    conduit.put(std::vector<std::uint8_t>(whole.begin(), whole.begin() + 12));
    int asked = 0;
    auto frame = channel.receive(PluginBridgeChannel::now() + 600, [&] { return ++asked == 5; });
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::cancelled());
}

TEST_F(ChannelWait, WithoutDeadlineOrCallbackReceiveWaitsForALateFrame) {
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        putWholeFrame();
    });
    auto frame = channel.receive();
    late.join();
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_EQ(frame->message, PluginBridgeMessage::init(Op::status));
}

TEST_F(ChannelWait, DeadlineAheadLetsAFrameThatArrivesInTimeThrough) {
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        putWholeFrame();
    });
    int asked = 0;
    auto frame = channel.receive(PluginBridgeChannel::now() + 60, [&] { return ++asked < 0; });
    late.join();
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_GE(asked, 1); // before the wait; the frame then comes with one read
    EXPECT_EQ(frame->payload, (std::vector<std::uint8_t>{5, 6}));
}

// The frame trickles in a few bytes at a time, across the boundaries of
// header, JSON text and payload; a non-blocking descriptor has nothing to read
// at times.
class FrameInPieces : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(FrameInPieces, IsAssembledWhole) {
    const auto [nonBlocking, withDeadline] = GetParam();
    Conduit conduit(ConduitKind::pipe);
    if (nonBlocking) {
        ASSERT_EQ(::fcntl(conduit.readEnd(), F_SETFL, O_NONBLOCK), 0);
    }
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    std::vector<std::uint8_t> payload(50);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
    const auto whole = rawFrame(R"({"op":"process","frames":12})", payload);

    std::thread writer([&] {
        for (std::size_t at = 0; at < whole.size(); at += 3) {
            const auto end = whole.begin() + static_cast<std::ptrdiff_t>(std::min(at + 3, whole.size()));
            conduit.put(std::vector<std::uint8_t>(whole.begin() + static_cast<std::ptrdiff_t>(at), end));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto frame = withDeadline ? channel.receive(PluginBridgeChannel::now() + 60, [] { return false; })
                              : channel.receive();
    writer.join();
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_EQ(frame->message.frames, 12);
    EXPECT_EQ(frame->payload, payload);
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameInPieces, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "nonBlocking" : "blocking") +
                                    (std::get<1>(info.param) ? "WithDeadline" : "Plain");
                         });

TEST(ChannelClock, NowIsMonotonicSeconds) {
    const double a = PluginBridgeChannel::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double b = PluginBridgeChannel::now();
    EXPECT_GT(a, 0);
    EXPECT_GE(b - a, 0.020);
}

} // namespace
