// The client against a fake helper that speaks the frame protocol: payloads
// travel both ways, reused reply frames keep their buffer, a helper killed by
// a signal is a closed connection with that signal, and nothing but 0, 1 and 2
// reaches a helper.
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
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

std::unique_ptr<PluginBridgeClient> startFake(const std::string& mode) {
    PluginBridgeClient::Options options;
    options.extraArguments = {mode};
    options.terminateGraceSeconds = 0.3;
    auto client = PluginBridgeClient::start(TV3_FAKE_HELPER_PATH, options);
    EXPECT_TRUE(client) << client.error();
    return client ? std::move(*client) : nullptr;
}

// "0,1,2" and every other descriptor of this process without close-on-exec:
// what any child inherits whatever the client does (a test runner may hand
// some down to us).
std::string inheritedByEveryChild() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd > 2 && flags >= 0 && !(flags & FD_CLOEXEC)) fds.insert(fd);
    }
    std::string list = "0,1,2";
    for (int fd : fds) list += "," + std::to_string(fd);
    return list;
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
    // A first client's pipes are open while the second helper starts.
    auto first = startFake("echo");
    ASSERT_TRUE(first);
    struct Case {
        const char* mode;
        std::string expected;
    };
    const Case cases[] = {
        {"report-fds", inheritedByEveryChild()},
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
    EXPECT_TRUE(first->quit(5).exitedWith(0));
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
