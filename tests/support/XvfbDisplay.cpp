#include "support/XvfbDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tv3test {
namespace {

// The descriptor number Xvfb writes its display number on.
constexpr int kDisplayFD = 3;

bool reap(pid_t pid, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string unusedDisplayName() {
    for (int n = 4711;; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (::access(socket.c_str(), F_OK) != 0 && ::access(lock.c_str(), F_OK) != 0) return ":" + std::to_string(n);
    }
}

XvfbDisplay::XvfbDisplay(double seconds) {
    const std::string program = findProgram("Xvfb");
    if (program.empty()) {
        fail("Xvfb is not installed (tools/install-deps.sh installs it: apt-get install xvfb)");
        return;
    }
    char logTemplate[] = "/tmp/tv3-xvfb-XXXXXX";
    const int logFD = ::mkstemp(logTemplate);
    if (logFD < 0) {
        fail(std::string("mkstemp: ") + std::strerror(errno));
        return;
    }
    ::fcntl(logFD, F_SETFD, FD_CLOEXEC);
    logPath_ = logTemplate;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ::close(logFD);
        fail(std::string("pipe2: ") + std::strerror(errno));
        return;
    }

    const std::string displayFD = std::to_string(kDisplayFD);
    std::vector<std::string> arguments{program,  "-displayfd", displayFD,  "-screen", "0",
                                       std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24",
                                       "-nolisten", "tcp", "-br", "-noreset"};
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int nullFD = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    // fork rather than posix_spawn: the server must die with the test, also
    // when the test is killed before it can end the server itself.
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::setpgid(0, 0); // a terminal's Ctrl-C reaches the test, which ends the server in order
        int writeEnd = fds[1];
        if (writeEnd == kDisplayFD) writeEnd = ::fcntl(writeEnd, F_DUPFD_CLOEXEC, 10);
        ::dup2(nullFD, STDIN_FILENO);
        ::dup2(nullFD, STDOUT_FILENO);
        ::dup2(logFD, STDERR_FILENO);
        ::dup2(writeEnd, kDisplayFD); // dup2 leaves the copy open across exec
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    ::close(logFD);
    if (nullFD >= 0) ::close(nullFD);
    if (pid < 0) {
        ::close(fds[0]);
        fail(std::string("fork: ") + std::strerror(errno));
        return;
    }
    pid_ = pid;

    // Xvfb writes the display number, then a newline, once it takes clients.
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[64];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the server ended (or closed it) before it said
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    const std::size_t end = got.find('\n');
    if (end == std::string::npos || end == 0 || got.find_first_not_of("0123456789") < end) {
        fail(got.empty() ? "Xvfb said no display number in time" : "Xvfb said \"" + got + "\"");
        stop();
        return;
    }
    name_ = ":" + got.substr(0, end);
    if (const char* old = std::getenv("DISPLAY")) previousDisplay_ = old;
    ::setenv("DISPLAY", name_.c_str(), 1);
}

XvfbDisplay::~XvfbDisplay() {
    if (!name_.empty()) {
        if (previousDisplay_) {
            ::setenv("DISPLAY", previousDisplay_->c_str(), 1);
        } else {
            ::unsetenv("DISPLAY");
        }
    }
    stop();
    if (!logPath_.empty()) ::unlink(logPath_.c_str());
}

void XvfbDisplay::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!reap(pid_, 5)) {
        ::kill(pid_, SIGKILL);
        reap(pid_, 5);
    }
    pid_ = -1;
}

void XvfbDisplay::fail(const std::string& why) {
    error_ = why;
    if (logPath_.empty()) return;
    std::ifstream log(logPath_);
    std::stringstream text;
    text << log.rdbuf();
    if (!text.str().empty()) error_ += "; Xvfb wrote:\n" + text.str();
}

} // namespace tv3test
