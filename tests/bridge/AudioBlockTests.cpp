// Audio blocks as payload bytes: planar little-endian binary32.
#include "TarvelPluginBridge/PluginBridgeAudio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

using Block = std::vector<std::vector<float>>;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t bitsOf(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(AudioPack, ShortChannelIsPaddedWithZeros) {
    const Bytes bytes = PluginBridgeAudio::pack({{1.0f, 2.0f, 3.0f}, {-1.0f}}, 3);
    const Bytes expected = {
        0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40, // 1, 2, 3
        0x00, 0x00, 0x80, 0xBF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // -1, 0, 0
    };
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(PluginBridgeAudio::unpack(bytes, 2, 3), (Block{{1.0f, 2.0f, 3.0f}, {-1.0f, 0.0f, 0.0f}}));
}

TEST(AudioPack, ChannelAfterAShortOneStartsAtItsOwnPlace) {
    // Each channel starts at a multiple of frames x 4 bytes, whatever the
    // length of the channel before it.
    const Bytes bytes = PluginBridgeAudio::pack({{1.0f}, {2.0f, 3.0f, 4.0f}, {}, {5.0f, 6.0f}}, 3);
    ASSERT_EQ(bytes.size(), 48u);
    EXPECT_EQ(PluginBridgeAudio::unpack(bytes, 4, 3),
              (Block{{1.0f, 0.0f, 0.0f}, {2.0f, 3.0f, 4.0f}, {0.0f, 0.0f, 0.0f}, {5.0f, 6.0f, 0.0f}}));
}

TEST(AudioPack, FirstSampleOneIsLittleEndianBinary32) {
    const Bytes bytes = PluginBridgeAudio::pack({{1.0f}}, 1);
    EXPECT_EQ(bytes, (Bytes{0x00, 0x00, 0x80, 0x3F}));
}

TEST(AudioPack, LongerChannelIsCutToFrames) {
    const Bytes bytes = PluginBridgeAudio::pack({{0.5f, 0.25f, 9.0f, 9.0f}}, 2);
    EXPECT_EQ(bytes, (Bytes{0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0x3E}));
}

TEST(AudioPack, EmptyListZeroOrNegativeFramesGiveNoBytes) {
    EXPECT_TRUE(PluginBridgeAudio::pack({}, 512).empty());
    EXPECT_TRUE(PluginBridgeAudio::pack({{1.0f}, {2.0f}}, 0).empty());
    EXPECT_TRUE(PluginBridgeAudio::pack({{1.0f}, {2.0f}}, -4).empty());
}

TEST(AudioPack, BlockTooLargeToRepresentThrowsInsteadOfWrapping) {
    EXPECT_THROW(PluginBridgeAudio::pack({{1.0f}, {2.0f}}, std::numeric_limits<std::int64_t>::max() / 4),
                 std::length_error);
}

TEST(AudioPack, SampleBitsPassThroughUnchanged) {
    const std::vector<float> odd = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN(), -0.0f,
                                    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};
    const auto frames = static_cast<std::int64_t>(odd.size());
    const auto back = PluginBridgeAudio::unpack(PluginBridgeAudio::pack({odd, odd}, frames), 2, frames);
    ASSERT_TRUE(back);
    for (const auto& channel : *back) {
        ASSERT_EQ(channel.size(), odd.size());
        for (std::size_t i = 0; i < odd.size(); ++i) EXPECT_EQ(bitsOf(channel[i]), bitsOf(odd[i])) << i;
    }
}

struct UnpackCase {
    const char* name;
    std::size_t byteCount;
    std::int64_t channels, frames;
    bool fits;
};

const UnpackCase kUnpack[] = {
    {"exact", 24, 2, 3, true},
    {"oneByteShort", 23, 2, 3, false},
    {"oneByteOver", 25, 2, 3, false},
    {"noChannels", 0, 0, 3, false},
    {"noChannelsWithBytes", 24, 0, 3, false},
    {"negativeChannels", 24, -2, -3, false},
    {"negativeFrames", 0, 2, -1, false},
    {"zeroFrames", 0, 3, 0, true},
    {"zeroFramesWithBytes", 4, 1, 0, false},
    // channels × frames × 4 = 3 × 2^64 + 24: wraps around to exactly 24.
    {"productWrapsToTheByteCount", 24, (std::int64_t{1} << 62) + 2, 3, false},
    {"productOverflows", 8, std::numeric_limits<std::int64_t>::max(), 2, false},
};

