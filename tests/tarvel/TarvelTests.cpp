// The tarvel command as a person runs it: audio files in and out, the real
// helper, real plug-ins. What it renders must be what the same blocks give
// in this process, lined up with the input, in the input's format.
#include "plugins/session/SessionFixtureIds.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

#include "tv3m.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using tv3test::ProcessResult;
using tv3test::TempDir;
using testing::HasSubstr;

const std::string kZamComp = "/usr/lib/vst3/ZamComp.vst3";
const std::string kZamCompCid = "2046504473616C63504D435A00000000";
constexpr std::uint32_t kZamCompRatio = 6;     // 0.1579 (4:1) by default
constexpr std::uint32_t kZamCompThreshold = 7; // 1.0 (0 dB) by default: nothing to compress
constexpr int kRate = 48000;
constexpr int kBlock = 512;

std::string fixture(const std::string& name) { return std::string(TV3_FIXTURE_DIR) + "/" + name + ".vst3"; }

ProcessResult tarvel(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TARVEL_PATH);
    return tv3test::runProcess(arguments, std::chrono::seconds(120));
}

std::string describe(const ProcessResult& r) {
    return "exit " + std::to_string(r.exitStatus) + " signal " + std::to_string(r.signal) + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err;
}

using Planar = std::vector<std::vector<float>>;

struct Sound {
    SF_INFO info{};
    Planar data;
    std::int64_t frames() const { return data.empty() ? 0 : static_cast<std::int64_t>(data[0].size()); }
};

Sound readSound(const std::string& path) {
    Sound sound;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
    if (!file) {
        ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
        return sound;
    }
    std::vector<float> interleaved(static_cast<std::size_t>(sound.info.frames * sound.info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), sound.info.frames);
    sf_close(file);
    EXPECT_EQ(got, sound.info.frames);
    sound.data.assign(sound.info.channels, std::vector<float>(static_cast<std::size_t>(got)));
    for (sf_count_t i = 0; i < got; ++i)
        for (int c = 0; c < sound.info.channels; ++c) sound.data[c][i] = interleaved[i * sound.info.channels + c];
    return sound;
}

void writeSound(const std::string& path, int format, const Planar& data, int rate = kRate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(data.size());
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(file) << sf_strerror(nullptr);
    // As tarvel writes integer samples: full scale is the reader's, so that
    // what was read comes back as it was.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const std::size_t frames = data[0].size();
    std::vector<float> interleaved(frames * data.size());
    for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t c = 0; c < data.size(); ++c) interleaved[i * data.size() + c] = data[c][i];
    ASSERT_EQ(sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames)), static_cast<sf_count_t>(frames));
    sf_close(file);
}

// Speech-like bursts over two tones, loud enough for a compressor to act on.
Planar testSignal(int channels, std::int64_t frames) {
    Planar data(channels, std::vector<float>(static_cast<std::size_t>(frames)));
    for (int c = 0; c < channels; ++c) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double burst = std::exp(-std::fmod(t, 0.3) * 9.0);
            data[c][i] = static_cast<float>(0.8 * burst * std::sin(2 * M_PI * (330.0 + 70.0 * c) * t) +
                                            0.05 * std::sin(2 * M_PI * 2000.0 * t));
        }
    }
    return data;
}

// The render as tarvel should do it, in this process: one instance for all
// channels, or one per channel where the plug-in takes only mono; the
// parameters set before the first block; the latency dropped from the front.
Planar renderInProcess(const std::string& bundle, const std::string& cid, const Planar& input,
                       const std::vector<std::pair<std::uint32_t, double>>& parameters, std::int64_t tailFrames = 0) {
    struct Deleter {
        void operator()(tv3m_plugin* p) const { tv3m_plugin_destroy(p); }
    };
    using Plugin = std::unique_ptr<tv3m_plugin, Deleter>;
    const int channels = static_cast<int>(input.size());
    char error[512] = {};
    std::vector<Plugin> instances;
    std::vector<std::vector<int>> feeds;
    if (Plugin whole{tv3m_plugin_create(bundle.c_str(), cid.c_str(), kRate, kBlock, channels, error, sizeof error)}) {
        instances.push_back(std::move(whole));
        feeds.push_back({});
        for (int c = 0; c < channels; ++c) feeds.back().push_back(c);
    } else if (channels == 1) {
        // A mono file through a plug-in that takes only stereo: its one
        // channel fed to both inputs, the first output kept.
        Plugin stereo{tv3m_plugin_create(bundle.c_str(), cid.c_str(), kRate, kBlock, 2, error, sizeof error)};
        if (!stereo) {
            ADD_FAILURE() << error;
            return {};
        }
        instances.push_back(std::move(stereo));
        feeds.push_back({0, 0});
    } else {
        for (int c = 0; c < channels; ++c) {
            Plugin one{tv3m_plugin_create(bundle.c_str(), cid.c_str(), kRate, kBlock, 1, error, sizeof error)};
            if (!one) {
                ADD_FAILURE() << error;
                return {};
            }
            instances.push_back(std::move(one));
            feeds.push_back({c});
        }
    }
    int latency = 0;
    for (auto& p : instances) {
        for (const auto& [id, value] : parameters) EXPECT_EQ(tv3m_param_set(p.get(), id, value), 0);
        latency = std::max(latency, tv3m_plugin_latency(p.get()));
    }
    const std::int64_t inputFrames = static_cast<std::int64_t>(input[0].size());
    const std::int64_t outputFrames = inputFrames + tailFrames;
    const std::int64_t total = outputFrames + latency;
    Planar output(channels, std::vector<float>(static_cast<std::size_t>(outputFrames)));
    for (std::int64_t at = 0; at < total; at += kBlock) {
        const int frames = static_cast<int>(std::min<std::int64_t>(kBlock, total - at));
        for (std::size_t s = 0; s < instances.size(); ++s) {
            const auto& feed = feeds[s];
            Planar in(feed.size(), std::vector<float>(frames, 0.0f)), out(feed.size(), std::vector<float>(frames));
            std::vector<float*> inPtr, outPtr;
            for (std::size_t c = 0; c < feed.size(); ++c) {
                for (int i = 0; i < frames && at + i < inputFrames; ++i) in[c][i] = input[feed[c]][at + i];
                inPtr.push_back(in[c].data());
                outPtr.push_back(out[c].data());
            }
            EXPECT_EQ(tv3m_plugin_process(instances[s].get(), inPtr.data(), outPtr.data(),
                                          static_cast<int32_t>(feed.size()), frames),
                      0);
            for (std::size_t c = 0; c < feed.size(); ++c) {
                if (c > 0 && feed[c] == feed[0]) continue; // the same file channel again: its first output counts
                for (int i = 0; i < frames; ++i) {
                    const std::int64_t t = at + i - latency;
                    if (t >= 0 && t < outputFrames) output[feed[c]][t] = out[c][i];
                }
            }
        }
    }
    return output;
}

// Sample for sample, naming the first difference.
void expectSameAudio(const Planar& got, const Planar& want) {
    ASSERT_EQ(got.size(), want.size()) << "channels";
    for (std::size_t c = 0; c < got.size(); ++c) {
        ASSERT_EQ(got[c].size(), want[c].size()) << "frames of channel " << c;
        for (std::size_t i = 0; i < got[c].size(); ++i) {
            if (std::memcmp(&got[c][i], &want[c][i], sizeof(float)) != 0) {
                FAIL() << "channel " << c << " differs first at frame " << i << ": " << got[c][i] << " vs "
                       << want[c][i];
            }
        }
    }
}

bool differs(const Planar& a, const Planar& b) {
    for (std::size_t c = 0; c < a.size() && c < b.size(); ++c)
        for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i)
            if (std::fabs(a[c][i] - b[c][i]) > 1e-3f) return true;
    return false;
}

