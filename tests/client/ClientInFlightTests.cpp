// Several requests in flight to one helper: replies come back in the order of
// the requests and each matches its own, the limit of outstanding requests
// holds, a helper that crashes fails every outstanding request, one that hangs
// fails the oldest at its own deadline and the rest as closed, nothing is left
// behind, and the pipes are as large as asked on both of their ends.
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "plugins/session/SessionFixtureIds.h"
#include "support/BundleCopy.h"
#include "FakeHelperSignals.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using Op = PluginBridgeMessage::Op;
using Kind = PluginBridgeChannel::Failure::Kind;

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

std::unique_ptr<PluginBridgeClient> startFake(const std::vector<std::string>& arguments,
                                              PluginBridgeClient::Options options) {
    options.extraArguments = arguments;
    options.terminateGraceSeconds = 0.3;
    auto client = PluginBridgeClient::start(TV3_FAKE_HELPER_PATH, options);
    EXPECT_TRUE(client) << client.error();
    return client ? std::move(*client) : nullptr;
}

PluginBridgeMessage numbered(std::int64_t id) {
    PluginBridgeMessage m = PluginBridgeMessage::init(Op::process);
    m.frames = id;
    return m;
}

// A payload that tells its request from every other.
std::vector<std::uint8_t> payloadOf(std::int64_t id, std::size_t bytes) {
    std::vector<std::uint8_t> p(bytes);
    for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(id * 31 + static_cast<std::int64_t>(i));
    return p;
}

// The helper is reaped: no process of ours is left.
void expectReaped(pid_t pid) {
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Keeps `inFlight` requests outstanding through `total` of them, sending the
// next as soon as the oldest reply is home; every reply is its request's.
TEST(ClientInFlight, RepliesComeBackInOrderAndMatchTheirRequests) {
    const std::set<int> before = openDescriptors();
    for (const std::size_t inFlight : {std::size_t{1}, std::size_t{4}, std::size_t{8}}) {
        SCOPED_TRACE(inFlight);
        constexpr std::size_t kBytes = 48 * 1024;
        PluginBridgeClient::Options options;
        options.maxInFlight = inFlight;
        options.pipeBytes = inFlight * (kBytes + 4096);
        auto client = startFake({"echo"}, options);
        ASSERT_TRUE(client);
        const pid_t pid = client->pid();
        constexpr std::int64_t kTotal = 40;
        std::int64_t sent = 0, received = 0;
        PluginBridgeChannel::Frame frame;
        while (received < kTotal) {
            while (sent < kTotal && client->canSend()) {
                ASSERT_FALSE(client->send(numbered(sent), payloadOf(sent, kBytes), 30));
                ++sent;
            }
            EXPECT_EQ(client->repliesOwed(), static_cast<std::size_t>(sent - received));
            EXPECT_LE(client->repliesOwed(), inFlight);
            ASSERT_FALSE(client->receiveInto(frame));
            EXPECT_EQ(frame.message.frames, 2 * received) << "reply " << received << " is another request's";
            EXPECT_TRUE(frame.payload == payloadOf(received, kBytes)) << "payload of reply " << received;
            ++received;
        }
        EXPECT_EQ(client->repliesOwed(), 0u);
        EXPECT_TRUE(client->quit(5).exitedWith(0));
        client.reset();
        expectReaped(pid);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// A send beyond the limit sends nothing and keeps the session as it was.
TEST(ClientInFlight, ASendBeyondTheLimitIsRefusedAndChangesNothing) {
    for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        SCOPED_TRACE(limit);
        PluginBridgeClient::Options options;
        options.maxInFlight = limit;
        auto client = startFake({"echo"}, options);
        ASSERT_TRUE(client);
        const std::size_t effective = limit == 0 ? 1 : limit;
        EXPECT_EQ(client->maxInFlight(), effective);
        for (std::size_t i = 0; i < effective; ++i) ASSERT_FALSE(client->send(numbered(static_cast<int>(i))));
        EXPECT_FALSE(client->canSend());
        auto refused = client->send(numbered(99));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->kind(), Kind::tooManyInFlight);
        EXPECT_TRUE(client->running());
        EXPECT_EQ(client->repliesOwed(), effective);
        PluginBridgeChannel::Frame frame;
        for (std::size_t i = 0; i < effective; ++i) {
            ASSERT_FALSE(client->receiveInto(frame, 30));
            EXPECT_EQ(frame.message.frames, 2 * static_cast<std::int64_t>(i));
        }
        // The refused request never reached the helper: the next reply is
        // the next request's.
        ASSERT_FALSE(client->requestInto(numbered(7), {}, frame, 30));
        EXPECT_EQ(frame.message.frames, 14);
        EXPECT_TRUE(client->quit(5).exitedWith(0));
    }
}

// A helper that crashes with several requests outstanding: those it
// answered first are received, every other fails, each receive once, and
// the last of them leaves nothing owed.
TEST(ClientInFlight, AHelperThatCrashesFailsEveryOutstandingRequestAsClosed) {
    struct Case {
        int answered;
        int outstanding;
    };
    const Case cases[] = {{0, 4}, {2, 6}, {0, 1}};
    const std::set<int> before = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.answered) + " answered of " + std::to_string(c.outstanding));
        PluginBridgeClient::Options options;
        options.maxInFlight = static_cast<std::size_t>(c.outstanding);
        auto client = startFake({"crash-after", std::to_string(c.answered), std::to_string(c.outstanding)}, options);
        ASSERT_TRUE(client);
        const pid_t pid = client->pid();
        for (int i = 0; i < c.outstanding; ++i) ASSERT_FALSE(client->send(numbered(i), payloadOf(i, 1000), 30));
        PluginBridgeChannel::Frame frame;
        for (int i = 0; i < c.outstanding; ++i) {
            SCOPED_TRACE(i);
            auto failure = client->receiveInto(frame);
            if (i < c.answered) {
                ASSERT_FALSE(failure) << failure->description();
                EXPECT_EQ(frame.message.frames, 2 * i);
            } else {
                ASSERT_TRUE(failure);
                EXPECT_EQ(failure->kind(), Kind::closed) << failure->description();
            }
            EXPECT_EQ(client->repliesOwed(), static_cast<std::size_t>(c.outstanding - i - 1));
        }
        ASSERT_FALSE(client->running());
        EXPECT_EQ(client->exit()->signal, SIGSEGV);
        expectReaped(pid);
        // Later sends and receives are closed at once.
        auto send = client->send(numbered(1));
        ASSERT_TRUE(send);
        EXPECT_EQ(send->kind(), Kind::closed);
        auto receive = client->receiveInto(frame, 30);
        ASSERT_TRUE(receive);
        EXPECT_EQ(receive->kind(), Kind::closed);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// A helper that hangs on its first request: the oldest request fails at its
