// The client starts a helper, sees it die or stall as a lost connection, ends
// it and reaps it, lets none of its descriptors into other children, and
// signals nothing but its helper, even in a parent that reaps any child.
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using Op = PluginBridgeMessage::Op;
using Kind = PluginBridgeChannel::Failure::Kind;

// A stand-in helper: a shell script with the given body.
std::string script(const tv3test::TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Client, StatusRoundTripAndQuitWithTheRealHelper) {
    auto client = PluginBridgeClient::start(TV3_HELPER_PATH);
    ASSERT_TRUE(client) << client.error();
    auto reply = (*client)->request(PluginBridgeMessage::init(Op::status), {}, 10);
    ASSERT_TRUE(reply) << reply.error().description();
    EXPECT_EQ(reply->message.editCount, 0);
    EXPECT_EQ(reply->message.editorOpen, false);

    // The frame is reused: replies of one size land in the same buffer.
    PluginBridgeChannel::Frame frame;
    ASSERT_FALSE((*client)->requestInto(PluginBridgeMessage::init(Op::reply), {}, frame, 10));
    EXPECT_EQ(frame.message, PluginBridgeMessage::reply());

    const PluginBridgeHelperExit exit = (*client)->quit(5);
    EXPECT_TRUE(exit.exitedWith(0)) << exit.status << " " << exit.signal;
    EXPECT_FALSE((*client)->running());
    // After the end every request fails at once.
    auto after = (*client)->request(PluginBridgeMessage::init(Op::status), {}, 10);
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error().kind(), Kind::closed);
}

// Two helpers kept busy at once: each is sent its request before either
// reply is read, and each reply comes back to its own client.
TEST(Client, SendsAndReceivesInHalvesAcrossTwoHelpers) {
    auto first = PluginBridgeClient::start(TV3_HELPER_PATH);
    auto second = PluginBridgeClient::start(TV3_HELPER_PATH);
    ASSERT_TRUE(first && second);
    PluginBridgeMessage open = PluginBridgeMessage::init(Op::open);
    open.path = "/nonexistent/none.vst3";
    open.cid = "00000000000000000000000000000000";
    ASSERT_FALSE((*first)->send(open));
    ASSERT_FALSE((*second)->send(PluginBridgeMessage::init(Op::status)));
    PluginBridgeChannel::Frame a, b;
    ASSERT_FALSE((*second)->receiveInto(b, 10));
    ASSERT_FALSE((*first)->receiveInto(a, 10));
    EXPECT_TRUE(a.message.error.has_value()) << "the open's reply reached the first client";
    EXPECT_TRUE(b.message.editCount.has_value()) << "the status reply reached the second";
    EXPECT_FALSE(b.message.error);
    EXPECT_TRUE((*first)->quit(5).exitedWith(0));
    // Receiving with nothing sent, from a helper that has gone: closed at once.
    auto failure = (*first)->receiveInto(a, 10);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::closed);
    EXPECT_TRUE((*second)->quit(5).exitedWith(0));
}

TEST(Client, ClosingRequestsEndsTheRealHelper) {
    auto client = PluginBridgeClient::start(TV3_HELPER_PATH);
    ASSERT_TRUE(client) << client.error();
    (*client)->closeRequests();
    auto exit = (*client)->waitForExit(5);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->exitedWith(0));
}

