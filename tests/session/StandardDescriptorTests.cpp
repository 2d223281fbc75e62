// The helper started by a parent that left standard error closed, or with too
// few descriptors allowed to set the protocol apart: what a plug-in prints
// never reaches the reply pipe, and a helper that cannot keep it out says so
// and serves nothing.
#include "session/SessionHarness.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

extern char** environ;

namespace sessiontest {
namespace {

// Everything readable from `fd` until its end (or `seconds` of silence).
std::string readToEnd(int fd, double seconds) {
    std::string all;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(seconds * 1000));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return all;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

TEST(SessionStandardDescriptors, StandardErrorClosedByTheParentKeepsPrintsOutOfTheReplies) {
    int requests[2], replies[2];
    ASSERT_EQ(::pipe2(requests, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(replies, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
    char helperPath[] = TV3_HELPER_PATH;
    char session[] = "--session";
    char* argv[] = {helperPath, session, nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, TV3_HELPER_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(requests[0]);
    ::close(replies[1]);
    ASSERT_EQ(spawned, 0) << std::strerror(spawned);
    struct Reaper {
        pid_t pid;
        bool reaped = false;
        ~Reaper() {
            if (!reaped) {
                ::kill(pid, SIGKILL);
                waitExit(pid, 5);
            }
        }
    } reaper{pid};

    PluginBridgeChannel channel(replies[0], requests[1]);
    auto exchange = [&](const Message& m, std::span<const std::uint8_t> payload = {}) {
        EXPECT_FALSE(channel.send(m, payload));
        auto got = channel.receive(PluginBridgeChannel::now() + kRequestSeconds);
        EXPECT_TRUE(got) << got.error().description();
        if (got) {
            EXPECT_FALSE(got->message.error) << *got->message.error;
        }
        return got;
    };

    // The fixture prints to standard output and standard error while it
    // loads, initializes and processes.
    auto opened = exchange(openRequest(fixture("session_prints"), sessionfx::kEffectCid));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->message.latency, std::optional<std::int64_t>(sessionfx::kLatency));
    for (int i = 0; i < 3; ++i) {
        const auto in = testSignal(2, 256, i * 256);
        auto processed = exchange(processRequest(256), bytesOf(in, 256));
        ASSERT_TRUE(processed);
        EXPECT_EQ(processed->payload, bytesOf(in, 256));
    }
    auto listed = exchange(request(Op::parameters));
    ASSERT_TRUE(listed);
    ASSERT_TRUE(listed->message.parameters);
    EXPECT_EQ(listed->message.parameters->size(), 2u);
    auto quit = exchange(request(Op::quit));
    ASSERT_TRUE(quit);
    EXPECT_EQ(quit->message, Message::reply());

    const auto exit = waitExit(pid, kEndSeconds);
    reaper.reaped = exit.has_value();
    ASSERT_TRUE(exit) << "the helper did not end after quit";
    EXPECT_TRUE(exit->exitedWith(0)) << exit->status << " signal " << exit->signal;
    EXPECT_EQ(readToEnd(replies[0], 0), "") << "something besides the replies arrived";
    ::close(replies[0]);
    ::close(requests[1]);
}

// Allowed four descriptors, the helper can copy one protocol pipe but not the
// other: it must not serve with descriptor 1 still on the reply pipe.
TEST(SessionStandardDescriptors, AHelperThatCannotMoveItsDescriptorsSaysSoAndServesNothing) {
    int requests[2], replies[2], errors[2];
    ASSERT_EQ(::pipe2(requests, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(replies, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(errors, O_CLOEXEC), 0);
    char helperPath[] = TV3_HELPER_PATH;
    char session[] = "--session";
    char* argv[] = {helperPath, session, nullptr};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Only async-signal-safe calls from here to the exec.
        if (::dup2(requests[0], STDIN_FILENO) < 0 || ::dup2(replies[1], STDOUT_FILENO) < 0 ||
            ::dup2(errors[1], STDERR_FILENO) < 0) {
            ::_exit(120);
        }
        ::close_range(3, ~0u, 0);
        const rlimit few{4, 4};
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(121);
        ::execve(TV3_HELPER_PATH, argv, environ);
        ::_exit(122);
    }
    ::close(requests[0]);
    ::close(replies[1]);
    ::close(errors[1]);

    const std::string said = readToEnd(errors[0], kEndSeconds);
    const auto exit = waitExit(pid, kEndSeconds);
    if (!exit) {
        ::kill(pid, SIGKILL);
        waitExit(pid, 5);
    }
    ASSERT_TRUE(exit) << "the helper kept running";
    EXPECT_TRUE(exit->exitedWith(71)) << exit->status << " signal " << exit->signal << "\n" << said;
    EXPECT_NE(said.find("TarvelVST3Host: cannot start the session: "), std::string::npos) << said;
    EXPECT_EQ(readToEnd(replies[0], 0), "");
    for (int fd : {requests[1], replies[0], errors[0]}) ::close(fd);
}

} // namespace
} // namespace sessiontest
