// A block of audio as frame payload: channel after channel (planar), each
// sample a little-endian IEEE 754 binary32, with no header or padding. The
// channel and frame counts travel elsewhere; both ends know them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

struct PluginBridgeAudio {
    // channels × frames × 4, or nothing when either count is negative or the
    // product does not fit in a signed 64-bit integer (nor in memory sizes).
    static std::optional<std::size_t> blockBytes(std::int64_t channels, std::int64_t frames);

    // The first `frames` samples of every channel; a shorter channel is padded
    // with zeros. A negative `frames` counts as 0. An empty list gives no
    // bytes. Throws std::length_error when the block size is not representable.
    static std::vector<std::uint8_t> pack(const std::vector<std::vector<float>>& channels, std::int64_t frames);

    // `channels` lists of `frames` samples, or nothing when `channels` < 1,
    // `frames` < 0 or the byte count is not exactly their block size.
    static std::optional<std::vector<std::vector<float>>> unpack(std::span<const std::uint8_t> bytes,
                                                                 std::int64_t channels, std::int64_t frames);

    // Without allocating, for use once per block. `channels` points at
    // `channelCount` buffers of `frames` samples each; `bytes` must be exactly
    // the block size. False, with nothing written, when the sizes do not fit
    // (the same rules as above).
    static bool packInto(const float* const* channels, std::int64_t channelCount, std::int64_t frames,
                         std::span<std::uint8_t> bytes);
    static bool unpackInto(std::span<const std::uint8_t> bytes, float* const* channels,
                           std::int64_t channelCount, std::int64_t frames);
};
