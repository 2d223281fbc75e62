// How a session starts and ends: quit, end of input, undecodable frames, the
// parent's exit (also while a plug-in call hangs), the status record, and the
// command line's parent process id.
#include "session/SessionHarness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

extern char** environ;

namespace sessiontest {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SessionLifecycle, QuitGetsItsPlainReplyThenTheHelperExitsWithZero) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    Reply r = call(*client, request(Op::quit));
    EXPECT_EQ(r.message, Message::reply());
    EXPECT_TRUE(r.payload.empty());
    auto exit = client->waitForExit(kEndSeconds);
    ASSERT_TRUE(exit) << "the helper did not end after quit";
    EXPECT_TRUE(exit->exitedWith(0)) << exit->status << " signal " << exit->signal;
}

TEST(SessionLifecycle, QuitAfterAnOpenInstanceAlsoExitsWithZero) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain");
    EXPECT_TRUE(client->quit(kEndSeconds).exitedWith(0));
}

TEST(SessionLifecycle, EndOfInputEndsTheSessionWithZeroAndNothingWritten) {
    RawHelper helper({"--session"});
    ASSERT_TRUE(helper.started());
    helper.closeRequests();
    auto exit = helper.waitForExit(kEndSeconds);
    ASSERT_TRUE(exit) << "the helper did not end at the end of its input";
    EXPECT_TRUE(exit->exitedWith(0));
    EXPECT_EQ(helper.drainReplies(), "");
}

TEST(SessionLifecycle, EndOfInputThroughTheClientEndsWithZero) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    openFixture(*client, "session_gain");
    client->closeRequests();
    auto exit = client->waitForExit(kEndSeconds);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->exitedWith(0));
}

struct BadFrame {
    const char* name;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> frameOf(const std::string& json, std::uint32_t payload = 0) {
    std::vector<std::uint8_t> bytes = header(static_cast<std::uint32_t>(json.size()), payload);
    bytes.insert(bytes.end(), json.begin(), json.end());
    bytes.resize(bytes.size() + payload, 0);
    return bytes;
}

TEST(SessionLifecycle, AnUndecodableFrameGetsNoReplyAndEndsWithZero) {
    std::vector<std::uint8_t> oversized = header(16, PluginBridgeChannel::maximumFrameBytes - 15);
    const BadFrame cases[] = {
        {"not JSON", frameOf("{\"op\":")},
        {"plain garbage", frameOf("\x01\x02garbage")},
        {"a JSON array", frameOf("[\"status\"]")},
        {"an unknown op", frameOf("{\"op\":\"Status\"}")},
        {"no op", frameOf("{\"frames\":3}")},
        {"a wrongly typed field", frameOf("{\"op\":\"process\",\"frames\":\"3\"}")},
        {"an empty JSON text", header(0, 0)},
        {"a frame beyond the limit", oversized},
    };
    for (const BadFrame& c : cases) {
        SCOPED_TRACE(c.name);
        RawHelper helper({"--session"});
        ASSERT_TRUE(helper.started());
        // A good request first: the session serves, and its reply is the only
        // thing it ever writes.
        auto status = helper.exchange(request(Op::status));
        ASSERT_TRUE(status) << status.error().description();
        helper.writeRaw(c.bytes);
        auto exit = helper.waitForExit(kEndSeconds);
        ASSERT_TRUE(exit) << "the helper kept running after the bad frame";
        EXPECT_TRUE(exit->exitedWith(0));
        EXPECT_EQ(helper.drainReplies(), "") << "the bad frame was answered";
    }
}

TEST(SessionStatus, BeforeOpenReportsNoEditsAndNoEditor) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        Reply r = call(*client, request(Op::status));
        Message expected = Message::reply();
        expected.editCount = 0;
        expected.editorOpen = false;
        EXPECT_EQ(r.message, expected);
        EXPECT_TRUE(r.payload.empty());
    }
}

