// A plug-in that crashes or hangs takes only its helper with it: the client
// sees a closed connection or a reply that does not come in time, ends the
// helper, and this process goes on to serve a fresh one. And what a plug-in
// prints to standard output lands on standard error, never in the protocol.
#include "session/SessionHarness.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace sessiontest {
namespace {

enum class FailsAt { open, process };

struct Misbehaviour {
    const char* name;
    const char* fixture;
    FailsAt failsAt;
    bool hangs;
};

class Isolation : public testing::TestWithParam<Misbehaviour> {};

TEST_P(Isolation, TheClientLosesOnlyThatHelperAndAFreshOneServes) {
    const Misbehaviour& c = GetParam();
    {
        PluginBridgeClient::Options options;
        options.terminateGraceSeconds = 0.5;
        auto client = startHelper(options);
        ASSERT_TRUE(client);
        const double deadline = c.hangs ? 2.0 : kRequestSeconds;
        const auto block = bytesOf(testSignal(2, 128), 128);
        const Message failing = c.failsAt == FailsAt::open
                                    ? openRequest(fixture(c.fixture), sessionfx::kEffectCid)
                                    : processRequest(128);
        if (c.failsAt == FailsAt::process) openFixture(*client, c.fixture);
        const auto start = std::chrono::steady_clock::now();
        auto reply = client->request(failing, c.failsAt == FailsAt::process ? block : std::span<const std::uint8_t>{},
                                     deadline);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_FALSE(reply) << "the misbehaving plug-in got a reply";
        EXPECT_EQ(reply.error(), c.hangs ? PluginBridgeChannel::Failure::timedOut()
                                         : PluginBridgeChannel::Failure::closed());
        EXPECT_LT(took, deadline + 1.0);
        EXPECT_FALSE(client->running()) << "the client did not end and reap the helper";
        ASSERT_TRUE(client->exit());
        if (!c.hangs) {
            EXPECT_FALSE(client->exit()->exitedWith(0)) << "a crash should not look like an orderly end";
        }
        // Every later request fails at once.
        auto later = client->request(request(Op::status), {}, 1.0);
        ASSERT_FALSE(later);
        EXPECT_EQ(later.error(), PluginBridgeChannel::Failure::closed());
    }
    auto fresh = startHelper();
    ASSERT_TRUE(fresh);
    openFixture(*fresh, "session_gain");
    const auto in = testSignal(2, 512);
    Reply r = succeed(*fresh, processRequest(512), bytesOf(in, 512));
    EXPECT_EQ(r.payload, bytesOf(in, 512));
    EXPECT_TRUE(fresh->quit(kEndSeconds).exitedWith(0));
}

INSTANTIATE_TEST_SUITE_P(Plugins, Isolation,
                         testing::Values(Misbehaviour{"CrashInProcess", "session_crash_process", FailsAt::process, false},
                                         Misbehaviour{"CrashWhileOpening", "session_crash_open", FailsAt::open, false},
                                         Misbehaviour{"HangInProcess", "session_hang_process", FailsAt::process, true}),
                         [](const auto& info) { return info.param.name; });

TEST(StandardOutput, WhatAPlugInPrintsLandsOnStandardErrorAndTheProtocolStaysIntact) {
    tv3test::TempDir dir;
    const std::string errPath = dir / "stderr.txt";
    const int errFD = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(errFD, 0);
    PluginBridgeClient::Options options;
    options.standardError = errFD;
    auto client = startHelper(options);
    ::close(errFD);
    ASSERT_TRUE(client);

    Reply opened = succeed(*client, openRequest(fixture("session_prints"), sessionfx::kEffectCid));
    EXPECT_EQ(opened.message.latency, std::optional<std::int64_t>(sessionfx::kLatency));
    for (int i = 0; i < 3; ++i) {
        const auto in = testSignal(2, 256, i * 256);
        Reply r = succeed(*client, processRequest(256), bytesOf(in, 256));
        EXPECT_EQ(r.payload, bytesOf(in, 256));
    }
    EXPECT_EQ(parameters(*client).size(), 2u);
    Reply status = succeed(*client, request(Op::status));
    EXPECT_TRUE(status.message.editCount);
    EXPECT_TRUE(client->quit(kEndSeconds).exitedWith(0));

    std::ifstream in(errPath);
    std::stringstream all;
    all << in.rdbuf();
    const std::string err = all.str();
    for (const char* expected :
         {"session fixture printf in load", "session fixture write(1) in load", "session fixture printf in initialize",
          "session fixture write(1) in initialize", "session fixture printf in process",
          "session fixture write(1) in process", "session fixture fputs", "session fixture stderr in load",
          "session fixture write(2) in initialize", "session fixture write(2) in process"}) {
        EXPECT_NE(err.find(expected), std::string::npos) << "missing on standard error: " << expected << "\n" << err;
    }
}

} // namespace
} // namespace sessiontest
