// Frames over real pipes and socket pairs: layout, size checks, early ends,
// encode and decode failures.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace {

using Failure = PluginBridgeChannel::Failure;
using Op = PluginBridgeMessage::Op;

std::vector<std::uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

// A channel that reads what it writes, over one conduit.
class ChannelOverConduit : public ::testing::TestWithParam<ConduitKind> {
protected:
    Conduit conduit{GetParam()};
    PluginBridgeChannel channel{conduit.readEnd(), conduit.writeEnd()};

    Failure receiveFailure() {
        auto frame = channel.receive();
        if (frame) {
            ADD_FAILURE() << "received a frame with op " << pluginBridgeOpName(frame->message.op);
            return Failure::cancelled();
        }
        return frame.error();
    }
};

TEST_P(ChannelOverConduit, MessageAndPayloadComeBackAsSent) {
    auto request = PluginBridgeMessage::init(Op::process);
    request.frames = 3;
    request.events = {{1, 60, 0.75f, true}};
    const std::vector<std::uint8_t> payload = {0, 1, 2, 0xFF, 0, 7};
    ASSERT_EQ(channel.send(request, payload), std::nullopt);
    ASSERT_EQ(channel.send(PluginBridgeMessage::reply("no instance is open")), std::nullopt);

    auto first = channel.receive();
    ASSERT_TRUE(first) << first.error().description();
    EXPECT_EQ(first->message, request);
    EXPECT_EQ(first->payload, payload);

    auto second = channel.receive();
    ASSERT_TRUE(second) << second.error().description();
    EXPECT_EQ(second->message, PluginBridgeMessage::reply("no instance is open"));
    EXPECT_TRUE(second->payload.empty());
}

TEST_P(ChannelOverConduit, ReceivingIntoAReusedFrameReplacesEverything) {
    // Larger, smaller, empty and equal payloads in turn: no byte of an earlier
    // frame may survive into a later one.
    const std::vector<std::vector<std::uint8_t>> payloads = {
        std::vector<std::uint8_t>(3000, 0xAA), std::vector<std::uint8_t>(10, 0xBB), {},
        std::vector<std::uint8_t>(10, 0xCC), std::vector<std::uint8_t>(2000, 0xDD)};
    PluginBridgeChannel::Frame frame;
    std::int64_t n = 0;
    for (const auto& payload : payloads) {
        auto m = PluginBridgeMessage::init(n % 2 ? Op::process : Op::status);
        if (n % 2) m.frames = n;
        ASSERT_EQ(channel.send(m, payload), std::nullopt);
        ASSERT_EQ(channel.receiveInto(frame), std::nullopt);
        EXPECT_EQ(frame.message, m);
        EXPECT_EQ(frame.payload, payload) << "frame " << n;
        ++n;
    }
}

TEST_P(ChannelOverConduit, SentBytesFollowTheFrameLayout) {
    ASSERT_EQ(channel.send(PluginBridgeMessage::reply(), std::vector<std::uint8_t>{9, 8, 7}), std::nullopt);
    const std::string json = R"({"op":"reply"})";
    auto expected = std::vector<std::uint8_t>{14, 0, 0, 0, 3, 0, 0, 0};
    expected.insert(expected.end(), json.begin(), json.end());
    expected.insert(expected.end(), {9, 8, 7});
    EXPECT_EQ(conduit.take(expected.size()), expected);
    EXPECT_FALSE(conduit.hasWaitingBytes());
}

TEST_P(ChannelOverConduit, HeaderLengthsAreLittleEndian) {
    // Read big-endian, 01 00 00 00 would announce 16 MiB and the receive would
    // wait for more; read little-endian it is the one-byte JSON text "7".
    conduit.put(std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, '7'});
    conduit.put(rawFrame(R"({"op":"quit"})", {0xAB, 0xCD, 0xEF}));
    conduit.closeWriteEnd();
    const auto failure = receiveFailure();
    EXPECT_EQ(failure.kind(), Failure::Kind::malformed);
    EXPECT_EQ(failure.detail().rfind("decode: ", 0), 0u) << failure.detail();

    auto frame = channel.receive();
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_EQ(frame->message, PluginBridgeMessage::init(Op::quit));
    EXPECT_EQ(frame->payload, (std::vector<std::uint8_t>{0xAB, 0xCD, 0xEF}));
}

struct HeaderCase {
    const char* name;
    std::uint32_t jsonBytes, payloadBytes;
    bool accepted;
};

