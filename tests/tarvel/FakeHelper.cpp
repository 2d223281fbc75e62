// A stand-in for the helper that answers as though the plug-in's editor
// opened, so that `tarvel edit`'s wait for the window can be driven without a
// window system; it also renders (each block comes back as it went in,
// delayed by the latency last reported), so that what `tarvel render` does
// with latency, failed saves and signals can be seen. A scan (--scan-one) is
// the real helper's.
//
// TARVEL_FAKE_LOG names a file that gets one line per request, in order:
//   "sigint ignored" or "sigint default", then ", own group" or ", parent's
//   group" first (how the helper was started), then "open",
//   "loadState <component bytes> <controller bytes>",
//   "openEditor title=<title> anchor=<yes|no>", "status", "saveState",
//   "closeEditor", "quit", or the op's name; of the blocks only the first,
//   as "first block, delay <frames>".
// TARVEL_FAKE_PIDS names a file that gets the helper's process id, a line.
// TARVEL_FAKE_SCRIPT is a comma-separated list, one step per "status":
//   N          N edits, the editor still open
//   closed     no edits, the editor closed (the user closed the window)
//   interrupt  SIGINT to the parent, then as 0
//   terminate  SIGTERM to the parent, then as 0
//   die        the process ends by SIGKILL without answering
// Past the end of the script the editor stays open without edits.
// "saveState" answers component "abc", controller "de"; with
// TARVEL_FAKE_SAVE_ERROR, that error instead.
// TARVEL_FAKE_MONO_ONLY refuses to open with more than one channel.
// TARVEL_FAKE_OPEN_LATENCY, TARVEL_FAKE_STATE_LATENCY and
// TARVEL_FAKE_PARAM_LATENCY: the latency in the replies to "open",
// "loadState" and "setParameter" (left out when unset).
//
// With --scan-one:
//   TARVEL_FAKE_SCAN_FDS names a file that gets the descriptors open in the
//   helper, as "0 1 2", before the real helper takes over.
//   TARVEL_FAKE_SCAN_LINGER: the real helper scans as a child, then a
//   `sleep 60` is left behind holding standard output (the report pipe), as
//   a child a plug-in started would; its id goes to TARVEL_FAKE_LOG as
//   "sleep <pid>".
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Op = PluginBridgeMessage::Op;

std::vector<std::string> steps(const char* script) {
    std::vector<std::string> list;
    std::stringstream in(script ? script : "");
    for (std::string step; std::getline(in, step, ',');) list.push_back(step);
    return list;
}

std::optional<std::int64_t> numberFrom(const char* name) {
    const char* text = std::getenv(name);
    if (!text) return std::nullopt;
    return std::stoll(text);
}

void append(const char* path, const std::string& line) {
    std::ofstream(path ? path : "/dev/null", std::ios::app) << line << std::endl;
}

// The descriptors open in this process, but the one that reads them.
std::string openDescriptors() {
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return "unknown";
    std::vector<int> fds;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != ::dirfd(dir)) fds.push_back(fd);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    for (const int fd : fds) list += (list.empty() ? "" : " ") + std::to_string(fd);
    return list;
}

int scan(char** argv) {
    if (const char* path = std::getenv("TARVEL_FAKE_SCAN_FDS")) append(path, openDescriptors());
    if (!std::getenv("TARVEL_FAKE_SCAN_LINGER")) {
        ::execv(TARVEL_REAL_HELPER, argv);
        return 127;
    }
    pid_t helper = -1;
    if (::posix_spawn(&helper, TARVEL_REAL_HELPER, nullptr, nullptr, argv, environ) != 0) return 127;
    int status = 0;
    ::waitpid(helper, &status, 0);
    char sleepPath[] = "/bin/sleep", seconds[] = "60";
    char* sleepArgv[] = {sleepPath, seconds, nullptr};
    pid_t sleeper = -1;
    if (::posix_spawn(&sleeper, sleepPath, nullptr, nullptr, sleepArgv, environ) == 0)
        append(std::getenv("TARVEL_FAKE_LOG"), "sleep " + std::to_string(sleeper));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}

