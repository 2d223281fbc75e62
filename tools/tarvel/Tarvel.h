// The tarvel command: scans bundles, lists parameters, renders audio files
// through plug-ins and shows their editors, all through the helper, so that a
// plug-in that crashes or hangs costs tarvel an error message, not its life.
#pragma once

#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sf_private_tag; // libsndfile's SNDFILE

namespace tarvel {

// A failure to tell the user about; main prints "tarvel: <what>" and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line that makes no sense; main prints the usage and exits 64.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string helper; // the TarvelVST3Host to run
};

// ---- interruptions ----
// Thrown where a command notices that it was asked to stop.
struct Interrupted {};

// While it lives, SIGINT and SIGTERM are noted instead of ending tarvel, so
// that a command can end its helpers in order and leave no half-made file.
// Session helpers run in process groups of their own: a Ctrl-C typed at the
// terminal reaches tarvel only, which then ends them itself (and a helper
// whose parent died anyway ends with it).
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The signal noted, or 0.
    int signal() const;
    // Throws Interrupted once a signal was noted.
    void check() const;
    // What the command exits with once interrupted: 128 + the signal.
    int status() const { return 128 + signal(); }

private:
    struct Saved;
    std::unique_ptr<Saved> previous_;
};

// ---- scan ----
// Runs `helper --scan-one bundle` and reads its report.
PluginBridgeScanResult scanBundle(const Options& options, const std::string& bundle);
// Bundles named on the command line: a folder that is not itself a bundle
// stands for the *.vst3 inside it, sorted.
std::vector<std::string> bundlesIn(const std::vector<std::string>& paths);
int runScan(const Options& options, const std::vector<std::string>& paths);

// ---- settings files ----
struct SavedState {
    std::vector<std::uint8_t> component;
    std::vector<std::uint8_t> controller;
};
// "TVST3STATE\n", the two lengths as little-endian 64-bit numbers, the bytes.
// Written to a temporary file beside `path` that takes its name only once it
// is whole, so a failed write leaves the old file (or none), never half a one.
void writeStateFile(const std::string& path, const SavedState& state);
SavedState readStateFile(const std::string& path);
// Fails, before any work is done, when the settings file could not be written
// later: its folder is missing or not writable.
void checkStateFileWritable(const std::string& path);

// ---- sessions ----
// How long a block may take in the helper before it counts as hung.
inline constexpr double kBlockSeconds = 10;

struct ChosenClass {
    std::string cid;
    std::string name;
    bool instrument = false;
};
// The class named by `cid`, or the first effect, or else the first instrument.
ChosenClass chooseClass(const Options& options, const std::string& bundle, const std::optional<std::string>& cid);

class Session {
public:
    // Starts a helper and opens the class in it; nothing (and the helper's
    // text in `error`) when the plug-in refuses, for example this channel
    // count. A helper that cannot be started or is lost throws Failure.
    // `maxInFlight` requests may be outstanding at once (send, then receive).
    static std::unique_ptr<Session> tryOpen(const Options& options, const std::string& bundle,
                                            const ChosenClass& chosen, double sampleRate, std::int64_t maxBlock,
                                            std::int64_t channels, std::string* error, std::size_t maxInFlight = 1);
    ~Session();

    // One request; a lost helper or an error reply throws Failure.
    PluginBridgeClient::Reply request(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {},
                                      double timeoutSeconds = 30);
    // One block in two halves, into a reused frame, so that several helpers
    // work on a block at once and several blocks are in flight to each: the
    // reply received is the oldest outstanding request's, awaited until that
    // request's deadline (`timeoutSeconds` after it was sent).
    void send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload, double timeoutSeconds);
    const PluginBridgeChannel::Frame& receive();
    // The smaller of the two pipes' buffers, as the system granted them.
    std::int64_t pipeBytes() const;

    // The plug-in's settings, in and out ("loadState", "saveState"). Any
    // reply may tell a new latency (loading settings, or a parameter that
    // sets a look-ahead, can change it); the session keeps the last one.
    void loadState(const SavedState& state);
    SavedState saveState();

    std::int64_t latency() const { return latency_; }
    std::int64_t channels() const { return channels_; }
    void quit();

private:
    Session() = default;
    void noteLatency(const PluginBridgeMessage& reply); // throws Failure for one out of range
    std::unique_ptr<PluginBridgeClient> client_;
    PluginBridgeChannel::Frame frame_;
    std::int64_t latency_ = 0, maxLatency_ = 0;
    std::int64_t channels_ = 0;
};

