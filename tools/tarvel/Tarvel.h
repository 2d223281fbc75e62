// The tarvel command: scans bundles, lists parameters and renders audio files
// through plug-ins, all through the helper, so that a plug-in that crashes or
// hangs costs tarvel an error message, not its life.
#pragma once

#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// ---- scan ----
// Runs `helper --scan-one bundle` and reads its report.
PluginBridgeScanResult scanBundle(const Options& options, const std::string& bundle);
// Bundles named on the command line: a folder that is not itself a bundle
// stands for the *.vst3 inside it, sorted.
std::vector<std::string> bundlesIn(const std::vector<std::string>& paths);
int runScan(const Options& options, const std::vector<std::string>& paths);

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
    // One block, into a reused frame.
    const PluginBridgeChannel::Frame& process(const PluginBridgeMessage& message,
                                              std::span<const std::uint8_t> payload);

    std::int64_t latency() const { return latency_; }
    std::int64_t channels() const { return channels_; }
    void setLatency(std::int64_t latency) { latency_ = latency; }
    void quit();

private:
    Session() = default;
    std::unique_ptr<PluginBridgeClient> client_;
    PluginBridgeChannel::Frame frame_;
    std::int64_t latency_ = 0;
    std::int64_t channels_ = 0;
};

int runParams(const Options& options, const std::string& bundle, const std::optional<std::string>& cid);

// ---- files ----
struct SavedState {
    std::vector<std::uint8_t> component;
    std::vector<std::uint8_t> controller;
};
// "TVST3STATE\n", the two lengths as little-endian 64-bit numbers, the bytes.
void writeStateFile(const std::string& path, const SavedState& state);
SavedState readStateFile(const std::string& path);

struct Audio {
    int sampleRate = 48000;
    int channels = 0;
    int format = 0;                       // libsndfile's format of the file read
    std::vector<std::vector<float>> data; // planar
    std::int64_t frames() const { return data.empty() ? 0 : static_cast<std::int64_t>(data[0].size()); }
};
Audio readAudio(const std::string& path);
void writeAudio(const std::string& path, const Audio& audio);

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

// A test signal: a few sines and a decaying burst.
int runTone(const std::string& path, double seconds, int channels, int sampleRate);

} // namespace tarvel
