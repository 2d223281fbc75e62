// Rendering an audio file through a plug-in, block by block, through the
// helper.
#include "Tarvel.h"

#include "TarvelPluginBridge/PluginBridgeAudio.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <span>

namespace tarvel {
namespace {

static_assert(std::endian::native == std::endian::little && sizeof(float) == 4 &&
                  std::numeric_limits<float>::is_iec559,
              "blocks are copied as the little-endian binary32 samples they travel as");

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

// Blocks in flight per helper. More hide the wake-ups of the helper and of
// tarvel behind work. Rendering a minute of 48 kHz stereo in 512-frame
// blocks (helper starts included) on a 2-core machine busy with builds, the
// times were noisy but fell with more blocks in flight: through ZamComp (two
// helpers) 1.1-3.0 s one at a time, 1.1-2.2 s with 4, 0.5-1.8 s with 8;
// through ZamCompX2 0.8-1.7 s one at a time, 0.6-1.1 s with 4, 0.7-1.3 s
// with 8.
constexpr std::size_t kBlocksInFlight = 8;
// Room for a frame's header and text, beside its samples.
constexpr std::int64_t kFrameTextBytes = 1024;
// What a pipe holds where the system does not say (Linux's default).
constexpr std::int64_t kDefaultPipeBytes = 65536;

// How many blocks a helper may owe: kBlocksInFlight, or
// TARVEL_BLOCKS_IN_FLIGHT (1 to 64) where set, which the tests use to compare
// one block at a time with many.
std::size_t blocksWanted() {
    if (const char* set = std::getenv("TARVEL_BLOCKS_IN_FLIGHT")) {
        char* end = nullptr;
        const long n = std::strtol(set, &end, 10);
        if (end != set && *end == 0 && n >= 1 && n <= 64) return static_cast<std::size_t>(n);
    }
    return kBlocksInFlight;
}

// As many of those as fit, requests and replies alike, in the pipes the
// system granted, and never fewer than one: a helper that finds its reply
// pipe full stops reading requests, and tarvel, still writing one, would
// wait for it until the block's deadline.
std::int64_t blocksInFlight(const std::vector<std::unique_ptr<Session>>& sessions,
                            const std::vector<std::vector<int>>& feeds, std::int64_t block) {
    std::int64_t fit = static_cast<std::int64_t>(blocksWanted());
    for (std::size_t s = 0; s < sessions.size(); ++s) {
        const std::int64_t channels =
            std::max<std::int64_t>({sessions[s]->channels(), static_cast<std::int64_t>(feeds[s].size()), 1});
        const std::int64_t frameBytes = channels * block * static_cast<std::int64_t>(sizeof(float)) + kFrameTextBytes;
        const std::int64_t pipe = sessions[s]->pipeBytes() > 0 ? sessions[s]->pipeBytes() : kDefaultPipeBytes;
        fit = std::min(fit, pipe / frameBytes);
    }
    return std::max<std::int64_t>(fit, 1);
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
                  const AudioReader& input) {
    Plan plan;
    std::string error;
    const int fileChannels = input.channels();
    auto open = [&](std::int64_t channels) {
        return Session::tryOpen(options, render.bundle, chosen, input.sampleRate(), render.block, channels, &error,
                                blocksWanted());
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
    if (state) session.loadState(*state);
    for (const auto& [id, value] : render.parameters) {
        PluginBridgeMessage set = PluginBridgeMessage::init(Op::setParameter);
        set.paramID = id;
        set.value = value;
        session.request(set);
    }
}

// One session's share of a block: its inputs taken from the file's
// interleaved block straight into the request's payload (channel after
// channel), its outputs taken from the reply's payload straight into the
// output's interleaved block, without allocating and with no copy between.
class SessionBlock {
public:
    SessionBlock(Session& session, std::vector<int> feed, int fileChannels, std::int64_t maxFrames, bool instrument,
                 bool onlySession)
        : session_(session), feed_(std::move(feed)), fileChannels_(fileChannels), instrument_(instrument),
          onlySession_(onlySession), outputs_(std::max<std::int64_t>(session.channels(), 1)) {
        payload_.resize(feed_.size() * static_cast<std::size_t>(maxFrames));
    }

    // Sends this session's share of the block.
    void send(const float* input, std::int64_t at, std::int64_t frames, int sampleRate, double timeoutSeconds) {
        PluginBridgeMessage process = PluginBridgeMessage::init(Op::process);
        process.frames = frames;
        std::span<const std::uint8_t> payload;
        if (instrument_) {
            process.events = phraseEvents(at, frames, sampleRate);
        } else {
            const auto n = static_cast<std::size_t>(frames);
            for (std::size_t c = 0; c < feed_.size(); ++c) {
                float* to = payload_.data() + c * n;
                const float* from = input + feed_[c];
                for (std::size_t i = 0; i < n; ++i) to[i] = from[i * static_cast<std::size_t>(fileChannels_)];
            }
            payload = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(payload_.data()),
                                                    feed_.size() * n * sizeof(float));
        }
        session_.send(process, payload, timeoutSeconds);
    }

    // Receives what came back, into the output's block.
    void receive(float* output, std::int64_t frames) {
        const PluginBridgeChannel::Frame& reply = session_.receive();
        const auto expected = [&](std::int64_t channels) { return PluginBridgeAudio::blockBytes(channels, frames); };
        const std::size_t bytes = reply.payload.size();
        const auto n = static_cast<std::size_t>(frames);
        const std::int64_t replyChannels = n == 0 ? 0 : static_cast<std::int64_t>(bytes / 4 / n);
        if (replyChannels < 1 || replyChannels > outputs_ || expected(replyChannels) != bytes) {
            throw Failure("the plug-in host sent a block of the wrong size");
        }
        // The only session writes every file channel (an instrument's first
        // output where it has fewer outputs than the file has channels); one
        // of several writes the one channel it was fed.
        for (int c = 0; c < fileChannels_; ++c) {
            std::int64_t source = 0;
            if (onlySession_) {
                source = c < replyChannels ? c : 0;
            } else if (feed_[0] != c) {
                continue;
            }
            // Samples travel as little-endian binary32: a float's bytes here.
            const std::uint8_t* from = reply.payload.data() + static_cast<std::size_t>(source) * n * sizeof(float);
            float* to = output + c;
            for (std::size_t i = 0; i < n; ++i)
                std::memcpy(to + i * static_cast<std::size_t>(fileChannels_), from + i * sizeof(float), sizeof(float));
        }
    }

private:
    Session& session_;
    std::vector<int> feed_;
    int fileChannels_;
    bool instrument_, onlySession_;
    std::int64_t outputs_;
    // The request's samples, as floats so that they are written without a
    // cast; sent as the bytes they are.
    std::vector<float> payload_;
};

// Shows how far the render is, at most ten times a second.
class Progress {
public:
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    Progress(bool shown, std::int64_t total) : shown_(shown), total_(total) {}
    void at(std::int64_t done) {
        if (!shown_) return;
        const auto now = std::chrono::steady_clock::now();
        const int percent = static_cast<int>(100 * done / total_);
        if (percent == percent_ || (now - last_ < std::chrono::milliseconds(100) && percent < 100)) return;
        std::fprintf(stderr, "\rrendering %3d%%", percent);
        percent_ = percent;
        last_ = now;
    }
    // The line ends also when the render does not, so that an error or an
    // interruption is told on a line of its own.
    ~Progress() { end(); }
    void end() {
        if (shown_ && percent_ >= 0) std::fprintf(stderr, "\n");
        shown_ = false;
    }

private:
    bool shown_;
    std::int64_t total_;
    int percent_ = -1;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace

constexpr std::int64_t kMaxBlock = 65536;

namespace {

// Which block a failure came with, for the user: " (block 3, frames 1024 to 1535)".
std::string blockName(std::int64_t at, std::int64_t frames, std::int64_t block) {
    return " (block " + std::to_string(at / block + 1) + ", frames " + std::to_string(at) + " to " +
           std::to_string(at + frames - 1) + ")";
}

// The render proper, once the input is open and the class chosen; throws
// Interrupted when asked to stop.
void renderThrough(const Options& options, const RenderOptions& render, const ChosenClass& chosen,
                   AudioReader& input, const std::optional<SavedState>& state, const InterruptWatch& interrupts,
                   Plan& plan) {
    plan = openSessions(options, render, chosen, input);
    interrupts.check();
    // Parameters and settings may change the latency (a look-ahead): the
    // replies to them say so, and the last word before the first block counts.
    for (auto& session : plan.sessions) {
        prepare(*session, render, state);
        interrupts.check();
    }

    const int channels = input.channels();
    const std::int64_t inputFrames = input.frames();
    const auto tailFrames = static_cast<std::int64_t>(std::llround(render.tailSeconds * input.sampleRate()));
    const std::int64_t outputFrames = inputFrames + tailFrames;
    // A plug-in that delays its output by L frames is fed L more frames of
    // silence, and its first L output frames are dropped, so that the output
    // lines up with the input sample for sample.
    std::int64_t latency = 0;
    for (const auto& session : plan.sessions) latency = std::max(latency, session->latency());
    const std::int64_t totalFrames = outputFrames + latency;

    std::vector<std::unique_ptr<SessionBlock>> parts;
    for (std::size_t s = 0; s < plan.sessions.size(); ++s) {
        parts.push_back(std::make_unique<SessionBlock>(*plan.sessions[s], plan.feeds[s], channels, render.block,
                                                       chosen.instrument, plan.sessions.size() == 1));
    }
    const int format = outputFormat(render.output, input.format(), input.sampleRate(), channels, render.format);
    AudioWriter output(render.output, format, input.sampleRate(), channels);
    std::vector<float> inBlock(static_cast<std::size_t>(render.block * channels));
    std::vector<float> outBlock(static_cast<std::size_t>(render.block * channels));
    Progress progress(outputFrames > input.sampleRate(), totalFrames);

    // Up to `inFlight` blocks are sent to every helper before the oldest
    // reply is awaited: the pipe holds the next blocks, so a helper starts on
    // one as soon as it has answered the last, while tarvel reads and writes
    // the file. The sessions of a mono-only plug-in are independent
    // instances, each sent its share of every block, so that their helpers
    // work at the same time. A stop is looked for after each block written;
    // quitting a helper then collects the replies still owed first.
    const std::int64_t inFlight = blocksInFlight(plan.sessions, plan.feeds, render.block);
    std::deque<std::pair<std::int64_t, std::int64_t>> sent; // (first frame, frames), oldest first
    std::int64_t next = 0;
    while (next < totalFrames || !sent.empty()) {
        while (next < totalFrames && static_cast<std::int64_t>(sent.size()) < inFlight) {
            const std::int64_t frames = std::min(render.block, totalFrames - next);
            input.read(inBlock.data(), frames);
            // A block waits behind those owed before it: each has its own time.
            const double seconds = kBlockSeconds * static_cast<double>(sent.size() + 1);
            try {
                for (auto& part : parts) part->send(inBlock.data(), next, frames, input.sampleRate(), seconds);
            } catch (const Failure& failure) {
                // A helper lost while blocks are owed was lost over the oldest.
                const std::int64_t at = sent.empty() ? next : sent.front().first;
                const std::int64_t length = sent.empty() ? frames : sent.front().second;
                throw Failure(std::string(failure.what()) + blockName(at, length, render.block));
            }
            sent.emplace_back(next, frames);
            next += frames;
        }
        const auto [at, frames] = sent.front();
        try {
            for (auto& part : parts) part->receive(outBlock.data(), frames);
        } catch (const Failure& failure) {
            throw Failure(std::string(failure.what()) + blockName(at, frames, render.block));
        }
        sent.pop_front();
        // Output frame t is the plug-in's frame t + latency.
        const std::int64_t from = std::max<std::int64_t>(0, latency - at);
        const std::int64_t to = std::min(frames, outputFrames + latency - at);
        if (to > from) output.write(outBlock.data() + from * channels, to - from);
        progress.at(at + frames);
        interrupts.check();
    }
    progress.end();

    // The settings are taken before the output gets its name: a render whose
    // settings could not be saved leaves no output behind either.
    std::optional<SavedState> saved;
    if (render.saveState) saved.emplace(plan.sessions.front()->saveState());
    interrupts.check();
    output.finish();
    if (saved) writeStateFile(*render.saveState, *saved);
    for (auto& session : plan.sessions) session->quit();
    // As sox warns: the file is whole, but not all of it is what the plug-in made.
    if (output.clipped() > 0) std::fprintf(stderr, "tarvel: %lld samples clipped\n", static_cast<long long>(output.clipped()));
}

} // namespace

int runRender(const Options& options, const RenderOptions& render) {
    // Far above any block a host uses, and far below what a frame may carry.
    if (render.block < 1 || render.block > kMaxBlock) {
        throw UsageError("--block needs a number of frames from 1 to " + std::to_string(kMaxBlock));
    }
    if (!(render.tailSeconds >= 0 && render.tailSeconds <= kMaxTailSeconds)) {
        throw UsageError("--tail needs seconds from 0 to " + std::to_string(static_cast<int>(kMaxTailSeconds)));
    }
    AudioReader input(render.input);
    if (input.channels() < 1) throw Failure(render.input + " has no audio channels");
    // A sample format the output cannot hold is refused before any work.
    outputFormat(render.output, input.format(), input.sampleRate(), input.channels(), render.format);
    std::optional<SavedState> state;
    if (render.state) state.emplace(readStateFile(*render.state));
    // Refused before the render, not after it.
    if (render.saveState) checkStateFileWritable(*render.saveState);

    InterruptWatch interrupts;
    Plan plan;
    try {
        ChosenClass chosen = chooseClass(options, render.bundle, render.cid);
        if (render.notes) chosen.instrument = true;
        interrupts.check();
        renderThrough(options, render, chosen, input, state, interrupts, plan);
        return 0;
    } catch (const Interrupted&) {
    } catch (const Failure&) {
        // A signal sent to the helpers as well (a kill of every process of
        // the user) may have ended them; the user asked to stop, and that is
        // what tarvel reports.
        if (interrupts.signal() == 0) throw;
    }
    // The output's temporary file went with the writer; the helpers end in
    // order, each told to quit (or ended, when it does not) and reaped.
    for (auto& session : plan.sessions) session->quit();
    std::fputs("tarvel: interrupted; nothing was written\n", stderr);
    return interrupts.status();
}

} // namespace tarvel