TEST(SessionStatus, AReplyOpAndEditorRequestsWithoutAnEditorGetPlainReplies) {
    auto client = startHelper();
    ASSERT_TRUE(client);
    for (Op op : {Op::reply, Op::closeEditor, Op::raiseEditor, Op::reply}) {
        SCOPED_TRACE(std::string(pluginBridgeOpName(op)));
        Reply r = call(*client, request(op));
        EXPECT_EQ(r.message, Message::reply());
        EXPECT_TRUE(r.payload.empty());
    }
    EXPECT_TRUE(client->quit(kEndSeconds).exitedWith(0));
}

// ---- The parent's exit --------------------------------------------------------

// A parent of our own that starts the helper with its own process id (or
// with `parentPid` after "--parent-pid") and can be killed, while this test
// keeps both of the helper's pipes, so that only the watch on the parent can
// end the session. This process adopts the orphaned helper, so it can reap it
// and read its exit status.
class DyingParent {
public:
    explicit DyingParent(std::vector<std::string> extra = {}, const char* parentPid = nullptr) {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        int requests[2], replies[2], report[2];
        if (::pipe(requests) != 0 || ::pipe(replies) != 0 || ::pipe(report) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        std::vector<std::string> args{TV3_HELPER_PATH, "--session", "--parent-pid", "PID"};
        args.insert(args.end(), extra.begin(), extra.end());
        parent_ = ::fork();
        if (parent_ == 0) {
            // Only async-signal-safe work and a spawn here.
            char pidText[32];
            std::snprintf(pidText, sizeof pidText, "%d", static_cast<int>(::getpid()));
            if (!parentPid) args[3] = pidText;
            else args[3] = parentPid;
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
            posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
            pid_t helper = -1;
            if (::posix_spawn(&helper, TV3_HELPER_PATH, &actions, nullptr, argv.data(), environ) != 0) ::_exit(1);
            [[maybe_unused]] ssize_t n = ::write(report[1], &helper, sizeof helper);
            for (;;) ::pause();
        }
        ::close(requests[0]);
        ::close(replies[1]);
        ::close(report[1]);
        requestFD_ = requests[1];
        replyFD_ = replies[0];
        if (::read(report[0], &helper_, sizeof helper_) != sizeof helper_) helper_ = -1;
        ::close(report[0]);
        channel_ = std::make_unique<PluginBridgeChannel>(replyFD_, requestFD_);
    }
    ~DyingParent() {
        if (parent_ > 0) {
            ::kill(parent_, SIGKILL);
            waitExit(parent_, 5);
        }
        if (helper_ > 0 && !helperExit_) {
            ::kill(helper_, SIGKILL);
            waitExit(helper_, 5);
        }
        ::close(requestFD_);
        ::close(replyFD_);
    }

    pid_t helper() const { return helper_; }
    PluginBridgeChannel& channel() { return *channel_; }

    void kill() {
        ::kill(parent_, SIGKILL);
        waitExit(parent_, 5);
        parent_ = -1;
    }
    std::optional<PluginBridgeHelperExit> waitHelper(double seconds) {
        helperExit_ = waitExit(helper_, seconds);
        return helperExit_;
    }

private:
    pid_t parent_ = -1;
    pid_t helper_ = -1;
    int requestFD_ = -1;
    int replyFD_ = -1;
    std::unique_ptr<PluginBridgeChannel> channel_;
    std::optional<PluginBridgeHelperExit> helperExit_;
};

TEST(SessionParentExit, KillingTheParentEndsTheHelperWithZero) {
    DyingParent parent;
    ASSERT_GT(parent.helper(), 0);
    ASSERT_FALSE(parent.channel().send(openRequest(fixture("session_gain"), sessionfx::kEffectCid)));
    auto opened = parent.channel().receive(PluginBridgeChannel::now() + kRequestSeconds);
    ASSERT_TRUE(opened) << opened.error().description();
    EXPECT_FALSE(opened->message.error);

    const auto start = Clock::now();
    parent.kill();
    auto exit = parent.waitHelper(kEndSeconds);
    ASSERT_TRUE(exit) << "the helper outlived its parent";
    EXPECT_TRUE(exit->exitedWith(0)) << exit->status << " signal " << exit->signal;
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST(SessionParentExit, APlugInCallThatHangsStillEndsThroughTheBackstop) {
    DyingParent parent;
    ASSERT_GT(parent.helper(), 0);
    ASSERT_FALSE(parent.channel().send(openRequest(fixture("session_hang_process"), sessionfx::kEffectCid)));
    auto opened = parent.channel().receive(PluginBridgeChannel::now() + kRequestSeconds);
    ASSERT_TRUE(opened) << opened.error().description();
    ASSERT_FALSE(opened->message.error);
    Message process = processRequest(64);
    const auto block = bytesOf(testSignal(2, 64), 64);
    ASSERT_FALSE(parent.channel().send(process, block));
    // The request thread is inside process() now; the orderly ending on the
    // main thread waits for that block, so only the backstop can end it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    const auto start = Clock::now();
    parent.kill();
    auto exit = parent.waitHelper(kEndSeconds);
    ASSERT_TRUE(exit) << "the helper outlived its parent";
    EXPECT_TRUE(exit->exitedWith(0)) << exit->status << " signal " << exit->signal;
    EXPECT_GE(secondsSince(start), 1.5) << "ended before the backstop could have: was process() really hanging?";
    EXPECT_LT(secondsSince(start), 3.5);
}

// A value that names no one process (0 and negative numbers stand for process
// groups, or for every process, to kill()) leaves the parent to be the process
// that started the helper: its exit still ends the session.
class UnusableParentPid : public testing::TestWithParam<const char*> {};

TEST_P(UnusableParentPid, TheProcessThatStartedTheHelperIsWatched) {
    DyingParent parent({}, GetParam());
    ASSERT_GT(parent.helper(), 0);
    ASSERT_FALSE(parent.channel().send(request(Op::status)));
    auto status = parent.channel().receive(PluginBridgeChannel::now() + kRequestSeconds);
    ASSERT_TRUE(status) << status.error().description();
    // Not taken for a process that is gone, either.
    ASSERT_FALSE(parent.waitHelper(0.5)) << "the session ended while the process that started it lived";

    parent.kill();
    auto exit = parent.waitHelper(kEndSeconds);
    ASSERT_TRUE(exit) << "the helper outlived the process that started it";
    EXPECT_TRUE(exit->exitedWith(0)) << exit->status << " signal " << exit->signal;
}

INSTANTIATE_TEST_SUITE_P(CommandLine, UnusableParentPid,
                         testing::Values("0", "+0", "-0", "-1", "-2", "-2147483648"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = "Value";
                             for (const char* c = info.param; *c; ++c) {
                                 name += *c == '-' ? "Minus" : *c == '+' ? "Plus" : std::string(1, *c);
                             }
                             return name;
                         });

// ---- --parent-pid ------------------------------------------------------------------

// A process that only waits to be killed.
pid_t startSleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (;;) ::pause();
    }
    return pid;
}

pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    waitExit(pid, 5);
    return pid;
}

// Which process the session watches, as seen from its ending.
enum class Watches {
    sleeper,  // the pid given: it ends when that process ends
    ourselves, // getppid(): the sleeper's end does not matter
    deadPid,  // a pid that names no process: it ends at once
};

struct ParentPidCase {
    const char* name;
    std::vector<std::string> arguments; // "$S" the sleeper's pid, "$D" a dead pid, "$T" ours
    Watches watches;
};

std::string substitute(std::string text, pid_t sleeper, pid_t dead) {
    for (auto [token, pid] : {std::pair{"$S", sleeper}, std::pair{"$D", dead}, std::pair{"$T", ::getpid()}}) {
        for (std::size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, 2, std::to_string(pid));
    }
    return text;
}

class ParentPid : public testing::TestWithParam<ParentPidCase> {};

TEST_P(ParentPid, TheSessionWatchesTheProcessTheCommandLineNames) {
    const ParentPidCase& c = GetParam();
    const pid_t sleeper = startSleeper();
    ASSERT_GT(sleeper, 0);
    const pid_t dead = deadPid();
    std::vector<std::string> args;
    for (const std::string& a : c.arguments) args.push_back(substitute(a, sleeper, dead));

    RawHelper helper(args);
    ASSERT_TRUE(helper.started());
    if (c.watches == Watches::deadPid) {
        auto exit = helper.waitForExit(kEndSeconds);
        ::kill(sleeper, SIGKILL);
        waitExit(sleeper, 5);
        ASSERT_TRUE(exit) << "a session watching a dead pid kept running";
        EXPECT_TRUE(exit->exitedWith(0));
        return;
    }
    auto first = helper.exchange(request(Op::status));
    ASSERT_TRUE(first) << first.error().description();

    ::kill(sleeper, SIGKILL);
    waitExit(sleeper, 5);
    if (c.watches == Watches::sleeper) {
        auto exit = helper.waitForExit(kEndSeconds);
        ASSERT_TRUE(exit) << "the session did not end with the process it was given";
        EXPECT_TRUE(exit->exitedWith(0));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        EXPECT_TRUE(helper.running()) << "the session ended with a process it was not watching";
        auto second = helper.exchange(request(Op::status));
        EXPECT_TRUE(second) << second.error().description();
        helper.closeRequests();
        auto exit = helper.waitForExit(kEndSeconds);
        ASSERT_TRUE(exit);
        EXPECT_TRUE(exit->exitedWith(0));
    }
}