// Runs `work` on a thread of its own and waits at most `seconds` for it, so
// that a client that fails to end or reap its helper fails the test instead
// of hanging it. A call that does not return is left behind with what it
// holds (shared with `work`).
template <class Work>
bool returnsWithin(double seconds, Work work) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, work = std::move(work)]() mutable {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

using SharedClient = std::shared_ptr<PluginBridgeClient>;

SharedClient startShared(const std::string& path, const PluginBridgeClient::Options& options) {
    auto client = PluginBridgeClient::start(path, options);
    EXPECT_TRUE(client) << client.error();
    return client ? SharedClient(std::move(*client)) : nullptr;
}

struct LostCase {
    const char* name;
    const char* body;
    std::size_t payloadBytes; // of the request
    Kind kind;
    int signal; // how the stand-in ended; 0 for an exit
    int status;
};

TEST(Client, ALostHelperIsEndedAndReaped) {
    const LostCase cases[] = {
        {"exits at once", "exit 7", 0, Kind::closed, 0, 7},
        {"never answers", "exec sleep 30", 0, Kind::timedOut, SIGTERM, -1},
        {"never answers and ignores SIGTERM", "exec " TV3_FAKE_HELPER_PATH " ignore-term", 0, Kind::timedOut, SIGKILL,
         -1},
        {"answers garbage", "printf 'xxxxxxxxxxxx'; exec sleep 30", 0, Kind::malformed, SIGTERM, -1},
        // More than any pipe holds: the send itself must give up.
        {"never reads its input", "exec sleep 30", 16 << 20, Kind::timedOut, SIGTERM, -1},
    };
    tv3test::TempDir dir;
    for (const LostCase& c : cases) {
        SCOPED_TRACE(c.name);
        PluginBridgeClient::Options options;
        options.terminateGraceSeconds = 0.3;
        SharedClient client = startShared(script(dir, "helper", c.body), options);
        ASSERT_TRUE(client);
        const pid_t pid = client->pid();
        const double started = PluginBridgeChannel::now();
        auto reply = std::make_shared<std::optional<PluginBridgeExpected<PluginBridgeClient::Reply,
                                                                           PluginBridgeClient::Failure>>>();
        auto payload = std::make_shared<std::vector<std::uint8_t>>(c.payloadBytes, 1);
        // Ended and reaped by the time the request gives up, within the
        // deadline and the grace time (generously).
        ASSERT_TRUE(returnsWithin(30, [client, reply, payload] {
            reply->emplace(client->request(PluginBridgeMessage::init(Op::status), *payload, 0.5));
        })) << "the request did not give up";
        EXPECT_LT(PluginBridgeChannel::now() - started, 5.0);
        ASSERT_FALSE(**reply);
        EXPECT_EQ((*reply)->error().kind(), c.kind) << (*reply)->error().description();
        ASSERT_FALSE(client->running());
        EXPECT_EQ(client->exit()->signal, c.signal);
        if (c.signal == 0) {
            EXPECT_EQ(client->exit()->status, c.status);
        }
        errno = 0;
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        auto again = client->request(PluginBridgeMessage::init(Op::status), {}, 5);
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().kind(), Kind::closed);
    }
}

// A stop that comes when part of a frame has gone through leaves the stream
// out of step: the call answers `cancelled`, and the helper is ended.
TEST(Client, AStopInTheMiddleOfAFrameEndsTheHelper) {
    struct Case {
        const char* name;
        const char* body;
        std::size_t payloadBytes;
        int stopAt; // the question the stop callback says yes to
    };
    const Case cases[] = {
        // A header announcing 15 bytes of JSON, and 4 of them: the receive
        // takes the header, then waits for the rest.
        {"a reply cut short", "printf '\\017\\000\\000\\000\\000\\000\\000\\000{\"op'; exec sleep 30", 0, 2},
        // The first write fills the pipe; the stop comes at the wait for room.
        {"a request larger than the pipe", "exec sleep 30", 16 << 20, 1},
    };
    tv3test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int asked = 0;
        PluginBridgeClient::Options options;
        options.terminateGraceSeconds = 0.3;
        options.shouldStop = [&asked, stopAt = c.stopAt] { return ++asked >= stopAt; };
        const std::string path = script(dir, "helper", c.body);
        std::set<std::string> before;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) before.insert(entry.path());
        auto client = PluginBridgeClient::start(path, options);
        ASSERT_TRUE(client) << client.error();
        if (c.payloadBytes == 0) {
            // The reply's first bytes are in the pipe before the request
            // starts waiting: the first question, before any read, gets no.
            int replyEnd = -1;
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                const auto target = std::filesystem::read_symlink(entry.path(), error);
                const int fd = std::stoi(entry.path().filename().string());
                const int flags = ::fcntl(fd, F_GETFL);
                if (!before.count(entry.path()) && !error && target.string().rfind("pipe:", 0) == 0 && flags >= 0 &&
                    (flags & O_ACCMODE) == O_RDONLY)
                    replyEnd = fd;
            }
            ASSERT_GE(replyEnd, 0);
            pollfd p{replyEnd, POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 30000), 1) << "the stand-in wrote nothing";
        }
        const std::vector<std::uint8_t> payload(c.payloadBytes, 1);
        auto reply = (*client)->request(PluginBridgeMessage::init(Op::status), payload, 60);
        ASSERT_FALSE(reply);
        EXPECT_EQ(reply.error().kind(), Kind::cancelled) << reply.error().description();
        EXPECT_EQ(asked, c.stopAt);
        ASSERT_FALSE((*client)->running());
        EXPECT_EQ((*client)->exit()->signal, SIGTERM);
        auto again = (*client)->request(PluginBridgeMessage::init(Op::status), {}, 5);
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().kind(), Kind::closed);
    }
}

