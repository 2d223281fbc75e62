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
//   crash-after A T
//               as echo for the first A requests, then reads requests without
//               answering until it has read T in all, then raises SIGSEGV
//   pipe-sizes  replies with the buffer sizes of its standard input and
//               output pipes, "<in>,<out>", in `title`
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::string parentPID;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--parent-pid" && i + 1 < argc) parentPID = argv[++i];
        else if (a != "--session") words.push_back(a);
    }
    const std::string mode = words.empty() ? "" : words[0];
    const long answered = mode == "crash-after" && words.size() > 1 ? std::atol(words[1].c_str()) : 0;
    const long readBeforeCrash = mode == "crash-after" && words.size() > 2 ? std::atol(words[2].c_str()) : 0;
    long read = 0;
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
        ++read;
        PluginBridgeMessage reply = PluginBridgeMessage::reply();
        if (mode == "crash-after" && read > answered) {
            // Every request the parent was to send is read first, so that
            // none of its writes can fail: all of them are outstanding here.
            while (read < readBeforeCrash && channel.receive()) ++read;
            ::signal(SIGSEGV, SIG_DFL);
            ::raise(SIGSEGV);
            return 1;
        }
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
        } else if (mode == "pipe-sizes") {
            reply.title = std::to_string(::fcntl(0, F_GETPIPE_SZ)) + "," + std::to_string(::fcntl(1, F_GETPIPE_SZ));
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
