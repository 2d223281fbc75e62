// An X server of the test's own: Xvfb on a free display number, 1920 × 1080 at
// 24 bits, black root, no TCP. While it runs, DISPLAY names it, so every
// process the test starts shows its windows there. Xvfb must be installed: a
// missing one is a failure (ok() false, error() says so), never a skip.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tv3test {

class XvfbDisplay {
public:
    static constexpr int kWidth = 1920, kHeight = 1080;

    // Starts the server and waits (at most `seconds`) until it takes clients.
    explicit XvfbDisplay(double seconds = 20);
    // Ends the server (terminate, then kill), reaps it and puts DISPLAY back.
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ok() const { return pid_ > 0 && !name_.empty(); }
    // Why it did not start, with what the server wrote.
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; } // ":N"
    pid_t pid() const { return pid_; }

private:
    void fail(const std::string& why);
    void stop();

    pid_t pid_ = -1;
    std::string name_;
    std::string error_;
    std::string logPath_;
    std::optional<std::string> previousDisplay_;
};

// A display name no server answers on (no socket, no lock file for it).
std::string unusedDisplayName();

// A program's path from PATH; empty when it is not there.
std::string findProgram(const std::string& name);

} // namespace tv3test
