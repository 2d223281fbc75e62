// Rendering an audio file through a plug-in, block by block, through the
// helper.
#include "Tarvel.h"

#include "TarvelPluginBridge/PluginBridgeAudio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvel {
namespace {

using Op = PluginBridgeMessage::Op;

// A short phrase for instruments: C, E, G and the C above, half a second each.
struct PhraseNote {
    double start, length;
    int pitch;
};
constexpr PhraseNote kPhrase[] = {{0.0, 0.45, 60}, {0.5, 0.45, 64}, {1.0, 0.45, 67}, {1.5, 0.9, 72}};
constexpr float kPhraseVelocity = 0.8f;

// The phrase's notes that fall in [from, from + frames).
std::vector<PluginBridgeNoteEvent> phraseEvents(std::int64_t from, std::int64_t frames, int sampleRate) {
    std::vector<PluginBridgeNoteEvent> events;
    auto add = [&](double seconds, int pitch, bool on) {
        const auto at = static_cast<std::int64_t>(std::llround(seconds * sampleRate));
        if (at >= from && at < from + frames) events.push_back({at - from, pitch, on ? kPhraseVelocity : 0.0f, on});
    };
    for (const PhraseNote& n : kPhrase) {
        add(n.start, n.pitch, true);
        add(n.start + n.length, n.pitch, false);
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    return events;
}

// How the file's channels meet the plug-in's: one session for all of them,
// or one per file channel when the plug-in takes only mono.
struct Plan {
    std::vector<std::unique_ptr<Session>> sessions;
    // For each session, the file channels it is fed (its inputs, in order;
    // a mono file through a stereo-only plug-in feeds its one channel twice).
    std::vector<std::vector<int>> feeds;
};

Plan openSessions(const Options& options, const RenderOptions& render, const ChosenClass& chosen,
                  const Audio& input) {
    Plan plan;
    std::string error;
    const int fileChannels = input.channels;
    auto open = [&](std::int64_t channels) {
        return Session::tryOpen(options, render.bundle, chosen, input.sampleRate, render.block, channels, &error);
    };
    if (auto whole = open(fileChannels)) {
        std::vector<int> feed;
        for (int c = 0; c < fileChannels; ++c) feed.push_back(c);
        plan.sessions.push_back(std::move(whole));
        plan.feeds.push_back(feed);
        return plan;
    }
    const std::string firstError = error;
    if (fileChannels > 1) {
        // As hosts do: a plug-in that takes only mono runs once per channel.
        for (int c = 0; c < fileChannels; ++c) {
            auto one = open(1);
            if (!one) throw Failure(c == 0 ? firstError : error);
            plan.sessions.push_back(std::move(one));
            plan.feeds.push_back({c});
        }
        return plan;
    }
    if (auto stereo = open(2)) {
        plan.sessions.push_back(std::move(stereo));
        plan.feeds.push_back({0, 0});
        return plan;
    }
    throw Failure(firstError);
}

void prepare(Session& session, const RenderOptions& render, const std::optional<SavedState>& state) {
    if (state) {
        PluginBridgeMessage load = PluginBridgeMessage::init(Op::loadState);
        load.componentBytes = static_cast<std::int64_t>(state->component.size());
        load.controllerBytes = static_cast<std::int64_t>(state->controller.size());
        std::vector<std::uint8_t> payload = state->component;
        payload.insert(payload.end(), state->controller.begin(), state->controller.end());
        const auto reply = session.request(load, payload);
        session.setLatency(reply.message.latency.value_or(session.latency()));
    }
    for (const auto& [id, value] : render.parameters) {
        PluginBridgeMessage set = PluginBridgeMessage::init(Op::setParameter);
        set.paramID = id;
        set.value = value;
        session.request(set);
    }
}

SavedState saveState(Session& session) {
    const auto reply = session.request(PluginBridgeMessage::init(Op::saveState));
    const auto component = static_cast<std::size_t>(reply.message.componentBytes.value_or(0));
    SavedState state;
    state.component.assign(reply.payload.begin(), reply.payload.begin() + static_cast<std::ptrdiff_t>(component));
    state.controller.assign(reply.payload.begin() + static_cast<std::ptrdiff_t>(component), reply.payload.end());
    return state;
}

} // namespace

int runRender(const Options& options, const RenderOptions& render) {
    if (render.block < 1) throw UsageError("--block needs a positive number of frames");
    if (render.tailSeconds < 0 || !std::isfinite(render.tailSeconds)) throw UsageError("--tail needs seconds, 0 or more");
    const Audio input = readAudio(render.input);
    if (input.channels < 1) throw Failure(render.input + " has no audio channels");
    ChosenClass chosen = chooseClass(options, render.bundle, render.cid);
    if (render.notes) chosen.instrument = true;
    const std::optional<SavedState> state =
        render.state ? std::optional<SavedState>(readStateFile(*render.state)) : std::nullopt;

    Plan plan = openSessions(options, render, chosen, input);
    for (auto& session : plan.sessions) prepare(*session, render, state);

    const std::int64_t inputFrames = input.frames();
    const auto tailFrames = static_cast<std::int64_t>(std::llround(render.tailSeconds * input.sampleRate));
    const std::int64_t outputFrames = inputFrames + tailFrames;
    // A plug-in that delays its output by L frames is fed L more frames of
    // silence, and its first L output frames are dropped, so that the output
    // lines up with the input sample for sample.
    std::int64_t latency = 0;
    for (const auto& session : plan.sessions) latency = std::max(latency, session->latency());
    const std::int64_t totalFrames = outputFrames + latency;

    Audio output;
    output.sampleRate = input.sampleRate;
    output.channels = input.channels;
    output.format = input.format;
    output.data.assign(static_cast<std::size_t>(input.channels), std::vector<float>(static_cast<std::size_t>(outputFrames)));

    const bool showProgress = outputFrames > input.sampleRate;
    int shownPercent = -1;
    std::vector<std::vector<float>> block;
    for (std::int64_t at = 0; at < totalFrames; at += render.block) {
        const std::int64_t frames = std::min(render.block, totalFrames - at);
        for (std::size_t s = 0; s < plan.sessions.size(); ++s) {
            Session& session = *plan.sessions[s];
            PluginBridgeMessage process = PluginBridgeMessage::init(Op::process);
            process.frames = frames;
            std::vector<std::uint8_t> payload;
            if (chosen.instrument) {
                process.events = phraseEvents(at, frames, input.sampleRate);
            } else {
                const auto& feed = plan.feeds[s];
                block.assign(feed.size(), std::vector<float>(static_cast<std::size_t>(frames), 0.0f));
                for (std::size_t c = 0; c < feed.size(); ++c)
                    for (std::int64_t i = 0; i < frames && at + i < inputFrames; ++i)
                        block[c][i] = input.data[feed[c]][at + i];
                payload = PluginBridgeAudio::pack(block, frames);
            }
            const PluginBridgeChannel::Frame& reply = session.process(process, payload);
            const std::int64_t replyChannels = static_cast<std::int64_t>(reply.payload.size()) / 4 / frames;
            auto out = PluginBridgeAudio::unpack(reply.payload, replyChannels, frames);
            if (!out) throw Failure("the plug-in host sent a block of the wrong size");
            // Session s writes the file channels it was fed; an instrument's
            // outputs go to the file's channels in order.
            for (std::size_t c = 0; c < static_cast<std::size_t>(input.channels); ++c) {
                int source = -1;
                if (plan.sessions.size() == 1) {
                    source = c < out->size() ? static_cast<int>(c) : (out->empty() ? -1 : 0);
                } else if (plan.feeds[s][0] == static_cast<int>(c)) {
                    source = 0;
                }
                if (source < 0) continue;
                for (std::int64_t i = 0; i < frames; ++i) {
                    const std::int64_t t = at + i - latency;
                    if (t >= 0 && t < outputFrames) output.data[c][t] = (*out)[source][i];
                }
            }
        }
        if (showProgress) {
            const int percent = static_cast<int>(100 * (at + frames) / totalFrames);
            if (percent != shownPercent) {
                std::fprintf(stderr, "\rrendering %3d%%", percent);
                shownPercent = percent;
            }
        }
    }
    if (showProgress) std::fprintf(stderr, "\n");

    writeAudio(render.output, output);
    if (render.saveState) writeStateFile(*render.saveState, saveState(*plan.sessions.front()));
    for (auto& session : plan.sessions) session->quit();
    return 0;
}

} // namespace tarvel