// own deadline, short while the later ones' are long, and they then fail as
// closed. The wait is bounded by the oldest deadline whether the receive
// gives a limit of its own or not.
TEST(ClientInFlight, AHangFailsTheOldestAtItsDeadlineAndTheRestAsClosed) {
    const std::set<int> before = openDescriptors();
    for (const bool receiveLimit : {false, true}) {
        SCOPED_TRACE(receiveLimit ? "receive with a limit of its own" : "receive by the request's deadline");
        PluginBridgeClient::Options options;
        options.maxInFlight = 3;
        auto client = startFake({"hold-first"}, options);
        ASSERT_TRUE(client);
        const pid_t pid = client->pid();
        constexpr double kOldestSeconds = 0.5, kLaterSeconds = 600;
        const double sentAt = PluginBridgeChannel::now();
        ASSERT_FALSE(client->send(numbered(0), {}, kOldestSeconds));
        ASSERT_FALSE(client->send(numbered(1), {}, kLaterSeconds));
        ASSERT_FALSE(client->send(numbered(2), {}, kLaterSeconds));
        PluginBridgeChannel::Frame frame;
        auto oldest = receiveLimit ? client->receiveInto(frame, kLaterSeconds) : client->receiveInto(frame);
        const double waited = PluginBridgeChannel::now() - sentAt;
        ASSERT_TRUE(oldest);
        EXPECT_EQ(oldest->kind(), Kind::timedOut) << oldest->description();
        EXPECT_GE(waited, kOldestSeconds) << "failed before its deadline";
        // Far below the later requests' deadline: the wait ended at the
        // oldest one's, not theirs.
        EXPECT_LT(waited, 120) << "waited past the oldest request's deadline";
        ASSERT_FALSE(client->running());
        EXPECT_EQ(client->exit()->signal, SIGTERM);
        for (int i = 1; i < 3; ++i) {
            auto rest = client->receiveInto(frame);
            ASSERT_TRUE(rest);
            EXPECT_EQ(rest->kind(), Kind::closed);
        }
        EXPECT_EQ(client->repliesOwed(), 0u);
        client.reset();
        expectReaped(pid);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// A stop while several are outstanding keeps them all: the replies still
// come, in order, once the parent waits again.
TEST(ClientInFlight, AStoppedReceiveKeepsEveryOutstandingRequest) {
    bool stopping = true;
    PluginBridgeClient::Options options;
    options.maxInFlight = 3;
    options.shouldStop = [&] { return stopping; };
    auto client = startFake({"hold-first"}, options);
    ASSERT_TRUE(client);
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(client->send(numbered(i), {}, 60));
    PluginBridgeChannel::Frame frame;
    auto stopped = client->receiveInto(frame);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->kind(), Kind::cancelled);
    EXPECT_TRUE(client->running());
    EXPECT_EQ(client->repliesOwed(), 3u);
    stopping = false;
    ASSERT_TRUE(readyForSignal(client->pid(), SIGUSR1)) << "the fake ended or never got ready for its signal";
    ASSERT_EQ(::kill(client->pid(), SIGUSR1), 0);
    for (int i = 0; i < 3; ++i) {
        auto failure = client->receiveInto(frame);
        ASSERT_FALSE(failure) << failure->description();
        EXPECT_EQ(frame.message.frames, 2 * i);
    }
    EXPECT_TRUE(client->quit(30).exitedWith(0));
}

long pipeMaxSize() {
    long value = 0;
    if (FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        if (std::fscanf(f, "%ld", &value) != 1) value = 0;
        std::fclose(f);
    }
    return value;
}

// The size asked for is what both pipes get, up to the system's limit, and
// the helper's ends see the same buffers as ours: one object per pipe.
TEST(ClientInFlight, BothPipesGetTheSizeAskedUpToTheSystemLimit) {
    const long limit = pipeMaxSize();
    ASSERT_GT(limit, 0) << "no /proc/sys/fs/pipe-max-size";
    const long cases[] = {256 * 1024, limit, 4 * limit};
    for (const long asked : cases) {
        SCOPED_TRACE(asked);
        PluginBridgeClient::Options options;
        options.pipeBytes = static_cast<std::size_t>(asked);
        auto client = startFake({"pipe-sizes"}, options);
        ASSERT_TRUE(client);
        const long expected = std::min(asked, limit);
        EXPECT_GE(client->requestPipeBytes(), expected);
        EXPECT_GE(client->replyPipeBytes(), expected);
        auto reply = client->request(PluginBridgeMessage::init(Op::status), {}, 10);
        ASSERT_TRUE(reply) << reply.error().description();
        EXPECT_EQ(reply->message.title,
                  std::to_string(client->requestPipeBytes()) + "," + std::to_string(client->replyPipeBytes()));
        EXPECT_TRUE(client->quit(5).exitedWith(0));
        EXPECT_EQ(client->requestPipeBytes(), -1) << "our request end is closed";
    }
}

// Against the real helper: blocks of distinct content through the gain
// fixture (unity gain at its default) with several in flight, each reply the
// block it answers.
TEST(ClientInFlight, BlocksInFlightThroughTheRealHelperComeBackInOrder) {
    const std::set<int> before = openDescriptors();
    constexpr int kFrames = 512, kChannels = 2;
    constexpr std::size_t kInFlight = 6;
    PluginBridgeClient::Options options;
    options.maxInFlight = kInFlight;
    options.pipeBytes = kInFlight * (kFrames * kChannels * sizeof(float) + 4096);
    auto started = PluginBridgeClient::start(TV3_HELPER_PATH, options);
    ASSERT_TRUE(started) << started.error();
    auto& client = *started;
    const pid_t pid = client->pid();
    PluginBridgeMessage open = PluginBridgeMessage::init(Op::open);
    open.path = tv3test::fixtureBundle(TV3_FIXTURE_DIR, "session_gain");
    open.cid = sessionfx::kEffectCid;
    open.sampleRate = 48000;
    open.maxBlock = kFrames;
    open.channels = kChannels;
    auto opened = client->request(open, {}, 30);
    ASSERT_TRUE(opened) << opened.error().description();
    ASSERT_FALSE(opened->message.error) << *opened->message.error;

    auto block = [&](int index) {
        std::vector<std::vector<float>> planar(kChannels, std::vector<float>(kFrames));
        for (int c = 0; c < kChannels; ++c)
            for (int i = 0; i < kFrames; ++i)
                planar[c][i] = static_cast<float>(index * 1000 + c * kFrames + i) / 65536.0f;
        return PluginBridgeAudio::pack(planar, kFrames);
    };
    PluginBridgeMessage process = PluginBridgeMessage::init(Op::process);
    process.frames = kFrames;
    constexpr int kBlocks = 50;
    int sent = 0, received = 0;
    PluginBridgeChannel::Frame frame;
    while (received < kBlocks) {
        while (sent < kBlocks && client->canSend()) ASSERT_FALSE(client->send(process, block(sent++), 30));
        ASSERT_FALSE(client->receiveInto(frame));
        ASSERT_FALSE(frame.message.error) << *frame.message.error;
        EXPECT_TRUE(frame.payload == block(received)) << "block " << received << " came back as another's";
        ++received;
    }
    EXPECT_TRUE(client->quit(10).exitedWith(0));
    started->reset();
    expectReaped(pid);
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
