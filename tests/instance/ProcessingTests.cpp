// Blocks through the probe: argument checks, note events, parameter edits at
// offset 0 counted once, the transport, silent extra inputs, failing blocks.
#include "instance/ProbeAccess.h"

#include <pluginterfaces/vst/ivstevents.h>
#include <pluginterfaces/vst/ivstprocesscontext.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace probetest {
namespace {

using Steinberg::Vst::Event;
using Steinberg::Vst::ProcessContext;

int32_t processEffect(tv3m_plugin* p, int32_t channels, int32_t frames, float level = 0.5f) {
    Audio in(channels, frames, level), out(channels, frames);
    return tv3m_plugin_process(p, in.data(), out.data(), channels, frames);
}

int32_t processNotes(tv3m_plugin* p, int32_t channels, int32_t frames, const std::vector<tv3m_note_event>& events = {}) {
    Audio out(channels, frames);
    return tv3m_plugin_process_events(p, out.data(), channels, frames, events.empty() ? nullptr : events.data(),
                                      static_cast<int32_t>(events.size()));
}

TEST_F(ProbeTest, BadBlockArgumentsAreRefusedWithoutTouchingEditsOrClock) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.3), 0);
    Audio in(2, 513, 0.5f), out(2, 513);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 513), -1) << "one frame over the block size";
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 0), -1);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, -1), -1);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 1, 64), -1) << "channels differ from the instance";
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 3, 64), -1);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), nullptr, 2, 64), -1);
    EXPECT_EQ(tv3m_plugin_process(nullptr, in.data(), out.data(), 2, 64), -1);
    const tv3m_note_event note{0, 0, 60, 1};
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, &note, 1), -1) << "an effect takes no notes";
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, nullptr, 0), -1);
    EXPECT_EQ(r->blockCount, 0);

    // The edit is still pending and the clock has not moved.
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 512), 0) << "frames equal to the block size";
    ASSERT_EQ(r->blockCount, 1);
    EXPECT_EQ(r->lastBlock.numSamples, 512);
    EXPECT_EQ(r->lastBlock.context.projectTimeSamples, 0);
    ASSERT_EQ(r->lastBlock.pointCount, 1);
    EXPECT_EQ(r->lastBlock.points[0].id, static_cast<uint32_t>(kProbeGainId));
    EXPECT_DOUBLE_EQ(r->lastBlock.points[0].value, 0.3);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
}

// A block runs with denormals flushed to zero, whatever the calling thread's
// settings, and leaves the caller's settings as they were: the probe doubles
// its input, so a denormal input comes out as 0 inside the block, while the
// same sum on the caller's thread afterwards still keeps its denormal.
TEST_F(ProbeTest, BlocksRunWithDenormalsFlushedAndTheCallersSettingsStay) {
    PluginPtr p = createEffect(1, 64);
    ASSERT_TRUE(p);
    const float denormal = std::numeric_limits<float>::denorm_min() * 1000;
    ASSERT_EQ(std::fpclassify(denormal), FP_SUBNORMAL);
    Audio in(1, 64, denormal), out(1, 64, -1.0f);
    in.samples[0][1] = 0.25f;
    ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 1, 64), 0);
    EXPECT_EQ(out.samples[0][0], 0.0f);
    EXPECT_EQ(out.samples[0][1], 0.5f);
    volatile float left = denormal;
    EXPECT_EQ(left + left, 2 * denormal) << "the caller's thread flushes denormals after the block";
    EXPECT_NE(left + left, 0.0f);
}