TEST(Client, DestroyingTheClientReapsItsHelper) {
    tv3test::TempDir dir;
    pid_t pid = -1;
    {
        PluginBridgeClient::Options options;
        options.terminateGraceSeconds = 0.3;
        auto client = PluginBridgeClient::start(script(dir, "helper", "exec sleep 30"), options);
        ASSERT_TRUE(client) << client.error();
        pid = (*client)->pid();
    }
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Where each of this process's descriptors leads ("pipe:[1234]", ...).
std::set<std::string> openTargets() {
    std::set<std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error) targets.insert(target.string());
    }
    return targets;
}

TEST(Client, HelperSeesItsArgumentsAndNoOtherClientsPipes) {
    tv3test::TempDir dir;
    // Lists where its descriptors lead and its arguments into the file named
    // by its fourth argument, then waits for its input to end.
    const std::string body = "ls -l /proc/$$/fd > \"$4\"; echo \"$@\" >> \"$4\"; exec cat > /dev/null";
    const std::string path = script(dir, "helper", body);
    const std::set<std::string> before = openTargets();
    PluginBridgeClient::Options firstOptions;
    firstOptions.extraArguments = {dir / "first"};
    auto first = PluginBridgeClient::start(path, firstOptions);
    ASSERT_TRUE(first) << first.error();
    std::vector<std::string> firstPipes;
    for (const std::string& t : openTargets())
        if (!before.count(t) && t.rfind("pipe:", 0) == 0) firstPipes.push_back(t);
    ASSERT_EQ(firstPipes.size(), 2u); // our two ends of the first helper's pipes

    // A second child, started while the first client's pipes are open, must
    // not hold any of them.
    PluginBridgeClient::Options options;
    const std::string report = dir / "second";
    options.extraArguments = {report};
    auto second = PluginBridgeClient::start(path, options);
    ASSERT_TRUE(second) << second.error();
    (*second)->closeRequests();
    ASSERT_TRUE((*second)->waitForExit(5));
    const std::string seen = readFile(report);
    for (const std::string& pipe : firstPipes) EXPECT_EQ(seen.find(pipe), std::string::npos) << pipe << "\n" << seen;
    EXPECT_NE(seen.find("--session --parent-pid " + std::to_string(::getpid()) + " " + report), std::string::npos)
        << seen;
}

// A parent that reaps every child the moment it ends, as a SIGCHLD handler
// with waitpid(-1) does. The pids it reaped are noted.
std::atomic<int> reapedCount{0};
std::atomic<pid_t> reapedPids[256];

