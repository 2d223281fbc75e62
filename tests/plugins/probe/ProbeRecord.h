// The probe plug-in's shared record: switches a test sets before it creates an
// instance, and what the host did to the plug-in, written as it happens.
//
// The record is plain data (fixed arrays and counters) so that a test in the
// same process can read it directly: after the host has loaded the probe's .so,
// the test reaches the record through dlopen(RTLD_NOLOAD) + dlsym of
// "tv3probe_state". Every host call into the plug-in runs on the host's thread;
// only the probe's edit thread runs elsewhere, and it writes nothing here.
#pragma once

#include <pluginterfaces/base/funknown.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstevents.h>
#include <pluginterfaces/vst/ivstprocesscontext.h>

#include <cstdint>

// Class ids, as the 32 hexadecimal digits a host is given.
#define TV3PROBE_EFFECT_CID "7E1A5C3B9D2F4E60A1B2C3D4E5F60718"
#define TV3PROBE_INSTRUMENT_CID "7E1A5C3B9D2F4E60A1B2C3D4E5F60719"
#define TV3PROBE_CONTROLLER_CID "7E1A5C3B9D2F4E60A1B2C3D4E5F6071A"

// Parameter ids of the controller, in list order.
enum ProbeParamId : std::uint32_t {
    kProbeGainId = 100,        // "Gain" in "dB"; displays value × 25 with one decimal ("12.5")
    kProbeLongAsciiId = 101,   // title and units fill all 128 units with ASCII, no zero unit
    kProbeTwoByteId = 102,     // title of 128 two-byte characters
    kProbePairId = 103,        // title with a surrogate pair
    kProbeFourByteTextId = 104, // displays a text that starts with a 4-byte character
    kProbeHighAt127Id = 105,   // displays 127 'x' and a high surrogate at unit 127
    kProbeLoneSurrogateId = 106, // title and units with unpaired high and low surrogates
};
constexpr int kProbeParamCount = 7;

// Edits made by the probe's own edit thread use ids from this base on.
constexpr std::uint32_t kProbeEditIdBase = 10000;
constexpr int kProbeMaxEditIds = 4096;

// Codes of the call log, one entry per call of interest, in call order.
enum ProbeCall : std::int32_t {
    kCallNone = 0,
    kCallComponentInitialize,
    kCallComponentTerminate,
    kCallControllerInitialize,
    kCallControllerTerminate,
    kCallGetControllerClassId,
    kCallSetComponentHandler,
    kCallSetComponentHandlerNull,
    kCallComponentConnect,
    kCallControllerConnect,
    kCallComponentDisconnect,
    kCallControllerDisconnect,
    kCallComponentGetState,
    kCallComponentSetState,
    kCallControllerSetComponentState,
    kCallControllerGetState,
    kCallControllerSetState,
    kCallCanProcessSampleSize,
    kCallSetBusArrangements,
    kCallActivateBus,
    kCallSetupProcessing,
    kCallSetActiveOn,
    kCallSetActiveOff,
    kCallSetProcessingOn,
    kCallSetProcessingOff,
    kCallComponentDestroyed,
    kCallControllerDestroyed,
};

struct ProbeSwitches {
    // Creation failures, in the order a host meets them.
    std::int32_t refuseCreate;         // the factory refuses both component classes
    std::int32_t failInitialize;       // the component's initialize fails
    std::int32_t noProcessor;          // the component does not answer IAudioProcessor
    std::int32_t refuse32Bit;          // canProcessSampleSize(kSample32) is refused
    std::int32_t noOutputBus;          // no audio output bus
    std::int32_t noEventInput;         // the instrument has no event input bus
    std::int32_t stuckMainChannels;    // > 0: main output (and main input) keep this width
    std::int32_t stuckInputChannels;   // > 0: the main input alone keeps this width
    std::int32_t refuseSetup;          // setupProcessing refused
    std::int32_t refuseActivate;       // setActive(true) refused
    // Shapes.
    std::int32_t singleObject;         // the component is its own controller; the controller class cannot be created
    std::int32_t noController;         // getControllerClassId fails
    std::int32_t failControllerCreate; // the factory refuses the controller class
    std::int32_t failControllerInitialize;
    std::int32_t noAudioInput;         // an effect without audio input bus
    std::int32_t sidechainChannels;    // > 0: one more audio input bus of this width
    std::int32_t auxOutputChannels;    // > 0: one more audio output bus of this width
    std::int32_t failGetBusArrangement;
    std::int32_t failGetBusInfo;
    std::int32_t latency;
    // State and processing.
    std::int32_t refuseSetState;       // the component refuses setState (after reading the stream)
    std::int32_t failGetState;         // the component's getState fails
    std::int32_t stateGrowth;          // every component getState writes this many bytes more than the last
    std::int32_t failProcess;          // process answers kResultFalse (after doing its work)
    // Keep one reference to every host object the plug-in is given, past its
    // own teardown; the test releases them after destroying the instance and
    // so learns whether the host still held any.
    std::int32_t keepHostObjects;
    // Absurd answers, appended last so that the fields above keep their places.
    std::int32_t extraOutputBuses;   // > 0: getBusCount reports this many audio output buses more than exist
    std::int32_t extraInputBuses;    // > 0: the same for audio inputs
    std::int32_t auxInfoChannels;    // != 0: getBusInfo reports this channel count for every bus but the main ones
    std::int32_t controllerGetStateAnswer; // != 0: the controller's getState writes nothing and answers this tresult
    std::int32_t ignoreFlush;        // process returns at once, recording nothing, when given no samples
};