class TarvelRender : public testing::Test {
protected:
    TempDir dir;
    std::string in = dir / "in.wav", out = dir / "out.wav";
};

// ZamComp takes only mono: a stereo file runs through one instance per
// channel, and the file that comes back is what the same blocks give here.
TEST_F(TarvelRender, ZamCompMatchesTheInProcessRunSampleForSample) {
    const Planar input = testSignal(2, kRate * 3 / 2 + 77); // not a whole number of blocks
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const ProcessResult r = tarvel({"render", kZamComp, in, out, "--param", std::to_string(kZamCompThreshold) + "=0.5",
                                    "--param", std::to_string(kZamCompRatio) + "=0.8"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    EXPECT_EQ(got.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(got.info.samplerate, kRate);
    const Planar want = renderInProcess(kZamComp, kZamCompCid, input, {{kZamCompThreshold, 0.5}, {kZamCompRatio, 0.8}});
    expectSameAudio(got.data, want);
    // Both parameters reached the plug-in: the default ratio sounds otherwise.
    EXPECT_TRUE(differs(want, renderInProcess(kZamComp, kZamCompCid, input, {{kZamCompThreshold, 0.5}})));
    EXPECT_TRUE(differs(want, input)) << "the compressor left the signal as it was";
}

// Every zam plug-in, through the helper, gives what the same blocks give in
// this process, sample for sample: a stereo file (the mono-only ones through
// one instance per channel) and a mono file (the stereo-only ones fed its one
// channel twice), with the latency made up for and a tail past the input.
class TarvelZam : public testing::TestWithParam<std::tuple<const char*, int>> {
protected:
    TempDir dir;
};

// The first effect class of a bundle, as tarvel chooses it.
std::string firstEffect(const std::string& bundle) {
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(bundle.c_str(), error, sizeof error);
    if (!module) {
        ADD_FAILURE() << error;
        return {};
    }
    std::string cid;
    for (int32_t i = 0; i < tv3m_module_class_count(module) && cid.empty(); ++i) {
        tv3m_class_info info{};
        if (tv3m_module_class_info(module, i, &info) == 0 && std::string(info.category) == "Audio Module Class")
            cid = info.cid;
    }
    tv3m_module_close(module);
    EXPECT_FALSE(cid.empty()) << bundle << " has no effect class";
    return cid;
}

TEST_P(TarvelZam, MatchesTheInProcessRunWithLatencyAndTail) {
    const std::string bundle = std::string("/usr/lib/vst3/") + std::get<0>(GetParam()) + ".vst3";
    const std::string cid = firstEffect(bundle);
    ASSERT_FALSE(cid.empty());
    const std::string in = dir / "in.wav", out = dir / "out.wav";
    const Planar input = testSignal(std::get<1>(GetParam()), kRate / 2 + 77); // not a whole number of blocks
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const ProcessResult r = tarvel({"render", bundle, in, out, "--cid", cid, "--tail", "0.25"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Planar want = renderInProcess(bundle, cid, input, {}, kRate / 4);
    expectSameAudio(readSound(out).data, want);
}

INSTANTIATE_TEST_SUITE_P(
    EveryZamPlugin, TarvelZam,
    testing::Combine(testing::Values("ZaMaximX2", "ZaMultiComp", "ZaMultiCompX2", "ZamAutoSat", "ZamComp",
                                     "ZamCompX2", "ZamDelay", "ZamDynamicEQ", "ZamEQ2", "ZamGEQ31", "ZamGate",
                                     "ZamGateX2", "ZamGrains", "ZamHeadX2", "ZamPhono", "ZamTube", "ZamVerb"),
                     testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) == 1 ? "Mono" : "Stereo");
    });

// Blocks in flight change when a helper is handed a block, never what comes
// back: a render with many blocks owed by each helper is, sample for sample,
// the render of one block at a time (TARVEL_BLOCKS_IN_FLIGHT sets how many),
// through one stereo instance, through one instance per channel, and through
// a plug-in with latency, with a tail.
struct InFlightCase {
    const char* name;
    std::string bundle;
    std::vector<std::string> options;
};
void PrintTo(const InFlightCase& c, std::ostream* os) { *os << c.name; }

class TarvelInFlight : public testing::TestWithParam<InFlightCase> {
protected:
    TempDir dir;
};

TEST_P(TarvelInFlight, ManyBlocksOwedRenderAsOneAtATime) {
    const std::string in = dir / "in.wav";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(2, kRate / 2 + 77));
    auto render = [&](const std::string& inFlight, const std::string& out) {
        std::vector<std::string> arguments{"/usr/bin/env", "TARVEL_BLOCKS_IN_FLIGHT=" + inFlight, TARVEL_PATH,
                                           "render", GetParam().bundle, in, out, "--block", "64", "--tail", "0.1"};
        arguments.insert(arguments.end(), GetParam().options.begin(), GetParam().options.end());
        const ProcessResult r = tv3test::runProcess(arguments, std::chrono::seconds(120));
        EXPECT_TRUE(r.exited(0)) << describe(r);
        return readSound(out).data;
    };
    const Planar one = render("1", dir / "one.wav");
    const Planar many = render("8", dir / "many.wav");
    ASSERT_EQ(one.size(), 2u);
    ASSERT_EQ(one[0].size(), static_cast<std::size_t>(kRate / 2 + 77 + kRate / 10));
    expectSameAudio(many, one);
}

INSTANTIATE_TEST_SUITE_P(
    Renders, TarvelInFlight,
    testing::Values(InFlightCase{"OneStereoInstance", "/usr/lib/vst3/ZamCompX2.vst3",
                                 {"--param", std::to_string(kZamCompThreshold) + "=0.5"}},
                    InFlightCase{"OneInstancePerChannel", kZamComp, {"--param", std::to_string(kZamCompThreshold) + "=0.5"}},
                    InFlightCase{"WithLatency", fixture("session_delays"), {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A 16-bit file comes back 16-bit, of the same length and channels; its
// samples are the in-process run's, rounded as the format rounds them.
TEST_F(TarvelRender, KeepsTheInputFormatAndLength) {
    const Planar signal = testSignal(2, kRate / 2);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, signal);
    const Planar input = readSound(in).data; // as the file holds it
    const ProcessResult r = tarvel({"render", kZamComp, in, out});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    EXPECT_EQ(got.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(got.info.channels, 2);
    EXPECT_EQ(got.frames(), kRate / 2);
    const std::string reference = dir / "reference.wav";
    writeSound(reference, SF_FORMAT_WAV | SF_FORMAT_PCM_16, renderInProcess(kZamComp, kZamCompCid, input, {}));
    expectSameAudio(got.data, readSound(reference).data);
}

// Integer samples through a plug-in that changes nothing come back as they
// were, to the last bit, also at full scale.
TEST_F(TarvelRender, AnIntegerFileThroughUnityGainComesBackBitForBit) {
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_24}) {
        Planar signal = testSignal(2, 6000);
        signal[0][10] = 1.0f;
        signal[1][10] = -1.0f;
        writeSound(in, format, signal);
        const ProcessResult r = tarvel({"render", fixture("session_delays"), in, out});
        ASSERT_TRUE(r.exited(0)) << describe(r);
        const Sound got = readSound(out);
        EXPECT_EQ(got.info.format, format);
        expectSameAudio(got.data, readSound(in).data);
        EXPECT_THAT(r.err, testing::Not(HasSubstr("clipped")));
    }
}

// The output file's name chooses its type; the samples stay the input's kind.
TEST_F(TarvelRender, WritesTheTypeTheOutputNameAsksFor) {
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_24, testSignal(1, 4800));
    const std::string flac = dir / "out.flac";
    const ProcessResult r = tarvel({"render", kZamComp, in, flac});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(flac);
    EXPECT_EQ(got.info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(got.frames(), 4800);

    // ".ogg" is what people write; libsndfile calls its Ogg type "oga".
    const std::string ogg = dir / "out.ogg";
    ASSERT_TRUE(tarvel({"render", kZamComp, in, ogg}).exited(0));
    EXPECT_EQ(readSound(ogg).info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_OGG);
}

// A plug-in that delays its output by the latency it reports: the rendered
// file lines up with the input exactly (the fixture's gain is 1 by default),
// in one stereo instance.
TEST_F(TarvelRender, CompensatesTheLatencySoThatOutputLinesUpWithInput) {
    const Planar input = testSignal(2, 3000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const ProcessResult r = tarvel({"render", fixture("session_delays"), in, out, "--block", "100"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    expectSameAudio(got.data, input);
}

// A look-ahead set by --param changes the latency after "open" (32 frames
// here): the plug-in calls restartComponent(kLatencyChanged), the helper
// reports the new latency in its reply, and the render follows it, so that the
// output, delayed by the new latency, still lines up with the input.
TEST_F(TarvelRender, FollowsALatencyThatAParameterChanges) {
    const Planar input = testSignal(2, 6000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    // Look-ahead is parameter 3: 0.5 adds 128 frames, 1 adds 256.
    for (const char* lookAhead : {"3=0.5", "3=1"}) {
        SCOPED_TRACE(lookAhead);
        const ProcessResult r =
            tarvel({"render", fixture("session_lookahead_delays"), in, out, "--param", lookAhead, "--block", "100"});
        ASSERT_TRUE(r.exited(0)) << describe(r);
        expectSameAudio(readSound(out).data, input);
    }
}

// --tail renders past the input's end: silence in, the plug-in's tail out.
TEST_F(TarvelRender, TailAddsItsSecondsToTheOutput) {
    const Planar input = testSignal(2, 4000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const ProcessResult r = tarvel({"render", fixture("session_delays"), in, out, "--tail", "0.25"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    ASSERT_EQ(got.frames(), 4000 + kRate / 4);
    Planar want = input;
    for (auto& channel : want) channel.resize(4000 + kRate / 4, 0.0f);
    expectSameAudio(got.data, want);
}

// Settings saved after one render and loaded into the next give the same
// audio as the parameter that made them.
TEST_F(TarvelRender, SavedSettingsRenderAsTheParameterThatMadeThem) {
    const Planar input = testSignal(2, 6000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const std::string settings = dir / "gain.tvst3";
    const std::string gain = std::to_string(sessionfx::kGainId) + "=0.25";
    ProcessResult r = tarvel({"render", fixture("session_delays"), in, out, "--param", gain, "--save-state", settings});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Planar halved = readSound(out).data;
    ASSERT_EQ(halved[0].size(), 6000u);
    EXPECT_EQ(halved[1][100], input[1][100] * 0.5f);

    const std::string again = dir / "again.wav";
    r = tarvel({"render", fixture("session_delays"), in, again, "--state", settings});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    expectSameAudio(readSound(again).data, halved);
}

// An instrument plays the built-in phrase: C, E, G, C, half a second each;
// the fixture sounds velocity × pitch / 128 while a note is held.
TEST_F(TarvelRender, PlaysThePhraseThroughAnInstrument) {
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, Planar(2, std::vector<float>(kRate * 5 / 2)));
    const ProcessResult r =
        tarvel({"render", fixture("session_gain"), in, out, "--cid", sessionfx::kInstrumentCid, "--notes"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    ASSERT_EQ(got.frames(), kRate * 5 / 2);
    struct Moment {
        double seconds;
        float level;
    };
    const Moment moments[] = {{0.0, 0.8f * 60 / 128}, {0.2, 0.8f * 60 / 128}, {0.47, 0},
                              {0.6, 0.8f * 64 / 128}, {1.2, 0.8f * 67 / 128}, {2.0, 0.8f * 72 / 128},
                              {2.45, 0}};
    for (const Moment& m : moments) {
        const auto at = static_cast<std::size_t>(m.seconds * kRate);
        for (int c = 0; c < 2; ++c) EXPECT_FLOAT_EQ(got.data[c][at], m.level) << m.seconds << " s, channel " << c;
    }
}

// An output that names the input replaces it only once the render is done:
// the file read is never the file being written.
TEST_F(TarvelRender, AnOutputThatNamesTheInputReplacesItWhole) {
    const Planar input = testSignal(2, 20000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const std::string gain = std::to_string(sessionfx::kGainId) + "=0.25";
    const ProcessResult r = tarvel({"render", fixture("session_delays"), in, in, "--param", gain});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    Planar halved = input;
    for (auto& channel : halved)
        for (float& v : channel) v *= 0.5f;
    expectSameAudio(readSound(in).data, halved);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1)
        << "no temporary file is left beside it";
}

// A render longer than a second tells how far it is.
TEST_F(TarvelRender, ShowsProgressOnStandardErrorForLongRenders) {
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(1, kRate * 2));
    const ProcessResult r = tarvel({"render", fixture("session_gain"), in, out});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("100%"));
    EXPECT_TRUE(r.out.empty()) << r.out;
}

// ---- samples beyond full scale ----

struct ClipCase {
    const char* name;
    int inputFormat;
    std::optional<std::string> format; // --format
    int outputFormat;
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class TarvelClipping : public testing::TestWithParam<ClipCase> {};

// A 0.9 sine through a gain of 2 (+6 dB) goes far beyond full scale. An
// integer file holds it clipped: every sample within rounding of the gain's
// output cut at ±1, none wrapped round to the other sign, and the number of
// samples cut told on standard error. A floating-point file holds it as it is.
TEST_P(TarvelClipping, IntegerFilesClipAndCountFloatFilesKeepWhatIsBeyond) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav";
    Planar sine(2, std::vector<float>(kRate / 4));
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < sine[c].size(); ++i)
            sine[c][i] = static_cast<float>(0.9 * std::sin(2 * M_PI * (440.0 + 110 * c) * i / kRate));
    writeSound(in, GetParam().inputFormat, sine);
    const Planar input = readSound(in).data; // as the file holds it
    std::vector<std::string> arguments{"render", fixture("session_delays"), in, out, "--param",
                                       std::to_string(sessionfx::kGainId) + "=1"};
    if (GetParam().format) arguments.insert(arguments.end(), {"--format", *GetParam().format});
    const ProcessResult r = tarvel(arguments);
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(out);
    EXPECT_EQ(got.info.format, GetParam().outputFormat);
    ASSERT_EQ(got.data.size(), 2u);
    ASSERT_EQ(got.frames(), kRate / 4);

    const bool integer = (GetParam().outputFormat & SF_FORMAT_SUBMASK) != SF_FORMAT_FLOAT &&
                         (GetParam().outputFormat & SF_FORMAT_SUBMASK) != SF_FORMAT_DOUBLE;
    const int bits = (GetParam().outputFormat & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16   ? 16
                     : (GetParam().outputFormat & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24 ? 24
                                                                                         : 32;
    const double step = std::max(std::ldexp(1.0, 1 - bits), 1e-6); // two steps of the format
    long long beyond = 0, atFullScale = 0;
    float peak = 0;
    for (int c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < input[c].size(); ++i) {
            const float made = input[c][i] * 2.0f; // what the fixture's gain gives
            const float v = got.data[c][i];
            peak = std::max(peak, std::fabs(v));
            if (std::fabs(made) <= 1.0f) {
                ASSERT_NEAR(v, made, integer ? step : 0.0) << "channel " << c << " frame " << i;
                continue;
            }
            ++beyond;
            if (!integer) {
                ASSERT_EQ(v, made) << "channel " << c << " frame " << i;
                continue;
            }
            ASSERT_NEAR(v, std::copysign(1.0f, made), step) << "wrapped or not at full scale: channel " << c
                                                             << " frame " << i;
            ++atFullScale;
        }
    }
    ASSERT_GT(beyond, 1000) << "the gain did not take the sine beyond full scale";
    if (integer) {
        EXPECT_EQ(atFullScale, beyond);
        EXPECT_THAT(r.err, HasSubstr("tarvel: " + std::to_string(beyond) + " samples clipped\n"));
    } else {
        EXPECT_GT(peak, 1.7f);
        EXPECT_THAT(r.err, testing::Not(HasSubstr("clipped")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TarvelClipping,
    testing::Values(ClipCase{"Pcm16AsTheInput", SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::nullopt,
                             SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                    ClipCase{"Pcm24AsTheInput", SF_FORMAT_WAV | SF_FORMAT_PCM_24, std::nullopt,
                             SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                    ClipCase{"FloatToPcm16", SF_FORMAT_WAV | SF_FORMAT_FLOAT, "pcm16", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                    ClipCase{"FloatToPcm24", SF_FORMAT_WAV | SF_FORMAT_FLOAT, "pcm24", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                    // Full scale itself overflows 32 bits unless clipped with care.
                    ClipCase{"FloatToPcm32", SF_FORMAT_WAV | SF_FORMAT_FLOAT, "pcm32", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
                    ClipCase{"FloatAsTheInput", SF_FORMAT_WAV | SF_FORMAT_FLOAT, std::nullopt,
                             SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                    ClipCase{"Pcm16ToFloat", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "float", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                    ClipCase{"Pcm16ToDouble", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "double",
                             SF_FORMAT_WAV | SF_FORMAT_DOUBLE}),
    [](const auto& info) { return std::string(info.param.name); });

// A real plug-in: ZamComp's makeup gain takes a 0.9 sine beyond full scale.
// The 16-bit file holds the in-process run's output cut at full scale, and
// the count told is the number of samples beyond it.
TEST_F(TarvelRender, ZamCompMakeupGainBeyondFullScaleIsClippedAndCounted) {
    constexpr std::uint32_t kZamCompMakeup = 8;
    Planar sine(2, std::vector<float>(kRate / 2));
    for (int c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < sine[c].size(); ++i)
            sine[c][i] = static_cast<float>(0.9 * std::sin(2 * M_PI * 440.0 * i / kRate));
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, sine);
    const std::string makeup = std::to_string(kZamCompMakeup) + "=0.2";
    const ProcessResult r = tarvel({"render", kZamComp, in, out, "--param", makeup, "--format", "pcm16"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Planar want = renderInProcess(kZamComp, kZamCompCid, sine, {{kZamCompMakeup, 0.2}});
    const Sound got = readSound(out);
    ASSERT_EQ(got.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(got.data.size(), want.size());
    long long beyond = 0;
    for (std::size_t c = 0; c < want.size(); ++c) {
        ASSERT_EQ(got.data[c].size(), want[c].size());
        for (std::size_t i = 0; i < want[c].size(); ++i) {
            if (std::fabs(want[c][i]) > 1.0f) ++beyond;
            const float cut = std::clamp(want[c][i], -1.0f, 1.0f);
            ASSERT_NEAR(got.data[c][i], cut, 2.0 / 32768) << "channel " << c << " frame " << i;
        }
    }
    ASSERT_GT(beyond, 100) << "the makeup gain did not go beyond full scale";
    EXPECT_THAT(r.err, HasSubstr("tarvel: " + std::to_string(beyond) + " samples clipped\n"));
}

// --format names the samples; the output's name still names the type. WAV
// knows only unsigned 8-bit samples, AIFF signed ones.
TEST(TarvelFormat, WritesTheSampleFormatAskedForInTheTypeTheNameAsksFor) {
    TempDir dir;
    const std::string in = dir / "in.wav";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(1, 4800));
    struct Row {
        const char* output;
        const char* format;
        int want;
    };
    const Row rows[] = {{"a.flac", "pcm16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                        {"b.wav", "pcm8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
                        {"c.aiff", "pcm8", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8},
                        {"d.wav", "ulaw", SF_FORMAT_WAV | SF_FORMAT_ULAW},
                        {"e.aiff", "double", SF_FORMAT_AIFF | SF_FORMAT_DOUBLE}};
    for (const Row& row : rows) {
        const ProcessResult r = tarvel({"render", fixture("session_gain"), in, dir / row.output, "--format", row.format});
        ASSERT_TRUE(r.exited(0)) << row.output << " " << describe(r);
        const Sound got = readSound(dir / row.output);
        EXPECT_EQ(got.info.format, row.want) << row.output;
        EXPECT_EQ(got.frames(), 4800) << row.output;
    }
}

struct FailureCase {
    const char* name;
    std::vector<std::string> arguments; // "IN", "OUT" and "DIR/" stand for the test's files
    int status;
    const char* says;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class TarvelFailure : public testing::TestWithParam<FailureCase> {};

// Every failure is a message and an exit status, and no output file is left
// behind by a render that failed.
TEST_P(TarvelFailure, SaysWhatWentWrong) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(2, 2000));
    std::ofstream(dir / "damaged.tvst3") << "TVST3STATE\n" << std::string(16, '\x7f');
    std::ofstream(dir / "notaudio.wav") << "this is not audio";
    std::vector<std::string> arguments;
    for (std::string a : GetParam().arguments) {
        if (a == "IN") a = in;
        else if (a == "OUT") a = out;
        else if (a.rfind("DIR/", 0) == 0) a = dir / a.substr(4);
        else if (a.rfind("FIXTURE:", 0) == 0) a = fixture(a.substr(8));
        arguments.push_back(a);
    }
    const ProcessResult r = tarvel(arguments);
    EXPECT_TRUE(r.exited(GetParam().status)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(GetParam().says));
    EXPECT_FALSE(std::filesystem::exists(out)) << "a failed render wrote its output";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 3)
        << "a failed render left a file";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TarvelFailure,
    testing::Values(
        FailureCase{"NoCommand", {}, 64, "usage: tarvel"},
        FailureCase{"UnknownCommand", {"frobnicate"}, 64, "unknown command frobnicate"},
        FailureCase{"RenderWithoutOutput", {"render", kZamComp, "IN"}, 64, "render needs a bundle"},
        FailureCase{"ParamWithoutValue", {"render", kZamComp, "IN", "OUT", "--param", "6"}, 64, "ID=VALUE"},
        FailureCase{"ParamOutOfRange", {"render", kZamComp, "IN", "OUT", "--param", "6=1.5"}, 64, "0 to 1"},
        FailureCase{"BlockOfNoFrames", {"render", kZamComp, "IN", "OUT", "--block", "0"}, 64, "--block"},
        FailureCase{"BlockTooLarge", {"render", kZamComp, "IN", "OUT", "--block", "65537"}, 64, "from 1 to 65536"},
        FailureCase{"NegativeTail", {"render", kZamComp, "IN", "OUT", "--tail", "-1"}, 64, "--tail"},
        // An hour at most: longer tails overflowed into a header-only file.
        FailureCase{"TailBeyondAnHour", {"render", kZamComp, "IN", "OUT", "--tail", "3600.5"}, 64,
                    "--tail needs seconds from 0 to 3600"},
        FailureCase{"TailOf2e14Seconds", {"render", kZamComp, "IN", "OUT", "--tail", "2e14"}, 64,
                    "--tail needs seconds from 0 to 3600"},
        FailureCase{"TailOf1e300Seconds", {"render", kZamComp, "IN", "OUT", "--tail", "1e300"}, 64,
                    "--tail needs seconds from 0 to 3600"},
        FailureCase{"TailThatOverflows", {"render", kZamComp, "IN", "OUT", "--tail", "1e999"}, 64, "--tail"},
        FailureCase{"TailNotANumber", {"render", kZamComp, "IN", "OUT", "--tail", "nan"}, 64, "--tail"},
        FailureCase{"TailInfinite", {"render", kZamComp, "IN", "OUT", "--tail", "inf"}, 64, "--tail"},
        FailureCase{"UnknownFormat", {"render", kZamComp, "IN", "OUT", "--format", "pcm12"}, 64,
                    "--format needs one of float, double, pcm8, pcm16, pcm24, pcm32"},
        FailureCase{"FormatWithoutValue", {"render", kZamComp, "IN", "OUT", "--format"}, 64, "--format needs a value"},
        // Checked before the plug-in is started; FLAC holds no floating point.
        FailureCase{"FormatTheFileTypeCannotHold", {"render", kZamComp, "IN", "DIR/out.flac", "--format", "float"}, 64,
                    "--format float: the file type of "},
        FailureCase{"MissingBundle", {"render", "DIR/none.vst3", "IN", "OUT"}, 1,
                    "the plug-in is no longer installed at this location"},
        FailureCase{"MissingInput", {"render", kZamComp, "DIR/none.wav", "OUT"}, 1, "could not read"},
        FailureCase{"InputThatIsNotAudio", {"render", kZamComp, "DIR/notaudio.wav", "OUT"}, 1, "could not read"},
        FailureCase{"DamagedSettings", {"render", kZamComp, "IN", "OUT", "--state", "DIR/damaged.tvst3"}, 1,
                    "is damaged"},
        FailureCase{"UnknownClass", {"render", kZamComp, "IN", "OUT", "--cid", "00000000000000000000000000000000"},
                    1, "tarvel: the factory refused to create this class"},
        // Refused before the render: no output for settings that cannot be kept.
        FailureCase{"SaveStateInAMissingFolder",
                    {"render", "FIXTURE:session_gain", "IN", "OUT", "--save-state", "DIR/none/s.tvst3"}, 1,
                    "tarvel: could not write the settings file"},
        FailureCase{"MissingSettings",
                    {"render", "FIXTURE:session_gain", "IN", "OUT", "--state", "DIR/none.tvst3"}, 1,
                    "could not read the settings file"},
        // A plug-in that crashes costs tarvel its helper, not its life.
        // (Under a sanitizer the helper exits instead of dying by the signal,
        // so only the lost connection is certain.)
        FailureCase{"PluginCrashes", {"render", "FIXTURE:session_crash_process", "IN", "OUT"}, 1,
                    "tarvel: the plug-in host closed the connection"},
        // With blocks in flight, the one the plug-in crashed on is named.
        FailureCase{"PluginCrashesOnTheFirstBlock", {"render", "FIXTURE:session_crash_process", "IN", "OUT"}, 1,
                    "(block 1, frames 0 to 511)"},
        FailureCase{"PluginHangsInTheFirstBlock", {"render", "FIXTURE:session_hang_process", "IN", "OUT"}, 1,
                    "(block 1, frames 0 to 511)"},
        FailureCase{"PluginCrashesWhileOpening", {"render", "FIXTURE:session_crash_open", "IN", "OUT"}, 1,
                    "tarvel: the plug-in host closed the connection"}),
    [](const auto& info) { return std::string(info.param.name); });

// A settings file the plug-in refuses: the helper's own words.
TEST(TarvelSettings, APluginThatRefusesItsSettingsSaysSo) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav", settings = dir / "s.tvst3";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(2, 2000));
    ProcessResult r = tarvel({"render", fixture("session_gain"), in, out, "--save-state", settings});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    r = tarvel({"render", fixture("session_rejects_state"), in, dir / "again.wav", "--state", settings});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("the plug-in rejected its saved settings"));
}

// ---- edit ----

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A settings file as tarvel writes it.
std::string stateFileBytes(const std::string& component, const std::string& controller) {
    std::string bytes = "TVST3STATE\n";
    for (const std::uint64_t n : {component.size(), controller.size()})
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return bytes + component + controller;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sets an environment variable (or unsets it, for nothing) for as long as it
// lives; tarvel and its helper inherit the test's environment.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct EditFailureCase {
    const char* name;
    std::vector<std::string> arguments; // after "edit"; "SAVE" is the settings file, "DIR/", "FIXTURE:" as above
    int status;
    const char* says;
    bool withoutDisplay = false;
};

void PrintTo(const EditFailureCase& c, std::ostream* os) { *os << c.name; }

class TarvelEditFailure : public testing::TestWithParam<EditFailureCase> {};

// The real helper: every way `edit` can fail before an editor is shown is a
// message and an exit status, and no settings file (nor a temporary one) is
// left behind.
TEST_P(TarvelEditFailure, SaysWhatWentWrongAndSavesNothing) {
    TempDir dir;
    const std::string save = dir / "edited.tvst3";
    std::ofstream(dir / "damaged.tvst3") << "TVST3STATE\n" << std::string(16, '\x7f');
    std::ofstream(dir / "settings.tvst3", std::ios::binary) << stateFileBytes("SFXCjunk", "");
    const std::vector<std::string> before = filesIn(dir.path());
    std::vector<std::string> arguments{"edit"};
    for (std::string a : GetParam().arguments) {
        if (a == "SAVE") a = save;
        else if (a.rfind("DIR/", 0) == 0) a = dir / a.substr(4);
        else if (a.rfind("FIXTURE:", 0) == 0) a = fixture(a.substr(8));
        arguments.push_back(a);
    }
    std::optional<ScopedEnvironment> display;
    if (GetParam().withoutDisplay) display.emplace("DISPLAY", std::nullopt);
    const ProcessResult r = tarvel(arguments);
    EXPECT_TRUE(r.exited(GetParam().status)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(GetParam().says));
    EXPECT_EQ(filesIn(dir.path()), before) << "a failed edit wrote a file";
    if (GetParam().status == 1) {
        EXPECT_EQ(r.out, "") << "nothing was announced for an editor never shown";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TarvelEditFailure,
    testing::Values(
        EditFailureCase{"NoSaveState", {"FIXTURE:session_gain"}, 64, "edit needs --save-state FILE"},
        EditFailureCase{"SaveStateWithoutValue", {"FIXTURE:session_gain", "--save-state"}, 64,
                        "--save-state needs a value"},
        EditFailureCase{"NoBundle", {"--save-state", "SAVE"}, 64, "edit needs one bundle"},
        EditFailureCase{"TwoBundles", {"FIXTURE:session_gain", "FIXTURE:session_delays", "--save-state", "SAVE"}, 64,
                        "edit needs one bundle"},
        EditFailureCase{"UnknownOption", {"FIXTURE:session_gain", "--save-state", "SAVE", "--anchor", "1"}, 64,
                        "unknown option --anchor"},
        // Without a display the helper says so before it asks the plug-in for
        // a view (a plug-in without one is shown under a display, in the
        // window tests).
        EditFailureCase{"NoDisplay", {"FIXTURE:session_gain", "--save-state", "SAVE"}, 1,
                        "tarvel: no display is available for the editor\n", true},
        EditFailureCase{"NoDisplayForAnInstrument",
                        {"FIXTURE:session_gain", "--cid", sessionfx::kInstrumentCid, "--save-state", "SAVE"}, 1,
                        "tarvel: no display is available for the editor\n", true},
        EditFailureCase{"MissingBundle", {"DIR/none.vst3", "--save-state", "SAVE"}, 1,
                        "tarvel: the plug-in is no longer installed at this location"},
        EditFailureCase{"UnknownClass",
                        {"FIXTURE:session_gain", "--cid", "00000000000000000000000000000000", "--save-state", "SAVE"},
                        1, "tarvel: the factory refused to create this class"},
        EditFailureCase{"PluginCrashesWhileOpening", {"FIXTURE:session_crash_open", "--save-state", "SAVE"}, 1,
                        "tarvel: the plug-in host closed the connection"},
        EditFailureCase{"DamagedSettings",
                        {"FIXTURE:session_gain", "--state", "DIR/damaged.tvst3", "--save-state", "SAVE"}, 1,
                        "is damaged"},
        // Loaded before the editor is asked for: the refusal comes first.
        EditFailureCase{"SettingsThePluginRefuses",
                        {"FIXTURE:session_rejects_state", "--state", "DIR/settings.tvst3", "--save-state", "SAVE"}, 1,
                        "tarvel: the plug-in rejected its saved settings"},
        // Refused before the user has put any work into the editor.
        EditFailureCase{"SaveStateInAMissingFolder", {"FIXTURE:session_gain", "--save-state", "DIR/none/s.tvst3"}, 1,
                        "tarvel: could not write the settings file"}),
    [](const auto& info) { return std::string(info.param.name); });

// `edit` through a stand-in helper that acts as though the editor opened and
// plays a script of "status" answers (see FakeHelper.cpp), so that the
// wait for the window is driven without a window system.
class TarvelEdit : public testing::Test {
protected:
    TempDir dir;
    std::string save = dir / "edited.tvst3", log = dir / "requests.log";
    ScopedEnvironment logEnvironment{"TARVEL_FAKE_LOG", log};

    ProcessResult edit(const std::string& script, std::vector<std::string> arguments = {}) {
        ScopedEnvironment scriptEnvironment("TARVEL_FAKE_SCRIPT", script);
        arguments.insert(arguments.begin(), {"--helper", TARVEL_FAKE_HELPER, "edit", fixture("session_gain"),
                                             "--save-state", save});
        return tarvel(arguments);
    }
    std::vector<std::string> requests() {
        std::vector<std::string> lines;
        std::stringstream in(fileText(log));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The requests with the polls (however many there were) left out.
    std::vector<std::string> requestsBesidesStatus() {
        std::vector<std::string> lines = requests();
        std::erase(lines, "status");
        return lines;
    }
};

struct EditScript {
    const char* script;
    std::vector<std::string> lines; // standard output after the first line, "SAVE" for the file
};

void PrintTo(const EditScript& c, std::ostream* os) { *os << '"' << c.script << '"'; }

class TarvelEditCounts : public TarvelEdit, public testing::WithParamInterface<EditScript> {};

// Edits are added up over the polls; a line tells the total whenever it
// grew; a close ends the wait, and the settings then saved are the file.
// The last poll comes after saving, for edits made just before the close.
TEST_P(TarvelEditCounts, AddsUpEditsUntilTheWindowClosesThenSaves) {
    const ProcessResult r = edit(GetParam().script);
    ASSERT_TRUE(r.exited(0)) << describe(r);
    std::string want = "tarvel: editing Session Gain; close the editor window when you are done\n";
    for (const std::string& line : GetParam().lines) {
        const std::size_t at = line.find("SAVE");
        want += (at == std::string::npos ? line : line.substr(0, at) + save + line.substr(at + 4)) + "\n";
    }
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(fileText(save), stateFileBytes("abc", "de"));
    EXPECT_EQ(requestsBesidesStatus(),
              (std::vector<std::string>{"sigint default, own group", "open", "openEditor title=Session Gain anchor=no",
                                        "saveState", "quit"}));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"edited.tvst3", "requests.log"}));
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, TarvelEditCounts,
    testing::Values(EditScript{"closed", {"tarvel: saved SAVE (0 edits)"}},
                    EditScript{"1,closed", {"tarvel: 1 edit", "tarvel: saved SAVE (1 edit)"}},
                    EditScript{"2,0,0,3,closed",
                               {"tarvel: 2 edits", "tarvel: 5 edits", "tarvel: saved SAVE (5 edits)"}},
                    EditScript{"2,closed,4", {"tarvel: 2 edits", "tarvel: saved SAVE (6 edits)"}}));

// --state is loaded before the editor opens, --title names its window, and
// the settings read can be the ones replaced: the file is replaced whole.
TEST_F(TarvelEdit, LoadsTheSettingsFirstAndTitlesTheWindow) {
    std::ofstream(save, std::ios::binary) << stateFileBytes("xyzw", "q");
    const ProcessResult r = edit("closed", {"--state", save, "--title", "Gain, by hand"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(requestsBesidesStatus(),
              (std::vector<std::string>{"sigint default, own group", "open", "loadState 4 1",
                                        "openEditor title=Gain, by hand anchor=no", "saveState", "quit"}));
    EXPECT_EQ(fileText(save), stateFileBytes("abc", "de"));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"edited.tvst3", "requests.log"}));
}

struct EditInterruption {
    const char* name;
    const char* script;
    int status;
};

void PrintTo(const EditInterruption& c, std::ostream* os) { *os << c.name; }

class TarvelEditInterrupted : public TarvelEdit, public testing::WithParamInterface<EditInterruption> {};

// Ctrl-C or SIGTERM while the editor is open: the editor is closed, the
// helper told to quit, nothing saved; a settings file already there stays.
TEST_P(TarvelEditInterrupted, ClosesTheEditorQuitsAndSavesNothing) {
    std::ofstream(save, std::ios::binary) << stateFileBytes("old", "");
    const ProcessResult r = edit(GetParam().script);
    EXPECT_TRUE(r.exited(GetParam().status)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("tarvel: interrupted; nothing was saved"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr("saved")));
    EXPECT_EQ(requestsBesidesStatus(),
              (std::vector<std::string>{"sigint default, own group", "open", "openEditor title=Session Gain anchor=no",
                                        "closeEditor", "quit"}));
    EXPECT_EQ(fileText(save), stateFileBytes("old", ""));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"edited.tvst3", "requests.log"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, TarvelEditInterrupted,
                         testing::Values(EditInterruption{"Interrupt", "0,interrupt", 130},
                                         EditInterruption{"InterruptAfterEdits", "3,interrupt", 130},
                                         EditInterruption{"Terminate", "terminate", 143}),
                         [](const auto& info) { return std::string(info.param.name); });

// A helper lost while the editor is open: render's message, exit 1, nothing
// saved.
TEST_F(TarvelEdit, AHelperThatDiesWhileTheEditorIsOpenSavesNothing) {
    const ProcessResult r = edit("1,0,die");
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr("tarvel: the plug-in host closed the connection"));
    EXPECT_THAT(r.err, HasSubstr("signal 9"));
    EXPECT_THAT(r.out, HasSubstr("tarvel: 1 edit\n"));
    EXPECT_EQ(requests().back(), "status");
    EXPECT_FALSE(std::filesystem::exists(save));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"requests.log"}));
}

// ---- through the stand-in helper: latency, failed saves, signals ----

// The stand-in's environment, set for as long as it lives.
class FakeSettings {
public:
    FakeSettings(std::initializer_list<std::pair<const char*, std::optional<std::string>>> settings) {
        for (const auto& [name, value] : settings) scopes_.push_back(std::make_unique<ScopedEnvironment>(name, value));
    }

private:
    std::vector<std::unique_ptr<ScopedEnvironment>> scopes_;
};

ProcessResult tarvelThroughFake(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--helper", TARVEL_FAKE_HELPER});
    return tarvel(arguments);
}

struct LatencyCase {
    const char* name;
    std::optional<std::string> open, state, param; // the latency in each reply, if any
    bool withState, withParam;
    int delay; // what the stand-in then delays by
};

void PrintTo(const LatencyCase& c, std::ostream* os) { *os << c.name; }

class TarvelLatency : public testing::TestWithParam<LatencyCase> {};

// The stand-in delays its output by the latency it reported last; a render
// that followed the replies to "loadState" and "setParameter" (the last one
// before the first block counts) lines up with the input.
TEST_P(TarvelLatency, FollowsTheLastLatencyReportedBeforeTheFirstBlock) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav", settings = dir / "s.tvst3";
    std::ofstream(settings, std::ios::binary) << stateFileBytes("abc", "de");
    const Planar input = testSignal(2, 3000);
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, input);
    const std::string log = dir / "requests.log";
    const FakeSettings fake{{"TARVEL_FAKE_LOG", log},
                            {"TARVEL_FAKE_OPEN_LATENCY", GetParam().open},
                            {"TARVEL_FAKE_STATE_LATENCY", GetParam().state},
                            {"TARVEL_FAKE_PARAM_LATENCY", GetParam().param}};
    std::vector<std::string> arguments{"render", fixture("session_gain"), in, out, "--block", "256"};
    if (GetParam().withState) arguments.insert(arguments.end(), {"--state", settings});
    if (GetParam().withParam) arguments.insert(arguments.end(), {"--param", "1=0.5", "--param", "2=0"});
    const ProcessResult r = tarvelThroughFake(arguments);
    ASSERT_TRUE(r.exited(0)) << describe(r);
    expectSameAudio(readSound(out).data, input);
    // The stand-in did delay by what the case says, so that the output lines
    // up only where tarvel followed it.
    EXPECT_THAT(fileText(log), HasSubstr("first block, delay " + std::to_string(GetParam().delay) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TarvelLatency,
    testing::Values(LatencyCase{"OpenOnly", "5", std::nullopt, std::nullopt, false, false, 5},
                    LatencyCase{"ParameterSetsALookAhead", "5", std::nullopt, "37", false, true, 37},
                    LatencyCase{"ParameterFromNoLatency", "0", std::nullopt, "300", false, true, 300},
                    LatencyCase{"SettingsChangeIt", "5", "11", std::nullopt, true, false, 11},
                    LatencyCase{"ParameterAfterSettings", "5", "11", "37", true, true, 37},
                    LatencyCase{"ParameterRepliesWithoutLatencyKeepIt", "5", "11", std::nullopt, true, true, 11}),
    [](const auto& info) { return std::string(info.param.name); });

// A latency that no render can make up for is an error, not a huge or
// negative shift.
TEST(TarvelLatencyRefused, ALatencyOutOfRangeIsAnError) {
    for (const char* latency : {"-1", "1000000000000"}) {
        TempDir dir;
        const std::string in = dir / "in.wav", out = dir / "out.wav";
        writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(1, 1000));
        const FakeSettings fake{{"TARVEL_FAKE_PARAM_LATENCY", latency}};
        const ProcessResult r = tarvelThroughFake({"render", fixture("session_gain"), in, out, "--param", "1=0.5"});
        EXPECT_TRUE(r.exited(1)) << describe(r);
        EXPECT_THAT(r.err, HasSubstr(std::string("tarvel: the plug-in reported a latency of ") + latency + " frames"));
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

constexpr const char* kCouldNotSave = "the plug-in could not save its settings";

// Settings the plug-in could not give are no settings file: render writes
// neither its output nor the file, edit writes no file and announces no
// save; both say the helper's words and exit 1. A file already there stays.
TEST(TarvelSaveFailure, RenderWritesNoOutputAndNoSettings) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav", settings = dir / "s.tvst3";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(2, 2000));
    std::ofstream(settings, std::ios::binary) << stateFileBytes("old", "");
    const FakeSettings fake{{"TARVEL_FAKE_SAVE_ERROR", kCouldNotSave}};
    const ProcessResult r = tarvelThroughFake({"render", fixture("session_gain"), in, out, "--save-state", settings});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(std::string("tarvel: ") + kCouldNotSave + "\n"));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"in.wav", "s.tvst3"}));
    EXPECT_EQ(fileText(settings), stateFileBytes("old", ""));
}

TEST_F(TarvelEdit, ASaveThatFailsWritesNoFileAndSaysSo) {
    std::ofstream(save, std::ios::binary) << stateFileBytes("old", "");
    const FakeSettings fake{{"TARVEL_FAKE_SAVE_ERROR", kCouldNotSave}};
    const ProcessResult r = edit("2,closed");
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(std::string("tarvel: ") + kCouldNotSave + "\n"));
    EXPECT_THAT(r.out, testing::Not(HasSubstr("saved")));
    EXPECT_EQ(fileText(save), stateFileBytes("old", ""));
    EXPECT_EQ(requestsBesidesStatus(),
              (std::vector<std::string>{"sigint default, own group", "open", "openEditor title=Session Gain anchor=no",
                                        "saveState", "quit"}));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"edited.tvst3", "requests.log"}));
}

// tarvel started in the background as the leader of a process group of its
// own, as a shell starts a job, with its output going to files.
class TarvelJob {
public:
    TarvelJob(std::vector<std::string> arguments, const std::string& err) {
        arguments.insert(arguments.begin(), TARVEL_PATH);
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~TarvelJob() {
        if (pid_ > 0 && !status_) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // How it ended, when it did within `seconds`.
    std::optional<int> wait(double seconds) {
        tv3test::waitFor(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
                return status_.has_value();
            },
            seconds);
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::vector<pid_t> pidsIn(const std::string& path) {
    std::vector<pid_t> pids;
    std::ifstream in(path);
    for (pid_t pid; in >> pid;) pids.push_back(pid);
    return pids;
}

struct RenderInterruption {
    const char* name;
    int signal;
    bool toTheGroup; // as a terminal's Ctrl-C: to every process of the job
    int status;
};

void PrintTo(const RenderInterruption& c, std::ostream* os) { *os << c.name; }

class TarvelRenderInterrupted : public testing::TestWithParam<RenderInterruption> {};

// A long render stopped by a signal: no output and no temporary file, every
// helper (two: the stand-in takes only mono, the file is stereo) told to
// quit and reaped, and the signal's exit status. The helpers run in process
// groups of their own, so a signal to tarvel's job reaches tarvel only: the
// stand-ins, which keep SIGINT's default, live to be told to quit.
TEST_P(TarvelRenderInterrupted, RemovesTheTemporaryFileEndsTheHelpersAndExits) {
    TempDir dir, logs;
    const std::string in = dir / "in.wav", out = dir / "out.wav";
    // An hour's tail in blocks of 16 frames: far longer than the test waits.
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, Planar(2, std::vector<float>(8000, 0.25f)), 8000);
    const FakeSettings fake{{"TARVEL_FAKE_LOG", logs / "requests.log"},
                            {"TARVEL_FAKE_PIDS", logs / "pids"},
                            {"TARVEL_FAKE_MONO_ONLY", "1"}};
    TarvelJob job({"--helper", TARVEL_FAKE_HELPER, "render", fixture("session_gain"), in, out, "--block", "16",
                   "--tail", "3600"},
                  logs / "stderr");
    ASSERT_GT(job.pid(), 0);
    // Under way once the output's temporary file is there.
    const std::string temporary = out + ".tarvel-" + std::to_string(job.pid());
    ASSERT_TRUE(tv3test::waitFor([&] { return std::filesystem::exists(temporary); }, 60))
        << fileText(logs / "stderr");
    ASSERT_EQ(pidsIn(logs / "pids").size(), 3u) << "the stereo open refused, then one helper per channel";
    ASSERT_EQ(::kill(GetParam().toTheGroup ? -job.pid() : job.pid(), GetParam().signal), 0);

    const std::optional<int> status = job.wait(60);
    ASSERT_TRUE(status.has_value()) << "tarvel did not end after the signal";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), GetParam().status);
    EXPECT_THAT(fileText(logs / "stderr"), HasSubstr("tarvel: interrupted; nothing was written\n"));
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"in.wav"}));
    for (const pid_t helper : pidsIn(logs / "pids")) {
        EXPECT_TRUE(::kill(helper, 0) != 0 && errno == ESRCH) << "helper " << helper << " was left behind";
    }
    // The refused one quit after its refusal, the two that rendered at the end.
    std::vector<std::string> lines;
    std::stringstream log(fileText(logs / "requests.log"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "sigint default, own group"), 3);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "quit"), 3) << fileText(logs / "requests.log");
}

