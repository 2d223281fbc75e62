// Sessions with the helper, and the parameter listing.
#include "Tarvel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvel {
namespace {

constexpr double kOpenSeconds = 30;
// A delay longer than this is no latency a render can make up for.
constexpr double kMaxLatencySeconds = 60;

// What went wrong with the connection, and how the helper ended when that
// says more (a plug-in that crashed takes its helper down with a signal).
std::string lost(const PluginBridgeClient& client, const PluginBridgeClient::Failure& failure) {
    std::string text = failure.description();
    if (const auto& exit = client.exit(); exit && exit->signal != 0) {
        text += " (it ended by signal " + std::to_string(exit->signal) + ", " + ::strsignal(exit->signal) +
                ": the plug-in probably crashed)";
    }
    return text;
}

} // namespace

ChosenClass chooseClass(const Options& options, const std::string& bundle, const std::optional<std::string>& cid) {
    const PluginBridgeScanResult scanned = scanBundle(options, bundle);
    if (scanned.error) throw Failure(*scanned.error);
    std::vector<ChosenClass> all;
    for (const auto& c : scanned.classes) all.push_back({c.cid, c.name, false});
    if (scanned.instrumentClasses)
        for (const auto& c : *scanned.instrumentClasses) all.push_back({c.cid, c.name, true});
    if (cid) {
        for (const ChosenClass& c : all)
            if (c.cid == *cid) return c;
        // A class the scan does not list may still open; the helper says if not.
        return {*cid, *cid, false};
    }
    if (all.empty()) throw Failure("the bundle has no effect or instrument classes");
    return all.front();
}

std::unique_ptr<Session> Session::tryOpen(const Options& options, const std::string& bundle,
                                          const ChosenClass& chosen, double sampleRate, std::int64_t maxBlock,
                                          std::int64_t channels, std::string* error, std::size_t maxInFlight) {
    PluginBridgeClient::Options start;
    start.maxInFlight = maxInFlight;
    // Out of the terminal's process group: a Ctrl-C is tarvel's to handle,
    // and tarvel ends its helpers in order.
    start.ownProcessGroup = true;
    auto started = PluginBridgeClient::start(options.helper, start);
    if (!started) throw Failure(started.error());
    std::unique_ptr<Session> session(new Session());
    session->client_ = std::move(*started);
    PluginBridgeMessage open = PluginBridgeMessage::init(PluginBridgeMessage::Op::open);
    open.path = bundle;
    open.cid = chosen.cid;
    open.sampleRate = sampleRate;
    open.maxBlock = maxBlock;
    open.channels = channels;
    open.instrument = chosen.instrument;
    open.wantsEditor = false;
    auto reply = session->client_->request(open, {}, kOpenSeconds);
    if (!reply) throw Failure(lost(*session->client_, reply.error()));
    if (reply->message.error) {
        if (error) *error = *reply->message.error;
        session->quit();
        return nullptr;
    }
    session->maxLatency_ = static_cast<std::int64_t>(kMaxLatencySeconds * sampleRate);
    session->noteLatency(reply->message);
    session->channels_ = reply->message.outputChannels.value_or(channels);
    return session;
}

Session::~Session() { quit(); }

void Session::quit() {
    if (client_ && client_->running()) client_->quit(5);
}

PluginBridgeClient::Reply Session::request(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload,
                                           double timeoutSeconds) {
    auto reply = client_->request(message, payload, timeoutSeconds);
    if (!reply) throw Failure(lost(*client_, reply.error()));
    if (reply->message.error) throw Failure(*reply->message.error);
    noteLatency(reply->message);
    return std::move(*reply);
}

void Session::noteLatency(const PluginBridgeMessage& reply) {
    if (!reply.latency) return;
    if (*reply.latency < 0 || *reply.latency > maxLatency_) {
        throw Failure("the plug-in reported a latency of " + std::to_string(*reply.latency) +
                      " frames, which no render can make up for");
    }
    latency_ = *reply.latency;
}

void Session::send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload,
                   double timeoutSeconds) {
    if (auto failure = client_->send(message, payload, timeoutSeconds)) throw Failure(lost(*client_, *failure));
}

const PluginBridgeChannel::Frame& Session::receive() {
    if (auto failure = client_->receiveInto(frame_)) throw Failure(lost(*client_, *failure));
    if (frame_.message.error) throw Failure(*frame_.message.error);
    return frame_;
}

std::int64_t Session::pipeBytes() const {
    return std::min(client_->requestPipeBytes(), client_->replyPipeBytes());
}

void Session::loadState(const SavedState& state) {
    PluginBridgeMessage load = PluginBridgeMessage::init(PluginBridgeMessage::Op::loadState);
    load.componentBytes = static_cast<std::int64_t>(state.component.size());
    load.controllerBytes = static_cast<std::int64_t>(state.controller.size());
    std::vector<std::uint8_t> payload = state.component;
    payload.insert(payload.end(), state.controller.begin(), state.controller.end());
    request(load, payload);
}

SavedState Session::saveState() {
    const auto reply = request(PluginBridgeMessage::init(PluginBridgeMessage::Op::saveState));
    const auto component = static_cast<std::size_t>(reply.message.componentBytes.value_or(0));
    if (component > reply.payload.size()) throw Failure("the plug-in host sent settings of the wrong size");
    SavedState state;
    state.component.assign(reply.payload.begin(), reply.payload.begin() + static_cast<std::ptrdiff_t>(component));
    state.controller.assign(reply.payload.begin() + static_cast<std::ptrdiff_t>(component), reply.payload.end());
    return state;
}

int runParams(const Options& options, const std::string& bundle, const std::optional<std::string>& cid) {
    const ChosenClass chosen = chooseClass(options, bundle, cid);
    std::string error;
    std::unique_ptr<Session> session = Session::tryOpen(options, bundle, chosen, 48000, 4096, 2, &error);
    if (!session) session = Session::tryOpen(options, bundle, chosen, 48000, 4096, 1, &error);
    if (!session) throw Failure(error);
    const auto reply = session->request(PluginBridgeMessage::init(PluginBridgeMessage::Op::parameters));
    std::printf("%s (%s)\n", chosen.name.c_str(), chosen.cid.c_str());
    std::printf("%10s  %-28s %-10s %8s  %s\n", "id", "title", "units", "default", "current");
    for (const PluginBridgeParameter& p : reply.message.parameters.value_or(std::vector<PluginBridgeParameter>{})) {
        std::printf("%10u  %-28s %-10s %8.4f  %s%s\n", p.id, p.title.c_str(), p.units.c_str(), p.defaultValue,
                    p.display.c_str(), p.isReadOnly ? " (read-only)" : "");
    }
    return 0;
}

} // namespace tarvel
