// One session in the test process: its channel on two pipes, the parent's
// channel on their other ends, a fake main loop, and recorders in place of the
// process-ending steps.
#pragma once

#include "FakeMainLoop.h"
#include "HelperSession.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <atomic>
#include <memory>
#include <optional>

class SessionHarness {
public:
    // `windows`: the window system for editors, none when null.
    explicit SessionHarness(std::int32_t parentPID = 4242, platform::EditorWindowSystem* windows = nullptr);
    ~SessionHarness();

    // Sends a request and pumps the fake loop until its reply arrives.
    PluginBridgeChannel::Frame request(const PluginBridgeMessage& message,
                                       std::span<const std::uint8_t> payload = {});
    // Pumps until the session has asked to end the process.
    bool pumpUntilEnded();

    void closeParentWrite();
    void closeParentRead();
    int parentWriteFD() const { return toSession_[1]; }
    int parentReadFD() const { return fromSession_[0]; }

    FakeMainLoop loop;
    std::shared_ptr<HelperSession> session;
    std::unique_ptr<PluginBridgeChannel> sessionChannel;
    std::unique_ptr<PluginBridgeChannel> parentChannel;
    std::atomic<int> backstops{0};
    std::atomic<int> endings{0};
    std::atomic<int> endStatus{-1};

private:
    int toSession_[2] = {-1, -1};
    int fromSession_[2] = {-1, -1};
};
