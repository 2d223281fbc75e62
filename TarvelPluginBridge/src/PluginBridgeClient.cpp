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
#include <climits>
#include <cstdio>
#include <cmath>
#include <cstring>

extern char** environ;

namespace {

using Failure = PluginBridgeChannel::Failure;

// What an unprivileged process may ask of a pipe; where it cannot be read,
// the request goes as it is and the system says no if it must.
std::size_t pipeMaxBytes() {
    std::size_t limit = 0;
    if (FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        unsigned long value = 0;
        if (std::fscanf(f, "%lu", &value) == 1) limit = value;
        std::fclose(f);
    }
    return limit;
}

// Best effort: the pipe keeps working at the size it has when refused.
void sizePipe(int fd, std::size_t bytes) {
    if (const std::size_t limit = pipeMaxBytes(); limit > 0) bytes = std::min(bytes, limit);
    bytes = std::min<std::size_t>(bytes, INT_MAX);
    if (bytes > 0) PluginBridgeChannel::enlargePipe(fd, static_cast<int>(bytes));
}

int pipeBytesOf(int fd) {
#ifdef F_GETPIPE_SZ
    return fd >= 0 ? ::fcntl(fd, F_GETPIPE_SZ) : -1;
#else
    (void)fd;
    return -1;
#endif
}

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

// The pidfd is close-on-exec by the kernel's own rule.
int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int sendSignalThrough(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
    (void)pidfd;
    (void)signal;
    errno = ENOSYS;
    return -1;
#endif
}

PluginBridgeHelperExit exitFrom(const siginfo_t& info) {
    PluginBridgeHelperExit e;
    if (info.si_code == CLD_EXITED) e.status = info.si_status;
    else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) e.signal = info.si_status;
    return e;
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
    // Room for the requests in flight, or their replies, so that neither
    // side waits for the other to read; one setting per pipe serves both of
    // its ends, the helper's included.
    sizePipe(requests[1], options.pipeBytes);
    sizePipe(replies[1], options.pipeBytes);

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

