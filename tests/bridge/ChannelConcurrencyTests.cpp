// Several senders on one channel, and frames larger than a pipe holds.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using Op = PluginBridgeMessage::Op;

std::uint8_t fillByte(std::int64_t sender, std::int64_t sequence) {
    return static_cast<std::uint8_t>(sender * 37 + sequence * 11 + 1);
}

TEST(ChannelConcurrency, FramesOfConcurrentSendersArriveWhole) {
    // Each payload is larger than a pipe's buffer, so every frame takes several
    // writes: only the write lock keeps other senders' bytes out of them.
    constexpr int kSenders = 4, kFramesEach = 40;
    constexpr std::size_t kPayloadBytes = 70000;
    Conduit conduit(ConduitKind::pipe);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());

    std::atomic<int> failures{0};
    // Once every sender is done the pipe is closed, so that a receiver thrown
    // out of step by a mixed-up frame ends instead of waiting for bytes.
    std::jthread senders([&] {
        std::vector<std::jthread> each;
        for (int s = 0; s < kSenders; ++s) {
            each.emplace_back([&, s] {
                for (int i = 0; i < kFramesEach; ++i) {
                    auto m = PluginBridgeMessage::init(Op::process);
                    m.channels = s;
                    m.frames = i;
                    const std::vector<std::uint8_t> payload(kPayloadBytes + static_cast<std::size_t>(i),
                                                            fillByte(s, i));
                    if (channel.send(m, payload)) ++failures;
                }
            });
        }
        each.clear();
        conduit.closeWriteEnd();
    });
    // Should a check below give up early, the senders must not stay blocked
    // on a full pipe: with the reader gone their writes fail at once.
    struct StopReading {
        Conduit& conduit;
        ~StopReading() { conduit.closeReadEnd(); }
    } stopReading{conduit};

    std::vector<int> nextSequence(kSenders, 0);
    for (int n = 0; n < kSenders * kFramesEach; ++n) {
        auto frame = channel.receive();
        ASSERT_TRUE(frame) << "frame " << n << ": " << frame.error().description();
        const auto& m = frame->message;
        ASSERT_TRUE(m.channels && m.frames && *m.channels >= 0 && *m.channels < kSenders);
        const auto s = *m.channels, i = *m.frames;
        EXPECT_EQ(i, nextSequence[static_cast<std::size_t>(s)]++) << "sender " << s;
        ASSERT_EQ(frame->payload.size(), kPayloadBytes + static_cast<std::size_t>(i));
        EXPECT_EQ(std::count(frame->payload.begin(), frame->payload.end(), fillByte(s, i)),
                  static_cast<std::ptrdiff_t>(frame->payload.size()))
            << "sender " << s << " frame " << i;
    }
    senders.join();
    EXPECT_EQ(failures.load(), 0);
    auto end = channel.receive();
    ASSERT_FALSE(end);
    EXPECT_EQ(end.error(), PluginBridgeChannel::Failure::closed()); // nothing more was sent
}

struct LargeFrameCase {
    const char* name;
    std::size_t textBytes;    // length of a text field, so of the JSON text
    std::size_t payloadBytes;
};

TEST(ChannelConcurrency, LargeFramesArriveIntact) {
    // Several MiB, so that the receiver's buffers grow while the bytes come
    // in; a JSON text that outgrows its first buffer must not spill into the
    // payload's.
    const LargeFrameCase cases[] = {
        {"largePayload", 10, 9 * 1024 * 1024 + 3},
        {"largeJSONAndPayload", 3 * 1024 * 1024 + 5, 2 * 1024 * 1024 + 1},
        {"largeJSONOnly", 5 * 1024 * 1024, 0},
    };
    for (const auto& c : cases) {
        for (ConduitKind kind : {ConduitKind::pipe, ConduitKind::socketPair}) {
            SCOPED_TRACE(std::string(c.name) + " over " + conduitKindName(kind));
            Conduit conduit(kind);
            PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
            std::vector<std::uint8_t> payload(c.payloadBytes);
            for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
            auto m = PluginBridgeMessage::init(Op::loadState);
            m.componentBytes = static_cast<std::int64_t>(payload.size());
            m.controllerBytes = 0;
            std::string text(c.textBytes, 'x');
            for (std::size_t i = 0; i < text.size(); i += 997) text[i] = static_cast<char>('a' + i % 26);
            m.path = text;

            std::thread sender([&] { EXPECT_EQ(channel.send(m, payload), std::nullopt); });
            auto frame = channel.receive(PluginBridgeChannel::now() + 120);
            sender.join();
            ASSERT_TRUE(frame) << frame.error().description();
            EXPECT_TRUE(frame->message == m);
            EXPECT_TRUE(frame->payload == payload);
        }
    }
}

} // namespace
