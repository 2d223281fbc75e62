// The client against a fake helper that speaks the frame protocol: payloads
// travel both ways, reused reply frames keep their buffer, a helper killed by
// a signal is a closed connection with that signal, nothing but 0, 1 and 2
// reaches a helper, a reply already there is taken whatever the deadline, a
// stopped wait keeps the helper and the session in step, and a closed request
// pipe's number is never written to again.
#include "FakeHelperSignals.h"
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>

namespace {

using Op = PluginBridgeMessage::Op;
using Kind = PluginBridgeChannel::Failure::Kind;

std::unique_ptr<PluginBridgeClient> startFake(const std::string& mode, PluginBridgeClient::Options options = {}) {
    options.extraArguments = {mode};
    options.terminateGraceSeconds = 0.3;
    auto client = PluginBridgeClient::start(TV3_FAKE_HELPER_PATH, options);
    EXPECT_TRUE(client) << client.error();
    return client ? std::move(*client) : nullptr;
}

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

// A pipe end opened since `before`, for reading (O_RDONLY) or writing
// (O_WRONLY): the client's end of its reply or request pipe; -1 when none.
int newPipeEnd(const std::set<int>& before, int accessMode) {
    for (int fd : openDescriptors()) {
        if (before.count(fd)) continue;
        std::error_code error;
        const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
        const int flags = ::fcntl(fd, F_GETFL);
        if (!error && target.string().rfind("pipe:", 0) == 0 && flags >= 0 && (flags & O_ACCMODE) == accessMode)
            return fd;
    }
    return -1;
}

bool readableWithin(int fd, int milliseconds) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) == 1;
}

PluginBridgeMessage processRequest(std::int64_t frames) {
    PluginBridgeMessage m = PluginBridgeMessage::init(Op::process);
    m.frames = frames;
    return m;
}

TEST(ClientFake, PayloadsTravelBothWaysAndReusedFramesKeepTheirBuffer) {
    auto client = startFake("echo");
    ASSERT_TRUE(client);
    // Larger than a pipe's buffer, so that sending and receiving must overlap
    // with the helper's reading and writing.
    std::vector<std::uint8_t> payload(256 * 1024);
    std::iota(payload.begin(), payload.end(), std::uint8_t{0});

    auto reply = client->request(processRequest(21), payload, 10);
    ASSERT_TRUE(reply) << reply.error().description();
    EXPECT_EQ(reply->message.frames, 42);
    EXPECT_EQ(reply->payload, payload);

    PluginBridgeChannel::Frame frame;
    const std::uint8_t* first = nullptr;
    for (int i = 0; i < 5; ++i) {
        payload[0] = static_cast<std::uint8_t>(i);
        ASSERT_FALSE(client->requestInto(processRequest(i), payload, frame, 10));
        EXPECT_EQ(frame.message.frames, 2 * i);
        EXPECT_EQ(frame.payload, payload);
        if (i == 0) first = frame.payload.data();
        EXPECT_EQ(frame.payload.data(), first) << "reply " << i << " moved to a new buffer";
    }
    // An empty reply empties the frame's payload.
    ASSERT_FALSE(client->requestInto(processRequest(1), {}, frame, 10));
    EXPECT_TRUE(frame.payload.empty());

    const PluginBridgeHelperExit exit = client->quit(5);
    EXPECT_TRUE(exit.exitedWith(0)) << exit.status << " " << exit.signal;
}

TEST(ClientFake, AHelperKilledByASignalIsAClosedConnectionAndReaped) {
    auto client = startFake("die");
    ASSERT_TRUE(client);
    const pid_t pid = client->pid();
    auto reply = client->request(processRequest(1), {}, 10);
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().kind(), Kind::closed) << reply.error().description();
    ASSERT_FALSE(client->running());
    EXPECT_EQ(client->exit()->signal, SIGSEGV);
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    auto again = client->request(processRequest(1), {}, 10);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind(), Kind::closed);
}

