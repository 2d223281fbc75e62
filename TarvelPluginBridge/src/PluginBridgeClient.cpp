#include "TarvelPluginBridge/PluginBridgeClient.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

extern char** environ;

namespace {

using Failure = PluginBridgeChannel::Failure;

constexpr int kPipeBytes = 1 << 20;

PluginBridgeHelperExit exitFrom(int status) {
    PluginBridgeHelperExit e;
    if (WIFEXITED(status)) e.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
    return e;
}

void closeFD(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Reaps `pid` if it has exited within `seconds`; waits on a pidfd where the
// kernel has one, else in short sleeps.
std::optional<PluginBridgeHelperExit> reapWithin(pid_t pid, double seconds) {
    const double deadline = PluginBridgeChannel::now() + std::max(seconds, 0.0);
    const int pidfd = openPidfd(pid);
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            if (pidfd >= 0) ::close(pidfd);
            return exitFrom(status);
        }
        if (got < 0 && errno != EINTR) {
            // Not our child any more (reaped elsewhere): nothing to wait for.
            if (pidfd >= 0) ::close(pidfd);
            return PluginBridgeHelperExit{};
        }
        const double left = deadline - PluginBridgeChannel::now();
        if (left <= 0) {
            if (pidfd >= 0) ::close(pidfd);
            return std::nullopt;
        }
        const int waitMs = static_cast<int>(std::ceil(std::min(left, 0.25) * 1000));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, waitMs);
        } else {
            const timespec pause{0, std::min(waitMs, 10) * 1000000L};
            ::nanosleep(&pause, nullptr);
        }
    }
}

// Moves `fd` to a close-on-exec descriptor above 2 when it is 0, 1 or 2.
bool raiseAbove2(int& fd) {
    if (fd > 2) return true;
    const int higher = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (higher < 0) return false;
    ::close(fd);
    fd = higher;
    return true;
}

} // namespace

PluginBridgeExpected<std::unique_ptr<PluginBridgeClient>, std::string> PluginBridgeClient::start(
    const std::string& helperPath, const Options& options) {
    int requests[2] = {-1, -1}; // helper reads [0], we write [1]
    int replies[2] = {-1, -1};  // we read [0], helper writes [1]
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        const int error = errno;
        for (int fd : {requests[0], requests[1], replies[0], replies[1]})
            if (fd >= 0) ::close(fd);
        return pluginBridgeUnexpected(std::string("could not make the pipes to the plug-in host (") +
                                      std::strerror(error) + ")");
    }
    // Room for a block of a few thousand stereo frames and its message in
    // one write; where the system refuses, the default buffer still works.
    PluginBridgeChannel::enlargePipe(requests[1], kPipeBytes);
    PluginBridgeChannel::enlargePipe(replies[1], kPipeBytes);

    std::vector<std::string> arguments{helperPath, "--session", "--parent-pid", std::to_string(::getpid())};
    arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child's dup2 actions run in order, so a source that is itself 0, 1
    // or 2 would already have been replaced when its turn comes (a parent that
    // closed its standard input, or hands its own standard output over as the
    // helper's standard error). Every source is first moved above 2.
    int errorFD = -1;
    bool moved = raiseAbove2(requests[0]) && raiseAbove2(replies[1]);
    if (moved && options.standardError >= 0) {
        errorFD = ::fcntl(options.standardError, F_DUPFD_CLOEXEC, 3);
        moved = errorFD >= 0;
    }
    if (!moved) {
        const int error = errno;
        for (int fd : {requests[0], requests[1], replies[0], replies[1], errorFD})
            if (fd >= 0) ::close(fd);
        return pluginBridgeUnexpected(std::string("could not make the pipes to the plug-in host (") +
                                      std::strerror(error) + ")");
    }

    // dup2 onto 0, 1 and 2 clears close-on-exec on the copies only; every
    // other descriptor of ours stays out of the helper.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
    if (errorFD >= 0) posix_spawn_file_actions_adddup2(&actions, errorFD, STDERR_FILENO);

    // The helper must not inherit the ignored SIGPIPE of a process that
    // uses a channel, nor the signals a thread of ours happens to block.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, helperPath.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(requests[0]);
    ::close(replies[1]);
    if (errorFD >= 0) ::close(errorFD);
    if (spawned != 0) {
        ::close(requests[1]);
        ::close(replies[0]);
        return pluginBridgeUnexpected("could not start the plug-in host " + helperPath + " (" +
                                      std::strerror(spawned) + ")");
    }
    return std::unique_ptr<PluginBridgeClient>(new PluginBridgeClient(pid, requests[1], replies[0], options));
}