const HeaderCase kHeaders[] = {
    {"emptyJSON", 0, 0, false},
    {"emptyJSONWithPayload", 0, 12, false},
    {"oneByte", 1, 0, true},
    {"largestAsPayload", 1, 268435455, true},
    {"largestAsJSON", 268435456, 0, true},
    {"oneMoreInPayload", 1, 268435456, false},
    {"oneMoreInJSON", 268435457, 0, false},
    {"sumWouldWrapIn32Bits", 0xFFFFFFFF, 2, false},
    {"largestBoth", 0xFFFFFFFF, 0xFFFFFFFF, false},
};

class FrameHeader : public ::testing::TestWithParam<HeaderCase> {};

// An accepted header goes on to read the JSON text: closing the writer then
// gives `closed`. A refused one reads nothing past the header.
TEST_P(FrameHeader, SizeCheck) {
    const auto& c = GetParam();
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    conduit.put(frameHeader(c.jsonBytes, c.payloadBytes));
    if (c.accepted) {
        conduit.closeWriteEnd();
        auto frame = channel.receive();
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error(), Failure::closed()) << frame.error().description();
        return;
    }
    // Closed, so that a receive that wrongly reads on ends instead of waiting.
    // The channel may have read the following bytes ahead, but must not have
    // taken them: the next receive finds the frame after the header whole.
    const std::vector<std::uint8_t> payload = {1, 2, 3};
    conduit.put(rawFrame(R"({"op":"quit"})", payload));
    conduit.closeWriteEnd();
    auto frame = channel.receive();
    ASSERT_FALSE(frame);
    const std::string detail =
        "frame of " + std::to_string(c.jsonBytes) + "+" + std::to_string(c.payloadBytes) + " bytes";
    EXPECT_EQ(frame.error(), Failure::malformed(detail));
    EXPECT_EQ(frame.error().description(), "the plug-in host sent an unreadable reply (" + detail + ")");
    auto next = channel.receive();
    ASSERT_TRUE(next) << next.error().description();
    EXPECT_EQ(next->message, PluginBridgeMessage::init(PluginBridgeMessage::Op::quit));
    EXPECT_EQ(next->payload, payload);
}

INSTANTIATE_TEST_SUITE_P(Table, FrameHeader, ::testing::ValuesIn(kHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameHeaderText, EmptyJSONWithTwelvePayloadBytes) {
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    conduit.put(frameHeader(0, 12));
    auto frame = channel.receive();
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().description(), "the plug-in host sent an unreadable reply (frame of 0+12 bytes)");
}

TEST_P(ChannelOverConduit, PeerClosingMidFrameGivesClosed) {
    const auto whole = rawFrame(R"({"op":"process","frames":2})", std::vector<std::uint8_t>(8, 0x3F));
    const std::size_t jsonEnd = whole.size() - 8;
    for (std::size_t cut : {std::size_t{0}, std::size_t{4}, std::size_t{8} + 10, jsonEnd, jsonEnd + 4}) {
        SCOPED_TRACE("closed after " + std::to_string(cut) + " bytes");
        Conduit c(GetParam());
        PluginBridgeChannel ch(c.readEnd(), c.writeEnd());
        c.put(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        c.closeWriteEnd();
        auto frame = ch.receive();
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error(), Failure::closed());
        EXPECT_EQ(frame.error().description(), "the plug-in host closed the connection");
    }
}

TEST_P(ChannelOverConduit, SendAfterTheReaderClosedGivesClosedAndTheProcessLives) {
    conduit.closeReadEnd();
    EXPECT_EQ(channel.send(PluginBridgeMessage::reply(), std::vector<std::uint8_t>(100000, 1)), Failure::closed());
    EXPECT_EQ(channel.send(PluginBridgeMessage::reply()), Failure::closed());
    struct sigaction current{};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST_P(ChannelOverConduit, TextThatCannotBeEncodedWritesNothing) {
    const auto failure = channel.send(PluginBridgeMessage::reply(std::string("plug-in said \xFE\xFF")),
                                      std::vector<std::uint8_t>{1, 2, 3});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::malformed);
    EXPECT_EQ(failure->detail().rfind("encode: ", 0), 0u) << failure->detail();
    EXPECT_EQ(failure->description().rfind("the plug-in host sent an unreadable reply (encode: ", 0), 0u);
    EXPECT_FALSE(conduit.hasWaitingBytes());
}

