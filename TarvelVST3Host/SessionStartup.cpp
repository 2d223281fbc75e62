#include "SessionStartup.h"

#include "HelperSession.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeWrite.h"
#include "platform/EditorWindowSystem.h"
#include "platform/MainLoop.h"
#include "PluginRunLoop.h"
#include "platform/Thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
            if (const auto pid = parseInt32(arguments[i + 1]); pid && *pid > 0) return *pid;
        }
        return fallback;
    }
    return fallback;
}

ProtocolDescriptors moveProtocolDescriptors() {
    ProtocolDescriptors d;
    const auto fail = [&d](const char* step) {
        d.failure = std::string(step) + ": " + std::strerror(errno);
        for (int* copy : {&d.read, &d.write}) {
            if (*copy >= 0) ::close(*copy);
            *copy = -1;
        }
        return d;
    };
    d.read = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (d.read < 0) return fail("cannot copy standard input");
    d.write = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (d.write < 0) return fail("cannot copy standard output");
    // A plug-in that reads standard input must not take the parent's requests.
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) return fail("cannot open /dev/null");
    const bool nulled = ::dup2(null, STDIN_FILENO) == STDIN_FILENO;
    const int dupError = errno;
    if (null != STDIN_FILENO) ::close(null);
    errno = dupError;
    if (!nulled) return fail("cannot put /dev/null on standard input");
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) != STDOUT_FILENO) {
        return fail("cannot put standard error on standard output");
    }
    return d;
}

int runSession(const std::vector<std::string>& arguments) {
    const std::int32_t parentPID = parentPIDFromArguments(arguments, static_cast<std::int32_t>(::getppid()));
    const ProtocolDescriptors descriptors = moveProtocolDescriptors();
    if (!descriptors.failure.empty()) {
        // Descriptor 1 may still be the reply pipe: the first thing a plug-in
        // printed would reach the parent as a frame. The parent sees its pipe
        // close before any reply, as when a helper dies.
        const std::string line = "TarvelVST3Host: cannot start the session: " + descriptors.failure + "\n";
        pluginBridgeWriteAll(STDERR_FILENO, line.data(), line.size());
        return kStatusUnsafeDescriptors;
    }

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
