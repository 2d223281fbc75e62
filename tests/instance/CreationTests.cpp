// Creating and tearing down instances of the probe: every way creation can
// fail, with the partial instance released; the call order a plug-in sees;
// the shapes of plug-in (single object, no controller); bus negotiation.
#include "instance/ProbeAccess.h"

#include <pluginterfaces/vst/vstspeaker.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace probetest {
namespace {

using Steinberg::Vst::SpeakerArr::kMono;
using Steinberg::Vst::SpeakerArr::kStereo;

// ---- Failures -------------------------------------------------------------

struct FailureCase {
    const char* name;
    void (*setup)(ProbeSwitches&);
    bool instrument;
    int32_t channels;
    int32_t maxBlock;
    double rate;
    const char* cid; // null: the probe's class; "<null>": a null class id
    const char* path; // null: the probe's bundle
    const char* message;
};

void none(ProbeSwitches&) {}

const FailureCase kFailures[] = {
    {"ChannelsZero", none, false, 0, 512, 48000, nullptr, nullptr, "only mono and stereo are supported (asked for 0)"},
    {"ChannelsThree", none, false, 3, 512, 48000, nullptr, nullptr, "only mono and stereo are supported (asked for 3)"},
    {"ChannelsNegativeInstrument", none, true, -1, 512, 48000, nullptr, nullptr,
     "only mono and stereo are supported (asked for -1)"},
    {"ChannelsBeforeClassId", none, false, 3, 512, 48000, "nothex", nullptr,
     "only mono and stereo are supported (asked for 3)"},
    {"ClassId31Chars", none, false, 2, 512, 48000, "7E1A5C3B9D2F4E60A1B2C3D4E5F6071", nullptr, "malformed class id"},
    {"ClassId33Chars", none, false, 2, 512, 48000, "7E1A5C3B9D2F4E60A1B2C3D4E5F607180", nullptr,
     "malformed class id"},
    {"ClassIdWithG", none, false, 2, 512, 48000, "7E1A5C3B9D2F4E60A1B2C3D4E5F6071g", nullptr, "malformed class id"},
    {"ClassIdNull", none, false, 2, 512, 48000, "<null>", nullptr, "malformed class id"},
    {"ClassIdBeforeModule", none, false, 2, 512, 48000, "xyz", "/nonexistent/none.vst3", "malformed class id"},
    {"ModuleMissing", none, false, 2, 512, 48000, nullptr, "/nonexistent/none.vst3",
     "the plug-in is no longer installed at this location"},
    {"FactoryRefuses", [](ProbeSwitches& s) { s.refuseCreate = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "the factory refused to create this class"},
    {"UnknownClass", none, false, 2, 512, 48000, "00000000000000000000000000000000", nullptr,
     "the factory refused to create this class"},
    {"InitializeFails", [](ProbeSwitches& s) { s.failInitialize = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "the plug-in's processor failed to initialize"},
    {"NoProcessor", [](ProbeSwitches& s) { s.noProcessor = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "this class is not an audio effect (no IAudioProcessor)"},
    {"NoProcessorBefore32Bit", [](ProbeSwitches& s) { s.noProcessor = s.refuse32Bit = 1; }, false, 2, 512, 48000,
     nullptr, nullptr, "this class is not an audio effect (no IAudioProcessor)"},
    {"Refuses32Bit", [](ProbeSwitches& s) { s.refuse32Bit = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "the plug-in cannot process 32-bit float audio"},
    {"NoOutputBus", [](ProbeSwitches& s) { s.noOutputBus = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "the plug-in has no audio output bus"},
    {"InstrumentNoOutputBeforeNoteInput", [](ProbeSwitches& s) { s.noOutputBus = s.noEventInput = 1; }, true, 2, 512,
     48000, nullptr, nullptr, "the plug-in has no audio output bus"},
    {"InstrumentNoNoteInput", [](ProbeSwitches& s) { s.noEventInput = 1; }, true, 2, 512, 48000, nullptr, nullptr,
     "the instrument has no note input"},
    {"EffectStuckMonoAskedStereo", [](ProbeSwitches& s) { s.stuckMainChannels = 1; }, false, 2, 512, 48000, nullptr,
     nullptr, "the plug-in cannot process stereo audio"},
    {"EffectStuckStereoAskedMono", [](ProbeSwitches& s) { s.stuckMainChannels = 2; }, false, 1, 512, 48000, nullptr,
     nullptr, "the plug-in cannot process mono audio"},
    {"EffectInputStuckMono", [](ProbeSwitches& s) { s.stuckInputChannels = 1; }, false, 2, 512, 48000, nullptr,
     nullptr, "the plug-in cannot process stereo audio"},
    {"EffectStuckSeenThroughBusInfo",
     [](ProbeSwitches& s) {
         s.stuckMainChannels = 1;
         s.failGetBusArrangement = 1;
     },
     false, 2, 512, 48000, nullptr, nullptr, "the plug-in cannot process stereo audio"},
    {"InstrumentTenChannels", [](ProbeSwitches& s) { s.stuckMainChannels = 10; }, true, 2, 512, 48000, nullptr,
     nullptr, "the instrument's main output has 10 channels"},
    {"InstrumentTenChannelsThroughBusInfo",
     [](ProbeSwitches& s) {
         s.stuckMainChannels = 10;
         s.failGetBusArrangement = 1;
     },
     true, 2, 512, 48000, nullptr, nullptr, "the instrument's main output has 10 channels"},
    {"BusBeforeSetup",
     [](ProbeSwitches& s) {
         s.stuckMainChannels = 1;
         s.refuseSetup = 1;
     },
     false, 2, 512, 48000, nullptr, nullptr, "the plug-in cannot process stereo audio"},
    {"SetupRefused", [](ProbeSwitches& s) { s.refuseSetup = 1; }, false, 2, 256, 44100, nullptr, nullptr,
     "the plug-in rejected the offline processing setup (44100 Hz, 256-sample blocks)"},
    {"SetupRefusedDefaultBlock", [](ProbeSwitches& s) { s.refuseSetup = 1; }, true, 1, 0, 48000, nullptr, nullptr,
     "the plug-in rejected the offline processing setup (48000 Hz, 4096-sample blocks)"},
    {"SetupBeforeActivate",
     [](ProbeSwitches& s) {
         s.refuseSetup = 1;
         s.refuseActivate = 1;
     },
     false, 2, 64, 96000, nullptr, nullptr,
     "the plug-in rejected the offline processing setup (96000 Hz, 64-sample blocks)"},
    {"ActivateRefused", [](ProbeSwitches& s) { s.refuseActivate = 1; }, false, 2, 512, 48000, nullptr, nullptr,
     "the plug-in refused to activate"},
    {"InstrumentActivateRefused", [](ProbeSwitches& s) { s.refuseActivate = 1; }, true, 2, 512, 48000, nullptr,
     nullptr, "the plug-in refused to activate"},
    // Absurd answers are refused before the host sizes anything by them.
    {"AbsurdOutputBusCount", [](ProbeSwitches& s) { s.extraOutputBuses = INT32_MAX; }, false, 2, 512, 48000, nullptr,
     nullptr, "the plug-in reports 2147483647 audio output buses"},
    {"AbsurdInputBusCount", [](ProbeSwitches& s) { s.extraInputBuses = 1000; }, true, 2, 512, 48000, nullptr, nullptr,
     "the plug-in reports 1000 audio input buses"},
    {"AbsurdSidechainWidth",
     [](ProbeSwitches& s) {
         s.sidechainChannels = 1;
         s.failGetBusArrangement = 1;
         s.auxInfoChannels = INT32_MAX;
     },
     false, 2, 512, 48000, nullptr, nullptr, "the plug-in reports 2147483647 channels on input bus 1"},
    {"AuxOutputWiderThanAnArrangement",
     [](ProbeSwitches& s) {
         s.auxOutputChannels = 1;
         s.failGetBusArrangement = 1;
         s.auxInfoChannels = 65;
     },
     true, 2, 512, 48000, nullptr, nullptr, "the plug-in reports 65 channels on output bus 1"},
};

class CreationFailure : public ProbeTest, public ::testing::WithParamInterface<FailureCase> {};

bool isArgumentFailure(const FailureCase& c) {
    const std::string message = c.message;
    return message.rfind("only mono", 0) == 0 || message == "malformed class id";
}

TEST_P(CreationFailure, ReportsItsMessageAndReleasesThePartialInstance) {
    const FailureCase& c = GetParam();
    c.setup(r->sw);
    r->sw.keepHostObjects = 1;
    const bool loadedBefore = probeLoaded();
    const std::string path = c.path ? c.path : bundlePath();
    const std::string cid = c.cid ? c.cid : (c.instrument ? TV3PROBE_INSTRUMENT_CID : TV3PROBE_EFFECT_CID);
    const char* cidArg = cid == "<null>" ? nullptr : cid.c_str();

    char error[256];
    std::memset(error, 'Z', sizeof error);
    tv3m_plugin* p = c.instrument
                         ? tv3m_plugin_create_instrument(path.c_str(), cidArg, c.rate, c.maxBlock, c.channels, error,
                                                         sizeof error)
                         : tv3m_plugin_create(path.c_str(), cidArg, c.rate, c.maxBlock, c.channels, error,
                                              sizeof error);
    EXPECT_EQ(p, nullptr);
    tv3m_plugin_destroy(p);
    EXPECT_STREQ(error, c.message);

    if (isArgumentFailure(c)) {
        // Refused before the plug-in is asked anything, or even loaded.
        EXPECT_EQ(r->createInstanceCalls, 0);
        EXPECT_EQ(r->logCount, 0);
        if (!loadedBefore) {
            EXPECT_FALSE(probeLoaded()) << "a refused request loaded the module";
        }
    }

    // Every probe object made for the attempt is gone again.
    EXPECT_EQ(r->liveObjects, 0);
    // initialize and terminate balance on every object, with no second terminate.
    const bool componentUp = r->componentInitialize == 1 && !r->sw.failInitialize;
    EXPECT_LE(r->componentInitialize, 1);
    EXPECT_EQ(r->componentTerminate, componentUp ? 1 : 0);
    EXPECT_LE(r->controllerInitialize, 1);
    EXPECT_EQ(r->controllerTerminate, r->controllerInitialize);
    EXPECT_EQ(r->componentDisconnects, r->componentConnects);
    EXPECT_EQ(r->controllerDisconnects, r->controllerConnects);
    // Processing was never switched on, and activation undone only where it was done.
    EXPECT_EQ(r->setProcessingCount, 0);
    if (r->sw.refuseActivate && r->setActiveCount > 0) {
        EXPECT_EQ(r->setActiveCount, 1) << "no setActive(false) after a refused setActive(true)";
        EXPECT_EQ(r->setActiveStates[0], 1);
    } else {
        EXPECT_EQ(r->setActiveCount, 0);
    }
    // The host holds nothing any more: the plug-in's kept reference is the last one.
    if (componentUp) {
        EXPECT_NE(r->keptContext, nullptr);
        EXPECT_EQ(r->keptHandler != nullptr, r->controllerInitialize == 1);
    }
    for (Steinberg::FUnknown* kept : {r->keptContext, r->keptHandler, r->keptStateStream})
        if (kept) {
            EXPECT_EQ(kept->release(), 0u);
        }
}

INSTANTIATE_TEST_SUITE_P(Messages, CreationFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// ---- The calls a plug-in sees ----------------------------------------------

TEST_F(ProbeTest, CreationAndTeardownCallTheSeparateControllerInOrder) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(logFrom(*r, 0), (std::vector<int32_t>{
                                  kCallComponentInitialize, kCallGetControllerClassId, kCallControllerInitialize,
                                  kCallSetComponentHandler, kCallComponentConnect, kCallControllerConnect,
                                  kCallComponentGetState, kCallControllerSetComponentState, kCallCanProcessSampleSize,
                                  kCallSetBusArrangements, kCallActivateBus, kCallActivateBus, kCallSetupProcessing,
                                  kCallSetActiveOn, kCallSetProcessingOn}));
    EXPECT_EQ(r->peerConnects, 2);
    EXPECT_EQ(r->selfConnects, 0);
    EXPECT_STREQ(r->hostName, "Mossbeck Quor");
    EXPECT_NE(r->componentContext, 0u);
    EXPECT_EQ(r->componentContext, r->controllerContext) << "component and controller get one host application";
    // The component's state reached the controller at creation.
    ASSERT_EQ(r->setComponentStateSize, r->componentStateSize);
    EXPECT_EQ(std::memcmp(r->setComponentStateBytes, r->componentState, r->componentStateSize), 0);

    const int32_t before = r->logCount;
    p.reset();
    EXPECT_EQ(logFrom(*r, before),
              (std::vector<int32_t>{kCallSetProcessingOff, kCallSetActiveOff, kCallComponentDisconnect,
                                    kCallControllerDisconnect, kCallSetComponentHandlerNull, kCallControllerTerminate,
                                    kCallControllerDestroyed, kCallComponentTerminate, kCallComponentDestroyed}));
    EXPECT_EQ(r->liveObjects, 0);
    EXPECT_EQ(r->componentTerminate, 1);
    EXPECT_EQ(r->controllerTerminate, 1);
    // The host still held its host application and handler when the plug-in
    // let go of them: one reference each, no more.
    EXPECT_EQ(r->contextReleaseByController, 2);
    EXPECT_EQ(r->contextReleaseByComponent, 1);
    EXPECT_EQ(r->handlerReleaseAnswer, 1);
}

class HostObjectsReleased : public ProbeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HostObjectsReleased, AfterDestroyOnlyThePlugInsOwnReferencesRemain) {
    const bool instrument = GetParam();
    r->sw.keepHostObjects = 1;
    {
        PluginPtr p = instrument ? createInstrument() : createEffect();
        ASSERT_TRUE(p);
        Audio in(2, 64, 0.5f), out(2, 64);
        const tv3m_note_event note{0, 0, 60, 1.0f};
        ASSERT_EQ(instrument ? tv3m_plugin_process_events(p.get(), out.data(), 2, 64, &note, 1)
                             : tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64),
                  0);
        int32_t size = 0;
        ASSERT_EQ(tv3m_state_save(p.get(), nullptr, 0, &size), 0);
    }
    EXPECT_EQ(r->liveObjects, 0);
    for (Steinberg::FUnknown* kept : {r->keptContext, r->keptHandler, r->keptInputChanges, r->keptOutputChanges,
                                      r->keptInputEvents, r->keptOutputEvents, r->keptStateStream}) {
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(kept->release(), 0u) << "the host kept a reference after destroy";
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostObjectsReleased, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Instrument" : "Effect";
                         });

TEST_F(ProbeTest, SingleObjectPlugInIsItsOwnConnectedControllerAndTerminatedOnce) {
    r->sw.singleObject = 1;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(r->controllerInitialize, 0) << "the component is not initialized a second time as controller";
    EXPECT_EQ(r->componentInitialize, 1);
    EXPECT_EQ(r->selfConnects, 2) << "its connection point is connected to itself, both ways";
    EXPECT_EQ(r->peerConnects, 0);
    EXPECT_EQ(r->handlerSetCount, 1);
    EXPECT_EQ(r->setComponentStateCalls, 1);
    EXPECT_EQ(tv3m_param_count(p.get()), kProbeParamCount);
    EXPECT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.25), 0);
    EXPECT_DOUBLE_EQ(tv3m_param_get(p.get(), kProbeGainId), 0.25);

    p.reset();
    EXPECT_EQ(r->componentTerminate, 1);
    EXPECT_EQ(r->controllerTerminate, 0);
    EXPECT_EQ(r->componentDisconnects, 2);
    EXPECT_EQ(r->handlerReleaseAnswer, 1);
    EXPECT_EQ(r->liveObjects, 0);
    EXPECT_EQ(r->componentDestroyed, 1);
}

struct NoControllerCase {
    const char* name;
    void (*setup)(ProbeSwitches&);
    int32_t controllerInitializeCalls;
};

const NoControllerCase kNoController[] = {
    {"NoControllerClassId", [](ProbeSwitches& s) { s.noController = 1; }, 0},
    {"ControllerClassRefused", [](ProbeSwitches& s) { s.failControllerCreate = 1; }, 0},
    {"ControllerInitializeFails", [](ProbeSwitches& s) { s.failControllerInitialize = 1; }, 1},
};

class WithoutController : public ProbeTest, public ::testing::WithParamInterface<NoControllerCase> {};

TEST_P(WithoutController, ParameterAndControllerCallsFailWhileComponentStateWorks) {
    GetParam().setup(r->sw);
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(r->controllerInitialize, GetParam().controllerInitializeCalls);
    EXPECT_EQ(r->controllerTerminate, 0);
    EXPECT_EQ(r->controllerDestroyed, GetParam().controllerInitializeCalls) << "a failed controller is released at once";
    EXPECT_EQ(r->componentConnects + r->controllerConnects, 0);
    EXPECT_EQ(r->handlerSetCount, 0);

    tv3m_param_info info{};
    char text[32] = "untouched";
    uint8_t bytes[64] = {1, 2, 3};
    int32_t size = -7;
    EXPECT_EQ(tv3m_param_count(p.get()), 0);
    EXPECT_EQ(tv3m_param_get(p.get(), kProbeGainId), 0.0);
    EXPECT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.5), -1);
    EXPECT_EQ(tv3m_param_display(p.get(), kProbeGainId, 0.5, text, sizeof text), -1);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(tv3m_param_info_at(p.get(), 0, &info), -1);
    EXPECT_EQ(tv3m_controller_state_save(p.get(), bytes, sizeof bytes, &size), -1);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(tv3m_controller_state_load(p.get(), bytes, 3), -1);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0) << "a refused tv3m_param_set queues nothing";

    ASSERT_EQ(tv3m_state_save(p.get(), bytes, sizeof bytes, &size), 0);
    EXPECT_EQ(size, r->componentStateSize);
    EXPECT_EQ(tv3m_state_load(p.get(), bytes, size), 0);
    EXPECT_EQ(r->componentSetStateCalls, 1);
    EXPECT_EQ(r->componentSetStateSize, size);
    EXPECT_EQ(r->setComponentStateCalls, 0);

    Audio in(2, 32, 0.25f), out(2, 32);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 32), 0);
    p.reset();
    EXPECT_EQ(r->componentTerminate, 1);
    EXPECT_EQ(r->liveObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WithoutController, ::testing::ValuesIn(kNoController),
                         [](const ::testing::TestParamInfo<NoControllerCase>& info) { return info.param.name; });