// Each channel's samples come back `delay` frames later.
class DelayLine {
public:
    void setDelay(std::int64_t frames) { delay_ = std::clamp<std::int64_t>(frames, 0, 1 << 20); }
    std::int64_t delay() const { return delay_; }
    std::vector<std::uint8_t> process(std::span<const std::uint8_t> payload, std::int64_t frames) {
        const auto channels = frames > 0 ? static_cast<std::int64_t>(payload.size() / 4 / frames) : 0;
        auto in = PluginBridgeAudio::unpack(payload, channels, frames);
        if (!in) return {};
        lines_.resize(static_cast<std::size_t>(channels));
        std::vector<std::vector<float>> out(static_cast<std::size_t>(channels));
        for (std::int64_t c = 0; c < channels; ++c) {
            auto& line = lines_[c];
            while (static_cast<std::int64_t>(line.size()) < delay_) line.push_back(0.0f);
            for (const float v : (*in)[c]) line.push_back(v);
            for (std::int64_t i = 0; i < frames; ++i) {
                out[c].push_back(line.front());
                line.pop_front();
            }
        }
        return PluginBridgeAudio::pack(out, frames);
    }

private:
    std::int64_t delay_ = 0;
    std::vector<std::deque<float>> lines_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--scan-one") return scan(argv);
    const char* logPath = std::getenv("TARVEL_FAKE_LOG");
    std::ofstream log(logPath ? logPath : "/dev/null", std::ios::app);
    auto note = [&log](const std::string& line) { log << line << std::endl; };
    struct sigaction interrupt {};
    ::sigaction(SIGINT, nullptr, &interrupt);
    note(std::string(interrupt.sa_handler == SIG_IGN ? "sigint ignored" : "sigint default") +
         (::getpgrp() == ::getpid() ? ", own group" : ", parent's group"));
    append(std::getenv("TARVEL_FAKE_PIDS"), std::to_string(::getpid()));

    const std::vector<std::string> script = steps(std::getenv("TARVEL_FAKE_SCRIPT"));
    const char* saveError = std::getenv("TARVEL_FAKE_SAVE_ERROR");
    std::size_t next = 0;
    DelayLine delay;
    bool processed = false;
    PluginBridgeChannel channel(STDIN_FILENO, STDOUT_FILENO);
    for (;;) {
        auto request = channel.receive();
        if (!request) return 0; // the parent closed its end
        const PluginBridgeMessage& m = request->message;
        PluginBridgeMessage reply = PluginBridgeMessage::reply();
        std::vector<std::uint8_t> payload;
        // The latency this reply reports, which the delay then follows.
        std::optional<std::int64_t> latency;
        switch (m.op) {
        case Op::open:
            note("open");
            if (std::getenv("TARVEL_FAKE_MONO_ONLY") && m.channels.value_or(0) != 1) {
                reply.error = "this plug-in takes only mono";
            } else {
                latency = numberFrom("TARVEL_FAKE_OPEN_LATENCY");
                reply.outputChannels = m.channels;
            }
            break;
        case Op::loadState:
            note("loadState " + std::to_string(m.componentBytes.value_or(-1)) + " " +
                 std::to_string(m.controllerBytes.value_or(-1)));
            latency = numberFrom("TARVEL_FAKE_STATE_LATENCY");
            break;
        case Op::setParameter:
            note("setParameter");
            latency = numberFrom("TARVEL_FAKE_PARAM_LATENCY");
            break;
        case Op::process:
            if (!processed) note("first block, delay " + std::to_string(delay.delay()));
            processed = true;
            payload = delay.process(request->payload, m.frames.value_or(0));
            break;
        case Op::openEditor:
            note("openEditor title=" + m.title.value_or("") + " anchor=" + (m.anchor ? "yes" : "no"));
            break;
        case Op::status: {
            note("status");
            const std::string step = next < script.size() ? script[next++] : "0";
            reply.editorOpen = step != "closed";
            reply.editCount = 0;
            if (step == "die") {
                log.flush();
                ::raise(SIGKILL);
            } else if (step == "interrupt") {
                ::kill(::getppid(), SIGINT);
            } else if (step == "terminate") {
                ::kill(::getppid(), SIGTERM);
            } else if (step != "closed") {
                reply.editCount = std::stoll(step);
            }
            break;
        }
        case Op::saveState:
            note("saveState");
            if (saveError) {
                reply.error = saveError;
            } else {
                reply.componentBytes = 3;
                reply.controllerBytes = 2;
                payload = {'a', 'b', 'c', 'd', 'e'};
            }
            break;
        default:
            note(std::string(pluginBridgeOpName(m.op)));
            break;
        }
        if (latency) {
            reply.latency = latency;
            delay.setDelay(*latency);
        }
        if (channel.send(reply, payload)) return 0;
        if (m.op == Op::quit) return 0;
    }
}
