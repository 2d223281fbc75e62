// Every way a session ends goes through the backstop and the orderly shutdown
// on the main loop, and ends with status 0.
#include "SessionHarness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

using Op = PluginBridgeMessage::Op;

// Reads whatever the session wrote, without waiting.
std::string pendingBytes(int fd) {
    std::string bytes;
    char buffer[256];
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

TEST(SessionEnding, QuitRepliesThenEnds) {
    SessionHarness h;
    const PluginBridgeChannel::Frame reply = h.request(PluginBridgeMessage::init(Op::quit));
    EXPECT_EQ(reply.message, PluginBridgeMessage::reply());
    ASSERT_TRUE(h.pumpUntilEnded());
    EXPECT_EQ(h.endStatus.load(), 0);
    EXPECT_GE(h.backstops.load(), 1);
    // Nothing after the quit reply.
    EXPECT_EQ(pendingBytes(h.parentReadFD()), "");
}

enum class Ending { endOfInput, undecodableJSON, unknownOp, refusedHeader, parentExit, replyCannotBeSent };

class SessionEndings : public ::testing::TestWithParam<Ending> {};

TEST_P(SessionEndings, EndWithStatusZeroAndNoReply) {
    SessionHarness h;
    auto writeRaw = [&](const std::string& json) {
        std::uint32_t header[2] = {static_cast<std::uint32_t>(json.size()), 0};
        std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
        bytes += json;
        ASSERT_EQ(::write(h.parentWriteFD(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    switch (GetParam()) {
    case Ending::endOfInput: h.closeParentWrite(); break;
    case Ending::undecodableJSON: writeRaw("{\"op\":"); break;
    case Ending::unknownOp: writeRaw("{\"op\":\"Quit\"}"); break;
    case Ending::refusedHeader: writeRaw(""); break; // N = 0
    case Ending::parentExit: {
        h.loop.pumpPending();
        const auto watches = h.loop.exitWatches();
        ASSERT_EQ(watches.size(), 1u);
        watches.begin()->second.exited();
        break;
    }
    case Ending::replyCannotBeSent:
        h.closeParentRead();
        ASSERT_FALSE(h.parentChannel->send(PluginBridgeMessage::init(Op::status)));
        break;
    }
    ASSERT_TRUE(h.pumpUntilEnded());
    EXPECT_EQ(h.endStatus.load(), 0);
    EXPECT_GE(h.backstops.load(), 1);
    if (GetParam() != Ending::replyCannotBeSent) {
        EXPECT_EQ(pendingBytes(h.parentReadFD()), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Each, SessionEndings,
                         ::testing::Values(Ending::endOfInput, Ending::undecodableJSON, Ending::unknownOp,
                                           Ending::refusedHeader, Ending::parentExit,
                                           Ending::replyCannotBeSent));

TEST(SessionEnding, ExitSoonTwiceStartsTwoBackstopsAndShutsDownOnce) {
    SessionHarness h;
    HelperSession::exitSoon();
    HelperSession::exitSoon();
    EXPECT_EQ(h.backstops.load(), 2);
    h.loop.pumpPending();
    // The first shutdown ends the process; in the real helper the second
    // never runs. Here both ask to end with 0.
    EXPECT_GE(h.endings.load(), 1);
    EXPECT_EQ(h.endStatus.load(), 0);
}

} // namespace