TEST_F(ProbeTest, StateHandOverFailureAtCreationIsNotAFailure) {
    r->sw.failGetState = 1;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(r->componentGetStateCalls, 1);
    EXPECT_EQ(r->setComponentStateCalls, 0);
}

// ---- Set-up ------------------------------------------------------------------

struct SetupCase {
    int32_t requestedBlock;
    double rate;
    int32_t expectedBlock;
};

class ProcessSetup : public ProbeTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(ProcessSetup, IsOfflineThirtyTwoBitWithTheBlockSizeInForce) {
    const SetupCase& c = GetParam();
    std::string error;
    PluginPtr p = create({false, 2, c.requestedBlock, c.rate, {}}, &error);
    ASSERT_TRUE(p) << error;
    ASSERT_EQ(r->setupCalls, 1);
    EXPECT_EQ(r->setup.processMode, Steinberg::Vst::kOffline);
    EXPECT_EQ(r->setup.symbolicSampleSize, Steinberg::Vst::kSample32);
    EXPECT_EQ(r->setup.maxSamplesPerBlock, c.expectedBlock);
    EXPECT_EQ(r->setup.sampleRate, c.rate);

    Audio in(2, c.expectedBlock + 1, 0.5f), out(2, c.expectedBlock + 1);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, c.expectedBlock + 1), -1);
    EXPECT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, c.expectedBlock), 0);
    EXPECT_EQ(r->blockCount, 1);
    EXPECT_EQ(r->lastBlock.numSamples, c.expectedBlock);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ProcessSetup,
                         ::testing::Values(SetupCase{0, 48000, 4096}, SetupCase{-5, 44100, 4096},
                                           SetupCase{1, 96000, 1}, SetupCase{512, 22050, 512}));

