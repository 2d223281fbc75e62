// The receive side reads ahead: a frame that is whole in the pipe comes with
// one read, and bytes of the frames after it that came with that read are
// kept for the following receives, however the frames are cut and mixed.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <thread>

namespace {

using Failure = PluginBridgeChannel::Failure;
using Op = PluginBridgeMessage::Op;
using Bytes = std::vector<std::uint8_t>;

Bytes numbered(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i + i / 256);
    return b;
}

struct Sent {
    PluginBridgeMessage message;
    Bytes payload;
};

PluginBridgeMessage process(std::int64_t frames) {
    auto m = PluginBridgeMessage::init(Op::process);
    m.frames = frames;
    return m;
}

// Blocks of one size, a status request between them, a block of another size,
// an empty payload, and a payload larger than the channel reads ahead.
std::vector<Sent> mixedFrames() {
    return {
        {process(64), numbered(512, 1)},
        {process(64), numbered(512, 2)},
        {PluginBridgeMessage::init(Op::status), {}},
        {process(64), numbered(512, 3)},
        {process(4096), numbered(32768, 4)},
        {process(4096), numbered(32768, 5)},
        {PluginBridgeMessage::reply("no instance is open"), {}},
        {process(100000), numbered(800000, 6)},
        {process(100000), numbered(800000, 7)},
        {process(3), numbered(24, 8)},
    };
}

Bytes streamOf(const std::vector<Sent>& frames) {
    Bytes all;
    for (const auto& f : frames) {
        const auto b = rawFrame(*f.message.toJSON(), f.payload);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

enum class Receiver { whole, reused, alternating };

// Receives every frame in turn and checks it.
void receiveAll(const PluginBridgeChannel& channel, const std::vector<Sent>& frames, Receiver how,
                const std::optional<double>& deadline = std::nullopt,
                const std::function<bool()>& shouldStop = {}) {
    PluginBridgeChannel::Frame reused;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const bool whole = how == Receiver::whole || (how == Receiver::alternating && i % 2 == 1);
        if (whole) {
            auto frame = channel.receive(deadline, shouldStop);
            ASSERT_TRUE(frame) << frame.error().description();
            EXPECT_EQ(frame->message, frames[i].message);
            EXPECT_TRUE(frame->payload == frames[i].payload);
        } else {
            const auto failure = channel.receiveInto(reused, deadline, shouldStop);
            ASSERT_EQ(failure, std::nullopt) << failure->description();
            EXPECT_EQ(reused.message, frames[i].message);
            EXPECT_TRUE(reused.payload == frames[i].payload);
        }
    }
}

TEST(ChannelReadAhead, FramesWrittenTogetherAreReceivedOneByOne) {
    for (std::size_t together : {2, 3}) {
        for (Receiver how : {Receiver::whole, Receiver::reused, Receiver::alternating}) {
            SCOPED_TRACE(std::to_string(together) + " frames in one write, receiver " +
                         std::to_string(static_cast<int>(how)));
            Conduit conduit(ConduitKind::pipe);
            PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
            std::vector<Sent> frames = {{process(8), numbered(64, 1)},
                                        {PluginBridgeMessage::init(Op::status), {}},
                                        {process(8), numbered(64, 2)}};
            frames.resize(together);
            conduit.put(streamOf(frames)); // one write
            receiveAll(channel, frames, how);
            EXPECT_FALSE(conduit.hasWaitingBytes());
            // Nothing more than was sent: the next receive meets the end.
            conduit.closeWriteEnd();
            auto end = channel.receive();
            ASSERT_FALSE(end);
            EXPECT_EQ(end.error(), Failure::closed());
        }
    }
}

// The stream of five frames written in two pieces, cut at every byte: each
// piece waits in the pipe before the receives start, so every boundary of
// header, JSON text, payload and frame lands in the read-ahead at some cut.
TEST(ChannelReadAhead, FramesCutAtEveryByteAreAssembled) {
    // The second frame is laid out as the first, the third is not: a cut at
    // a frame's end has the next receive guess the layout, right and wrong.
    const std::vector<Sent> frames = {{process(4), numbered(32, 1)},
                                      {process(4), numbered(32, 2)},
                                      {process(5), numbered(40, 3)},
                                      {PluginBridgeMessage::init(Op::quit), {}},
                                      {process(4), numbered(32, 4)}};
    const Bytes all = streamOf(frames);
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        for (Receiver how : {Receiver::reused, Receiver::alternating}) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            Conduit conduit(ConduitKind::pipe);
            PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
            conduit.put(Bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut)));
            std::thread rest([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                conduit.put(Bytes(all.begin() + static_cast<std::ptrdiff_t>(cut), all.end()));
            });
            receiveAll(channel, frames, how);
            rest.join();
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// Byte by byte, and with a deadline and a stop callback, through a
// non-blocking descriptor: every read returns little.
TEST(ChannelReadAhead, FramesTricklingInByteByByte) {
    const std::vector<Sent> frames = {{process(4), numbered(32, 1)},
                                      {process(4), numbered(32, 2)},
                                      {PluginBridgeMessage::init(Op::status), {}},
                                      {process(5), numbered(40, 3)}};
    const Bytes all = streamOf(frames);
    Conduit conduit(ConduitKind::pipe);
    ASSERT_EQ(::fcntl(conduit.readEnd(), F_SETFL, O_NONBLOCK), 0);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    std::thread writer([&] {
        for (std::uint8_t b : all) conduit.put(Bytes{b});
    });
    receiveAll(channel, frames, Receiver::reused, PluginBridgeChannel::now() + 60, [] { return false; });
    writer.join();
}

