#include "TarvelPluginBridge/PluginBridgeAudio.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

// Samples are copied with their in-memory bytes, which are the wire's
// little-endian bytes only on a little-endian host.
static_assert(std::endian::native == std::endian::little, "samples are copied as little-endian binary32");
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "samples are IEEE 754 binary32");

namespace {

constexpr std::int64_t kSampleBytes = sizeof(float);

// The bytes of one channel when `byteCount` is exactly the block size of at
// least one channel of `frames` samples; nothing otherwise.
std::optional<std::size_t> channelBytesOfExactBlock(std::int64_t channels, std::int64_t frames,
                                                    std::size_t byteCount) {
    if (channels < 1 || frames < 0) return std::nullopt;
    const auto size = PluginBridgeAudio::blockBytes(channels, frames);
    if (!size || *size != byteCount) return std::nullopt;
    // The whole block fits the given bytes, so one channel's share is small.
    return static_cast<std::size_t>(frames) * kSampleBytes;
}

} // namespace

std::optional<std::size_t> PluginBridgeAudio::blockBytes(std::int64_t channels, std::int64_t frames) {
    if (channels < 0 || frames < 0) return std::nullopt;
    std::int64_t samples = 0, bytes = 0;
    if (__builtin_mul_overflow(channels, frames, &samples)) return std::nullopt;
    if (__builtin_mul_overflow(samples, kSampleBytes, &bytes)) return std::nullopt;
    if (static_cast<std::uint64_t>(bytes) > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return static_cast<std::size_t>(bytes);
}

std::vector<std::uint8_t> PluginBridgeAudio::pack(const std::vector<std::vector<float>>& channels,
                                                  std::int64_t frames) {
    frames = std::max<std::int64_t>(frames, 0);
    const auto size = blockBytes(static_cast<std::int64_t>(channels.size()), frames);
    if (!size) throw std::length_error("an audio block of this many samples cannot be represented");
    std::vector<std::uint8_t> bytes(*size); // zeros pad the short channels
    const auto channelBytes = static_cast<std::size_t>(frames) * kSampleBytes;
    std::uint8_t* out = bytes.data();
    for (const auto& channel : channels) {
        const auto kept = std::min(channel.size(), static_cast<std::size_t>(frames));
        if (kept > 0) std::memcpy(out, channel.data(), kept * kSampleBytes);
        out += channelBytes;
    }
    return bytes;
}

std::optional<std::vector<std::vector<float>>> PluginBridgeAudio::unpack(std::span<const std::uint8_t> bytes,
                                                                         std::int64_t channels,
                                                                         std::int64_t frames) {
    const auto channelBytes = channelBytesOfExactBlock(channels, frames, bytes.size());
    if (!channelBytes) return std::nullopt;
    // The bytes are at hand, so both counts are now small.
    std::vector<std::vector<float>> block(static_cast<std::size_t>(channels),
                                          std::vector<float>(static_cast<std::size_t>(frames)));
    const std::uint8_t* in = bytes.data();
    for (auto& channel : block) {
        if (*channelBytes > 0) std::memcpy(channel.data(), in, *channelBytes);
        in += *channelBytes;
    }
    return block;
}

bool PluginBridgeAudio::packInto(const float* const* channels, std::int64_t channelCount, std::int64_t frames,
                                 std::span<std::uint8_t> bytes) {
    const auto share = channelBytesOfExactBlock(channelCount, frames, bytes.size());
    if (!share) return false;
    const std::size_t channelBytes = *share;
    if (channelBytes == 0) return true;
    for (std::int64_t c = 0; c < channelCount; ++c) {
        std::memcpy(bytes.data() + static_cast<std::size_t>(c) * channelBytes, channels[c], channelBytes);
    }
    return true;
}

bool PluginBridgeAudio::unpackInto(std::span<const std::uint8_t> bytes, float* const* channels,
                                   std::int64_t channelCount, std::int64_t frames) {
    const auto share = channelBytesOfExactBlock(channelCount, frames, bytes.size());
    if (!share) return false;
    const std::size_t channelBytes = *share;
    if (channelBytes == 0) return true;
    for (std::int64_t c = 0; c < channelCount; ++c) {
        std::memcpy(channels[c], bytes.data() + static_cast<std::size_t>(c) * channelBytes, channelBytes);
    }
    return true;
}