TEST_P(ChannelOverConduit, PayloadTooLongForTheHeaderWritesNothing) {
    // Reserved address space only: never touched, so never backed by memory.
    const std::size_t size = std::size_t{1} << 32;
    void* area = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    const auto failure = channel.send(PluginBridgeMessage::reply(), {static_cast<const std::uint8_t*>(area), size});
    ::munmap(area, size);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Failure::Kind::malformed);
    EXPECT_EQ(failure->detail().rfind("encode: ", 0), 0u) << failure->detail();
    EXPECT_FALSE(conduit.hasWaitingBytes());
}

TEST_P(ChannelOverConduit, UndecodableJSONGivesMalformedWithDecodeDetail) {
    for (const char* json : {R"({"op":"Quit"})", "{", R"({"op":"setParameter","paramID":-1})", "\xFF"}) {
        SCOPED_TRACE(json);
        conduit.put(rawFrame(json));
        const auto failure = receiveFailure();
        EXPECT_EQ(failure.kind(), Failure::Kind::malformed);
        EXPECT_EQ(failure.detail().rfind("decode: ", 0), 0u) << failure.detail();
    }
}

TEST_P(ChannelOverConduit, NonFiniteValueTravelsAsAStringAndComesBack) {
    auto request = PluginBridgeMessage::init(Op::setParameter);
    request.paramID = 3;
    request.value = std::numeric_limits<double>::infinity();
    ASSERT_EQ(channel.send(request), std::nullopt);
    const std::string json = R"({"op":"setParameter","paramID":3,"value":"inf"})";
    const auto sent = conduit.take(8 + json.size());
    EXPECT_EQ(sent, rawFrame(json));

    conduit.put(sent);
    auto frame = channel.receive();
    ASSERT_TRUE(frame) << frame.error().description();
    EXPECT_EQ(frame->message, request);
}

INSTANTIATE_TEST_SUITE_P(Conduits, ChannelOverConduit,
                         ::testing::Values(ConduitKind::pipe, ConduitKind::socketPair),
                         [](const auto& info) { return conduitKindName(info.param); });

TEST(ChannelDescriptors, InvalidDescriptorsGiveIOFailures) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]); // numbers now unused
    for (int fd : {-1, fds[0]}) {
        SCOPED_TRACE(fd);
        PluginBridgeChannel channel(fd, fd);
        auto frame = channel.receive();
        ASSERT_FALSE(frame);
        EXPECT_EQ(frame.error(), Failure::io(EBADF));
        EXPECT_EQ(channel.send(PluginBridgeMessage::reply()), Failure::io(EBADF));
    }
}

// An owner that closes the write descriptor releases it first: the number may
// at once belong to something else, which no later send may write into.
TEST(ChannelDescriptors, AReleasedWriteDescriptorIsNeverWrittenAgain) {
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    ASSERT_FALSE(channel.send(PluginBridgeMessage::reply()));
    ASSERT_TRUE(channel.receive());
    channel.releaseWriteFD();
    EXPECT_EQ(channel.writeFD(), -1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(channel.send(PluginBridgeMessage::reply(), bytesOf("payload")), Failure::closed());
    }
    EXPECT_FALSE(conduit.hasWaitingBytes());
    EXPECT_TRUE(channel.inStep());
}

TEST(ChannelDescriptors, TheChannelNeverClosesItsDescriptors) {
    Conduit conduit(ConduitKind::pipe);
    { PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd()); }
    conduit.put(std::string("x"));
    EXPECT_EQ(conduit.take(1), bytesOf("x"));
}

struct FailureCase {
    Failure failure;
    const char* description;
};

TEST(ChannelFailure, DescriptionsAndEquality) {
    const FailureCase cases[] = {
        {Failure::malformed("decode: x"), "the plug-in host sent an unreadable reply (decode: x)"},
        {Failure::io(32), "the plug-in host connection failed (errno 32)"},
        {Failure::io(-5), "the plug-in host connection failed (errno -5)"},
        {Failure::closed(), "the plug-in host closed the connection"},
        {Failure::timedOut(), "the plug-in did not answer in time"},
        {Failure::cancelled(), "stopped"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].failure.description(), cases[i].description);
        for (std::size_t j = 0; j < std::size(cases); ++j) {
            EXPECT_EQ(cases[i].failure == cases[j].failure, i == j) << i << " vs " << j;
        }
    }
    EXPECT_EQ(Failure::malformed("a"), Failure::malformed("a"));
    EXPECT_NE(Failure::malformed("a"), Failure::malformed("b"));
    EXPECT_EQ(Failure::io(4), Failure::io(4));
    EXPECT_NE(Failure::io(4), Failure::io(5));
    EXPECT_NE(Failure::malformed(""), Failure::closed());
}

} // namespace
