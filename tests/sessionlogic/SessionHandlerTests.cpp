// The handlers on a real instance of the probe fixture, in this process, so
// that what reached the plug-in can be read back from its record.
#include "SessionHarness.h"
#include "editorwindow/FakeWindowSystem.h"
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeText.h"
#include "instance/ProbeAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

using Op = PluginBridgeMessage::Op;
using Frame = PluginBridgeChannel::Frame;

// The probe's record, cleared: call once at a test's start, before any
// instance exists (probe() clears the record on every call).
ProbeRecord& freshProbe() { return *probetest::probe().record; }

PluginBridgeMessage openRequest(bool instrument = false) {
    PluginBridgeMessage m = PluginBridgeMessage::init(Op::open);
    m.path = probetest::bundlePath();
    m.cid = instrument ? TV3PROBE_INSTRUMENT_CID : TV3PROBE_EFFECT_CID;
    m.instrument = instrument;
    return m;
}

PluginBridgeMessage processRequest(std::int64_t frames) {
    PluginBridgeMessage m = PluginBridgeMessage::init(Op::process);
    m.frames = frames;
    return m;
}

std::vector<std::uint8_t> ramp(std::int64_t channels, std::int64_t frames) {
    std::vector<std::vector<float>> audio(static_cast<std::size_t>(channels));
    for (std::int64_t c = 0; c < channels; ++c)
        for (std::int64_t i = 0; i < frames; ++i) audio[c].push_back(static_cast<float>(c * 1000 + i));
    return PluginBridgeAudio::pack(audio, frames);
}

TEST(SessionOpen, EffectReplyAndSecondOpen) {
    ProbeRecord& r = freshProbe();
    r.sw.latency = 17;
    SessionHarness h;
    PluginBridgeMessage request = openRequest();
    request.sampleRate = 44100;
    const Frame reply = h.request(request);
    ASSERT_FALSE(reply.message.error) << *reply.message.error;
    EXPECT_EQ(reply.message.latency, 17);
    EXPECT_EQ(reply.message.hasAudioInput, true);
    EXPECT_EQ(reply.message.hasEditor, false);
    EXPECT_FALSE(reply.message.outputChannels); // effects keep what they asked for
    EXPECT_EQ(r.setup.sampleRate, 44100);

    PluginBridgeMessage other = openRequest(true);
    EXPECT_EQ(h.request(other).message.error, "an instance is already open");
}

TEST(SessionOpen, InstrumentReportsItsOutputChannels) {
    freshProbe().sw.stuckMainChannels = 1;
    SessionHarness h;
    const Frame reply = h.request(openRequest(true));
    ASSERT_FALSE(reply.message.error) << *reply.message.error;
    ASSERT_TRUE(reply.message.outputChannels);
    const std::int64_t outputs = *reply.message.outputChannels;
    // Later blocks use the instrument's own width.
    const Frame block = h.request(processRequest(64));
    ASSERT_FALSE(block.message.error) << *block.message.error;
    EXPECT_EQ(block.payload.size(), static_cast<std::size_t>(outputs * 64 * 4));
}

struct BlockSizeCase {
    std::optional<std::int64_t> maxBlock;
    std::int64_t accepted;
    std::int64_t refused;
};

TEST(SessionOpen, StoredBlockSize) {
    freshProbe();
    const BlockSizeCase cases[] = {
        {10, 64, 65}, {-5, 64, 65}, {0, 64, 65}, {65, 65, 66}, {std::nullopt, 4096, 4097},
    };
    for (const BlockSizeCase& c : cases) {
        SCOPED_TRACE(c.maxBlock ? std::to_string(*c.maxBlock) : "absent");
        SessionHarness h;
        PluginBridgeMessage request = openRequest();
        request.maxBlock = c.maxBlock;
        ASSERT_FALSE(h.request(request).message.error);
        EXPECT_FALSE(h.request(processRequest(c.accepted), ramp(2, c.accepted)).message.error);
        EXPECT_EQ(h.request(processRequest(c.refused), ramp(2, c.refused)).message.error,
                  "the audio block arrived malformed");
    }
}