TEST(ClientFake, HelpersHoldOnlyTheirStandardDescriptorsAndLearnOurPid) {
    // A first client's pipes are open while the second helper starts, and
    // so are a pipe and a file of ours that any child would inherit: opened
    // without close-on-exec, as a careless library or a shell hands them down.
    auto first = startFake("echo");
    ASSERT_TRUE(first);
    int leakyPipe[2];
    ASSERT_EQ(::pipe2(leakyPipe, 0), 0);
    const int leakyFile = ::open("/proc/self/status", O_RDONLY);
    ASSERT_GE(leakyFile, 0);
    struct Case {
        const char* mode;
        std::string expected;
    };
    const Case cases[] = {
        {"report-fds", "0,1,2"},
        {"parent-pid", std::to_string(::getpid())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto client = startFake(c.mode);
        ASSERT_TRUE(client);
        auto reply = client->request(PluginBridgeMessage::init(Op::status), {}, 10);
        ASSERT_TRUE(reply) << reply.error().description();
        EXPECT_EQ(reply->message.title, c.expected);
    }
    for (int fd : {leakyPipe[0], leakyPipe[1], leakyFile}) ::close(fd);
    EXPECT_TRUE(first->quit(5).exitedWith(0));
}

TEST(ClientFake, AHelperHasAProcessGroupOfItsOwnOnlyWhenAsked) {
    for (const bool own : {false, true}) {
        SCOPED_TRACE(own ? "own process group" : "ours");
        PluginBridgeClient::Options options;
        options.ownProcessGroup = own;
        auto client = startFake("pgid", options);
        ASSERT_TRUE(client);
        auto reply = client->request(PluginBridgeMessage::init(Op::status), {}, 10);
        ASSERT_TRUE(reply) << reply.error().description();
        EXPECT_EQ(reply->message.title, std::to_string(own ? client->pid() : ::getpgrp()));
        EXPECT_TRUE(client->quit(5).exitedWith(0));
    }
}

// Once the request pipe is closed its number is free, and the next descriptor
// the process opens may get it: quit must not write its frame into that.
TEST(ClientFake, QuitAfterClosingRequestsWritesNothingIntoWhatTookTheirNumber) {
    const std::set<int> before = openDescriptors();
    auto client = startFake("echo");
    ASSERT_TRUE(client);
    const int requestEnd = newPipeEnd(before, O_WRONLY);
    ASSERT_GE(requestEnd, 0);
    int other[2]; // made first, so that neither end gets the number by chance
    ASSERT_EQ(::pipe2(other, O_CLOEXEC), 0);
    client->closeRequests();
    ASSERT_EQ(::dup3(other[1], requestEnd, O_CLOEXEC), requestEnd);
    ::close(other[1]);

    const PluginBridgeHelperExit exit = client->quit(5);
    EXPECT_TRUE(exit.exitedWith(0)) << exit.status << " " << exit.signal; // it saw the end of its input
    EXPECT_FALSE(client->running());
    auto after = client->send(PluginBridgeMessage::init(Op::status));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->kind(), Kind::closed);
    client.reset();
    int waiting = -1;
    ASSERT_EQ(::ioctl(other[0], FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0) << "bytes went into the pipe that took the number";
    EXPECT_EQ(::fcntl(requestEnd, F_GETFD), FD_CLOEXEC) << "the descriptor that took the number was closed";
    ::close(requestEnd);
    ::close(other[0]);
}

// The deadline ends waits: a reply that is already there is taken with a
// timeout of 0 or one that has just passed, and the helper stays; one that is
// not there times out at once and the helper is ended.
TEST(ClientFake, AReplyAlreadyThereIsTakenWhateverTheDeadline) {
    struct Case {
        const char* name;
        double timeoutSeconds;
        bool replyThere;
    };
    const Case cases[] = {
        {"zero", 0, true},
        {"just passed", -0.001, true},
        {"long passed", -100, true},
        {"zero with no reply yet", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::set<int> before = openDescriptors();
        // The held helper answers only when told to, here never.
        auto client = startFake(c.replyThere ? "echo" : "hold-first");
        ASSERT_TRUE(client);
        const int replyEnd = newPipeEnd(before, O_RDONLY);
        ASSERT_GE(replyEnd, 0);
        ASSERT_FALSE(client->send(processRequest(21)));
        if (c.replyThere) {
            ASSERT_TRUE(readableWithin(replyEnd, 30000)) << "the fake never answered";
        }
        PluginBridgeChannel::Frame frame;
        auto failure = client->receiveInto(frame, c.timeoutSeconds);
        if (c.replyThere) {
            ASSERT_FALSE(failure) << failure->description();
            EXPECT_EQ(frame.message.frames, 42);
            EXPECT_TRUE(client->running());
            EXPECT_TRUE(client->quit(5).exitedWith(0));
        } else {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->kind(), Kind::timedOut);
            ASSERT_FALSE(client->running());
            EXPECT_EQ(client->exit()->signal, SIGTERM);
        }
    }
}

// A parent's stop ends the wait for a reply that has not begun: the helper
// goes on, and the reply still to come is taken by whatever comes next, so
// that each later call gets the reply it asked for.
TEST(ClientFake, AStoppedWaitForAReplyKeepsTheHelperAndTheSessionInStep) {
    enum class Next { receive, request, quit };
    for (const Next next : {Next::receive, Next::request, Next::quit}) {
        SCOPED_TRACE(static_cast<int>(next));
        bool stopping = true;
        int asked = 0;
        PluginBridgeClient::Options options;
        // Stop at the second question: after one wait in which nothing came.
        options.shouldStop = [&] { return stopping && ++asked >= 2; };
        auto client = startFake("hold-first", options);
        ASSERT_TRUE(client);
        auto stopped = client->request(processRequest(1), {}, 60);
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error().kind(), Kind::cancelled);
        EXPECT_EQ(asked, 2);
        EXPECT_TRUE(client->running());
        EXPECT_EQ(client->repliesOwed(), 1u);

        stopping = false;
        // Sent before the fake blocked it, the signal would end the fake.
        ASSERT_TRUE(readyForSignal(client->pid(), SIGUSR1)) << "the fake ended or never got ready for its signal";
        ASSERT_EQ(::kill(client->pid(), SIGUSR1), 0); // lets the held reply go
        PluginBridgeChannel::Frame frame;
        if (next == Next::receive) {
            ASSERT_FALSE(client->receiveInto(frame, 30));
            EXPECT_EQ(frame.message.frames, 2) << "the stopped request's reply";
        }
        if (next != Next::quit) {
            ASSERT_FALSE(client->requestInto(processRequest(5), {}, frame, 30));
            EXPECT_EQ(frame.message.frames, 10) << "not this request's reply";
            EXPECT_EQ(client->repliesOwed(), 0u);
        }
        const PluginBridgeHelperExit exit = client->quit(30);
        EXPECT_TRUE(exit.exitedWith(0)) << exit.status << " " << exit.signal;
    }
}

TEST(ClientFake, AFileThatIsNotExecutableIsAFailureText) {
    tv3test::TempDir dir;
    const std::string path = dir / "not-executable";
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), 0644);
    auto client = PluginBridgeClient::start(path);
    ASSERT_FALSE(client);
    EXPECT_NE(client.error().find("could not start the plug-in host"), std::string::npos) << client.error();
}

} // namespace