void reapEveryChild(int) {
    const int savedErrno = errno;
    pid_t pid;
    while ((pid = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
        const int at = reapedCount.fetch_add(1);
        if (at < 256) reapedPids[at] = pid;
    }
    errno = savedErrno;
}

class ReapingParent {
public:
    ReapingParent() {
        struct sigaction action{};
        action.sa_handler = reapEveryChild;
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGCHLD, &action, &previous_);
    }
    ~ReapingParent() { ::sigaction(SIGCHLD, &previous_, nullptr); }

    bool reapedWithin(pid_t pid, double seconds) const {
        const double until = PluginBridgeChannel::now() + seconds;
        do {
            for (int i = 0; i < std::min(reapedCount.load(), 256); ++i)
                if (reapedPids[i] == pid) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (PluginBridgeChannel::now() < until);
        return false;
    }

private:
    struct sigaction previous_{};
};

int pidfdOf(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool stillRunning(int pidfd) {
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// Starts `sleep 60`, with the pid `wanted` where this process may choose the
// next pid (as root): the process that a client without a hold on its
// helper would signal. Gives its pidfd.
int startVictim(pid_t wanted, pid_t& pid) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int lastPid = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
        if (lastPid >= 0) {
            const std::string text = std::to_string(wanted - 1);
            const bool set = ::write(lastPid, text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::close(lastPid);
            if (!set) attempt = 50;
        } else {
            attempt = 50; // take whatever pid comes
        }
        char sleepName[] = "sleep";
        char seconds[] = "60";
        char* argv[] = {sleepName, seconds, nullptr};
        if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) return -1;
        const int pidfd = pidfdOf(pid);
        if (pid == wanted || attempt >= 49) return pidfd;
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0); // another process took the pid first
        ::close(pidfd);
    }
    return -1;
}

// When the parent's own handler reaps the helper, the client neither hangs
// nor signals whatever process gets the pid next; the exit is unknown.
TEST(Client, AHelperReapedByTheParentIsNeverWaitedForNorSignalledAgain) {
    ReapingParent parent;
    tv3test::TempDir dir;
    PluginBridgeClient::Options options;
    options.terminateGraceSeconds = 0.3;

    // It exits by itself; the handler reaps it before the client looks.
    SharedClient client = startShared(script(dir, "helper", "exec cat > /dev/null"), options);
    ASSERT_TRUE(client);
    const pid_t helper = client->pid();
    client->closeRequests();
    ASSERT_TRUE(parent.reapedWithin(helper, 30)) << "the handler never reaped the helper";
    pid_t victim = -1;
    const int victimFD = startVictim(helper, victim);
    ASSERT_GE(victimFD, 0);
    if (victim != helper) std::cout << "the helper's pid could not be given to another process\n";
    ASSERT_TRUE(returnsWithin(30, [client] { client->terminate(); })) << "terminate hung";
    ASSERT_FALSE(client->running());
    EXPECT_TRUE(client->exit()->unknown()) << client->exit()->status << " " << client->exit()->signal;
    EXPECT_TRUE(stillRunning(victimFD)) << "the client signalled the process that has its helper's pid";
    ASSERT_TRUE(returnsWithin(30, [client] { client->quit(5); })) << "quit hung";
    EXPECT_TRUE(stillRunning(victimFD));
    ::syscall(SYS_pidfd_send_signal, victimFD, SIGKILL, nullptr, 0);
    ::close(victimFD);

    // It is ended, and ends while the handler is there.
    SharedClient second = startShared(script(dir, "helper", "exec sleep 30"), options);
    ASSERT_TRUE(second);
    ASSERT_TRUE(returnsWithin(30, [second] { second->terminate(); })) << "terminate hung";
    ASSERT_FALSE(second->running());
    const PluginBridgeHelperExit exit = *second->exit();
    EXPECT_TRUE(exit.unknown() || (exit == PluginBridgeHelperExit{-1, SIGTERM})) << exit.status << " " << exit.signal;
    EXPECT_TRUE(exit.signal == SIGTERM || parent.reapedWithin(second->pid(), 30)) << "the helper was not reaped";
}

TEST(Client, AHelperThatCannotBeStartedIsAFailureText) {
    auto client = PluginBridgeClient::start("/nonexistent/TarvelVST3Host");
    ASSERT_FALSE(client);
    EXPECT_NE(client.error().find("could not start the plug-in host"), std::string::npos) << client.error();
}

} // namespace
