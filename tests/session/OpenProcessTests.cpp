// "open" and "process": stored block sizes and channel counts, refusals, the
// shape of the replies, audio through the gain effect and notes into the
// tone instrument, and edits reported during blocks.
#include "session/SessionHarness.h"

#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "support/TempDir.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace sessiontest {
namespace {

constexpr const char* kMalformed = "the audio block arrived malformed";

// An error reply: the text and nothing else, no payload.
void expectError(const Reply& r, const std::string& text) {
    EXPECT_EQ(r.message, Message::reply(text)) << "error: " << r.message.error.value_or("(none)");
    EXPECT_TRUE(r.payload.empty());
}

// One block through the effect; checks the output is the input times `gain`.
void expectGainBlock(PluginBridgeClient& client, int channels, int frames, float gain) {
    const auto in = testSignal(channels, frames);
    Reply r = succeed(client, processRequest(frames), bytesOf(in, frames));
    ASSERT_EQ(r.payload.size(), static_cast<std::size_t>(channels) * frames * 4);
    const std::vector<float> out = samples(r.payload);
    for (int c = 0; c < channels; ++c) {
        for (int i = 0; i < frames; ++i) {
            ASSERT_EQ(out[c * frames + i], in[c][i] * gain) << "channel " << c << " frame " << i;
        }
    }
}

struct StoredSizes {
    const char* name;
    std::optional<std::int64_t> maxBlock, channels;
    int storedBlock, storedChannels;
};

class OpenStores : public testing::TestWithParam<StoredSizes> {};

TEST_P(OpenStores, TheBlockSizeAndChannelCountThatProcessThenAccepts) {
    const StoredSizes& c = GetParam();
    auto client = startHelper();
    ASSERT_TRUE(client);
    Reply opened = call(*client, openRequest(fixture("session_gain"), sessionfx::kEffectCid, c.maxBlock, c.channels));
    ASSERT_FALSE(opened.message.error) << *opened.message.error;
    expectGainBlock(*client, c.storedChannels, c.storedBlock, 1.0f);
    const int over = c.storedBlock + 1;
    expectError(call(*client, processRequest(over), bytesOf(testSignal(c.storedChannels, over), over)), kMalformed);
    const int wrongChannels = c.storedChannels == 2 ? 1 : 2;
    expectError(call(*client, processRequest(c.storedBlock),
                     bytesOf(testSignal(wrongChannels, c.storedBlock), c.storedBlock)),
                kMalformed);
    expectGainBlock(*client, c.storedChannels, 1, 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Open, OpenStores,
                         testing::Values(StoredSizes{"MaxBlock10Is64", 10, 2, 64, 2},
                                         StoredSizes{"MaxBlock64Is64", 64, 2, 64, 2},
                                         StoredSizes{"MaxBlock65Is65", 65, 2, 65, 2},
                                         StoredSizes{"MaxBlockZeroIs64", 0, 2, 64, 2},
                                         StoredSizes{"MaxBlockNegativeIs64", -7, 2, 64, 2},
                                         StoredSizes{"NoMaxBlockIs4096", std::nullopt, 2, 4096, 2},
                                         StoredSizes{"NoChannelsIsStereo", 512, std::nullopt, 512, 2},
                                         StoredSizes{"Mono", 512, 1, 512, 1}),
                         [](const auto& info) { return info.param.name; });

TEST(Open, TheEffectReplyHasLatencyAndInputButNoOutputChannels) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Reply r = succeed(*client, openRequest(fixture("session_gain"), sessionfx::kEffectCid));
    Message expected = Message::reply();
    expected.latency = sessionfx::kLatency;
    expected.hasAudioInput = true;
    expected.hasEditor = false; // probed: the fixture has no view
    EXPECT_EQ(r.message, expected);
    EXPECT_TRUE(r.payload.empty());
}

TEST(Open, TheInstrumentReplyHasOutputChannelsAndNoAudioInput) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Message open = openRequest(fixture("session_gain"), sessionfx::kInstrumentCid, 512, 2, true);
    open.wantsEditor = false;
    Reply r = succeed(*client, open);
    Message expected = Message::reply();
    expected.outputChannels = 2;
    expected.latency = sessionfx::kLatency;
    expected.hasAudioInput = false;
    expected.hasEditor = false;
    EXPECT_EQ(r.message, expected);
}