TEST(SessionOpen, Refusals) {
    freshProbe();
    struct Case {
        const char* name;
        std::function<void(PluginBridgeMessage&)> change;
        std::string error;
    };
    const Case cases[] = {
        {"no cid", [](PluginBridgeMessage& m) { m.cid.reset(); }, "the request named no plug-in"},
        {"no path", [](PluginBridgeMessage& m) { m.path.reset(); }, "the request named no plug-in"},
        {"channels beyond 32 bits", [](PluginBridgeMessage& m) { m.channels = std::int64_t{1} << 32; },
         "the request asked for an unsupported channel count or block size"},
        {"maxBlock beyond 32 bits", [](PluginBridgeMessage& m) { m.maxBlock = -(std::int64_t{1} << 40); },
         "the request asked for an unsupported channel count or block size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        PluginBridgeMessage request = openRequest();
        c.change(request);
        EXPECT_EQ(h.request(request).message.error, c.error);
        // Nothing was opened: a correct open still works.
        EXPECT_FALSE(h.request(openRequest()).message.error);
    }
}

TEST(SessionOpen, FailedCreationKeepsTheRequestedSizes) {
    SessionHarness h;
    PluginBridgeMessage bad = openRequest();
    bad.cid = "00000000000000000000000000000000";
    bad.channels = 1;
    bad.maxBlock = 100;
    const Frame failed = h.request(bad);
    ASSERT_TRUE(failed.message.error);
    EXPECT_FALSE(failed.message.error->empty());
    EXPECT_FALSE(failed.message.latency);
    // Still no instance.
    EXPECT_EQ(h.request(processRequest(64)).message.error, "no instance is open");
}

TEST(SessionProcess, EffectBlockTable) {
    freshProbe();
    struct Case {
        const char* name;
        std::optional<std::int64_t> frames;
        std::size_t payloadBytes; // 0: none
        bool ok;
    };
    const Case cases[] = {
        {"512 frames, 4096 bytes", 512, 4096, true},
        {"1 frame", 1, 8, true},
        {"513 frames with matching bytes", 513, 4104, false},
        {"no frames", std::nullopt, 4096, false},
        {"0 frames", 0, 0, false},
        {"negative frames", -1, 0, false},
        {"empty payload", 512, 0, false},
        {"one byte short", 512, 4095, false},
        {"one channel's worth", 512, 2048, false},
    };
    SessionHarness h;
    PluginBridgeMessage request = openRequest();
    request.maxBlock = 512;
    ASSERT_FALSE(h.request(request).message.error);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PluginBridgeMessage m = PluginBridgeMessage::init(Op::process);
        m.frames = c.frames;
        std::vector<std::uint8_t> payload(c.payloadBytes);
        if (c.frames && *c.frames > 0 && c.payloadBytes == static_cast<std::size_t>(*c.frames) * 8)
            payload = ramp(2, *c.frames);
        const Frame reply = h.request(m, payload);
        if (c.ok) {
            ASSERT_FALSE(reply.message.error) << *reply.message.error;
            EXPECT_EQ(reply.message, PluginBridgeMessage::reply());
            // The probe doubles its input: channel 1 must come back from its
            // own place in the block.
            auto out = PluginBridgeAudio::unpack(reply.payload, 2, *c.frames);
            ASSERT_TRUE(out);
            for (std::int64_t i = 0; i < *c.frames; ++i) {
                ASSERT_EQ((*out)[0][i], 2.0f * i);
                ASSERT_EQ((*out)[1][i], 2.0f * (1000 + i));
            }
        } else {
            EXPECT_EQ(reply.message, PluginBridgeMessage::reply(std::string("the audio block arrived malformed")));
            EXPECT_TRUE(reply.payload.empty());
        }
    }
}