INSTANTIATE_TEST_SUITE_P(Signals, TarvelRenderInterrupted,
                         testing::Values(RenderInterruption{"CtrlC", SIGINT, true, 130},
                                         RenderInterruption{"Interrupt", SIGINT, false, 130},
                                         RenderInterruption{"Terminate", SIGTERM, false, 143}),
                         [](const auto& info) { return std::string(info.param.name); });

// The edit's helper is in a group of its own as well: a Ctrl-C typed at the
// terminal reaches tarvel, which closes the editor and tells the helper to
// quit, instead of the helper dying by it.
TEST_F(TarvelEdit, ACtrlCToTheWholeJobReachesOnlyTarvel) {
    TempDir logs;
    const FakeSettings fake{{"TARVEL_FAKE_PIDS", logs / "pids"}};
    TarvelJob job({"--helper", TARVEL_FAKE_HELPER, "edit", fixture("session_gain"), "--save-state", save},
                  logs / "stderr");
    const auto polled = [&] {
        const std::vector<std::string> lines = requests();
        return std::find(lines.begin(), lines.end(), "status") != lines.end();
    };
    ASSERT_TRUE(tv3test::waitFor(polled, 60))
        << fileText(logs / "stderr");
    ASSERT_EQ(::kill(-job.pid(), SIGINT), 0);
    const std::optional<int> status = job.wait(60);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 130);
    EXPECT_EQ(requestsBesidesStatus(),
              (std::vector<std::string>{"sigint default, own group", "open", "openEditor title=Session Gain anchor=no",
                                        "closeEditor", "quit"}));
    for (const pid_t helper : pidsIn(logs / "pids")) EXPECT_TRUE(::kill(helper, 0) != 0 && errno == ESRCH);
    EXPECT_FALSE(std::filesystem::exists(save));
}