TEST(Open, TheSampleRateIsTheRequestedOneOr48000) {
    const std::pair<std::optional<double>, std::int64_t> cases[] = {{std::nullopt, 32}, {96000.0, 64}, {24000.0, 16}};
    for (const auto& [rate, latency] : cases) {
        SCOPED_TRACE(rate ? std::to_string(*rate) : "absent");
        auto client = startHelper();
        ASSERT_TRUE(client);
        Message open = openRequest(fixture("session_gain"), sessionfx::kEffectCid);
        open.sampleRate = rate;
        EXPECT_EQ(succeed(*client, open).message.latency, std::optional<std::int64_t>(latency));
    }
}

TEST(Open, WantsEditorFalseRepliesHasEditorFalse) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Message open = openRequest(fixture("session_gain"), sessionfx::kEffectCid);
    open.wantsEditor = false;
    Reply r = succeed(*client, open);
    EXPECT_EQ(r.message.hasEditor, std::optional<bool>(false));
}

TEST(Open, ASecondOpenIsRefusedWhateverItNamesAndTheFirstStaysInUse) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain", false, 512, 2);
    const Message seconds[] = {
        openRequest(fixture("session_gain"), sessionfx::kEffectCid, 64, 1),
        openRequest(fixture("session_no_params"), sessionfx::kInstrumentCid, 64, 2, true),
        request(Op::open),
    };
    for (const Message& m : seconds) expectError(call(*client, m), "an instance is already open");
    // The first instance's settings are untouched.
    expectGainBlock(*client, 2, 512, 1.0f);
}

TEST(Open, ARequestWithoutPathOrClassIdNamesNoPlugIn) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Message noCid = openRequest(fixture("session_gain"), sessionfx::kEffectCid);
    noCid.cid.reset();
    Message noPath = openRequest(fixture("session_gain"), sessionfx::kEffectCid);
    noPath.path.reset();
    for (const Message& m : {noCid, noPath, request(Op::open)}) {
        expectError(call(*client, m), "the request named no plug-in");
    }
    // Nothing was opened: a proper open still works.
    openFixture(*client, "session_gain");
}

TEST(Open, AFailedCreationRepliesWithTheModuleLayersTextAndTheSessionGoesOn) {
    struct Case {
        const char* name;
        std::string path, cid;
        std::int64_t channels;
    };
    const Case cases[] = {
        {"missing bundle", fixture("session_gain") + ".missing", sessionfx::kEffectCid, 2},
        {"unknown class", fixture("session_gain"), "00000000000000000000000000000000", 2},
        {"malformed class id", fixture("session_gain"), "xyz", 2},
        {"empty path", "", sessionfx::kEffectCid, 2},
        {"empty class id", fixture("session_gain"), "", 2},
        {"three channels", fixture("session_gain"), sessionfx::kEffectCid, 3},
        {"negative channels", fixture("session_gain"), sessionfx::kEffectCid, -1},
    };
    auto client = startHelper();
    ASSERT_TRUE(client);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char error[512] = {};
        tv3m_plugin* direct = tv3m_plugin_create(c.path.c_str(), c.cid.c_str(), 48000, 512,
                                                 static_cast<int32_t>(c.channels), error, sizeof error);
        ASSERT_EQ(direct, nullptr);
        Message m = openRequest(c.path, c.cid.c_str(), 512, c.channels);
        expectError(call(*client, m), error);
    }
    openFixture(*client, "session_gain");
    expectGainBlock(*client, 2, 512, 1.0f);
}

// The loader's text names the file, whatever bytes its name holds; the reply
// must still be valid UTF-8, or the parent could not read it at all.
TEST(Open, AnErrorTextWithBytesThatAreNotUtf8ArrivesAsValidUtf8) {
    tv3test::TempDir dir;
    const std::filesystem::path folder = dir.path() / "odd.vst3" / "Contents" / "x86_64-linux";
    std::filesystem::create_directories(folder);
    const std::string oddName = std::string("odd\xFF\xC3name.so"); // a stray byte and a cut character
    std::ofstream(folder / oddName) << "this is not an ELF file";
    char direct[512] = {};
    ASSERT_EQ(tv3m_plugin_create((dir / "odd.vst3").c_str(), sessionfx::kEffectCid, 48000, 512, 2, direct,
                                 sizeof direct),
              nullptr);
    ASSERT_NE(std::string(direct).find("odd\xFF\xC3name"), std::string::npos)
        << "the loader's text no longer names the file: " << direct;

    auto client = startHelper();
    ASSERT_TRUE(client);
    Reply r = call(*client, openRequest(dir / "odd.vst3", sessionfx::kEffectCid));
    ASSERT_TRUE(client->running()) << "the reply broke the connection";
    ASSERT_TRUE(r.message.error);
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_NE(r.message.error->find("odd" + replacement + replacement + "name.so"), std::string::npos)
        << *r.message.error;
    EXPECT_EQ(r.message.error->find('\xFF'), std::string::npos);
    // The session goes on.
    openFixture(*client, "session_gain");
    expectGainBlock(*client, 2, 64, 1.0f);
}

