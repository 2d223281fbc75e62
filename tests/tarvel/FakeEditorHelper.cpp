// A stand-in for the helper that answers as though the plug-in's editor
// opened, so that `tarvel edit`'s wait for the window can be driven without a
// window system. A scan (--scan-one) is the real helper's.
//
// TARVEL_FAKE_LOG names a file that gets one line per request, in order:
//   "sigint ignored" or "sigint default" first (how the helper was started),
//   then "open", "loadState <component bytes> <controller bytes>",
//   "openEditor title=<title> anchor=<yes|no>", "status", "saveState",
//   "closeEditor", "quit", or the op's name.
// TARVEL_FAKE_SCRIPT is a comma-separated list, one step per "status":
//   N          N edits, the editor still open
//   closed     no edits, the editor closed (the user closed the window)
//   interrupt  SIGINT to the parent, then as 0
//   terminate  SIGTERM to the parent, then as 0
//   die        the process ends by SIGKILL without answering
// Past the end of the script the editor stays open without edits.
// "saveState" answers component "abc", controller "de".
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Op = PluginBridgeMessage::Op;

std::vector<std::string> steps(const char* script) {
    std::vector<std::string> list;
    std::stringstream in(script ? script : "");
    for (std::string step; std::getline(in, step, ',');) list.push_back(step);
    return list;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--scan-one") {
        ::execv(TARVEL_REAL_HELPER, argv);
        return 127;
    }
    const char* logPath = std::getenv("TARVEL_FAKE_LOG");
    std::ofstream log(logPath ? logPath : "/dev/null", std::ios::app);
    auto note = [&log](const std::string& line) { log << line << std::endl; };
    struct sigaction interrupt {};
    ::sigaction(SIGINT, nullptr, &interrupt);
    note(interrupt.sa_handler == SIG_IGN ? "sigint ignored" : "sigint default");

    const std::vector<std::string> script = steps(std::getenv("TARVEL_FAKE_SCRIPT"));
    std::size_t next = 0;
    PluginBridgeChannel channel(STDIN_FILENO, STDOUT_FILENO);
    for (;;) {
        auto request = channel.receive();
        if (!request) return 0; // the parent closed its end
        const PluginBridgeMessage& m = request->message;
        PluginBridgeMessage reply = PluginBridgeMessage::reply();
        std::string payload;
        switch (m.op) {
        case Op::loadState:
            note("loadState " + std::to_string(m.componentBytes.value_or(-1)) + " " +
                 std::to_string(m.controllerBytes.value_or(-1)));
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
            reply.componentBytes = 3;
            reply.controllerBytes = 2;
            payload = "abcde";
            break;
        default:
            note(std::string(pluginBridgeOpName(m.op)));
            break;
        }
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                                  payload.size());
        if (channel.send(reply, bytes)) return 0;
        if (m.op == Op::quit) return 0;
    }
}
