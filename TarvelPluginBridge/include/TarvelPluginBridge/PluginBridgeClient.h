// The parent's side of a session: starts the helper with a pipe pair and its
// own process id, sends requests and waits for their replies with a deadline
// and an optional stop callback, and treats a helper that dies or stops
// answering as gone: it ends it (terminate, then kill) and reaps it. Nothing
// here blocks without a limit: writing a request waits for room in the pipe
// only until the request's deadline, as reading its reply does.
//
// The helper is watched through a pidfd held from its start where the system
// has them, so that no signal can reach another process that was given the
// helper's pid after someone else reaped it.
#pragma once

#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeExpected.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How a helper process ended. Both fields at their defaults (status -1,
// signal 0) mean unknown: the helper was reaped by someone else, such as a
// SIGCHLD handler of the parent that waits for any child.
struct PluginBridgeHelperExit {
    int status = -1; // the exit status when it exited, else -1
    int signal = 0;  // the signal that ended it, else 0

    bool exitedWith(int s) const { return signal == 0 && status == s; }
    bool unknown() const { return signal == 0 && status < 0; }
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
        // Asked while a request waits for room in the pipe or for its reply:
        // before every wait and at least every 250 ms while nothing moves.
        // When it answers true, the waiting call fails with `cancelled`. A
        // wait stopped before any byte of the frame went through keeps the
        // helper and the session as they were: a stopped request stays unsent,
        // a stopped reply is still to come (receiveInto collects it; the next
        // request or requestInto passes over it first). A stop in the middle
        // of a frame leaves the stream out of step: the helper is then ended
        // as for any lost connection, and the call still answers `cancelled`.
        // quit, terminate and the destructor never ask it. Called on the
        // thread that uses the client.
        std::function<bool()> shouldStop;
    };

    struct Reply {
        PluginBridgeMessage message;
        std::vector<std::uint8_t> payload;
    };

    using Failure = PluginBridgeChannel::Failure;

    // Starts `helperPath --session --parent-pid <getpid()>` with its standard
    // input and output on two fresh pipes. The helper holds no other
    // descriptor of ours: everything above 2 is closed in it before it runs.
    // Our ends are close-on-exec, so no other child of this process inherits
    // them either. Fails with a short text when the pipes or the process
    // cannot be made.
    static PluginBridgeExpected<std::unique_ptr<PluginBridgeClient>, std::string> start(
        const std::string& helperPath, const Options& options);
    static PluginBridgeExpected<std::unique_ptr<PluginBridgeClient>, std::string> start(
        const std::string& helperPath) {
        return start(helperPath, Options{});
    }

    // Ends the helper if it still runs (quit is not sent: the requests are
    // closed, then terminate), reaps it and closes our descriptors.
    ~PluginBridgeClient();
    PluginBridgeClient(const PluginBridgeClient&) = delete;
    PluginBridgeClient& operator=(const PluginBridgeClient&) = delete;

    // Sends one request and waits for its reply, both within `timeoutSeconds`.
    // Any failure of the channel (the helper closed the pipe, did not take
    // the request or did not answer in time, sent something unreadable) means
    // the connection is lost: the helper is ended and reaped, and every later
    // request fails with `closed`. Only a stop (Options::shouldStop) can leave
    // it running. The deadline is judged only when a wait would be needed: a
    // reply that is already there is taken, even with a timeout of 0. Replies
    // still owed to requests whose waits were stopped are read and passed
    // over first, so that the reply returned is this request's.
    // A reply that carries an "error" text is a successful request here.
    PluginBridgeExpected<Reply, Failure> request(const PluginBridgeMessage& message,
                                                 std::span<const std::uint8_t> payload = {},
                                                 double timeoutSeconds = 30);

    // The same, reading the reply into `reply` and reusing its payload buffer,
    // for loops that send blocks of one size again and again.
    std::optional<Failure> requestInto(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload,
                                       PluginBridgeChannel::Frame& reply, double timeoutSeconds = 30);

    // requestInto in two halves, for a parent that keeps several helpers busy
    // at once: send a request to each, then receive each reply. `send` waits
    // at most `timeoutSeconds` for room in the pipe (a helper that stopped
    // reading while the pipe is full is lost like one that stopped
    // answering). Replies come in the order of the requests; receiveInto
    // takes the next one. Failures count as in request.
    std::optional<Failure> send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {},
                                double timeoutSeconds = 30);
    std::optional<Failure> receiveInto(PluginBridgeChannel::Frame& reply, double timeoutSeconds = 30);

    // Requests sent whose replies have not been received yet.
    std::size_t repliesOwed() const { return repliesOwed_; }

    // Sends "quit", waits for its reply (after any replies still owed) and
    // for the helper to exit, at most `timeoutSeconds` in all; a helper still
    // running then is ended. After closeRequests nothing is sent: the helper,
    // which has seen the end of its input, is given the time to exit. Returns
    // how it ended.
    PluginBridgeHelperExit quit(double timeoutSeconds = 5);

    // Closes our end of the request pipe: the helper sees the end of input.
    // Every later send fails with `closed` without touching the descriptor.
    void closeRequests();

    // Waits at most `timeoutSeconds` for the helper to exit by itself and
    // reaps it; nothing when it still runs then. An exit that someone else
    // reaped is the unknown exit.
    std::optional<PluginBridgeHelperExit> waitForExit(double timeoutSeconds);

    // Ends the helper now: SIGTERM, then SIGKILL after the grace time; reaps.
    // Signals only the helper: when someone else reaped it, nothing is sent
    // and the exit is unknown.
    PluginBridgeHelperExit terminate();

    pid_t pid() const { return pid_; }
    // The helper has not been reaped yet.
    bool running() const { return !exit_.has_value(); }
    // How it ended, once reaped.
    const std::optional<PluginBridgeHelperExit>& exit() const { return exit_; }

private:
    PluginBridgeClient(pid_t pid, int pidfd, int requestFD, int replyFD, const Options& options);
    std::optional<Failure> sendBy(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload,
                                  double deadline);
    std::optional<Failure> receiveBy(PluginBridgeChannel::Frame& reply, double deadline,
                                     const std::function<bool()>& shouldStop);
    // Reaps the helper if it has exited; nothing while it runs.
    std::optional<PluginBridgeHelperExit> reapNow();
    // Sends `signal` to the helper unless it is known to be gone.
    void signalHelper(int signal);
    void lose();

    pid_t pid_;
    int pidfd_;     // -1 where the system has no pidfd
    int requestFD_; // our write end
    int replyFD_;   // our read end
    Options options_;
    std::unique_ptr<PluginBridgeChannel> channel_;
    bool lost_ = false;
    std::size_t repliesOwed_ = 0;
    std::optional<PluginBridgeHelperExit> exit_;
};