TEST(Open, CountsBeyondThirtyTwoBitsAreRefused) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> maxBlock, channels;
    };
    const Case cases[] = {
        {"channels 2^32 + 2", 512, (std::int64_t{1} << 32) + 2},
        {"channels -2^32 + 2", 512, -(std::int64_t{1} << 32) + 2},
        {"maxBlock 2^31", std::int64_t{1} << 31, 2},
        {"maxBlock 2^32 + 512", (std::int64_t{1} << 32) + 512, 2},
        {"maxBlock int64 max", std::numeric_limits<std::int64_t>::max(), 2},
    };
    auto client = startHelper();
    ASSERT_TRUE(client);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectError(call(*client, openRequest(fixture("session_gain"), sessionfx::kEffectCid, c.maxBlock, c.channels)),
                    "the request asked for an unsupported channel count or block size");
    }
    openFixture(*client, "session_gain");
    expectGainBlock(*client, 2, 512, 1.0f);
}

// ---- process ----------------------------------------------------------------------

TEST(Process, BeforeOpenEveryInstanceRequestGetsNoInstanceIsOpen) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    const auto block = bytesOf(testSignal(2, 64), 64);
    const std::pair<Message, std::span<const std::uint8_t>> requests[] = {
        {processRequest(64), block},
        {processRequest(std::nullopt), {}},
        {request(Op::parameters), {}},
        {request(Op::saveState), {}},
        {request(Op::loadState), {}},
        {setParameterRequest(sessionfx::kGainId, 0.5), {}},
        {setParameterRequest(std::nullopt, std::nullopt), {}},
    };
    for (const auto& [m, payload] : requests) {
        SCOPED_TRACE(std::string(pluginBridgeOpName(m.op)));
        expectError(call(*client, m, payload), "no instance is open");
    }
}

TEST(Process, BlocksThatDoNotFitAreRefusedAndTheSessionGoesOn) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> frames;
        std::size_t payloadBytes;
        bool accepted;
    };
    const Case cases[] = {
        {"512 frames, 4096 bytes", 512, 4096, true},
        {"513 frames with their 4104 bytes", 513, 4104, false},
        {"no frames", std::nullopt, 4096, false},
        {"no frames, no payload", std::nullopt, 0, false},
        {"0 frames", 0, 0, false},
        {"-1 frames", -1, 0, false},
        {"512 frames, empty payload", 512, 0, false},
        {"512 frames, one sample short", 512, 4092, false},
        {"512 frames, one sample over", 512, 4100, false},
        {"512 frames, a mono block", 512, 2048, false},
        {"1 frame", 1, 8, true},
        {"frames beyond 32 bits", (std::int64_t{1} << 32) + 1, 8, false},
    };
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain", false, 512, 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> payload(c.payloadBytes);
        const int frames = static_cast<int>(c.payloadBytes / 8);
        if (frames > 0) payload = bytesOf(testSignal(2, frames), frames), payload.resize(c.payloadBytes);
        Reply r = call(*client, processRequest(c.frames), payload);
        if (c.accepted) {
            EXPECT_EQ(r.message, Message::reply());
            EXPECT_EQ(r.payload, payload) << "gain 1 must give the input back";
        } else {
            expectError(r, kMalformed);
        }
    }
    expectGainBlock(*client, 2, 512, 1.0f);
}

TEST(Process, TheGainParameterReachesTheNextBlock) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain");
    expectGainBlock(*client, 2, 256, 1.0f);
    EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kGainId, 0.25)).message, Message::reply());
    expectGainBlock(*client, 2, 256, 0.5f);
}

// A plug-in that leaves its outputs alone on silent input (marking them
// silent) must not hand back what the block before it left there.
TEST(Process, OutputsAPlugInLeavesUntouchedComeBackAsZeros) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_skips_silence");
    expectGainBlock(*client, 2, 256, 1.0f);
    const std::vector<std::vector<float>> silence(2, std::vector<float>(256, 0.0f));
    Reply r = succeed(*client, processRequest(256), bytesOf(silence, 256));
    ASSERT_EQ(r.payload.size(), 2u * 256 * 4);
    const std::vector<float> out = samples(r.payload);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << "sample " << i;
}

