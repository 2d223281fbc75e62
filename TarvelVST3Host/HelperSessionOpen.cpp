// "open": creates the session's one instance and fixes its processing settings.
#include "HelperSession.h"

#include <cstring>
#include <limits>

namespace {

constexpr std::int64_t kDefaultChannels = 2;
constexpr std::int64_t kDefaultMaxBlock = 4096;
constexpr std::int64_t kSmallestMaxBlock = 64;
constexpr double kDefaultSampleRate = 48000;

bool fitsInt32(std::int64_t v) {
    return v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

HelperSession::Reply failed(const char* text) {
    return {PluginBridgeMessage::reply(std::string(text)), {}};
}

} // namespace

HelperSession::Reply HelperSession::open(const PluginBridgeMessage& request) {
    if (plugin_) return failed("an instance is already open");
    if (!request.path || !request.cid) return failed("the request named no plug-in");

    // The instance layer takes 32-bit counts: a wider value would be cut to
    // something the parent never asked for.
    if ((request.channels && !fitsInt32(*request.channels)) ||
        (request.maxBlock && !fitsInt32(*request.maxBlock))) {
        return failed("the request asked for an unsupported channel count or block size");
    }

    channels_ = request.channels.value_or(kDefaultChannels);
    if (!request.maxBlock) maxBlock_ = kDefaultMaxBlock;
    else maxBlock_ = *request.maxBlock > kSmallestMaxBlock ? *request.maxBlock : kSmallestMaxBlock;

    const double sampleRate = request.sampleRate.value_or(kDefaultSampleRate);
    const bool instrument = request.instrument.value_or(false);

    const bool wantsEditor = request.wantsEditor.value_or(true);
    // Some plug-ins look up the window manager's atoms once, when created.
    if (wantsEditor && environment().windows) environment().windows->prepareDisplayForPlugins();

    char error[512] = {};
    tv3m_plugin* created =
        instrument
            ? tv3m_plugin_create_instrument(request.path->c_str(), request.cid->c_str(), sampleRate,
                                            static_cast<std::int32_t>(maxBlock_),
                                            static_cast<std::int32_t>(channels_), error, sizeof error)
            : tv3m_plugin_create(request.path->c_str(), request.cid->c_str(), sampleRate,
                                 static_cast<std::int32_t>(maxBlock_), static_cast<std::int32_t>(channels_),
                                 error, sizeof error);
    if (!created) {
        return {PluginBridgeMessage::reply(std::string(error, ::strnlen(error, sizeof error))), {}};
    }

    plugin_ = created;
    isInstrument_ = instrument;

    PluginBridgeMessage reply = PluginBridgeMessage::reply();
    if (instrument) {
        const std::int32_t outputs = tv3m_plugin_output_channels(plugin_);
        reply.outputChannels = outputs;
        channels_ = outputs;
    }
    reply.latency = tv3m_plugin_latency(plugin_);
    reply.hasAudioInput = tv3m_plugin_has_audio_input(plugin_) != 0;
    // Probed only when the parent wants to know (asking makes the view), and
    // only where this build can show an editor at all.
    reply.hasEditor = wantsEditor && environment().windows && tv3m_editor_available(plugin_) != 0;
    // Loading, creating and probing its view may have brought the plug-in's
    // window library in.
    platform::keepPluginWindowErrorsNonFatal();
    return {std::move(reply), {}};
}