struct ProbePoint {
    std::uint32_t id;
    std::int32_t offset;
    double value;
};

constexpr int kProbeMaxBuses = 4;
constexpr int kProbeMaxPoints = 16;
constexpr int kProbeMaxEvents = 16;
constexpr int kProbeMaxBlocks = 32;
constexpr int kProbeLogSize = 256;
constexpr int kProbeStateBytes = 512;
constexpr int kProbeFirstSamples = 4;

// What one call of process was given.
struct ProbeBlock {
    std::int32_t numSamples;
    std::int32_t processMode;
    std::int32_t symbolicSampleSize;
    std::int32_t numInputs;
    std::int32_t numOutputs;
    std::int32_t inputChannels[kProbeMaxBuses];
    std::int32_t outputChannels[kProbeMaxBuses];
    std::uint64_t inputSilence[kProbeMaxBuses];
    std::uint64_t outputSilence[kProbeMaxBuses];
    std::int32_t inputNullBuffers[kProbeMaxBuses];  // 1 when channelBuffers32 or one of its pointers is null
    std::int32_t outputNullBuffers[kProbeMaxBuses];
    std::int32_t inputAllZero[kProbeMaxBuses];      // 1 when every sample of the bus was 0
    float firstInput[2][kProbeFirstSamples];        // main input, channels 0 and 1
    std::int32_t hasContext;
    Steinberg::Vst::ProcessContext context;
    std::int32_t hasInputChanges;
    std::int32_t hasOutputChanges;
    std::int32_t outputChangesAtEntry;              // parameter count of the output changes on entry
    std::int32_t hasInputEvents;
    std::int32_t hasOutputEvents;
    std::int32_t queueCount;
    std::int32_t pointCount;                        // all points, also those beyond the array
    ProbePoint points[kProbeMaxPoints];
    std::int32_t eventCount;                        // all events, also those beyond the array
    Steinberg::Vst::Event events[kProbeMaxEvents];
    std::int32_t outputEventAddResult;              // answer of addEvent on the output list
    std::int32_t outputEventCountAfterAdd;
};

struct ProbeBusActivation {
    std::int32_t type;
    std::int32_t dir;
    std::int32_t index;
    std::int32_t state;
};

// The editor view: switches, and what the host did to it.
struct ProbeEditorSwitches {
    std::int32_t makeView;        // createView("editor") answers a view
    std::int32_t refusePlatform;  // isPlatformTypeSupported answers kResultFalse for every type
    std::int32_t refuseAttach;    // attached answers kResultFalse
    std::int32_t failGetSize;     // getSize answers kResultFalse
    std::int32_t width, height;   // getSize's rectangle (0, 0, width, height) before attaching
    std::int32_t attachedWidth;   // != 0: getSize's width once attached
    std::int32_t attachedHeight;  // != 0: getSize's height once attached
    std::int32_t canResize;
    // On attach: ask the frame for the host's run loop and register a timer
    // of timerMs (when > 0) and a watch of watchFd (when watch is set).
    std::int32_t timerMs;
    std::int32_t watch;
    std::int32_t watchFd;
    std::int32_t timerStopsAfter; // > 0: the timer unregisters itself on this tick
    std::int32_t watchStopsAfter; // > 0: the watch unregisters itself on this call
    std::int32_t leaveRegistered; // removed() leaves the timer and the watch registered
};

struct ProbeEditorLog {
    std::int32_t createViewCalls;
    char lastViewName[32];
    std::int32_t viewsAlive;
    std::int32_t platformAsked;
    char lastPlatformType[64];
    std::int32_t attachedCalls;
    char lastAttachType[64];
    std::uint64_t lastParent;
    std::int32_t removedCalls;
    std::int32_t setFrameCalls;     // non-null frames
    std::int32_t setFrameNullCalls;
    std::int32_t onSizeCalls;
    std::int32_t lastOnSizeWidth, lastOnSizeHeight;
    std::int32_t frameHadRunLoop;   // the frame answered IRunLoop on attach
    std::int32_t registerTimerAnswer, registerWatchAnswer;
    std::int32_t timerTicks;
    std::int32_t watchCalls;
    std::int32_t lastWatchFd;
    std::int32_t handlersAlive;     // timer and event handler objects not yet destroyed
};

struct ProbeRecord {
    ProbeSwitches sw;