TEST(SessionProcess, PluginFailureAndItsEditsStillCounted) {
    ProbeRecord& r = freshProbe();
    auto& probe = probetest::probe(); // its functions; the record was just cleared
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest()).message.error);
    // Edits through the component handler reach the next block, and are
    // counted even when the block then fails.
    ASSERT_EQ(probe.performEdit(kProbeGainId, 0.1), 0);
    ASSERT_EQ(probe.performEdit(kProbeLongAsciiId, 0.2), 0);
    ASSERT_EQ(probe.performEdit(kProbeTwoByteId, 0.3), 0);
    r.sw.failProcess = 1;
    const Frame reply = h.request(processRequest(64), ramp(2, 64));
    EXPECT_EQ(reply.message, PluginBridgeMessage::reply(std::string("the plug-in failed while processing")));
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(h.request(PluginBridgeMessage::init(Op::status)).message.editCount, 3);
    // The instance stays usable.
    r.sw.failProcess = 0;
    EXPECT_FALSE(h.request(processRequest(64), ramp(2, 64)).message.error);
}

TEST(SessionProcess, InstrumentNotes) {
    const ProbeRecord& r = freshProbe();
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest(true)).message.error);

    PluginBridgeMessage m = processRequest(128);
    m.events = std::vector<PluginBridgeNoteEvent>{
        {10000000000, 60, 0.5f, true},                               // far past the block
        {5, 61, std::numeric_limits<float>::quiet_NaN(), true},     // no velocity
        {7, 62, 0.25f, false},                                       // a note-off
    };
    // An audio payload goes nowhere for an instrument.
    const Frame reply = h.request(m, ramp(2, 128));
    ASSERT_FALSE(reply.message.error) << *reply.message.error;
    ASSERT_EQ(reply.payload.size(), 2u * 128 * 4);
    auto out = PluginBridgeAudio::unpack(reply.payload, 2, 128);
    ASSERT_TRUE(out);
    EXPECT_EQ((*out)[1][127], 0.25f); // the probe's instrument plays 0.25

    ASSERT_EQ(r.lastBlock.eventCount, 3);
    // Sorted by offset; the far one is limited to the block's last frame.
    const auto& e = r.lastBlock.events;
    EXPECT_EQ(e[0].sampleOffset, 5);
    EXPECT_EQ(e[0].type, Steinberg::Vst::Event::kNoteOnEvent);
    EXPECT_EQ(e[0].noteOn.velocity, 0.0f);
    EXPECT_EQ(e[1].sampleOffset, 7);
    EXPECT_EQ(e[1].type, Steinberg::Vst::Event::kNoteOffEvent);
    EXPECT_EQ(e[2].sampleOffset, 127);
    EXPECT_EQ(e[2].noteOn.pitch, 60);

    // No events at all still runs a block.
    const int before = r.blockCount;
    EXPECT_FALSE(h.request(processRequest(64)).message.error);
    EXPECT_EQ(r.blockCount, before + 1);
    EXPECT_EQ(r.lastBlock.eventCount, 0);

    EXPECT_EQ(h.request(processRequest(0)).message.error, "the audio block arrived malformed");
}

TEST(SessionState, SaveAndLoadLayout) {
    ProbeRecord& r = freshProbe();
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest()).message.error);
    r.componentStateSize = 5;
    std::memcpy(r.componentState, "ABCDE", 5);

    const int blocksBefore = r.blockCount;
    const Frame saved = h.request(PluginBridgeMessage::init(Op::saveState));
    ASSERT_FALSE(saved.message.error);
    EXPECT_EQ(r.blockCount, blocksBefore) << "with no edit waiting, the save calls no process at all";
    ASSERT_EQ(saved.message.componentBytes, 5);
    ASSERT_TRUE(saved.message.controllerBytes);
    ASSERT_EQ(saved.payload.size(), static_cast<std::size_t>(5 + *saved.message.controllerBytes));
    EXPECT_EQ(std::string(saved.payload.begin(), saved.payload.begin() + 5), "ABCDE");

    // Fed back as it came, it passes the length check and loads.
    PluginBridgeMessage load = PluginBridgeMessage::init(Op::loadState);
    load.componentBytes = saved.message.componentBytes;
    load.controllerBytes = saved.message.controllerBytes;
    const int setStateBefore = r.componentSetStateCalls;
    const Frame loaded = h.request(load, saved.payload);
    ASSERT_FALSE(loaded.message.error) << *loaded.message.error;
    EXPECT_TRUE(loaded.message.latency);
    EXPECT_EQ(r.componentSetStateCalls, setStateBefore + 1);
    EXPECT_EQ(std::string(r.componentSetStateBytes, r.componentSetStateBytes + 5), "ABCDE");
}