// ---- scan's child ----

// Nothing tarvel holds reaches the scanning helper: neither a descriptor its
// own parent let through (the test's, here) nor the input file render has
// open while it scans.
TEST(TarvelScanChild, SeesOnlyItsStandardDescriptors) {
    TempDir dir;
    const std::string in = dir / "in.wav", out = dir / "out.wav", fds = dir / "fds";
    writeSound(in, SF_FORMAT_WAV | SF_FORMAT_FLOAT, testSignal(1, 1000));
    const int inherited = ::open((dir / "inherited").c_str(), O_WRONLY | O_CREAT, 0644); // no O_CLOEXEC
    ASSERT_GE(inherited, 3);
    const FakeSettings fake{{"TARVEL_FAKE_SCAN_FDS", fds}};
    const ProcessResult scan = tarvelThroughFake({"scan", fixture("session_gain")});
    const ProcessResult render = tarvelThroughFake({"render", fixture("session_gain"), in, out});
    ::close(inherited);
    ASSERT_TRUE(scan.exited(0)) << describe(scan);
    ASSERT_TRUE(render.exited(0)) << describe(render);
    EXPECT_EQ(fileText(fds), "0 1 2\n0 1 2\n");
}

// A plug-in that started a process of its own during the scan, which holds
// the report's pipe open after the helper exited: the scan ends with the
// helper and has its report, instead of waiting for that process (a minute
// here) or for tarvel's limit.
TEST(TarvelScanChild, EndsWithTheHelperWhenAProcessItLeftHoldsThePipe) {
    TempDir dir;
    const FakeSettings fake{{"TARVEL_FAKE_SCAN_LINGER", "1"}, {"TARVEL_FAKE_LOG", dir / "log"}};
    const auto r = tv3test::runProcess({TARVEL_PATH, "--helper", TARVEL_FAKE_HELPER, "scan",
                                        fixture("session_gain")},
                                       std::chrono::seconds(45));
    std::optional<pid_t> sleeper;
    std::stringstream log(fileText(dir / "log"));
    std::string word;
    pid_t pid = 0;
    if (log >> word >> pid && word == "sleep") sleeper = pid;
    ASSERT_TRUE(sleeper.has_value()) << "the stand-in left no process behind";
    // Still there: the scan did not wait for it.
    EXPECT_EQ(::kill(*sleeper, 0), 0);
    ::kill(*sleeper, SIGKILL);
    ASSERT_TRUE(r.exited(0)) << describe(r);
    EXPECT_THAT(r.out, HasSubstr(sessionfx::kEffectCid));
    EXPECT_THAT(r.out, HasSubstr("Session Gain"));
}