const ParentPidCase kParentPidCases[] = {
    {"SessionAlone", {"--session"}, Watches::ourselves},
    {"GivenPid", {"--session", "--parent-pid", "$S"}, Watches::sleeper},
    {"LeadingPlus", {"--session", "--parent-pid", "+$S"}, Watches::sleeper},
    {"OurOwnPid", {"--session", "--parent-pid", "$T"}, Watches::ourselves},
    {"DeadPid", {"--session", "--parent-pid", "$D"}, Watches::deadPid},
    {"LeadingSpace", {"--session", "--parent-pid", " $S"}, Watches::ourselves},
    {"TrailingSpace", {"--session", "--parent-pid", "$S "}, Watches::ourselves},
    {"TrailingLetter", {"--session", "--parent-pid", "$Sx"}, Watches::ourselves},
    {"Letters", {"--session", "--parent-pid", "abc"}, Watches::ourselves},
    {"BeyondThirtyTwoBits", {"--session", "--parent-pid", "99999999999"}, Watches::ourselves},
    {"JustBeyondInt32", {"--session", "--parent-pid", "2147483648"}, Watches::ourselves},
    {"LonePlus", {"--session", "--parent-pid", "+"}, Watches::ourselves},
    {"LoneMinus", {"--session", "--parent-pid", "-"}, Watches::ourselves},
    {"Empty", {"--session", "--parent-pid", ""}, Watches::ourselves},
    {"Hex", {"--session", "--parent-pid", "0x10"}, Watches::ourselves},
    {"LastArgument", {"--session", "--parent-pid"}, Watches::ourselves},
    {"FirstOfTwoCounts", {"--session", "--parent-pid", "$S", "--parent-pid", "$T"}, Watches::sleeper},
    {"FirstOfTwoCountsTheOtherWay", {"--session", "--parent-pid", "$T", "--parent-pid", "$S"}, Watches::ourselves},
    {"AnUnusableFirstStillCounts", {"--session", "--parent-pid", "abc", "--parent-pid", "$S"}, Watches::ourselves},
};

INSTANTIATE_TEST_SUITE_P(CommandLine, ParentPid, testing::ValuesIn(kParentPidCases),
                         [](const testing::TestParamInfo<ParentPidCase>& info) { return info.param.name; });

} // namespace
} // namespace sessiontest