TEST_F(ProbeTest, EffectBlockCarriesTheCallersAudioAndGetsTheOutputInPlace) {
    PluginPtr p = createEffect(2, 256);
    ASSERT_TRUE(p);
    Audio in(2, 128), out(2, 128, -1.0f);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 128; ++i) in.samples[c][i] = static_cast<float>(c * 1000 + i) / 4096.0f;
    ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 128), 0);
    const ProbeBlock& b = r->lastBlock;
    EXPECT_EQ(b.processMode, Steinberg::Vst::kOffline);
    EXPECT_EQ(b.symbolicSampleSize, Steinberg::Vst::kSample32);
    EXPECT_EQ(b.numSamples, 128);
    ASSERT_EQ(b.numInputs, 1);
    ASSERT_EQ(b.numOutputs, 1);
    EXPECT_EQ(b.inputChannels[0], 2);
    EXPECT_EQ(b.outputChannels[0], 2);
    EXPECT_EQ(b.inputSilence[0], 0u);
    EXPECT_EQ(b.outputSilence[0], 0u);
    EXPECT_EQ(b.inputNullBuffers[0], 0);
    EXPECT_EQ(b.outputNullBuffers[0], 0);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < kProbeFirstSamples; ++i) EXPECT_EQ(b.firstInput[c][i], in.samples[c][i]);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 128; ++i) ASSERT_EQ(out.samples[c][i], 2 * in.samples[c][i]) << c << "," << i;
    EXPECT_TRUE(b.hasContext);
    EXPECT_TRUE(b.hasInputChanges);
    EXPECT_TRUE(b.hasOutputChanges);
    EXPECT_TRUE(b.hasInputEvents);
    EXPECT_EQ(b.eventCount, 0);
    ASSERT_TRUE(b.hasOutputEvents);
    EXPECT_EQ(b.outputEventAddResult, Steinberg::kResultOk);
    EXPECT_EQ(b.outputEventCountAfterAdd, 0) << "the output event list swallows what the plug-in adds";

    // The output value the plug-in sent in the first block is gone by the second.
    ASSERT_EQ(processEffect(p.get(), 2, 64), 0);
    EXPECT_EQ(r->lastBlock.outputChangesAtEntry, 0);
    EXPECT_EQ(r->lastBlock.queueCount, 0);
}

TEST_F(ProbeTest, InstrumentEventArgumentsAreChecked) {
    PluginPtr p = createInstrument(2, 512);
    ASSERT_TRUE(p);
    Audio out(2, 64, -1.0f);
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, nullptr, 0), 0) << "no events at all";
    ASSERT_EQ(r->blockCount, 1);
    EXPECT_EQ(r->lastBlock.eventCount, 0);
    EXPECT_EQ(r->lastBlock.numInputs, 0);
    EXPECT_EQ(r->lastBlock.numOutputs, 1);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(out.samples[c][63], 0.25f);

    const tv3m_note_event note{0, 0, 60, 1};
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, &note, -1), -1);
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, nullptr, 2), -1);
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), nullptr, 2, 64, &note, 1), -1);
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 1, 64, &note, 1), -1);
    EXPECT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 513, &note, 1), -1);
    EXPECT_EQ(r->blockCount, 1);
}

TEST_F(ProbeTest, NoteEventsAreSortedStablyAndClamped) {
    PluginPtr p = createInstrument(2, 512);
    ASSERT_TRUE(p);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<tv3m_note_event> events = {
        {7, 0, 60, 0.5f},  {3, 1, 61, 0.4f},   {3, 0, 62, 0.3f}, {-5, 0, -1, 1.5f},
        {600, 7, 200, nan}, {100, 1, 50, -0.5f}, {511, 0, 127, 1.0f},
    };
    const std::vector<tv3m_note_event> copy = events;
    ASSERT_EQ(processNotes(p.get(), 2, 512, events), 0);
    EXPECT_EQ(std::memcmp(copy.data(), events.data(), events.size() * sizeof(tv3m_note_event)), 0)
        << "the caller's events were changed";

    struct Expected {
        int32_t offset;
        bool on;
        int16_t pitch;
        float velocity;
    };
    const Expected expected[] = {
        {0, true, 0, 1.0f},   {3, false, 61, 0.4f}, {3, true, 62, 0.3f},   {7, true, 60, 0.5f},
        {100, false, 50, 0.0f}, {511, true, 127, 1.0f}, {511, false, 127, 0.0f},
    };
    const ProbeBlock& b = r->lastBlock;
    ASSERT_EQ(b.eventCount, 7);
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        const Event& e = b.events[i];
        EXPECT_EQ(e.busIndex, 0);
        EXPECT_EQ(e.sampleOffset, expected[i].offset);
        EXPECT_EQ(e.ppqPosition, 0.0);
        EXPECT_EQ(e.flags, 0);
        if (expected[i].on) {
            ASSERT_EQ(e.type, Event::kNoteOnEvent);
            EXPECT_EQ(e.noteOn.channel, 0);
            EXPECT_EQ(e.noteOn.pitch, expected[i].pitch);
            EXPECT_EQ(e.noteOn.velocity, expected[i].velocity);
            EXPECT_EQ(e.noteOn.tuning, 0.0f);
            EXPECT_EQ(e.noteOn.length, 0);
            EXPECT_EQ(e.noteOn.noteId, -1);
        } else {
            ASSERT_EQ(e.type, Event::kNoteOffEvent);
            EXPECT_EQ(e.noteOff.channel, 0);
            EXPECT_EQ(e.noteOff.pitch, expected[i].pitch);
            EXPECT_EQ(e.noteOff.velocity, expected[i].velocity);
            EXPECT_EQ(e.noteOff.tuning, 0.0f);
            EXPECT_EQ(e.noteOff.noteId, -1);
        }
    }

    // The events belonged to that block only.
    ASSERT_EQ(processNotes(p.get(), 2, 512), 0);
    EXPECT_EQ(r->lastBlock.eventCount, 0);
}