TEST_F(ProbeTest, ClassIdDigitsAreAcceptedInEitherCase) {
    const std::string upper = TV3PROBE_EFFECT_CID;
    std::string lower = upper;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string mixed = upper;
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[i])));
    for (const std::string& cid : {upper, lower, mixed}) {
        SCOPED_TRACE(cid);
        std::string error;
        PluginPtr p = create({false, 2, 512, 48000, cid}, &error);
        EXPECT_TRUE(p) << error;
    }
    EXPECT_EQ(r->liveObjects, 0);
}

// ---- Buses -----------------------------------------------------------------

struct BusCase {
    const char* name;
    bool instrument;
    int32_t channels;
    void (*setup)(ProbeSwitches&);
    std::vector<uint64_t> ins; // empty: a null input list
    std::vector<uint64_t> outs;
    std::vector<ProbeBusActivation> activations;
    int32_t outputChannels;
    int32_t hasAudioInput;
};

constexpr ProbeBusActivation kMainIn{0, 0, 0, 1};
constexpr ProbeBusActivation kMainOut{0, 1, 0, 1};
constexpr ProbeBusActivation kNotesIn{1, 0, 0, 1};

const BusCase kBuses[] = {
    {"EffectStereoWithMonoSidechainAndMonoAux",
     false, 2,
     [](ProbeSwitches& s) {
         s.sidechainChannels = 1;
         s.auxOutputChannels = 1;
     },
     {kStereo, kMono}, {kStereo, kMono}, {kMainIn, kMainOut}, 2, 1},
    {"EffectMonoWithStereoSidechain", false, 1, [](ProbeSwitches& s) { s.sidechainChannels = 2; }, {kMono, kStereo},
     {kMono}, {kMainIn, kMainOut}, 1, 1},
    {"EffectWithoutAudioInput", false, 2, [](ProbeSwitches& s) { s.noAudioInput = 1; }, {}, {kStereo}, {kMainOut}, 2,
     0},
    {"InstrumentKeepsItsOwnInputs",
     true, 2,
     [](ProbeSwitches& s) {
         s.sidechainChannels = 1;
         s.auxOutputChannels = 2;
     },
     {kMono}, {kStereo, kStereo}, {kMainOut, kNotesIn}, 2, 1},
    {"InstrumentMono", true, 1, none, {}, {kMono}, {kMainOut, kNotesIn}, 1, 0},
    {"InstrumentStaysAtSix", true, 2, [](ProbeSwitches& s) { s.stuckMainChannels = 6; }, {}, {kStereo},
     {kMainOut, kNotesIn}, 6, 0},
    {"InstrumentStaysAtEightAskedMono", true, 1, [](ProbeSwitches& s) { s.stuckMainChannels = 8; }, {}, {kMono},
     {kMainOut, kNotesIn}, 8, 0},
    {"InstrumentStaysMonoAskedStereo", true, 2, [](ProbeSwitches& s) { s.stuckMainChannels = 1; }, {}, {kStereo},
     {kMainOut, kNotesIn}, 1, 0},
    {"UnansweredBusesGetTheRequestedWidthAndMatch",
     false, 2,
     [](ProbeSwitches& s) {
         s.sidechainChannels = 1;
         s.stuckMainChannels = 1;
         s.failGetBusArrangement = 1;
         s.failGetBusInfo = 1;
     },
     {kStereo, kStereo}, {kStereo}, {kMainIn, kMainOut}, 2, 1},
};