    // Component state written by getState (the first stateSize bytes), and the
    // controller's own state.
    std::int32_t componentStateSize;
    std::uint8_t componentState[kProbeStateBytes];
    std::int32_t controllerStateSize;
    std::uint8_t controllerState[kProbeStateBytes];

    // Call log.
    std::int32_t logCount;
    std::int32_t log[kProbeLogSize];

    // Factory.
    std::int32_t createInstanceCalls;
    std::uint8_t lastCreateCid[16];

    // Objects.
    std::int32_t liveObjects;           // probe components and controllers alive
    std::int32_t componentInitialize;
    std::int32_t componentTerminate;
    std::int32_t controllerInitialize;
    std::int32_t controllerTerminate;
    std::int32_t componentDestroyed;
    std::int32_t controllerDestroyed;
    char hostName[128];                 // the host application's getName, as ASCII
    std::uint64_t componentContext;     // the context given to initialize, as an address
    std::uint64_t controllerContext;
    std::int32_t contextReleaseByController; // release() answer when the controller dropped its context
    std::int32_t contextReleaseByComponent;
    std::int32_t handlerReleaseAnswer;       // release() answer when setComponentHandler(null) dropped the handler
    std::int32_t handlerSetCount;            // non-null setComponentHandler calls

    // Connections: how often each side was connected, and to whom.
    std::int32_t componentConnects;
    std::int32_t controllerConnects;
    std::int32_t selfConnects;          // connect(x) where x is the object itself
    std::int32_t peerConnects;          // connect(x) where x is the other probe object
    std::int32_t componentDisconnects;
    std::int32_t controllerDisconnects;

    // State traffic.
    std::int32_t componentGetStateCalls;
    std::int32_t componentSetStateCalls;
    std::int32_t componentSetStateNull;
    std::int32_t componentSetStateSize;
    std::uint8_t componentSetStateBytes[kProbeStateBytes];
    std::int32_t setComponentStateCalls;
    std::int32_t setComponentStateSize;
    std::uint8_t setComponentStateBytes[kProbeStateBytes];
    std::int32_t controllerSetStateCalls;
    std::int32_t controllerSetStateSize;
    std::uint8_t controllerSetStateBytes[kProbeStateBytes];

    // Parameters: the controller's values and its setParamNormalized calls.
    double paramValues[kProbeParamCount];
    std::int32_t setParamCalls;
    std::uint32_t lastSetParamId;
    double lastSetParamValue;

    // Buses.
    std::int32_t setBusArrangementsCalls;
    std::int32_t arrangementInputsNull;
    std::int32_t arrangementNumIns;
    std::int32_t arrangementNumOuts;
    std::uint64_t arrangementIns[kProbeMaxBuses];
    std::uint64_t arrangementOuts[kProbeMaxBuses];
    std::int32_t activationCount;
    ProbeBusActivation activations[16];

    // Processing set-up and switches.
    std::int32_t setupCalls;
    Steinberg::Vst::ProcessSetup setup;
    std::int32_t setActiveCount;
    std::int32_t setActiveStates[8];
    std::int32_t setProcessingCount;
    std::int32_t setProcessingStates[8];

    // Blocks: the first kProbeMaxBlocks in full, and the latest.
    std::int32_t blockCount;
    ProbeBlock blocks[kProbeMaxBlocks];
    ProbeBlock lastBlock;

    // Edits that reached a block, by id − kProbeEditIdBase (edit-thread ids).
    std::int32_t editSeen[kProbeMaxEditIds];
    double editSeenValue[kProbeMaxEditIds];

    // With keepHostObjects: one reference to each, for the test to release.
    Steinberg::FUnknown* keptContext;
    Steinberg::FUnknown* keptHandler;
    Steinberg::FUnknown* keptInputChanges;
    Steinberg::FUnknown* keptOutputChanges;
    Steinberg::FUnknown* keptInputEvents;
    Steinberg::FUnknown* keptOutputEvents;
    Steinberg::FUnknown* keptStateStream;

    ProbeEditorSwitches ed;
    ProbeEditorLog edLog;
};

// Functions the probe's .so exports (look them up with dlsym).
extern "C" {
typedef ProbeRecord* (*Tv3ProbeStateFn)();
typedef void (*Tv3ProbeResetFn)();
// performEdit through the controller's component handler, on the caller's thread.
typedef std::int32_t (*Tv3ProbePerformEditFn)(std::uint32_t id, double value);
// Starts the controller's own thread: `count` performEdit calls with the ids
// kProbeEditIdBase + i and the values i / count. -1 without a handler.
typedef std::int32_t (*Tv3ProbeStartEditsFn)(std::int32_t count);
// 1 once the edit thread has made all its calls.
typedef std::int32_t (*Tv3ProbeEditsDoneFn)();
// Joins the edit thread; answers the number of performEdit calls it made.
typedef std::int32_t (*Tv3ProbeJoinEditsFn)();
// The live view asks its frame for width × height (resizeView); answers the
// frame's result, or -1 without a view or frame.
typedef std::int32_t (*Tv3ProbeResizeViewFn)(std::int32_t width, std::int32_t height);
}