// A long mixed stream from a writer thread, each frame its own write: sizes
// change, payloads larger than the read-ahead pass, both receives are mixed.
TEST(ChannelReadAhead, MixedStreamFromAWriter) {
    for (Receiver how : {Receiver::whole, Receiver::reused, Receiver::alternating}) {
        for (ConduitKind kind : {ConduitKind::pipe, ConduitKind::socketPair}) {
            SCOPED_TRACE(conduitKindName(kind));
            Conduit conduit(kind);
            PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
            const auto frames = mixedFrames();
            std::thread writer([&] {
                PluginBridgeChannel out(-1, conduit.writeEnd());
                for (const auto& f : frames) ASSERT_EQ(out.send(f.message, f.payload), std::nullopt);
            });
            receiveAll(channel, frames, how);
            writer.join();
        }
    }
}

// The payload larger than the read-ahead goes into the frame's own buffer:
// after the first such frame, receiving more of the same size leaves the
// buffer where it was (read into, not copied through a new one).
TEST(ChannelReadAhead, LargePayloadIsReadIntoTheFramesBuffer) {
    Conduit conduit(ConduitKind::socketPair);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    const std::vector<Sent> frames = {{process(100000), numbered(800000, 1)},
                                      {process(100000), numbered(800000, 2)},
                                      {process(100000), numbered(800000, 3)}};
    std::thread writer([&] {
        PluginBridgeChannel out(-1, conduit.writeEnd());
        for (const auto& f : frames) ASSERT_EQ(out.send(f.message, f.payload), std::nullopt);
    });
    PluginBridgeChannel::Frame frame;
    const std::uint8_t* buffer = nullptr;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(channel.receiveInto(frame), std::nullopt);
        EXPECT_EQ(frame.message, frames[i].message);
        EXPECT_TRUE(frame.payload == frames[i].payload) << "frame " << i;
        if (i == 0) buffer = frame.payload.data();
        EXPECT_EQ(frame.payload.data(), buffer);
    }
    writer.join();
}

TEST(ChannelPipeSize, EnlargingIsBestEffort) {
    Conduit pipe(ConduitKind::pipe);
    const int size = PluginBridgeChannel::enlargePipe(pipe.writeEnd(), 1 << 20);
    EXPECT_GE(size, 4096);
    // Never smaller than asked for a size the pipe already has.
    EXPECT_EQ(PluginBridgeChannel::enlargePipe(pipe.writeEnd(), 1), size);
    Conduit socket(ConduitKind::socketPair);
    EXPECT_EQ(PluginBridgeChannel::enlargePipe(socket.writeEnd(), 1 << 20), -1);
}

} // namespace
