// "process" for an effect, and the block-running steps that every request
// running audio through the instance shares.
#include "HelperSession.h"

#include "TarvelPluginBridge/PluginBridgeAudio.h"

#include <algorithm>
#include <new>

namespace {

HelperSession::Reply failed(const char* text) {
    return {PluginBridgeMessage::reply(std::string(text)), {}};
}

} // namespace

bool HelperSession::prepareAreas(std::int32_t frames, bool withInput) {
    // A reply block must fit in one frame; larger is refused before anything
    // is allocated, so an absurd block size cannot exhaust memory.
    const std::optional<std::size_t> bytes = PluginBridgeAudio::blockBytes(channels_, frames);
    if (!bytes || *bytes > PluginBridgeChannel::maximumFrameBytes || channels_ < 1) return false;
    const std::size_t samples = *bytes / sizeof(float);
    const auto channels = static_cast<std::size_t>(channels_);
    try {
        if (withInput) {
            inputArea_.resize(samples);
            inputPointers_.resize(channels);
        }
        outputArea_.resize(samples);
        outputPointers_.resize(channels);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    // The plug-in never sees what an earlier block left behind.
    std::fill(outputArea_.begin(), outputArea_.begin() + static_cast<std::ptrdiff_t>(samples), 0.0f);
    for (std::size_t i = 0; i < channels; ++i) {
        if (withInput) inputPointers_[i] = inputArea_.data() + i * static_cast<std::size_t>(frames);
        outputPointers_[i] = outputArea_.data() + i * static_cast<std::size_t>(frames);
    }
    return true;
}

bool HelperSession::render(std::int32_t frames) {
    const int32_t result = tv3m_plugin_process(plugin_, inputPointers_.data(), outputPointers_.data(),
                                               static_cast<std::int32_t>(channels_), frames);
    // Edits the plug-in reported during a failed block still count.
    takeEditCount();
    return result == 0;
}

std::span<const std::uint8_t> HelperSession::packOutput(std::int32_t frames) {
    const std::size_t bytes = *PluginBridgeAudio::blockBytes(channels_, frames);
    replyPayload_.resize(bytes);
    PluginBridgeAudio::packInto(outputPointers_.data(), channels_, frames, replyPayload_);
    return {replyPayload_.data(), bytes};
}

HelperSession::Reply HelperSession::process(const PluginBridgeMessage& request,
                                            std::span<const std::uint8_t> payload) {
    if (!plugin_) return failed("no instance is open");
    const std::int64_t frames = request.frames.value_or(0);
    if (frames <= 0 || frames > maxBlock_) return failed("the audio block arrived malformed");
    const auto f = static_cast<std::int32_t>(frames); // maxBlock fits 32 bits
    const std::optional<std::size_t> expected = PluginBridgeAudio::blockBytes(channels_, frames);
    if (channels_ < 1 || !expected || *expected != payload.size()) {
        return failed("the audio block arrived malformed");
    }
    if (!prepareAreas(f, true)) return failed("the audio block arrived malformed");
    PluginBridgeAudio::unpackInto(payload, inputPointers_.data(), channels_, frames);

    if (!render(f)) return failed("the plug-in failed while processing");
    return {PluginBridgeMessage::reply(), packOutput(f)};
}