TEST(SessionState, LoadStateTable) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> component, controller;
        std::size_t payload;
        bool refuseComponent;
        std::optional<std::string> error;
        int componentLoads, controllerLoads;
    };
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"nothing at all", std::nullopt, std::nullopt, 0, false, std::nullopt, 0, 0},
        {"3 + 2 against 6 bytes", 3, 2, 6, false, "the saved settings arrived incomplete", 0, 0},
        {"negative component", -1, std::nullopt, 4, false, "the saved settings arrived incomplete", 0, 0},
        {"negative controller", 4, -1, 4, false, "the saved settings arrived incomplete", 0, 0},
        {"counts whose sum wraps", huge, huge, 4, false, "the saved settings arrived incomplete", 0, 0},
        {"only the controller", 0, 5, 5, false, std::nullopt, 0, 1},
        {"only the component", 4, std::nullopt, 4, false, std::nullopt, 1, 0},
        {"both", 3, 2, 5, false, std::nullopt, 1, 1},
        {"component refused", 3, 2, 5, true, "the plug-in rejected its saved settings", 1, 0},
    };
    ProbeRecord& r = freshProbe();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        ASSERT_FALSE(h.request(openRequest()).message.error);
        r.sw.refuseSetState = c.refuseComponent ? 1 : 0;
        const int componentBefore = r.componentSetStateCalls;
        const int controllerBefore = r.controllerSetStateCalls;
        PluginBridgeMessage m = PluginBridgeMessage::init(Op::loadState);
        m.componentBytes = c.component;
        m.controllerBytes = c.controller;
        const Frame reply = h.request(m, std::vector<std::uint8_t>(c.payload, 0x5A));
        EXPECT_EQ(reply.message.error, c.error);
        EXPECT_EQ(reply.message.latency.has_value(), !c.error.has_value());
        EXPECT_EQ(r.componentSetStateCalls - componentBefore, c.componentLoads);
        EXPECT_EQ(r.controllerSetStateCalls - controllerBefore, c.controllerLoads);
        r.sw.refuseSetState = 0;
    }
}

TEST(SessionState, StateThatGrowsBetweenQueryAndCopyIsStillSent) {
    ProbeRecord& r = freshProbe();
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest()).message.error);
    r.componentStateSize = 8;
    std::memcpy(r.componentState, "settings", 8);
    r.sw.stateGrowth = 3; // every getState writes three bytes more than the last
    const Frame saved = h.request(PluginBridgeMessage::init(Op::saveState));
    ASSERT_FALSE(saved.message.error);
    ASSERT_TRUE(saved.message.componentBytes);
    // The user's settings are there, not an empty block.
    ASSERT_GE(*saved.message.componentBytes, 8);
    EXPECT_EQ(std::string(saved.payload.begin(), saved.payload.begin() + 8), "settings");
}