PluginBridgeClient::PluginBridgeClient(pid_t pid, int requestFD, int replyFD, const Options& options)
    : pid_(pid), requestFD_(requestFD), replyFD_(replyFD), options_(options),
      channel_(std::make_unique<PluginBridgeChannel>(replyFD, requestFD)) {}

PluginBridgeClient::~PluginBridgeClient() {
    closeFD(requestFD_);
    if (running()) {
        // A helper that was told nothing sees the end of its input and ends
        // by itself; give it a moment before it is made to.
        if (!waitForExit(0.2)) terminate();
    }
    closeFD(replyFD_);
}

void PluginBridgeClient::lose() {
    lost_ = true;
    closeFD(requestFD_);
    if (running()) terminate();
}

PluginBridgeExpected<PluginBridgeClient::Reply, PluginBridgeClient::Failure> PluginBridgeClient::request(
    const PluginBridgeMessage& message, std::span<const std::uint8_t> payload, double timeoutSeconds) {
    PluginBridgeChannel::Frame frame;
    if (auto failure = requestInto(message, payload, frame, timeoutSeconds)) {
        return pluginBridgeUnexpected(*failure);
    }
    return Reply{std::move(frame.message), std::move(frame.payload)};
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::requestInto(const PluginBridgeMessage& message,
                                                                           std::span<const std::uint8_t> payload,
                                                                           PluginBridgeChannel::Frame& reply,
                                                                           double timeoutSeconds) {
    if (auto failure = send(message, payload)) return failure;
    return receiveInto(reply, timeoutSeconds);
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::send(const PluginBridgeMessage& message,
                                                                    std::span<const std::uint8_t> payload) {
    if (lost_ || requestFD_ < 0 || !running()) return Failure::closed();
    if (auto failure = channel_->send(message, payload)) {
        // A helper that died shows up here as EPIPE: that is a closed pipe.
        lose();
        if (failure->kind() == Failure::Kind::io && failure->errorNumber() == EPIPE) return Failure::closed();
        return failure;
    }
    return std::nullopt;
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::receiveInto(PluginBridgeChannel::Frame& reply,
                                                                           double timeoutSeconds) {
    if (lost_ || !running()) return Failure::closed();
    if (auto failure = channel_->receiveInto(reply, PluginBridgeChannel::now() + timeoutSeconds)) {
        lose();
        return failure;
    }
    return std::nullopt;
}

PluginBridgeHelperExit PluginBridgeClient::quit(double timeoutSeconds) {
    const double deadline = PluginBridgeChannel::now() + timeoutSeconds;
    if (running() && !lost_) {
        PluginBridgeChannel::Frame reply;
        if (!channel_->send(PluginBridgeMessage::init(PluginBridgeMessage::Op::quit)) &&
            !channel_->receiveInto(reply, deadline)) {
            closeFD(requestFD_);
            waitForExit(deadline - PluginBridgeChannel::now());
        }
    }
    lost_ = true;
    closeFD(requestFD_);
    if (running()) terminate();
    return *exit_;
}

void PluginBridgeClient::closeRequests() { closeFD(requestFD_); }

std::optional<PluginBridgeHelperExit> PluginBridgeClient::waitForExit(double timeoutSeconds) {
    if (exit_) return exit_;
    exit_ = reapWithin(pid_, timeoutSeconds);
    return exit_;
}

PluginBridgeHelperExit PluginBridgeClient::terminate() {
    if (exit_) return *exit_;
    ::kill(pid_, SIGTERM);
    if (!waitForExit(options_.terminateGraceSeconds)) {
        ::kill(pid_, SIGKILL);
        // A killed process is reaped at once; the limit only guards against
        // a pid that is somehow not ours.
        waitForExit(10);
    }
    if (!exit_) exit_ = PluginBridgeHelperExit{};
    return *exit_;
}
