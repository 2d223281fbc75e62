#include "SessionHarness.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

SessionHarness::SessionHarness(std::int32_t parentPID, platform::EditorWindowSystem* windows) {
    EXPECT_EQ(::pipe2(toSession_, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(fromSession_, O_CLOEXEC), 0);
    sessionChannel = std::make_unique<PluginBridgeChannel>(toSession_[0], fromSession_[1]);
    parentChannel = std::make_unique<PluginBridgeChannel>(fromSession_[0], toSession_[1]);

    HelperSessionEnvironment e;
    e.mainLoop = &loop;
    e.windows = windows;
    e.startBackstop = [this] { ++backstops; };
    e.endProcess = [this](int status) {
        endStatus = status;
        ++endings;
    };
    HelperSession::setEnvironment(std::move(e));
    session = std::make_shared<HelperSession>(*sessionChannel, parentPID);
    HelperSession::setCurrent(session);
    session->start();
}

SessionHarness::~SessionHarness() {
    // The request thread ends once its input is closed; whatever it still
    // hands to the main loop is served until it has gone.
    closeParentWrite();
    if (session) {
        std::atomic<bool> joined{false};
        std::thread joiner([&] {
            session->joinRequestThread();
            joined = true;
        });
        loop.pumpUntil([&] { return joined.load(); });
        joiner.join();
        loop.pumpPending();
    }
    HelperSession::setCurrent(nullptr);
    session.reset();
    closeParentRead();
    for (int fd : {toSession_[0], fromSession_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

PluginBridgeChannel::Frame SessionHarness::request(const PluginBridgeMessage& message,
                                                   std::span<const std::uint8_t> payload) {
    EXPECT_FALSE(parentChannel->send(message, payload).has_value());
    std::optional<PluginBridgeChannel::Frame> reply;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        auto got = parentChannel->receive(PluginBridgeChannel::now() + 10);
        if (got) reply = std::move(*got);
        readerDone = true;
    });
    loop.pumpUntil([&] { return readerDone.load(); }, std::chrono::seconds(10));
    reader.join();
    EXPECT_TRUE(reply.has_value()) << "no reply";
    return reply ? std::move(*reply) : PluginBridgeChannel::Frame{};
}

bool SessionHarness::pumpUntilEnded() {
    return loop.pumpUntil([&] { return endings.load() > 0; });
}

void SessionHarness::closeParentWrite() {
    if (toSession_[1] >= 0) ::close(toSession_[1]);
    toSession_[1] = -1;
}

void SessionHarness::closeParentRead() {
    if (fromSession_[0] >= 0) ::close(fromSession_[0]);
    fromSession_[0] = -1;
}
