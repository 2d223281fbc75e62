// A stand-in for the helper's session side that speaks the frame protocol and
// misbehaves on demand, chosen by its first argument after the pid:
//   echo        replies to each request with its payload and the request's
//               `frames` doubled in `frames`; "quit" is answered, then it exits 0
//   die         raises SIGSEGV on the first request
//   ignore-term ignores SIGTERM and never answers, so only SIGKILL ends it
//   report-fds  replies with its open descriptors, comma-separated, in `title`
//   parent-pid  replies with the value given after --parent-pid in `title`
//   pgid        replies with its process group id in `title`
//   hold-first  as echo, but holds its first reply back until SIGUSR1 comes
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

int main(int argc, char** argv) {
    std::string mode, parentPID;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--parent-pid" && i + 1 < argc) parentPID = argv[++i];
        else if (a != "--session") mode = a;
    }
    if (mode == "ignore-term") ::signal(SIGTERM, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    // Blocked from the start, so that a signal sent early waits for sigwait.
    if (mode == "hold-first") ::sigprocmask(SIG_BLOCK, &usr1, nullptr);
    bool held = false;
    PluginBridgeChannel channel(0, 1);
    for (;;) {
        auto request = channel.receive();
        if (!request) return 0; // the parent closed its end
        PluginBridgeMessage reply = PluginBridgeMessage::reply();
        if (mode == "die") {
            // A sanitizer's own handler would turn the signal into an exit.
            ::signal(SIGSEGV, SIG_DFL);
            ::raise(SIGSEGV);
            return 1;
        }
        if (mode == "ignore-term") {
            for (;;) ::pause();
        }
        if (mode == "report-fds") {
            // In ascending order; the directory stream's own descriptor is
            // left out.
            std::set<int> fds;
            if (DIR* d = ::opendir("/proc/self/fd")) {
                const int own = ::dirfd(d);
                while (dirent* e = ::readdir(d)) {
                    if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) fds.insert(std::atoi(e->d_name));
                }
                ::closedir(d);
            }
            std::string list;
            for (int fd : fds) list += (list.empty() ? "" : ",") + std::to_string(fd);
            reply.title = list;
        } else if (mode == "parent-pid") {
            reply.title = parentPID;
        } else if (mode == "pgid") {
            reply.title = std::to_string(::getpgid(0));
        } else if (request->message.frames) {
            reply.frames = *request->message.frames * 2;
        }
        if (mode == "hold-first" && !held) {
            int got = 0;
            ::sigwait(&usr1, &got);
            held = true;
        }
        if (channel.send(reply, request->payload)) return 0;
        if (request->message.op == PluginBridgeMessage::Op::quit) return 0;
    }
}
