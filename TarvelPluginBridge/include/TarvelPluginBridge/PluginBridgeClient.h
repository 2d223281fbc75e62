// The parent's side of a session: starts the helper with a pipe pair and its
// own process id, sends requests and waits for their replies with a deadline
// and an optional stop callback, and treats a helper that dies or stops
// answering as gone: it ends it (terminate, then kill) and reaps it. Nothing
// here blocks without a limit: writing a request waits for room in the pipe
// only until the request's deadline, as reading its reply does.
//
// Requests in flight. The helper serves requests one at a time and in order,
// so a parent may send the next requests before the replies to the earlier
// ones are home: send() queues up to Options::maxInFlight of them, and
// receiveInto() takes the replies back in the order of the requests. Each
// request keeps the deadline it was sent with; a receive waits at most until
// the oldest outstanding request's deadline. A helper that is lost (it died,
// stopped answering, sent something unreadable) fails every request still
// outstanding: the oldest with what happened, each later receive with
// `closed`, until repliesOwed() is 0.
//
// The rule that keeps a parent and its helper from waiting on each other:
// receive before sending beyond maxInFlight (send refuses the request then),
// and size the pipes (Options::pipeBytes) so that maxInFlight requests, or
// maxInFlight replies, fit in them. A helper that finds the reply pipe full
// stops reading requests until the parent reads a reply; a parent that must
// first finish writing a request into a full request pipe would then only
// end at the request's deadline, with the helper lost.
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
#include <deque>
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
        // How many requests may be outstanding (sent, reply not yet
        // received) at once; send refuses one more with `tooManyInFlight`.
        // 1 is the one-request-at-a-time contract, which needs no pipe of
        // any size. 0 is taken as 1.
        std::size_t maxInFlight = 1;
        // The buffer asked for each of the two pipes, in bytes: at least
        // maxInFlight frames of the larger of a request and its reply (a
        // frame is 8 bytes, its JSON text of a few hundred bytes and its
        // payload). Best effort: clamped to the system's limit for an
        // unprivileged process (/proc/sys/fs/pipe-max-size), and a refusal
        // leaves the pipe as it was; requestPipeBytes and replyPipeBytes tell
        // what was granted. A pipe is one object with one buffer, so the size
        // set on our end holds for the helper's end too.
        std::size_t pipeBytes = std::size_t{1} << 20;
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
    // at once, or several requests in flight to one helper (see the top of
    // this file). `send` queues the request with the deadline now +
    // `timeoutSeconds`, which covers its sending (waiting for room in the
    // pipe: a helper that stopped reading while the pipe is full is lost like
    // one that stopped answering) and its reply. With maxInFlight requests
    // already outstanding it sends nothing and fails with `tooManyInFlight`,
    // leaving the helper and the queue as they were.
    std::optional<Failure> send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {},
                                double timeoutSeconds = 30);
    // Takes the reply to the oldest outstanding request, waiting at most
    // until that request's deadline, and with `timeoutSeconds` at most that
    // long too. A receive past the deadline is a helper that did not answer
    // in time: it is lost, and every other outstanding request then fails
    // with `closed`, one per receive. With nothing outstanding only
    // `timeoutSeconds` limits the wait (without it, none is allowed: a
    // reply there is taken, else it times out). Failures count as in
    // request; a stopped wait keeps the request outstanding.
    std::optional<Failure> receiveInto(PluginBridgeChannel::Frame& reply);
    std::optional<Failure> receiveInto(PluginBridgeChannel::Frame& reply, double timeoutSeconds);

    // Requests sent whose replies have not been received yet (nor failed).
    std::size_t repliesOwed() const { return deadlines_.size(); }
    // Another send would be taken now: fewer than maxInFlight outstanding.
    bool canSend() const { return deadlines_.size() < maxInFlight(); }
    std::size_t maxInFlight() const { return options_.maxInFlight > 0 ? options_.maxInFlight : 1; }

    // The buffer of each pipe as the system granted it (F_GETPIPE_SZ), in
    // bytes; -1 once our end is closed or where the system does not tell.
    int requestPipeBytes() const;
    int replyPipeBytes() const;

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
    // Receives the oldest outstanding reply by the earlier of `deadline` and
    // its request's own.
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
    // The deadline of every outstanding request, oldest first.
    std::deque<double> deadlines_;
    std::optional<PluginBridgeHelperExit> exit_;
};
