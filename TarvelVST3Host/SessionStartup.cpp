#include "SessionStartup.h"

#include "HelperSession.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "platform/EditorWindowSystem.h"
#include "platform/MainLoop.h"
#include "PluginRunLoop.h"
#include "platform/Thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <memory>
#include <thread>

std::optional<std::int32_t> parseInt32(std::string_view text) {
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::int32_t parentPIDFromArguments(const std::vector<std::string>& arguments, std::int32_t fallback) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != "--parent-pid") continue;
        // Only the first one counts, usable or not.
        if (i + 1 < arguments.size()) {
            if (const auto pid = parseInt32(arguments[i + 1])) return *pid;
        }
        return fallback;
    }
    return fallback;
}

ProtocolDescriptors moveProtocolDescriptors() {
    ProtocolDescriptors d;
    d.read = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    d.write = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        if (null != STDIN_FILENO) ::close(null);
    }
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return d;
}

int runSession(const std::vector<std::string>& arguments) {
    const std::int32_t parentPID = parentPIDFromArguments(arguments, static_cast<std::int32_t>(::getppid()));
    const ProtocolDescriptors descriptors = moveProtocolDescriptors();

    // Everything below lives until the process ends; nothing is torn down.
    auto* channel = new PluginBridgeChannel(descriptors.read, descriptors.write);
    std::unique_ptr<platform::MainLoop> mainLoop = platform::makeMainLoop();
    // The parent's exit is watched on a thread of its own, so that it is seen
    // even while the main thread is stuck inside a plug-in.
    platform::MainLoop* watchLoop = platform::makeMainLoop().release();
    std::thread([watchLoop] {
        platform::nameCurrentThread("TarvelVST3Host.parentWatch");
        watchLoop->run();
    }).detach();

    lendMainLoopToPlugins(*mainLoop);

    HelperSessionEnvironment environment;
    environment.mainLoop = mainLoop.get();
    environment.watchLoop = watchLoop;
    // No connection to the display is made until an editor is asked for.
    environment.windows = platform::makeEditorWindowSystem(*mainLoop).release();
    HelperSession::setEnvironment(std::move(environment));

    auto session = std::make_shared<HelperSession>(*channel, parentPID);
    HelperSession::setCurrent(session);
    session->start();
    mainLoop->run();
    return 0;
}