TEST(TarvelScan, ListsEveryInstalledBundleWithItsVendorAndKind) {
    const ProcessResult r = tarvel({"scan", "/usr/lib/vst3"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    int effects = 0;
    std::size_t from = 0;
    while ((from = r.out.find(" effect ", from)) != std::string::npos) ++effects, ++from;
    EXPECT_GE(effects, 17) << r.out;
    EXPECT_THAT(r.out, HasSubstr("ZamComp.vst3"));
    EXPECT_THAT(r.out, HasSubstr("Damien Zammit"));
    EXPECT_THAT(r.out, HasSubstr(kZamCompCid));
}

TEST(TarvelScan, NamesABundleThatFailsAndExitsOne) {
    TempDir dir;
    const ProcessResult r = tarvel({"scan", kZamComp, dir / "none.vst3"});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_THAT(r.out, HasSubstr("ZamComp.vst3"));
    EXPECT_THAT(r.out, HasSubstr("none.vst3"));
    EXPECT_THAT(r.out, HasSubstr("error: "));
}

TEST(TarvelParams, ListsIdsTitlesUnitsAndDisplays) {
    const ProcessResult r = tarvel({"params", kZamComp});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    EXPECT_THAT(r.out, HasSubstr(kZamCompCid));
    EXPECT_THAT(r.out, testing::ContainsRegex("\n +6  Ratio +"));
    EXPECT_THAT(r.out, testing::ContainsRegex("Attack +ms +0\\.0991  10\\.0"));
}

TEST(TarvelTone, WritesATestSignalOfTheAskedShape) {
    TempDir dir;
    const ProcessResult r = tarvel({"tone", dir / "tone.wav", "--seconds", "0.5", "--channels", "1", "--rate", "44100"});
    ASSERT_TRUE(r.exited(0)) << describe(r);
    const Sound got = readSound(dir / "tone.wav");
    EXPECT_EQ(got.info.channels, 1);
    EXPECT_EQ(got.info.samplerate, 44100);
    EXPECT_EQ(got.frames(), 22050);
    float peak = 0;
    for (float s : got.data[0]) peak = std::max(peak, std::fabs(s));
    EXPECT_GT(peak, 0.3f);
    EXPECT_LE(peak, 1.0f);
}

} // namespace