// Edits waiting for a block, from "setParameter" and from the controller's
// own performEdit, reach the processor before its state is read, through a
// flush that carries no audio and leaves the clock where it was.
TEST(SessionState, WaitingEditsGoToTheProcessorByAFlushThatMovesNoAudio) {
    ProbeRecord& r = freshProbe();
    for (std::int64_t maxBlock : {4096, 64}) {
        SCOPED_TRACE(maxBlock);
        SessionHarness h;
        PluginBridgeMessage open = openRequest();
        open.maxBlock = maxBlock;
        ASSERT_FALSE(h.request(open).message.error);
        const auto in = ramp(2, 64);
        ASSERT_FALSE(h.request(processRequest(64), in).message.error);

        PluginBridgeMessage set = PluginBridgeMessage::init(Op::setParameter);
        set.paramID = kProbeGainId;
        set.value = 0.3;
        ASSERT_FALSE(h.request(set).message.error);
        ASSERT_EQ(probetest::probe().performEdit(kProbeTwoByteId, 0.6), 0);

        const int blocksBefore = r.blockCount;
        const int getStateBefore = r.componentGetStateCalls;
        const Frame saved = h.request(PluginBridgeMessage::init(Op::saveState));
        ASSERT_FALSE(saved.message.error);
        ASSERT_EQ(r.blockCount, blocksBefore + 1);
        EXPECT_GT(r.componentGetStateCalls, getStateBefore);
        const ProbeBlock flush = r.lastBlock;
        EXPECT_EQ(flush.numSamples, 0);
        EXPECT_EQ(flush.numInputs, 0);
        EXPECT_EQ(flush.numOutputs, 0);
        EXPECT_EQ(flush.hasInputChanges, 1);
        EXPECT_EQ(flush.hasOutputChanges, 1);
        ASSERT_EQ(flush.pointCount, 2);
        EXPECT_EQ(flush.points[0].id, kProbeGainId);
        EXPECT_EQ(flush.points[0].offset, 0);
        EXPECT_EQ(flush.points[0].value, 0.3);
        EXPECT_EQ(flush.points[1].id, kProbeTwoByteId);
        EXPECT_EQ(flush.points[1].value, 0.6);
        EXPECT_EQ(flush.context.projectTimeSamples, 64);

        // Nothing waits any more: a second save calls no process, and the next
        // block carries no change and continues the clock.
        ASSERT_FALSE(h.request(PluginBridgeMessage::init(Op::saveState)).message.error);
        EXPECT_EQ(r.blockCount, blocksBefore + 1);
        ASSERT_FALSE(h.request(processRequest(64), in).message.error);
        EXPECT_EQ(r.lastBlock.numSamples, 64);
        EXPECT_EQ(r.lastBlock.pointCount, 0);
        EXPECT_EQ(r.lastBlock.context.projectTimeSamples, 64);
    }
}

// A plug-in that skips the flush without looking at the edits would save
// settings without them; it alone gets a block of silence to take them, no
// longer than the instance's blocks.
TEST(SessionState, APlugInThatSkipsTheFlushGetsTheEditsInABlockOfSilence) {
    ProbeRecord& r = freshProbe();
    for (std::int64_t maxBlock : {4096, 64}) {
        SCOPED_TRACE(maxBlock);
        r.sw.ignoreFlush = 1;
        SessionHarness h;
        PluginBridgeMessage open = openRequest();
        open.maxBlock = maxBlock;
        ASSERT_FALSE(h.request(open).message.error);
        PluginBridgeMessage set = PluginBridgeMessage::init(Op::setParameter);
        set.paramID = kProbeGainId;
        set.value = 0.3;
        ASSERT_FALSE(h.request(set).message.error);

        const int blocksBefore = r.blockCount;
        ASSERT_FALSE(h.request(PluginBridgeMessage::init(Op::saveState)).message.error);
        ASSERT_EQ(r.blockCount, blocksBefore + 1);
        EXPECT_EQ(r.lastBlock.numSamples, std::min<std::int64_t>(256, maxBlock));
        EXPECT_EQ(r.lastBlock.inputAllZero[0], 1);
        ASSERT_EQ(r.lastBlock.pointCount, 1);
        EXPECT_EQ(r.lastBlock.points[0].value, 0.3);
        // Without an edit waiting, not even such a plug-in is given a block.
        ASSERT_FALSE(h.request(PluginBridgeMessage::init(Op::saveState)).message.error);
        EXPECT_EQ(r.blockCount, blocksBefore + 1);
        r.sw.ignoreFlush = 0;
    }
}

