// What a steady loop of frames allocates: after the first few frames, nothing,
// neither to send nor to receive into a reused frame. The program counts every
// allocation of the process.
#include "ChannelTestSupport.h"
#include "hostobjects/CountingAllocator.h"

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <gtest/gtest.h>

namespace {

namespace allocations = tv3test::allocations;
using Op = PluginBridgeMessage::Op;

struct SteadyCase {
    const char* name;
    PluginBridgeMessage message;
    std::size_t payloadBytes;
};

PluginBridgeMessage process(std::int64_t frames, bool withEvents) {
    auto m = PluginBridgeMessage::init(Op::process);
    m.frames = frames;
    if (withEvents) m.events = {{0, 60, 0.5f, true}, {31, 60, 0.0f, false}, {12, 67, 1.0f, true}};
    return m;
}

PluginBridgeMessage status() {
    auto m = PluginBridgeMessage::reply();
    m.editCount = 3;
    m.editorOpen = true;
    return m;
}

const SteadyCase kSteady[] = {
    {"effectBlockOf64", process(64, false), 2 * 64 * 4},
    {"effectBlockOf4096", process(4096, false), 2 * 4096 * 4},
    {"instrumentBlockWithNotes", process(512, true), 0},
    {"replyWithBlock", PluginBridgeMessage::reply(), 2 * 512 * 4},
    {"statusReply", status(), 0},
    {"errorReply", PluginBridgeMessage::reply("the plug-in refused to process"), 0},
};

void PrintTo(const SteadyCase& c, std::ostream* os) { *os << c.name; }

class SteadyFrames : public ::testing::TestWithParam<SteadyCase> {};

// One thread sends to itself over a socket pair and receives back, so that
// every allocation counted is the channel's.
TEST_P(SteadyFrames, AllocateNothingOnceWarm) {
    const auto& c = GetParam();
    Conduit conduit(ConduitKind::socketPair);
    PluginBridgeChannel channel(conduit.readEnd(), conduit.writeEnd());
    std::vector<std::uint8_t> payload(c.payloadBytes);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 13);
    PluginBridgeChannel::Frame frame;
    auto roundTrip = [&] {
        ASSERT_EQ(channel.send(c.message, payload), std::nullopt);
        ASSERT_EQ(channel.receiveInto(frame), std::nullopt);
    };
    for (int i = 0; i < 3; ++i) roundTrip();
    const auto before = allocations::made();
    for (int i = 0; i < 200; ++i) roundTrip();
    EXPECT_EQ(allocations::made() - before, 0u);
    EXPECT_EQ(frame.message, c.message);
    EXPECT_TRUE(frame.payload == payload);

    // Two frames at once, the second kept in the read-ahead: still nothing.
    const auto beforePairs = allocations::made();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(channel.send(c.message, payload), std::nullopt);
        ASSERT_EQ(channel.send(c.message, payload), std::nullopt);
        ASSERT_EQ(channel.receiveInto(frame), std::nullopt);
        ASSERT_EQ(channel.receiveInto(frame), std::nullopt);
    }
    EXPECT_EQ(allocations::made() - beforePairs, 0u);
    EXPECT_EQ(frame.message, c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, SteadyFrames, ::testing::ValuesIn(kSteady),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