TEST_F(ProbeTest, EditsReachTheNextBlockAtOffsetZeroOncePerParameter) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.2), 0);
    ASSERT_EQ(probe_->performEdit(kProbeLongAsciiId, 0.4), 0);
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.7), 0);
    ASSERT_EQ(processEffect(p.get(), 2, 128), 0);
    const ProbeBlock& b = r->lastBlock;
    ASSERT_EQ(b.queueCount, 2);
    ASSERT_EQ(b.pointCount, 2);
    EXPECT_EQ(b.points[0].id, static_cast<uint32_t>(kProbeGainId));
    EXPECT_EQ(b.points[0].offset, 0);
    EXPECT_DOUBLE_EQ(b.points[0].value, 0.7) << "the later value of one parameter wins";
    EXPECT_EQ(b.points[1].id, static_cast<uint32_t>(kProbeLongAsciiId));
    EXPECT_EQ(b.points[1].offset, 0);
    EXPECT_DOUBLE_EQ(b.points[1].value, 0.4);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 2);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);

    ASSERT_EQ(processEffect(p.get(), 2, 128), 0);
    EXPECT_EQ(r->lastBlock.pointCount, 0) << "an edit reaches one block only";
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);
}

TEST_F(ProbeTest, AnEditIsCountedOnceWhetherTakenBeforeOrAfterItsBlock) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    // Counted while pending, then carried by a block: not counted again.
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.1), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
    ASSERT_EQ(processEffect(p.get(), 2, 64), 0);
    EXPECT_EQ(r->lastBlock.pointCount, 1);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);

    // Carried by a block first, counted afterwards.
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.2), 0);
    ASSERT_EQ(processEffect(p.get(), 2, 64), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);

    // One pending at the first call, a second one after it: each once.
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.3), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeLongAsciiId, 0.9), 0) << "host edits count too";
    ASSERT_EQ(processEffect(p.get(), 2, 64), 0);
    EXPECT_EQ(r->lastBlock.pointCount, 2);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);
}

struct TransportCase {
    const char* name;
    bool instrument;
    double rate;
    int32_t frames;
    int32_t blocksBefore;
    uint32_t state;
    double projectTimeMusic;
    double barPositionMusic;
};

const TransportCase kTransport[] = {
    {"EffectAfterTwoBlocks", false, 48000, 256, 2, 0x22400, 0, 0},
    {"InstrumentAfterTwoBlocks", true, 48000, 256, 2, 0x22E02, 512.0 / 48000 * 2, 0},
    {"InstrumentFirstBlock", true, 44100, 512, 0, 0x22E02, 0, 0},
    // 24 × 4096 frames at 44100 Hz are 4.458 quarter notes: the second bar.
    {"InstrumentInSecondBar", true, 44100, 4096, 24, 0x22E02, 24 * 4096 / 44100.0 * 2, 4},
    {"EffectInSecondBar", false, 44100, 4096, 24, 0x22400, 0, 0},
};