    // dup2 onto 0, 1 and 2 clears close-on-exec on the copies only. Then
    // everything above 2 is closed: descriptors that the parent or a library
    // of its opened without close-on-exec (an input file, a shell's pipe)
    // must not reach the helper, nor what its plug-ins start.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
    if (errorFD >= 0) posix_spawn_file_actions_adddup2(&actions, errorFD, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

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
    // Until we reap it the pid is the helper's, unless the parent reaps any
    // child (a SIGCHLD handler that waits for -1); the pidfd names the
    // helper for good. ESRCH: already reaped by someone else.
    const int pidfd = openPidfd(pid);
    const bool reapedElsewhere = pidfd < 0 && errno == ESRCH;
    // Writes that find the pipe full wait for room with a deadline instead of
    // blocking in the system.
    ::fcntl(requests[1], F_SETFL, ::fcntl(requests[1], F_GETFL) | O_NONBLOCK);
    std::unique_ptr<PluginBridgeClient> client(new PluginBridgeClient(pid, pidfd, requests[1], replies[0], options));
    if (reapedElsewhere) client->exit_ = PluginBridgeHelperExit{};
    return client;
}

PluginBridgeClient::PluginBridgeClient(pid_t pid, int pidfd, int requestFD, int replyFD, const Options& options)
    : pid_(pid), pidfd_(pidfd), requestFD_(requestFD), replyFD_(replyFD), options_(options),
      channel_(std::make_unique<PluginBridgeChannel>(replyFD, requestFD)) {}

PluginBridgeClient::~PluginBridgeClient() {
    closeRequests();
    if (running()) {
        // A helper that was told nothing sees the end of its input and ends
        // by itself; give it a moment before it is made to.
        if (!waitForExit(0.2)) terminate();
    }
    closeFD(replyFD_);
    closeFD(pidfd_);
}

void PluginBridgeClient::lose() {
    lost_ = true;
    closeRequests();
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
    const double deadline = PluginBridgeChannel::now() + timeoutSeconds;
    // Replies to requests whose caller stopped waiting, or that were sent and
    // never received, answer nothing asked now; they come first in the pipe.
    while (!deadlines_.empty()) {
        if (auto failure = receiveBy(reply, deadline, options_.shouldStop)) return failure;
    }
    if (auto failure = sendBy(message, payload, deadline)) return failure;
    return receiveBy(reply, deadline, options_.shouldStop);
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::send(const PluginBridgeMessage& message,
                                                                    std::span<const std::uint8_t> payload,
                                                                    double timeoutSeconds) {
    return sendBy(message, payload, PluginBridgeChannel::now() + timeoutSeconds);
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::sendBy(const PluginBridgeMessage& message,
                                                                      std::span<const std::uint8_t> payload,
                                                                      double deadline) {
    if (lost_ || requestFD_ < 0 || !running()) return Failure::closed();
    if (!canSend()) return Failure::tooManyInFlight();
    if (auto failure = channel_->send(message, payload, deadline, options_.shouldStop)) {
        // Stopped before a byte went out: nothing was sent, nothing is lost.
        if (failure->kind() == Failure::Kind::cancelled && channel_->inStep()) return failure;
        lose();
        // A helper that died shows up here as EPIPE: that is a closed pipe.
        if (failure->kind() == Failure::Kind::io && failure->errorNumber() == EPIPE) return Failure::closed();
        return failure;
    }
    deadlines_.push_back(deadline);
    return std::nullopt;
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::receiveInto(PluginBridgeChannel::Frame& reply) {
    // Nothing outstanding: no request's deadline allows a wait.
    return receiveBy(reply, deadlines_.empty() ? PluginBridgeChannel::now() : deadlines_.front(),
                     options_.shouldStop);
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::receiveInto(PluginBridgeChannel::Frame& reply,
                                                                           double timeoutSeconds) {
    return receiveBy(reply, PluginBridgeChannel::now() + timeoutSeconds, options_.shouldStop);
}

std::optional<PluginBridgeClient::Failure> PluginBridgeClient::receiveBy(PluginBridgeChannel::Frame& reply,
                                                                         double deadline,
                                                                         const std::function<bool()>& shouldStop) {
    // Each request failed by a lost helper is answered once, so that a
    // parent receiving until nothing is owed comes to an end.
    if (lost_ || !running()) {
        if (!deadlines_.empty()) deadlines_.pop_front();
        return Failure::closed();
    }
    if (!deadlines_.empty()) deadline = std::min(deadline, deadlines_.front());
    if (auto failure = channel_->receiveInto(reply, deadline, shouldStop)) {
        // Stopped before the reply began: it is still to come.
        if (failure->kind() == Failure::Kind::cancelled && channel_->inStep()) return failure;
        lose();
        if (!deadlines_.empty()) deadlines_.pop_front();
        return failure;
    }
    if (!deadlines_.empty()) deadlines_.pop_front();
    return std::nullopt;
}

PluginBridgeHelperExit PluginBridgeClient::quit(double timeoutSeconds) {
    const double deadline = PluginBridgeChannel::now() + timeoutSeconds;
    if (running() && !lost_) {
        bool told = requestFD_ < 0; // closed requests: the helper has seen the end
        if (!told && !channel_->send(PluginBridgeMessage::init(PluginBridgeMessage::Op::quit), {}, deadline)) {
            // The quit's reply comes after those still owed; a stop request
            // of the parent does not hold up its end, and the quit's own
            // limit is the only deadline now.
            std::size_t owed = deadlines_.size() + 1;
            PluginBridgeChannel::Frame reply;
            while (owed > 0 && !channel_->receiveInto(reply, deadline)) --owed;
            told = owed == 0;
        }
        if (told) {
            closeRequests();
            waitForExit(deadline - PluginBridgeChannel::now());
        }
    }
    lost_ = true;
    deadlines_.clear();
    closeRequests();
    if (running()) terminate();
    return *exit_;
}

int PluginBridgeClient::requestPipeBytes() const { return pipeBytesOf(requestFD_); }

int PluginBridgeClient::replyPipeBytes() const { return pipeBytesOf(replyFD_); }

void PluginBridgeClient::closeRequests() {
    // The channel lets go of the number first: once closed, it may be
    // given to the next descriptor this process opens.
    channel_->releaseWriteFD();
    closeFD(requestFD_);
}

std::optional<PluginBridgeHelperExit> PluginBridgeClient::reapNow() {
    for (;;) {
        if (pidfd_ >= 0) {
            siginfo_t info{};
            if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG) == 0) {
                if (info.si_pid == 0) return std::nullopt; // still running
                return exitFrom(info);
            }
            if (errno == EINTR) continue;
            // Reaped by someone else: its exit status went to them.
            if (errno == ECHILD) return PluginBridgeHelperExit{};
            if (errno != EINVAL) return PluginBridgeHelperExit{};
            // A kernel with pidfd_open but without waitid on one: by pid,
            // as below.
        }
        int status = 0;
        const pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_) return exitFrom(status);
        if (got == 0) return std::nullopt;
        if (errno == EINTR) continue;
        // Not our child any more (reaped elsewhere): nothing to wait for.
        return PluginBridgeHelperExit{};
    }
}

std::optional<PluginBridgeHelperExit> PluginBridgeClient::waitForExit(double timeoutSeconds) {
    if (exit_) return exit_;
    const double deadline = PluginBridgeChannel::now() + std::max(timeoutSeconds, 0.0);
    for (;;) {
        if ((exit_ = reapNow())) return exit_;
        const double left = deadline - PluginBridgeChannel::now();
        if (left <= 0) return std::nullopt;
        const int waitMs = static_cast<int>(std::ceil(std::min(left, 0.25) * 1000));
        if (pidfd_ >= 0) {
            // Readable once the helper has exited, reaped or not.
            pollfd p{pidfd_, POLLIN, 0};
            ::poll(&p, 1, waitMs);
        } else {
            const timespec pause{0, std::min(waitMs, 10) * 1000000L};
            ::nanosleep(&pause, nullptr);
        }
    }
}

void PluginBridgeClient::signalHelper(int signal) {
    if (pidfd_ >= 0) {
        // Fails with ESRCH once the helper is gone; never reaches another
        // process, whatever pid it has.
        if (sendSignalThrough(pidfd_, signal) == 0 || errno != ENOSYS) return;
    }
    // Without a pidfd the pid is the only name. A child that is still ours
    // (running, or exited and not reaped) holds it; look without reaping.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD) return;
    ::kill(pid_, signal);
}

PluginBridgeHelperExit PluginBridgeClient::terminate() {
    if (exit_) return *exit_;
    if (waitForExit(0)) return *exit_;
    signalHelper(SIGTERM);
    if (!waitForExit(options_.terminateGraceSeconds)) {
        signalHelper(SIGKILL);
        // A killed process is reaped at once; the limit only guards against
        // one stuck in the kernel.
        waitForExit(10);
    }
    if (!exit_) exit_ = PluginBridgeHelperExit{};
    return *exit_;
}