TEST(SessionState, UnreadableComponentStateIsAnErrorAndAControllerWithoutStateIsNot) {
    struct Case {
        const char* name;
        ProbeSwitches sw;
        std::int32_t componentSize;
        std::optional<std::string> error;
        std::int64_t componentBytes, controllerBytes;
    };
    ProbeSwitches failComponent{};
    failComponent.failGetState = 1;
    ProbeSwitches failController{};
    failController.controllerGetStateAnswer = Steinberg::kResultFalse;
    ProbeSwitches unimplementedController{};
    unimplementedController.controllerGetStateAnswer = Steinberg::kNotImplemented;
    ProbeSwitches noController{};
    noController.noController = 1;
    const Case cases[] = {
        {"component getState fails", failComponent, 5, "the plug-in could not save its settings", 0, 0},
        {"an empty component state", {}, 0, std::nullopt, 0, 3},
        {"controller getState fails", failController, 5, std::nullopt, 5, 0},
        {"controller getState not implemented", unimplementedController, 5, std::nullopt, 5, 0},
        {"no controller", noController, 5, std::nullopt, 5, 0},
    };
    ProbeRecord& r = freshProbe();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        r.sw = c.sw;
        SessionHarness h;
        ASSERT_FALSE(h.request(openRequest()).message.error);
        r.componentStateSize = c.componentSize;
        std::memcpy(r.componentState, "ABCDE", 5);
        r.controllerStateSize = 3;
        std::memcpy(r.controllerState, "xyz", 3);
        const Frame saved = h.request(PluginBridgeMessage::init(Op::saveState));
        if (c.error) {
            EXPECT_EQ(saved.message, PluginBridgeMessage::reply(*c.error));
            EXPECT_TRUE(saved.payload.empty());
        } else {
            EXPECT_FALSE(saved.message.error);
            EXPECT_EQ(saved.message.componentBytes, c.componentBytes);
            EXPECT_EQ(saved.message.controllerBytes, c.controllerBytes);
            EXPECT_EQ(saved.payload.size(), static_cast<std::size_t>(c.componentBytes + c.controllerBytes));
        }
        r.sw = ProbeSwitches{};
    }
}

TEST(SessionParameters, ListAndSet) {
    ProbeRecord& r = freshProbe();
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest()).message.error);
    const Frame listed = h.request(PluginBridgeMessage::init(Op::parameters));
    ASSERT_FALSE(listed.message.error);
    ASSERT_TRUE(listed.message.parameters);
    ASSERT_FALSE(listed.message.parameters->empty());
    const PluginBridgeParameter& gain = listed.message.parameters->front();
    EXPECT_EQ(gain.id, kProbeGainId);
    EXPECT_EQ(gain.title, "Gain");
    EXPECT_EQ(gain.units, "dB");
    for (const PluginBridgeParameter& p : *listed.message.parameters) {
        EXPECT_TRUE(isValidUTF8(p.title)) << p.id;
        EXPECT_TRUE(isValidUTF8(p.units)) << p.id;
        EXPECT_TRUE(isValidUTF8(p.display)) << p.id;
    }

    struct SetCase {
        double value;
        double expected;
    };
    const SetCase cases[] = {{1.5, 1.0}, {-0.2, 0.0}, {std::numeric_limits<double>::quiet_NaN(), 0.0},
                             {0.5, 0.5}, {std::numeric_limits<double>::infinity(), 1.0}};
    for (const SetCase& c : cases) {
        SCOPED_TRACE(c.value);
        PluginBridgeMessage m = PluginBridgeMessage::init(Op::setParameter);
        m.paramID = kProbeGainId;
        m.value = c.value;
        EXPECT_EQ(h.request(m).message, PluginBridgeMessage::reply());
        EXPECT_EQ(r.lastSetParamValue, c.expected);
    }
    PluginBridgeMessage noValue = PluginBridgeMessage::init(Op::setParameter);
    noValue.paramID = kProbeGainId;
    EXPECT_EQ(h.request(noValue).message.error, "the request named no parameter");
    PluginBridgeMessage noID = PluginBridgeMessage::init(Op::setParameter);
    noID.value = 0.5;
    EXPECT_EQ(h.request(noID).message.error, "the request named no parameter");
}

TEST(SessionEditor, ABuildWithoutAWindowSystemOffersNoEditor) {
    freshProbe().ed.makeView = 1;
    SessionHarness h;
    const auto opened = h.request(openRequest());
    ASSERT_FALSE(opened.message.error);
    EXPECT_EQ(opened.message.hasEditor, false);
    EXPECT_EQ(h.request(PluginBridgeMessage::init(Op::openEditor)).message.error,
              "this plug-in has no Linux editor");
    EXPECT_EQ(h.request(PluginBridgeMessage::init(Op::raiseEditor)).message, PluginBridgeMessage::reply());
    EXPECT_EQ(h.request(PluginBridgeMessage::init(Op::closeEditor)).message, PluginBridgeMessage::reply());
    EXPECT_EQ(h.request(PluginBridgeMessage::init(Op::status)).message.editorOpen, false);
}

