// Arbitrary bytes as the JSON text of a message, as the byte stream a channel
// receives from, and as an audio block. Nothing may crash or hang; whatever
// decodes must encode again and come back the same, and the direct codec
// must agree with the tree-based one.
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include "PluginBridgeMessageCodec.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// A decoded message holds only valid UTF-8, so it always encodes, and its JSON
// decodes to a message with the same JSON (NaN compares unequal, so the texts
// are compared rather than the records).
void checkReencodes(const PluginBridgeMessage& m) {
    const auto json = m.toJSON();
    require(json.hasValue());
    const auto again = PluginBridgeMessage::fromJSON(*json);
    require(again.hasValue());
    const auto json2 = again->toJSON();
    require(json2.hasValue() && *json2 == *json);
}

// The direct codec may leave any text to the tree, but what it takes it must
// read as the tree does, and what it writes must be the tree's bytes.
void checkDirectAgreesWithTree(std::string_view text) {
    namespace codec = pluginBridgeCodec;
    const auto tree = codec::decodeWithTree(text);
    auto direct = PluginBridgeMessage::reply("left over");
    direct.events = {{1, 2, 3, true}};
    if (codec::decodeDirect(text, direct)) {
        require(tree.hasValue());
        require(*codec::encodeWithTree(direct) == *codec::encodeWithTree(*tree));
    }
    if (tree) {
        std::string bytes;
        if (codec::encodeDirect(*tree, bytes)) require(bytes == *codec::encodeWithTree(*tree));
    }
}

void fuzzDecoding(std::string_view text) {
    const auto m = PluginBridgeMessage::fromJSON(text);
    if (m) checkReencodes(*m);
    checkDirectAgreesWithTree(text);
}

// The bytes sit in an in-memory file: poll reports it readable, and reading
// past the end gives end of file, as a writer closing a pipe would.
void fuzzReceiving(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("frames", MFD_CLOEXEC);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::lseek(fd, 0, SEEK_SET);
    PluginBridgeChannel channel(fd, -1);
    const bool withLimits = size > 0 && (data[0] & 1);
    const bool reusing = size > 0 && (data[0] & 2);
    const auto deadline = withLimits ? std::optional<double>(PluginBridgeChannel::now() + 3600) : std::nullopt;
    const std::function<bool()> keepWaiting = [] { return false; };
    const std::function<bool()> noCallback;
    PluginBridgeChannel::Frame reused;
    for (;;) {
        std::optional<PluginBridgeChannel::Failure> failure;
        if (reusing) {
            failure = channel.receiveInto(reused, deadline, withLimits ? keepWaiting : noCallback);
        } else if (auto frame = channel.receive(deadline, withLimits ? keepWaiting : noCallback)) {
            reused = std::move(*frame);
        } else {
            failure = frame.error();
        }
        if (failure) {
            const auto kind = failure->kind();
            require(kind == PluginBridgeChannel::Failure::Kind::malformed ||
                    kind == PluginBridgeChannel::Failure::Kind::closed);
            break;
        }
        checkReencodes(reused.message);
    }
    ::close(fd);
}

void fuzzAudio(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::int64_t channels = 1 + data[0] % 8;
    const std::int64_t frames = static_cast<std::int64_t>(size / 4) / channels;
    const std::span<const std::uint8_t> bytes(data, size);
    const auto block = PluginBridgeAudio::unpack(bytes, channels, frames);
    require(block.has_value() == (static_cast<std::int64_t>(size) == channels * frames * 4));
    if (block) require(PluginBridgeAudio::pack(*block, frames) == std::vector<std::uint8_t>(data, data + size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzDecoding(std::string_view(reinterpret_cast<const char*>(data), size));
    fuzzReceiving(data, size);
    fuzzAudio(data, size);
    return 0;
}
