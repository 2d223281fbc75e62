// The parent's side of a session: starts the helper with a pipe pair and its
// own process id, sends one request at a time and waits for the reply with a
// deadline, and treats a helper that dies or stops answering as gone: it ends
// it (terminate, then kill) and reaps it. Nothing here blocks without a limit.
#pragma once

#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeExpected.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How a helper process ended.
struct PluginBridgeHelperExit {
    int status = -1; // the exit status when it exited, else -1
    int signal = 0;  // the signal that ended it, else 0

    bool exitedWith(int s) const { return signal == 0 && status == s; }
    bool operator==(const PluginBridgeHelperExit&) const = default;
};

class PluginBridgeClient {
public:
    struct Options {
        // Arguments after "--session --parent-pid <our pid>".
        std::vector<std::string> extraArguments;
        // The helper's standard error: this descriptor, or ours when negative.
        int standardError = -1;
        // Seconds given to a helper after SIGTERM before SIGKILL.
        double terminateGraceSeconds = 1.0;
        // Starts the helper in a process group of its own, so that a Ctrl-C
        // typed at the parent's terminal reaches only the parent, which can
        // then end its helpers in its own order.
        bool ownProcessGroup = false;
    };

    struct Reply {
        PluginBridgeMessage message;
        std::vector<std::uint8_t> payload;
    };

    using Failure = PluginBridgeChannel::Failure;

    // Starts `helperPath --session --parent-pid <getpid()>` with its standard
    // input and output on two fresh pipes. Our ends are close-on-exec, so no
    // other child of this process inherits them. Fails with a short text when
    // the pipes or the process cannot be made.
    static PluginBridgeExpected<std::unique_ptr<PluginBridgeClient>, std::string> start(
        const std::string& helperPath, const Options& options);
    static PluginBridgeExpected<std::unique_ptr<PluginBridgeClient>, std::string> start(
        const std::string& helperPath) {
        return start(helperPath, Options{});
    }

    // Ends the helper if it still runs (quit is not sent: terminate, then
    // kill), reaps it and closes our descriptors.
    ~PluginBridgeClient();
    PluginBridgeClient(const PluginBridgeClient&) = delete;
    PluginBridgeClient& operator=(const PluginBridgeClient&) = delete;

    // Sends one request and waits at most `timeoutSeconds` for its reply. Any
    // failure of the channel (the helper closed the pipe, did not answer in
    // time, sent something unreadable) means the connection is lost: the
    // helper is ended and reaped, and every later request fails with `closed`.
    // A reply that carries an "error" text is a successful request here.
    PluginBridgeExpected<Reply, Failure> request(const PluginBridgeMessage& message,
                                                 std::span<const std::uint8_t> payload = {},
                                                 double timeoutSeconds = 30);

    // The same, reading the reply into `reply` and reusing its payload buffer,
    // for loops that send blocks of one size again and again.
    std::optional<Failure> requestInto(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload,
                                       PluginBridgeChannel::Frame& reply, double timeoutSeconds = 30);

    // requestInto in two halves, for a parent that keeps several helpers busy
    // at once: send a request to each, then receive each reply. At most one
    // request may be waiting for its reply; failures count as in request.
    std::optional<Failure> send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {});
    std::optional<Failure> receiveInto(PluginBridgeChannel::Frame& reply, double timeoutSeconds = 30);

    // Sends "quit", waits for its reply and for the helper to exit, at most
    // `timeoutSeconds` in all; a helper still running then is ended. Returns
    // how it ended.
    PluginBridgeHelperExit quit(double timeoutSeconds = 5);

    // Closes our end of the request pipe: the helper sees the end of input.
    void closeRequests();

    // Waits at most `timeoutSeconds` for the helper to exit by itself and
    // reaps it; nothing when it still runs then.
    std::optional<PluginBridgeHelperExit> waitForExit(double timeoutSeconds);

    // Ends the helper now: SIGTERM, then SIGKILL after the grace time; reaps.
    PluginBridgeHelperExit terminate();

    pid_t pid() const { return pid_; }
    // The helper has not been reaped yet.
    bool running() const { return !exit_.has_value(); }
    // How it ended, once reaped.
    const std::optional<PluginBridgeHelperExit>& exit() const { return exit_; }

private:
    PluginBridgeClient(pid_t pid, int requestFD, int replyFD, const Options& options);
    void lose();

    pid_t pid_;
    int requestFD_; // our write end
    int replyFD_;   // our read end
    Options options_;
    std::unique_ptr<PluginBridgeChannel> channel_;
    bool lost_ = false;
    std::optional<PluginBridgeHelperExit> exit_;
};
