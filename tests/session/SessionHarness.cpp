#include "session/SessionHarness.h"

#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "plugins/session/SessionFixtureIds.h"
#include "support/BundleCopy.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

extern char** environ;

namespace sessiontest {

std::string fixture(const std::string& name) { return tv3test::fixtureBundle(TV3_FIXTURE_DIR, name); }

std::unique_ptr<PluginBridgeClient> startHelper(const PluginBridgeClient::Options& options) {
    auto started = PluginBridgeClient::start(TV3_HELPER_PATH, options);
    if (!started) {
        ADD_FAILURE() << "cannot start the helper: " << started.error();
        return nullptr;
    }
    return std::move(started.value());
}

Message request(Op op) { return Message::init(op); }

Message openRequest(const std::string& bundle, const char* cid, std::optional<std::int64_t> maxBlock,
                    std::optional<std::int64_t> channels, bool instrument) {
    Message m = Message::init(Op::open);
    m.path = bundle;
    m.cid = cid;
    m.sampleRate = 48000;
    m.maxBlock = maxBlock;
    m.channels = channels;
    if (instrument) m.instrument = true;
    return m;
}

Message processRequest(std::optional<std::int64_t> frames) {
    Message m = Message::init(Op::process);
    m.frames = frames;
    return m;
}

Message setParameterRequest(std::optional<std::uint32_t> id, std::optional<double> value) {
    Message m = Message::init(Op::setParameter);
    m.paramID = id;
    m.value = value;
    return m;
}

Reply call(PluginBridgeClient& client, const Message& message, std::span<const std::uint8_t> payload,
           double seconds) {
    auto reply = client.request(message, payload, seconds);
    if (!reply) {
        ADD_FAILURE() << "\"" << pluginBridgeOpName(message.op) << "\" got no reply: " << reply.error().description();
        return Reply{Message::reply("connection lost: " + reply.error().description()), {}};
    }
    EXPECT_EQ(reply->message.op, Op::reply);
    return std::move(reply.value());
}

Reply succeed(PluginBridgeClient& client, const Message& message, std::span<const std::uint8_t> payload) {
    Reply r = call(client, message, payload);
    EXPECT_FALSE(r.message.error) << "\"" << pluginBridgeOpName(message.op) << "\": " << *r.message.error;
    return r;
}

void openFixture(PluginBridgeClient& client, const std::string& name, bool instrument, std::int64_t maxBlock,
                 std::int64_t channels) {
    const char* cid = instrument ? sessionfx::kInstrumentCid : sessionfx::kEffectCid;
    succeed(client, openRequest(fixture(name), cid, maxBlock, channels, instrument));
}

std::vector<std::vector<float>> testSignal(int channels, int frames, long start) {
    std::vector<std::vector<float>> out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (int c = 0; c < channels; ++c) {
        std::uint32_t noise = 0x9E3779B9u * static_cast<std::uint32_t>(c + 1) + static_cast<std::uint32_t>(start);
        for (int i = 0; i < frames; ++i) {
            const long t = start + i;
            noise = noise * 1664525u + 1013904223u;
            const float n = static_cast<float>(static_cast<std::int32_t>(noise >> 8) - (1 << 23)) / (1 << 23);
            out[c][i] = 0.4f * static_cast<float>(std::sin(2 * M_PI * (220.0 * (c + 1)) * t / 48000.0)) + 0.05f * n;
        }
    }
    return out;
}

std::vector<float> samples(std::span<const std::uint8_t> bytes) {
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

std::vector<std::uint8_t> bytesOf(const std::vector<std::vector<float>>& channels, int frames) {
    return PluginBridgeAudio::pack(channels, frames);
}

std::vector<PluginBridgeParameter> parameters(PluginBridgeClient& client) {
    Reply r = succeed(client, request(Op::parameters));
    EXPECT_TRUE(r.message.parameters) << "the reply lists no parameters";
    return r.message.parameters.value_or(std::vector<PluginBridgeParameter>{});
}

std::optional<PluginBridgeParameter> parameter(PluginBridgeClient& client, std::uint32_t id) {
    for (const PluginBridgeParameter& p : parameters(client)) {
        if (p.id == id) return p;
    }
    ADD_FAILURE() << "no parameter " << id;
    return std::nullopt;
}

std::optional<PluginBridgeHelperExit> waitExit(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            PluginBridgeHelperExit e;
            if (WIFEXITED(status)) e.status = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
            return e;
        }
        if (got < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RawHelper::RawHelper(const std::vector<std::string>& arguments, int stderrFD) {
    int requests[2], replies[2];
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requests[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO);
    if (stderrFD >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFD, STDERR_FILENO);
    std::vector<std::string> all{TV3_HELPER_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, TV3_HELPER_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(requests[0]);
    ::close(replies[1]);
    requestFD_ = requests[1];
    replyFD_ = replies[0];
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start the helper: " << std::strerror(spawned);
    }
    channel_ = std::make_unique<PluginBridgeChannel>(replyFD_, requestFD_);
}

RawHelper::~RawHelper() {
    if (pid_ > 0 && !exit_) {
        ::kill(pid_, SIGKILL);
        waitForExit(5);
    }
    if (requestFD_ >= 0) ::close(requestFD_);
    if (replyFD_ >= 0) ::close(replyFD_);
}

void RawHelper::writeRaw(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(requestFD_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

PluginBridgeExpected<PluginBridgeChannel::Frame, PluginBridgeChannel::Failure> RawHelper::exchange(
    const Message& message, std::span<const std::uint8_t> payload, double seconds) {
    if (auto failed = channel_->send(message, payload)) return pluginBridgeUnexpected(*failed);
    return channel_->receive(PluginBridgeChannel::now() + seconds);
}

void RawHelper::closeRequests() {
    if (requestFD_ >= 0) ::close(requestFD_);
    requestFD_ = -1;
}

std::optional<PluginBridgeHelperExit> RawHelper::waitForExit(double seconds) {
    if (!exit_ && pid_ > 0) exit_ = waitExit(pid_, seconds);
    return exit_;
}

bool RawHelper::running() { return pid_ > 0 && !waitForExit(0); }

std::string RawHelper::drainReplies() {
    std::string out;
    for (;;) {
        pollfd p{replyFD_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return out;
        char buffer[4096];
        const ssize_t n = ::read(replyFD_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<std::uint8_t> header(std::uint32_t jsonBytes, std::uint32_t payloadBytes) {
    std::vector<std::uint8_t> h(8);
    for (int i = 0; i < 4; ++i) {
        h[i] = static_cast<std::uint8_t>(jsonBytes >> (8 * i));
        h[4 + i] = static_cast<std::uint8_t>(payloadBytes >> (8 * i));
    }
    return h;
}

std::vector<std::uint8_t> componentState(double gain, double report) {
    std::vector<std::uint8_t> bytes(sessionfx::kComponentStateBytes);
    std::memcpy(bytes.data(), "SFXC", 4);
    std::memcpy(bytes.data() + 4, &gain, 8);
    std::memcpy(bytes.data() + 12, &report, 8);
    return bytes;
}

} // namespace sessiontest
