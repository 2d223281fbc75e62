// Driving the real helper executable over real pipes: through the parent-side
// client, or by hand (RawHelper) where a test needs its own command line, raw
// bytes on the request pipe or a view of everything the helper wrote back.
#pragma once

#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"
#include "plugins/session/SessionFixtureIds.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sessiontest {

using Message = PluginBridgeMessage;
using Op = PluginBridgeMessage::Op;
using Reply = PluginBridgeClient::Reply;

// Per request: generous, so that sanitizer builds on a busy machine pass.
inline constexpr double kRequestSeconds = 10;
// A helper that must end by itself (the 2-second backstop included).
inline constexpr double kEndSeconds = 4;

std::string fixture(const std::string& name); // the bundle's path
std::unique_ptr<PluginBridgeClient> startHelper(const PluginBridgeClient::Options& options = {});

Message request(Op op);
Message openRequest(const std::string& bundle, const char* cid, std::optional<std::int64_t> maxBlock = 512,
                    std::optional<std::int64_t> channels = 2, bool instrument = false);
Message processRequest(std::optional<std::int64_t> frames);
Message setParameterRequest(std::optional<std::uint32_t> id, std::optional<double> value);

// One request that must get a reply; a lost connection is a test failure and
// comes back as a reply with an error that names it.
Reply call(PluginBridgeClient& client, const Message& message, std::span<const std::uint8_t> payload = {},
           double seconds = kRequestSeconds);
// A request whose reply must carry no error.
Reply succeed(PluginBridgeClient& client, const Message& message, std::span<const std::uint8_t> payload = {});
// Opens the fixture's effect (or instrument) and checks the open succeeded.
void openFixture(PluginBridgeClient& client, const std::string& name, bool instrument = false,
                 std::int64_t maxBlock = 512, std::int64_t channels = 2);

// Planar audio: a deterministic signal and its bytes.
std::vector<std::vector<float>> testSignal(int channels, int frames, long start = 0);
std::vector<float> samples(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> bytesOf(const std::vector<std::vector<float>>& channels, int frames);

// Parameters by id from a "parameters" reply; fails the test when absent.
std::vector<PluginBridgeParameter> parameters(PluginBridgeClient& client);
std::optional<PluginBridgeParameter> parameter(PluginBridgeClient& client, std::uint32_t id);

// Waits for a process that is our child (or adopted by us) to end.
std::optional<PluginBridgeHelperExit> waitExit(pid_t pid, double seconds);

// The helper started by hand with exactly `arguments` after the program.
class RawHelper {
public:
    // stderrFD: the helper's standard error, ours when negative.
    explicit RawHelper(const std::vector<std::string>& arguments, int stderrFD = -1);
    ~RawHelper(); // kills and reaps a helper still running
    RawHelper(const RawHelper&) = delete;
    RawHelper& operator=(const RawHelper&) = delete;

    pid_t pid() const { return pid_; }
    int requestFD() const { return requestFD_; }
    int replyFD() const { return replyFD_; }
    bool started() const { return pid_ > 0; }

    void writeRaw(const std::vector<std::uint8_t>& bytes);
    // Sends one request and waits for its reply.
    PluginBridgeExpected<PluginBridgeChannel::Frame, PluginBridgeChannel::Failure> exchange(
        const Message& message, std::span<const std::uint8_t> payload = {}, double seconds = kRequestSeconds);
    void closeRequests();
    std::optional<PluginBridgeHelperExit> waitForExit(double seconds);
    bool running();
    // Everything the helper wrote on its reply pipe that nobody read yet, up
    // to the end of file (only after it exited) or what is there now.
    std::string drainReplies();

private:
    pid_t pid_ = -1;
    int requestFD_ = -1;
    int replyFD_ = -1;
    std::optional<PluginBridgeHelperExit> exit_;
    std::unique_ptr<PluginBridgeChannel> channel_;
};

// An 8-byte frame header.
std::vector<std::uint8_t> header(std::uint32_t jsonBytes, std::uint32_t payloadBytes);

// The session fixtures' component state for these values (the layout in
// SessionFixtureIds.h).
std::vector<std::uint8_t> componentState(double gain, double report = 0);

} // namespace sessiontest
