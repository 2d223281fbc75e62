// Deadlines and the stop callback of receive and of send.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

// A deadline ends waits, not the taking of what has arrived: a reply that is
// whole in the pipe is received with a deadline of now or before; one that
// has not come, or only in part, times out without a wait.
struct PastDeadlineCase {
    const char* name;
    std::size_t bytesWaiting; // of the frame below; 0 for none, 99 for all
    bool received;
};

const PastDeadlineCase kPastDeadlines[] = {
    {"wholeFrame", 99, true},
    {"nothing", 0, false},
    {"headerOnly", 8, false},
    {"allButTheLastByte", 98, false},
};

class PastDeadline : public ::testing::TestWithParam<std::tuple<PastDeadlineCase, double>> {};

TEST_P(PastDeadline, TakesOnlyWhatIsThere) {
    const auto& [c, behind] = GetParam();
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    auto whole = rawFrame(R"({"op":"status"})", std::vector<std::uint8_t>(99 - 8 - 15, 7));
    ASSERT_EQ(whole.size(), 99u);
    if (c.bytesWaiting > 0) conduit.put(std::vector<std::uint8_t>(whole.begin(), whole.begin() + c.bytesWaiting));
    const double deadline = behind == 0 ? PluginBridgeChannel::now() : PluginBridgeChannel::now() - behind;
    const double start = PluginBridgeChannel::now();
    auto frame = channel.receive(deadline);
    EXPECT_LT(PluginBridgeChannel::now() - start, 1.0) << "waited past a deadline that had passed";
    if (c.received) {
        ASSERT_TRUE(frame) << frame.error().description();
        EXPECT_EQ(frame->message, PluginBridgeMessage::init(Op::status));
        EXPECT_EQ(frame->payload.size(), 99u - 8 - 15);
    } else {
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error(), Failure::timedOut());
        EXPECT_EQ(frame.error().description(), "the plug-in did not answer in time");
        // Stopped before the header was taken, the stream is still in step.
        EXPECT_EQ(channel.inStep(), c.bytesWaiting < 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PastDeadline,
                         ::testing::Combine(::testing::ValuesIn(kPastDeadlines), ::testing::Values(0.0, 1.0, 1e300)),
                         [](const auto& info) {
                             const double behind = std::get<1>(info.param);
                             return std::string(std::get<0>(info.param).name) +
                                    (behind == 0 ? "AtTheDeadline" : behind == 1 ? "ASecondLate" : "AgesLate");
                         });

TEST_F(ChannelWait, StopCallbackThatSaysStopCancelsBeforeAnythingIsRead) {
    putWholeFrame();
    int asked = 0;
    auto frame = channel.receive(std::nullopt, [&] { return ++asked > 0; });
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error(), Failure::cancelled());
    EXPECT_EQ(frame.error().description(), "stopped");
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(channel.inStep());
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

TEST_F(ChannelWait, StopIsAskedEvenForAFrameAlreadyReadAheadWhichALateDeadlineTakes) {
    // Two frames come with one read; the second is at hand without a wait,
    // yet a stop request still ends its receive and leaves it for the next
    // one, and an expired deadline, which only ends waits, lets it through.
    auto two = rawFrame(R"({"op":"quit"})");
    const auto second = rawFrame(R"({"op":"status"})", {5, 6});
    two.insert(two.end(), second.begin(), second.end());
    conduit.put(two);
    auto first = channel.receive(PluginBridgeChannel::now() + 60, [] { return false; });
    ASSERT_TRUE(first) << first.error().description();
    EXPECT_EQ(first->message, PluginBridgeMessage::init(Op::quit));
    ASSERT_FALSE(conduit.hasWaitingBytes());

    int asked = 0;
    auto stopped = channel.receive(std::nullopt, [&] { return ++asked > 0; });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), Failure::cancelled());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(channel.inStep());
    auto late = channel.receive(PluginBridgeChannel::now() - 1);
    ASSERT_TRUE(late) << late.error().description();
    EXPECT_EQ(late->message, PluginBridgeMessage::init(Op::status));
    EXPECT_EQ(late->payload, (std::vector<std::uint8_t>{5, 6}));
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
    // Part of the frame was taken: what follows in the pipe is no frame's start.
    EXPECT_FALSE(channel.inStep());
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

// A send to a non-blocking pipe that nobody reads waits for room only within
// its limits. Room that is there is used even after the deadline. What was
// written decides whether the stream is still in step.
struct SendLimitCase {
    const char* name;
    bool pipeFull;      // filled to the brim with bytes of earlier frames
    bool largerThanPipe;
    double deadlineIn;  // seconds from now; negative for passed
    bool stop;          // a stop callback that says stop
    std::optional<Failure> failure;
    bool inStep;
};

const SendLimitCase kSendLimits[] = {
    {"roomAfterThePassedDeadlineIsUsed", false, false, -1, false, std::nullopt, true},
    {"fullPipeTimesOutWithNothingWritten", true, false, 0.1, false, Failure::timedOut(), true},
    {"fullPipeAndPassedDeadline", true, false, -1, false, Failure::timedOut(), true},
    {"largeFrameTimesOutHalfWritten", false, true, 0.1, false, Failure::timedOut(), false},
    {"fullPipeStoppedWithNothingWritten", true, false, 60, true, Failure::cancelled(), true},
    {"largeFrameStoppedHalfWritten", false, true, 60, true, Failure::cancelled(), false},
};

class SendLimit : public ::testing::TestWithParam<SendLimitCase> {};

TEST_P(SendLimit, EndsTheWaitForRoom) {
    const auto& c = GetParam();
    Conduit conduit(ConduitKind::pipe);
    ASSERT_EQ(::fcntl(conduit.writeEnd(), F_SETFL, O_NONBLOCK), 0);
    const int pipeBytes = ::fcntl(conduit.writeEnd(), F_GETPIPE_SZ);
    ASSERT_GT(pipeBytes, 0);
    if (c.pipeFull) {
        const std::vector<std::uint8_t> filler(4096, 1);
        while (::write(conduit.writeEnd(), filler.data(), filler.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
    }
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    const std::vector<std::uint8_t> payload(c.largerThanPipe ? 2 * static_cast<std::size_t>(pipeBytes) : 16, 3);
    int asked = 0;
    const std::function<bool()> stop = [&] { return ++asked > 0; };
    const double start = PluginBridgeChannel::now();
    const auto failure = channel.send(PluginBridgeMessage::init(Op::process), payload, start + c.deadlineIn,
                                      c.stop ? stop : std::function<bool()>());
    EXPECT_LT(PluginBridgeChannel::now() - start, 10.0);
    EXPECT_EQ(failure, c.failure) << (failure ? failure->description() : "sent");
    EXPECT_EQ(channel.inStep(), c.inStep);
    if (c.stop) {
        EXPECT_EQ(asked, 1);
    }
    if (c.pipeFull) {
        // Nothing of the frame went in behind the filler.
        std::vector<std::uint8_t> all(static_cast<std::size_t>(pipeBytes) + 4096);
        const ssize_t n = ::read(conduit.readEnd(), all.data(), all.size());
        ASSERT_GT(n, 0);
        all.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(all, std::vector<std::uint8_t>(all.size(), 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SendLimit, ::testing::ValuesIn(kSendLimits),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ChannelClock, NowIsMonotonicSeconds) {
    const double a = PluginBridgeChannel::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double b = PluginBridgeChannel::now();
    EXPECT_GT(a, 0);
    EXPECT_GE(b - a, 0.020);
}

} // namespace
