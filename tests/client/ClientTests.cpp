// The client starts a helper, sees it die or stall as a lost connection, ends
// it and reaps it, and lets none of its descriptors into other children.
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

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

struct LostCase {
    const char* name;
    const char* body;
    Kind kind;
    int signal; // how the stand-in ended; 0 for an exit
    int status;
};

TEST(Client, ALostHelperIsEndedAndReaped) {
    const LostCase cases[] = {
        {"exits at once", "exit 7", Kind::closed, 0, 7},
        {"never answers", "exec sleep 30", Kind::timedOut, SIGTERM, -1},
        {"never answers and ignores SIGTERM", "exec " TV3_FAKE_HELPER_PATH " ignore-term", Kind::timedOut, SIGKILL, -1},
        {"answers garbage", "printf 'xxxxxxxxxxxx'; exec sleep 30", Kind::malformed, SIGTERM, -1},
    };
    tv3test::TempDir dir;
    for (const LostCase& c : cases) {
        SCOPED_TRACE(c.name);
        PluginBridgeClient::Options options;
        options.terminateGraceSeconds = 0.3;
        auto client = PluginBridgeClient::start(script(dir, "helper", c.body), options);
        ASSERT_TRUE(client) << client.error();
        const pid_t pid = (*client)->pid();
        const double started = PluginBridgeChannel::now();
        auto reply = (*client)->request(PluginBridgeMessage::init(Op::status), {}, 0.5);
        ASSERT_FALSE(reply);
        EXPECT_EQ(reply.error().kind(), c.kind) << reply.error().description();
        // Ended and reaped by the time the request gives up, within the
        // deadline and the grace time (generously).
        EXPECT_LT(PluginBridgeChannel::now() - started, 5.0);
        ASSERT_FALSE((*client)->running());
        EXPECT_EQ((*client)->exit()->signal, c.signal);
        if (c.signal == 0) {
            EXPECT_EQ((*client)->exit()->status, c.status);
        }
        errno = 0;
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
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

TEST(Client, AHelperThatCannotBeStartedIsAFailureText) {
    auto client = PluginBridgeClient::start("/nonexistent/TarvelVST3Host");
    ASSERT_FALSE(client);
    EXPECT_NE(client.error().find("could not start the plug-in host"), std::string::npos) << client.error();
}

} // namespace
