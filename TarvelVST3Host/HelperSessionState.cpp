// Saved settings and parameters: "loadState", "saveState", "parameters" and
// "setParameter".
#include "HelperSession.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

// tv3m_plugin_flush_parameters: the plug-in did not look at the edits.
constexpr std::int32_t kFlushIgnored = 2;
constexpr std::int32_t kSettleFrames = 256;

// A plug-in whose state grows between the size query and the copy is asked
// again, with room to spare, this many times before its state counts as
// unreadable.
constexpr int kStateCopyAttempts = 4;

HelperSession::Reply failed(const char* text) {
    return {PluginBridgeMessage::reply(std::string(text)), {}};
}

using SaveFunction = int32_t (*)(tv3m_plugin*, void*, int32_t, int32_t*);

double finiteOrZero(double v) { return std::isfinite(v) ? v : 0.0; }

} // namespace

std::optional<std::vector<std::uint8_t>> HelperSession::blob(bool controller) {
    const SaveFunction save = controller ? tv3m_controller_state_save : tv3m_state_save;
    std::int32_t size = 0;
    if (save(plugin_, nullptr, 0, &size) != 0) return std::nullopt;
    if (size <= 0) return std::vector<std::uint8_t>{}; // an empty state, as the plug-in said

    std::int64_t capacity = size;
    for (int attempt = 0; attempt < kStateCopyAttempts; ++attempt) {
        std::vector<std::uint8_t> bytes;
        try {
            bytes.assign(static_cast<std::size_t>(capacity), 0);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
        std::int32_t written = 0;
        if (save(plugin_, bytes.data(), static_cast<std::int32_t>(capacity), &written) == 0) {
            bytes.resize(std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(std::max(written, 0))));
            return bytes;
        }
        // When the state only grew, ask again with room for it to grow a
        // little more; anything else is a state that cannot be read.
        if (written <= capacity) return std::nullopt;
        const std::int64_t roomy = static_cast<std::int64_t>(written) * 2;
        const std::int64_t limit =
            std::min<std::int64_t>(PluginBridgeChannel::maximumFrameBytes, std::numeric_limits<std::int32_t>::max());
        if (written > limit) return std::nullopt;
        capacity = std::min(roomy, limit);
    }
    return std::nullopt;
}

HelperSession::Reply HelperSession::loadState(const PluginBridgeMessage& request,
                                              std::span<const std::uint8_t> payload) {
    if (!plugin_) return failed("no instance is open");
    const std::int64_t componentBytes = request.componentBytes.value_or(0);
    const std::int64_t controllerBytes = request.controllerBytes.value_or(0);
    // Compared without adding, so that two huge counts cannot wrap around.
    const auto total = static_cast<std::uint64_t>(payload.size());
    if (componentBytes < 0 || controllerBytes < 0 || static_cast<std::uint64_t>(componentBytes) > total ||
        static_cast<std::uint64_t>(controllerBytes) != total - static_cast<std::uint64_t>(componentBytes)) {
        return failed("the saved settings arrived incomplete");
    }
    const auto component = payload.first(static_cast<std::size_t>(componentBytes));
    const auto controller = payload.last(static_cast<std::size_t>(controllerBytes));

    if (!component.empty() &&
        tv3m_state_load(plugin_, component.data(), static_cast<std::int32_t>(component.size())) != 0) {
        return failed("the plug-in rejected its saved settings");
    }
    if (!controller.empty()) {
        tv3m_controller_state_load(plugin_, controller.data(), static_cast<std::int32_t>(controller.size()));
    }
    PluginBridgeMessage reply = PluginBridgeMessage::reply();
    reply.latency = tv3m_plugin_latency(plugin_);
    return {std::move(reply), {}};
}

HelperSession::Reply HelperSession::saveState() {
    if (!plugin_) return failed("no instance is open");

    // Edits made since the last block (in the editor, or by "setParameter")
    // reach the processor before its state is read. They go by VST3's
    // parameter flush, which moves no audio: a parent saving between two
    // blocks of one stream gets the same stream as without the save. A flush
    // the plug-in refuses leaves the state as it is, still worth saving.
    if (tv3m_plugin_flush_parameters(plugin_) == kFlushIgnored) {
        // The plug-in skipped the flush without looking at the edits (DPF
        // does so), and its state would not hold them: settings saved
        // without the user's last edits are lost for good, so such a plug-in
        // alone still gets one block of silence to take them, at the cost
        // of that block in its stream. Never more than the instance's size.
        const auto settle = static_cast<std::int32_t>(std::min<std::int64_t>(kSettleFrames, maxBlock_));
        if (prepareAreas(settle, true)) {
            std::fill(inputArea_.begin(), inputArea_.end(), 0.0f);
            render(settle);
        }
    }
    takeEditCount();

    // Sending an empty block for settings that could not be read would be
    // stored by the parent as the user's settings, restoring nothing later.
    std::optional<std::vector<std::uint8_t>> component = blob(false);
    if (!component) return failed("the plug-in could not save its settings");
    // A controller without settings of its own (none at all, or one that
    // does not implement them) adds an empty block.
    std::vector<std::uint8_t> controller = blob(true).value_or(std::vector<std::uint8_t>{});
    PluginBridgeMessage reply = PluginBridgeMessage::reply();
    reply.componentBytes = static_cast<std::int64_t>(component->size());
    reply.controllerBytes = static_cast<std::int64_t>(controller.size());
    replyPayload_ = std::move(*component);
    replyPayload_.insert(replyPayload_.end(), controller.begin(), controller.end());
    return {std::move(reply), {replyPayload_.data(), replyPayload_.size()}};
}

HelperSession::Reply HelperSession::parameters() {
    if (!plugin_) return failed("no instance is open");
    std::vector<PluginBridgeParameter> list;
    const std::int32_t count = tv3m_param_count(plugin_);
    for (std::int32_t index = 0; index < count; ++index) {
        tv3m_param_info info{};
        if (tv3m_param_info_at(plugin_, index, &info) != 0) continue;
        PluginBridgeParameter p;
        p.id = info.id;
        p.title = std::string(info.title, ::strnlen(info.title, sizeof info.title));
        p.units = std::string(info.units, ::strnlen(info.units, sizeof info.units));
        p.value = finiteOrZero(tv3m_param_get(plugin_, info.id));
        p.defaultValue = finiteOrZero(info.defaultValue);
        p.stepCount = info.stepCount;
        char display[128] = {};
        if (tv3m_param_display(plugin_, info.id, p.value, display, sizeof display) == 0) {
            p.display = std::string(display, ::strnlen(display, sizeof display));
        }
        p.isReadOnly = (info.flags & TV3M_PARAM_READ_ONLY) != 0;
        p.isBypass = (info.flags & TV3M_PARAM_BYPASS) != 0;
        list.push_back(std::move(p));
    }
    PluginBridgeMessage reply = PluginBridgeMessage::reply();
    reply.parameters = std::move(list);
    return {std::move(reply), {}};
}

HelperSession::Reply HelperSession::setParameter(const PluginBridgeMessage& request) {
    if (!plugin_) return failed("no instance is open");
    if (!request.paramID || !request.value) return failed("the request named no parameter");
    double value = *request.value;
    if (!(value >= 0)) value = 0; // NaN too
    if (value > 1) value = 1;
    tv3m_param_set(plugin_, *request.paramID, value);
    return {PluginBridgeMessage::reply(), {}};
}