class BusNegotiation : public ProbeTest, public ::testing::WithParamInterface<BusCase> {};

TEST_P(BusNegotiation, RequestsTheMainWidthKeepsOtherBusesAndActivatesOnlyTheMainOnes) {
    const BusCase& c = GetParam();
    c.setup(r->sw);
    std::string error;
    PluginPtr p = create({c.instrument, c.channels, 512, 48000, {}}, &error);
    ASSERT_TRUE(p) << error;

    ASSERT_EQ(r->setBusArrangementsCalls, 1);
    EXPECT_EQ(r->arrangementInputsNull, c.ins.empty() ? 1 : 0);
    ASSERT_EQ(r->arrangementNumIns, static_cast<int32_t>(c.ins.size()));
    ASSERT_EQ(r->arrangementNumOuts, static_cast<int32_t>(c.outs.size()));
    for (size_t i = 0; i < c.ins.size(); ++i) EXPECT_EQ(r->arrangementIns[i], c.ins[i]) << "input " << i;
    for (size_t i = 0; i < c.outs.size(); ++i) EXPECT_EQ(r->arrangementOuts[i], c.outs[i]) << "output " << i;

    ASSERT_EQ(r->activationCount, static_cast<int32_t>(c.activations.size()));
    for (size_t i = 0; i < c.activations.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r->activations[i].type, c.activations[i].type);
        EXPECT_EQ(r->activations[i].dir, c.activations[i].dir);
        EXPECT_EQ(r->activations[i].index, c.activations[i].index);
        EXPECT_EQ(r->activations[i].state, c.activations[i].state);
    }
    EXPECT_EQ(tv3m_plugin_output_channels(p.get()), c.outputChannels);
    EXPECT_EQ(tv3m_plugin_has_audio_input(p.get()), c.hasAudioInput);

    // Blocks are exchanged at the width the instance came back with.
    const int32_t width = c.outputChannels;
    Audio in(width, 64, 0.5f), out(width, 64);
    const int32_t ok = c.instrument ? tv3m_plugin_process_events(p.get(), out.data(), width, 64, nullptr, 0)
                                    : tv3m_plugin_process(p.get(), c.hasAudioInput ? in.data() : nullptr, out.data(),
                                                          width, 64);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(r->lastBlock.outputChannels[0], width);
    Audio other(width == 2 ? 1 : 2, 64);
    EXPECT_EQ(c.instrument ? tv3m_plugin_process_events(p.get(), other.data(), width == 2 ? 1 : 2, 64, nullptr, 0)
                           : tv3m_plugin_process(p.get(), other.data(), other.data(), width == 2 ? 1 : 2, 64),
              -1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BusNegotiation, ::testing::ValuesIn(kBuses),
                         [](const ::testing::TestParamInfo<BusCase>& info) { return info.param.name; });

TEST_F(ProbeTest, SmallQueriesAnswerThePlugInsValuesAndZeroForNull) {
    r->sw.latency = 77;
    PluginPtr p = createEffect(1);
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_plugin_latency(p.get()), 77);
    EXPECT_EQ(tv3m_plugin_output_channels(p.get()), 1);
    EXPECT_EQ(tv3m_plugin_has_audio_input(p.get()), 1);
    EXPECT_EQ(tv3m_plugin_latency(nullptr), 0);
    EXPECT_EQ(tv3m_plugin_output_channels(nullptr), 0);
    EXPECT_EQ(tv3m_plugin_has_audio_input(nullptr), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(nullptr), 0);
    tv3m_plugin_destroy(nullptr);
}

} // namespace
} // namespace probetest