class AudioUnpack : public ::testing::TestWithParam<UnpackCase> {};

TEST_P(AudioUnpack, GivesABlockOnlyForTheExactByteCount) {
    const auto& c = GetParam();
    const Bytes bytes(c.byteCount, 0);
    const auto block = PluginBridgeAudio::unpack(bytes, c.channels, c.frames);
    ASSERT_EQ(block.has_value(), c.fits);
    if (c.fits) {
        ASSERT_EQ(block->size(), static_cast<std::size_t>(c.channels));
        for (const auto& channel : *block) EXPECT_EQ(channel.size(), static_cast<std::size_t>(c.frames));
    }

    std::vector<float> a(64, 7.0f), b(64, 7.0f);
    float* channels[] = {a.data(), b.data()};
    const bool pointerFits = c.channels <= 2 && c.frames <= 64;
    if (pointerFits) {
        EXPECT_EQ(PluginBridgeAudio::unpackInto(bytes, channels, c.channels, c.frames), c.fits);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AudioUnpack, ::testing::ValuesIn(kUnpack),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AudioBlockBytes, SizesAndOverflow) {
    EXPECT_EQ(PluginBridgeAudio::blockBytes(2, 4096), 32768u);
    EXPECT_EQ(PluginBridgeAudio::blockBytes(0, 5), 0u);
    EXPECT_EQ(PluginBridgeAudio::blockBytes(-1, 5), std::nullopt);
    EXPECT_EQ(PluginBridgeAudio::blockBytes(1, std::numeric_limits<std::int64_t>::max() / 4 + 1), std::nullopt);
    EXPECT_EQ(PluginBridgeAudio::blockBytes((std::int64_t{1} << 62) + 2, 3), std::nullopt);
}

TEST(AudioPointers, PackIntoMatchesPackAndUnpackIntoRestores) {
    std::vector<float> left = {0.1f, -0.2f, 0.3f, 1.0f}, right = {4.0f, -0.0f, 5.5f, -7.25f};
    const float* in[] = {left.data(), right.data()};
    Bytes bytes(32, 0xEE);
    ASSERT_TRUE(PluginBridgeAudio::packInto(in, 2, 4, bytes));
    EXPECT_EQ(bytes, PluginBridgeAudio::pack({left, right}, 4));

    std::vector<float> l(4, 9.0f), r(4, 9.0f);
    float* out[] = {l.data(), r.data()};
    ASSERT_TRUE(PluginBridgeAudio::unpackInto(bytes, out, 2, 4));
    EXPECT_EQ(l, left);
    EXPECT_EQ(bitsOf(r[1]), bitsOf(-0.0f));
    EXPECT_EQ(r, right);
}

TEST(AudioPointers, MismatchedSizesWriteNothing) {
    std::vector<float> left = {1, 2, 3}, right = {4, 5, 6};
    const float* in[] = {left.data(), right.data()};
    Bytes small(23, 0xEE), large(25, 0xEE);
    EXPECT_FALSE(PluginBridgeAudio::packInto(in, 2, 3, small));
    EXPECT_FALSE(PluginBridgeAudio::packInto(in, 2, 3, large));
    EXPECT_FALSE(PluginBridgeAudio::packInto(in, 0, 3, {}));
    EXPECT_EQ(small, Bytes(23, 0xEE));
    EXPECT_EQ(large, Bytes(25, 0xEE));

    float* out[] = {left.data(), right.data()};
    EXPECT_FALSE(PluginBridgeAudio::unpackInto(small, out, 2, 3));
    EXPECT_FALSE(PluginBridgeAudio::unpackInto(Bytes(8), out, (std::int64_t{1} << 62) + 2, 2));
    EXPECT_EQ(left, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(right, (std::vector<float>{4, 5, 6}));
}

} // namespace
