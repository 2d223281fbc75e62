// Scanning: one helper process per bundle, its report read back.
#include "Tarvel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

extern char** environ;

namespace tarvel {
namespace {

// The helper's own watchdog ends a hung scan after 60 s; this is only for a
// helper that cannot even do that.
constexpr int kScanLimitMs = 75000;
constexpr int kStatusScanHung = 3;

struct ScanRun {
    std::string out;
    int status = -1;
    bool timedOut = false; // ended by tarvel's own limit
};

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Appends what the pipe holds now; false once it reached its end.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
}

ScanRun runScanProcess(const std::string& helper, const std::string& bundle) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw Failure("could not make a pipe for the scan");
    // Only the write end goes to the helper, where it is blocking as usual.
    ::fcntl(fds[1], F_SETFL, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // What plug-ins print while they load would break up the table; the
    // report on standard output says all that matters.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing of tarvel's (an input file, a descriptor its own parent let
    // through) reaches the helper, nor what the plug-ins start.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::string h = helper, mode = "--scan-one", path = bundle;
    char* argv[] = {h.data(), mode.data(), path.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        throw Failure("could not start the plug-in host " + helper);
    }

    // The report ends with the helper, not with the pipe: a plug-in may have
    // started a process that lives on holding the pipe's other end. So the
    // helper's exit is watched too (on a pidfd, else in short polls), and
    // once it exited, what the pipe holds is read without waiting for more.
    ScanRun run;
    const int pidfd = openPidfd(pid);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kScanLimitMs);
    bool pipeOpen = true;
    // Not ours to reap (a failed wait) counts as no report.
    int status = -1;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got < 0 && errno != EINTR) status = -1;
        if (got == pid || (got < 0 && errno != EINTR)) {
            if (pipeOpen) drain(fds[0], run.out);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        pollfd p[2] = {{pipeOpen ? fds[0] : -1, POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int waitMs = static_cast<int>(pidfd >= 0 ? left.count() : std::min<long long>(left.count(), 50));
        if (::poll(p, 2, waitMs) > 0 && pipeOpen && p[0].revents != 0) pipeOpen = drain(fds[0], run.out);
    }
    if (pidfd >= 0) ::close(pidfd);
    ::close(fds[0]);
    run.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

PluginBridgeScanResult scanBundle(const Options& options, const std::string& bundle) {
    const ScanRun run = runScanProcess(options.helper, bundle);
    PluginBridgeScanResult failed;
    failed.path = bundle;
    if (run.timedOut || run.status == kStatusScanHung) {
        failed.error = "the scan did not finish in time";
        return failed;
    }
    if (run.status == 0) {
        if (auto result = PluginBridgeScanResult::fromOutput(run.out)) return *result;
    }
    failed.error = "the plug-in host ended without a scan report";
    return failed;
}

std::vector<std::string> bundlesIn(const std::vector<std::string>& paths) {
    std::vector<std::string> bundles;
    for (const std::string& path : paths) {
        std::error_code error;
        const std::filesystem::path p(path);
        if (std::filesystem::is_directory(p, error) && p.extension() != ".vst3") {
            std::vector<std::string> inside;
            for (const auto& entry : std::filesystem::directory_iterator(p, error))
                if (entry.path().extension() == ".vst3") inside.push_back(entry.path().string());
            std::sort(inside.begin(), inside.end());
            bundles.insert(bundles.end(), inside.begin(), inside.end());
        } else {
            bundles.push_back(path);
        }
    }
    return bundles;
}

int runScan(const Options& options, const std::vector<std::string>& paths) {
    if (paths.empty()) throw UsageError("scan needs a bundle or a folder");
    const std::vector<std::string> bundles = bundlesIn(paths);
    bool anyFailed = false;
    std::printf("%-32s %-20s %-28s %-10s %s\n", "bundle", "vendor", "class", "kind", "cid");
    for (const std::string& bundle : bundles) {
        const PluginBridgeScanResult result = scanBundle(options, bundle);
        const std::string name = std::filesystem::path(bundle).filename().string();
        if (result.error) {
            std::printf("%-32s error: %s\n", name.c_str(), result.error->c_str());
            anyFailed = true;
            continue;
        }
        auto row = [&](const PluginBridgeScannedClass& c, const char* kind) {
            std::printf("%-32s %-20s %-28s %-10s %s\n", name.c_str(), c.vendor.c_str(), c.name.c_str(), kind,
                        c.cid.c_str());
        };
        for (const auto& c : result.classes) row(c, "effect");
        if (result.instrumentClasses)
            for (const auto& c : *result.instrumentClasses) row(c, "instrument");
        if (result.classes.empty() && (!result.instrumentClasses || result.instrumentClasses->empty()))
            std::printf("%-32s %-20s (no audio classes)\n", name.c_str(), result.vendor.c_str());
    }
    return anyFailed ? 1 : 0;
}

} // namespace tarvel