class Transport : public ProbeTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(Transport, FollowsTheInstancesOwnClock) {
    const TransportCase& c = GetParam();
    std::string error;
    PluginPtr p = create({c.instrument, 2, 4096, c.rate, {}}, &error);
    ASSERT_TRUE(p) << error;
    for (int i = 0; i <= c.blocksBefore; ++i)
        ASSERT_EQ(c.instrument ? processNotes(p.get(), 2, c.frames) : processEffect(p.get(), 2, c.frames), 0);
    const ProbeBlock& b = r->lastBlock;
    ASSERT_TRUE(b.hasContext);
    const ProcessContext& t = b.context;
    const int64_t position = static_cast<int64_t>(c.blocksBefore) * c.frames;
    EXPECT_EQ(t.state, c.state);
    EXPECT_EQ(t.sampleRate, c.rate);
    EXPECT_EQ(t.projectTimeSamples, position);
    EXPECT_EQ(t.continousTimeSamples, position);
    EXPECT_EQ(t.tempo, 120.0);
    EXPECT_EQ(t.timeSigNumerator, 4);
    EXPECT_EQ(t.timeSigDenominator, 4);
    EXPECT_NEAR(t.projectTimeMusic, c.projectTimeMusic, 1e-12);
    EXPECT_EQ(t.barPositionMusic, c.barPositionMusic);
    EXPECT_EQ(t.systemTime, 0);
    EXPECT_EQ(t.cycleStartMusic, 0.0);
    EXPECT_EQ(t.cycleEndMusic, 0.0);
    EXPECT_EQ(t.samplesToNextClock, 0);
    EXPECT_EQ(t.frameRate.framesPerSecond, 0u);
    EXPECT_EQ(t.chord.keyNote, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Transport, ::testing::ValuesIn(kTransport),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return info.param.name; });

TEST_F(ProbeTest, ExtraInputsCarryMarkedSilenceOnEveryBlock) {
    r->sw.sidechainChannels = 1;
    r->sw.auxOutputChannels = 2;
    PluginPtr p = createEffect(2, 256);
    ASSERT_TRUE(p);
    for (int block = 0; block < 3; ++block) {
        SCOPED_TRACE(block);
        // The probe scribbles over its sidechain input after each block.
        ASSERT_EQ(processEffect(p.get(), 2, block == 1 ? 256 : 100), 0);
        const ProbeBlock& b = r->lastBlock;
        ASSERT_EQ(b.numInputs, 2);
        ASSERT_EQ(b.numOutputs, 2);
        EXPECT_EQ(b.inputChannels[0], 2);
        EXPECT_EQ(b.inputSilence[0], 0u);
        EXPECT_EQ(b.inputAllZero[0], 0);
        EXPECT_EQ(b.inputChannels[1], 1);
        EXPECT_EQ(b.inputSilence[1], 0x1u);
        EXPECT_EQ(b.inputNullBuffers[1], 0);
        EXPECT_EQ(b.inputAllZero[1], 1);
        EXPECT_EQ(b.outputChannels[1], 2);
        EXPECT_EQ(b.outputSilence[1], 0u);
        EXPECT_EQ(b.outputNullBuffers[1], 0);
    }
}

TEST_F(ProbeTest, InstrumentSidechainIsSilentFromBusZero) {
    r->sw.sidechainChannels = 2;
    PluginPtr p = createInstrument(2, 128);
    ASSERT_TRUE(p);
    for (int block = 0; block < 2; ++block) {
        ASSERT_EQ(processNotes(p.get(), 2, 128), 0);
        const ProbeBlock& b = r->lastBlock;
        ASSERT_EQ(b.numInputs, 1);
        EXPECT_EQ(b.inputChannels[0], 2);
        EXPECT_EQ(b.inputSilence[0], 0x3u);
        EXPECT_EQ(b.inputNullBuffers[0], 0);
        EXPECT_EQ(b.inputAllZero[0], 1);
    }
}

TEST_F(ProbeTest, AFailingBlockStillAdvancesTheClockAndConsumesEdits) {
    r->sw.failProcess = 1;
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    ASSERT_EQ(probe_->performEdit(kProbeGainId, 0.6), 0);
    Audio in(2, 200, 0.125f), out(2, 200);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 200), -1);
    ASSERT_EQ(r->blockCount, 1);
    EXPECT_EQ(r->lastBlock.pointCount, 1);
    EXPECT_EQ(out.samples[1][199], 0.25f) << "the output holds what the plug-in left in it";

    r->sw.failProcess = 0;
    ASSERT_EQ(processEffect(p.get(), 2, 100), 0);
    EXPECT_EQ(r->lastBlock.context.projectTimeSamples, 200);
    EXPECT_EQ(r->lastBlock.pointCount, 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
}

} // namespace
} // namespace probetest