// The editor requests over a fake window system, against the probe's view.
class SessionEditorTest : public testing::Test {
protected:
    void SetUp() override {
        probe = &probetest::probe(); // a fresh record
        r = probe->record;
        r->ed.makeView = 1;
        r->ed.width = 300;
        r->ed.height = 200;
        harness = std::make_unique<SessionHarness>(4242, &windows);
    }
    PluginBridgeMessage openEditorRequest(std::optional<std::vector<double>> anchor = std::nullopt) {
        PluginBridgeMessage m = PluginBridgeMessage::init(Op::openEditor);
        m.title = "My Plug-in";
        m.anchor = anchor;
        return m;
    }
    PluginBridgeMessage status() { return harness->request(PluginBridgeMessage::init(Op::status)).message; }

    probetest::Probe* probe = nullptr;
    ProbeRecord* r = nullptr;
    editortest::FakeWindowSystem windows;
    std::unique_ptr<SessionHarness> harness;
};

TEST_F(SessionEditorTest, OpenRaiseCloseAndTheStatusThatFollows) {
    const auto opened = harness->request(openRequest());
    ASSERT_FALSE(opened.message.error);
    EXPECT_EQ(opened.message.hasEditor, true);
    EXPECT_EQ(harness->request(openEditorRequest(std::vector<double>{100, 200, 800, 600})).message,
              PluginBridgeMessage::reply());
    ASSERT_EQ(windows.panels.size(), 1u);
    editortest::FakePanel& panel = *windows.panels[0];
    EXPECT_EQ(panel.title, "My Plug-in");
    EXPECT_TRUE(panel.visible);
    EXPECT_EQ(status().editorOpen, true);

    // Open again: the same panel, shown, neither retitled nor moved.
    windows.activate(4243); // a third application hid it
    EXPECT_FALSE(panel.visible);
    PluginBridgeMessage again = openEditorRequest(std::vector<double>{0, 0, 10, 10});
    again.title = "Other";
    EXPECT_EQ(harness->request(again).message, PluginBridgeMessage::reply());
    EXPECT_EQ(windows.panels.size(), 1u);
    EXPECT_TRUE(panel.visible);
    EXPECT_EQ(panel.title, "My Plug-in");

    windows.activate(4243);
    EXPECT_EQ(harness->request(PluginBridgeMessage::init(Op::raiseEditor)).message, PluginBridgeMessage::reply());
    EXPECT_TRUE(panel.visible);

    // Three clicks and a key in the panel, and one edit of the plug-in's own.
    for (int i = 0; i < 3; ++i) windows.deliver({platform::EditorInput::Kind::buttonRelease, &panel});
    windows.deliver({platform::EditorInput::Kind::keyRelease, &panel});
    ASSERT_EQ(probe->performEdit(kProbeGainId, 0.25), 0);
    harness->session->collectEdits(); // the poll
    EXPECT_EQ(status().editCount, 5);
    EXPECT_EQ(status().editCount, 0);

    EXPECT_EQ(harness->request(PluginBridgeMessage::init(Op::closeEditor)).message, PluginBridgeMessage::reply());
    EXPECT_FALSE(panel.visible);
    EXPECT_TRUE(panel.released) << "the session let go of the window";
    EXPECT_EQ(r->edLog.removedCalls, 1);
    EXPECT_EQ(status().editorOpen, false);
}

TEST_F(SessionEditorTest, TheCloseButtonShowsInTheNextStatusAndANewOpenBuildsANewWindow) {
    ASSERT_FALSE(harness->request(openRequest()).message.error);
    ASSERT_FALSE(harness->request(openEditorRequest()).message.error);
    EXPECT_TRUE(windows.panels[0]->centered) << "no anchor: centred";
    EXPECT_FALSE(windows.panels[0]->delegate->panelShouldClose());
    EXPECT_EQ(status().editorOpen, false);
    harness->session->collectEdits();
    EXPECT_EQ(status().editorOpen, false) << "the poll agrees: the window is closed";
    ASSERT_FALSE(harness->request(openEditorRequest()).message.error);
    EXPECT_EQ(windows.panels.size(), 2u);
    EXPECT_EQ(r->edLog.createViewCalls, 2);
    EXPECT_EQ(status().editorOpen, true);
}