TEST(Process, EditsReportedDuringBlocksReachTheNextStatus) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain");
    succeed(*client, setParameterRequest(sessionfx::kReportId, 1));
    expectGainBlock(*client, 2, 128, 1.0f); // the processor learns it here
    succeed(*client, request(Op::status));  // takes whatever came so far
    for (int i = 0; i < 3; ++i) expectGainBlock(*client, 2, 128, 1.0f);
    Reply first = call(*client, request(Op::status));
    EXPECT_EQ(first.message.editCount, std::optional<std::int64_t>(3));
    EXPECT_EQ(first.message.editorOpen, std::optional<bool>(false));
    Reply second = call(*client, request(Op::status));
    EXPECT_EQ(second.message.editCount, std::optional<std::int64_t>(0));
    EXPECT_EQ(second.message.editorOpen, std::optional<bool>(false));
}

// ---- notes into the instrument ------------------------------------------------------

class Instrument : public testing::Test {
protected:
    void SetUp() override {
        client = startHelper();
        ASSERT_TRUE(client);
        openFixture(*client, "session_gain", true, kFrames, 2);
    }
    std::vector<float> play(std::optional<std::vector<PluginBridgeNoteEvent>> events,
                            std::span<const std::uint8_t> payload = {}) {
        Message m = processRequest(kFrames);
        m.events = std::move(events);
        Reply r = succeed(*client, m, payload);
        EXPECT_EQ(r.payload.size(), static_cast<std::size_t>(2 * kFrames * 4));
        std::vector<float> out = samples(r.payload);
        out.resize(2 * kFrames);
        return out;
    }
    // Both channels hold `level` from `from` up to `to`, and 0 elsewhere.
    static void expectLevel(const std::vector<float>& out, int from, int to, float level) {
        for (int c = 0; c < 2; ++c) {
            for (int i = 0; i < kFrames; ++i) {
                ASSERT_EQ(out[c * kFrames + i], i >= from && i < to ? level : 0.0f) << "channel " << c << " frame " << i;
            }
        }
    }
    static constexpr int kFrames = 256;
    std::unique_ptr<PluginBridgeClient> client;
};

TEST_F(Instrument, WithoutEventsRunsABlockOfSilence) { expectLevel(play(std::nullopt), 0, 0, 0); }

TEST_F(Instrument, AnAudioPayloadIsIgnored) {
    const std::vector<std::uint8_t> junk(13, 0x7F);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{10, 64, 1.0f, true}}, junk), 10, kFrames, 0.5f);
}

TEST_F(Instrument, ANoteSoundsFromItsOffsetUntilItsNoteOff) {
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{100, 64, 1.0f, true}}), 100, kFrames, 0.5f);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{}), 0, kFrames, 0.5f);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{40, 64, 0.0f, false}}), 0, 40, 0.5f);
    expectLevel(play(std::nullopt), 0, 0, 0);
}

TEST_F(Instrument, OutOfRangeOffsetsAndNonFiniteVelocitiesAreHandledWithoutHarm) {
    // Offsets are limited to the block: beyond 32 bits to its last frame,
    // negative ones to its first.
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{10000000000, 64, 1.0f, true}}), kFrames - 1, kFrames, 0.5f);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{-10000000000, 64, 1.0f, false}}), 0, 0, 0);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{-5, 32, 1.0f, true}}), 0, kFrames, 0.25f);
    // A velocity that is not finite is played as 0.
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{0, 64, std::numeric_limits<float>::quiet_NaN(), true}}),
                0, 0, 0);
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{0, 64, std::numeric_limits<float>::infinity(), true}}), 0,
                0, 0);
    // Pitches beyond 32 bits are clamped and still played.
    expectLevel(play(std::vector<PluginBridgeNoteEvent>{{0, std::int64_t{1} << 40, 1.0f, true}}), 0, kFrames,
                127.0f / 128.0f);
}

TEST_F(Instrument, BlocksThatDoNotFitAreRefused) {
    for (std::optional<std::int64_t> frames : {std::optional<std::int64_t>{}, std::optional<std::int64_t>{0},
                                               std::optional<std::int64_t>{-3},
                                               std::optional<std::int64_t>{kFrames + 1}}) {
        SCOPED_TRACE(frames ? std::to_string(*frames) : "absent");
        expectError(call(*client, processRequest(frames)), kMalformed);
    }
    expectLevel(play(std::nullopt), 0, 0, 0);
}

} // namespace
} // namespace sessiontest
