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
    // Helpers started with SIGINT ignored: a Ctrl-C in the terminal reaches
    // the whole process group, and a command that wants to end its helper in
    // order (close the editor, then quit) needs the helper still there.
    // Nothing is lost if tarvel dies: the helper ends with its parent.
    bool helperIgnoresInterrupts = false;
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
    static std::unique_ptr<Session> tryOpen(const Options& options, const std::string& bundle,
                                            const ChosenClass& chosen, double sampleRate, std::int64_t maxBlock,
                                            std::int64_t channels, std::string* error);
    ~Session();

    // One request; a lost helper or an error reply throws Failure.
    PluginBridgeClient::Reply request(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {},
                                      double timeoutSeconds = 30);
    // One block in two halves, into a reused frame, so that several helpers
    // work on a block at once.
    void send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload);
    const PluginBridgeChannel::Frame& receive();

    // The plug-in's settings, in and out ("loadState", "saveState"). Loading
    // can change the latency; the session keeps the new one.
    void loadState(const SavedState& state);
    SavedState saveState();

    std::int64_t latency() const { return latency_; }
    std::int64_t channels() const { return channels_; }
    void quit();

private:
    Session() = default;
    std::unique_ptr<PluginBridgeClient> client_;
    PluginBridgeChannel::Frame frame_;
    std::int64_t latency_ = 0;
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

// An audio file written block by block, into a temporary file beside it that
// takes the file's name only when finish() succeeds: a render that fails
// leaves no half file, and an output that names the input cannot destroy it
// while it is read. The type is the one the name asks for (".flac") with the
// given sample format where that type can hold it; else `format` itself.
class AudioWriter {
public:
    AudioWriter(const std::string& path, int format, int sampleRate, int channels); // throws Failure
    ~AudioWriter(); // removes the temporary file unless finished
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void write(const float* interleaved, std::int64_t frames); // throws Failure
    void finish();                                            // throws Failure

private:
    std::string path_, temporary_;
    ::sf_private_tag* file_ = nullptr;
    int channels_ = 0;
};

// ---- render ----
struct RenderOptions {
    std::string bundle, input, output;
    std::optional<std::string> cid;
    std::vector<std::pair<std::uint32_t, double>> parameters;
    std::optional<std::string> state, saveState;
    std::int64_t block = 512;
    double tailSeconds = 0;
    bool notes = false;
};
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