int runParams(const Options& options, const std::string& bundle, const std::optional<std::string>& cid);

// ---- audio files ----
// An audio file read block by block (any format libsndfile reads).
class AudioReader {
public:
    explicit AudioReader(const std::string& path); // throws Failure
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int format() const { return format_; } // libsndfile's
    std::int64_t frames() const { return frames_; }
    // The next `frames` frames, interleaved; past the end of the file, silence.
    void read(float* interleaved, std::int64_t frames);

private:
    std::string path_;
    ::sf_private_tag* file_ = nullptr;
    int sampleRate_ = 0, channels_ = 0, format_ = 0;
    std::int64_t frames_ = 0;
    bool ended_ = false;
};

// The sample formats --format names ("float", "pcm16", ...), for the usage.
const char* sampleFormatNames();
bool isSampleFormatName(const std::string& name);

// The libsndfile format of an output file: the type its name asks for
// (".flac"), else the input's type; with the sample format `sampleFormat`
// names, else the input's where that type can hold it (else the nearest it
// can). A sample format the type cannot hold is a UsageError.
int outputFormat(const std::string& path, int inputFormat, int sampleRate, int channels,
                 const std::optional<std::string>& sampleFormat);

// An audio file written block by block, into a temporary file beside it that
// takes the file's name only when finish() succeeds: a render that fails
// leaves no half file, and an output that names the input cannot destroy it
// while it is read. `format` is libsndfile's, as outputFormat gives it.
//
// Integer samples cannot hold what lies beyond full scale: such samples are
// clipped to full scale (never wrapped round to the other sign) and counted.
// Floating-point files keep them as they are.
class AudioWriter {
public:
    AudioWriter(const std::string& path, int format, int sampleRate, int channels); // throws Failure
    ~AudioWriter(); // removes the temporary file unless finished
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void write(const float* interleaved, std::int64_t frames); // throws Failure
    void finish();                                            // throws Failure
    // Samples (one channel's value in one frame) clipped so far.
    std::int64_t clipped() const { return clipped_; }

private:
    std::string path_, temporary_;
    ::sf_private_tag* file_ = nullptr;
    int channels_ = 0;
    bool clips_ = false;
    std::int64_t clipped_ = 0;
    std::vector<float> clippedBlock_;
};

// ---- render ----
struct RenderOptions {
    std::string bundle, input, output;
    std::optional<std::string> cid;
    std::vector<std::pair<std::uint32_t, double>> parameters;
    std::optional<std::string> state, saveState;
    std::optional<std::string> format; // a sample format name; else the input's
    std::int64_t block = 512;
    double tailSeconds = 0;
    bool notes = false;
};
// Longest --tail, in seconds: an hour.
inline constexpr double kMaxTailSeconds = 3600;
// Renders the input through the plug-in into the output. Besides errors
// ("tarvel: <what>", exit 1), standard error gets the progress of a render
// longer than a second, and after a render that wrote an integer file with
// samples beyond full scale:
//     tarvel: <N> samples clipped
// A SIGINT (130) or SIGTERM (143) ends the helpers in order, leaves no output
// (nor its temporary file) and says
//     tarvel: interrupted; nothing was written
int runRender(const Options& options, const RenderOptions& render);

// ---- edit ----
struct EditOptions {
    std::string bundle, saveState;
    std::optional<std::string> cid, state, title;
};
// Shows the plug-in's editor through the helper until the user closes its
// window, then saves the settings. What it prints is meant to be read by
// scripts and tests as well as people, so its lines stay as they are:
//
//   standard output, one line each, flushed as written:
//     tarvel: editing <class name>; close the editor window when you are done
//     tarvel: <N> edit | tarvel: <N> edits    the running total, when it grew
//     tarvel: saved <save-state path> (<N> edits)   (or "1 edit")
//   standard error:
//     tarvel: <the helper's error text>                           exit 1
//     tarvel: interrupted; nothing was saved                      exit 128 + signal
//
// The first line comes once the editor is open. A SIGINT (130) or SIGTERM
// (143) closes the editor and ends the helper in order, and writes no file;
// so does any failure.
int runEdit(const Options& options, const EditOptions& edit);

// A test signal: a few sines and a decaying burst.
int runTone(const std::string& path, double seconds, int channels, int sampleRate);

} // namespace tarvel