TEST_F(SessionEditorTest, FailuresOfOpenEditor) {
    struct Case {
        const char* name;
        bool openInstance;
        void (*shape)(ProbeRecord&, editortest::FakeWindowSystem&);
        const char* error;
    };
    const Case cases[] = {
        {"no instance", false, [](ProbeRecord&, editortest::FakeWindowSystem&) {}, "no instance is open"},
        {"no edit controller", true, [](ProbeRecord& x, editortest::FakeWindowSystem&) { x.sw.noController = 1; },
         "no edit controller"},
        {"no Linux editor", true, [](ProbeRecord& x, editortest::FakeWindowSystem&) { x.ed.makeView = 0; },
         "this plug-in has no Linux editor"},
        {"attach refused", true, [](ProbeRecord& x, editortest::FakeWindowSystem&) { x.ed.refuseAttach = 1; },
         "the plug-in's editor refused to attach to the window"},
        {"no display", true, [](ProbeRecord&, editortest::FakeWindowSystem& w) { w.display = false; },
         "no display is available for the editor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        harness.reset();
        windows = editortest::FakeWindowSystem();
        SetUp();
        c.shape(*r, windows);
        if (c.openInstance) {
            ASSERT_FALSE(harness->request(openRequest()).message.error);
        }
        EXPECT_EQ(harness->request(openEditorRequest()).message.error, c.error);
        EXPECT_EQ(status().editorOpen, false);
        // The session goes on.
        EXPECT_FALSE(harness->request(PluginBridgeMessage::init(Op::closeEditor)).message.error);
    }
}

TEST_F(SessionEditorTest, WantsEditorFalseDoesNotProbe) {
    PluginBridgeMessage open = openRequest();
    open.wantsEditor = false;
    const auto opened = harness->request(open);
    ASSERT_FALSE(opened.message.error);
    EXPECT_EQ(opened.message.hasEditor, false);
    EXPECT_EQ(r->edLog.createViewCalls, 0);
}

// A modal loop of the host's (none on X11, but the logic stays): it is ended
// first, and the window closed on the main loop afterwards.
TEST_F(SessionEditorTest, ClosingDuringAModalLoopEndsItFirst) {
    ASSERT_FALSE(harness->request(openRequest()).message.error);
    ASSERT_FALSE(harness->request(openEditorRequest()).message.error);
    windows.modal = true;
    EXPECT_EQ(harness->request(PluginBridgeMessage::init(Op::closeEditor)).message, PluginBridgeMessage::reply());
    EXPECT_EQ(windows.modalAborts, 1);
    EXPECT_EQ(status().editorOpen, false);
    EXPECT_EQ(windows.hiddenWhenAborted, 0) << "the window was closed before the modal loop ended";
    harness->loop.pumpPending();
    EXPECT_EQ(r->edLog.removedCalls, 1) << "closed once the main loop ran again";
    EXPECT_FALSE(windows.panels[0]->visible);
    EXPECT_TRUE(windows.panels[0]->released);
}

TEST_F(SessionEditorTest, QuitWithAnOpenEditorClosesItBeforeTheInstance) {
    ASSERT_FALSE(harness->request(openRequest()).message.error);
    ASSERT_FALSE(harness->request(openEditorRequest()).message.error);
    EXPECT_EQ(harness->request(PluginBridgeMessage::init(Op::quit)).message, PluginBridgeMessage::reply());
    ASSERT_TRUE(harness->pumpUntilEnded());
    EXPECT_EQ(r->edLog.removedCalls, 1);
    EXPECT_EQ(r->edLog.viewsAlive, 0);
    EXPECT_EQ(r->liveObjects, 0) << "the instance went after its editor";
}

TEST(SessionEnding, ShutdownDestroysTheInstance) {
    const ProbeRecord& r = freshProbe();
    SessionHarness h;
    ASSERT_FALSE(h.request(openRequest()).message.error);
    ASSERT_GT(r.liveObjects, 0);
    h.request(PluginBridgeMessage::init(Op::quit));
    ASSERT_TRUE(h.pumpUntilEnded());
    EXPECT_EQ(r.liveObjects, 0);
}

} // namespace
