// Runs a program to its end (or to a time limit) and keeps everything it wrote.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tv3test {

struct ProcessResult {
    std::string out; // everything written to standard output
    std::string err; // everything written to standard error
    // The exit status when the process exited; -1 when it was ended by a signal.
    int exitStatus = -1;
    // The signal that ended the process, 0 when it exited.
    int signal = 0;
    // The time limit passed: the process was killed with SIGKILL.
    bool timedOut = false;

    bool exited(int status) const { return signal == 0 && !timedOut && exitStatus == status; }
};

// Starts arguments[0] (a path, not searched in PATH) with the given arguments,
// standard input from /dev/null, and collects both output streams until the
// process ends. A process still running after `limit` is killed.
ProcessResult runProcess(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds limit = std::chrono::seconds(30));

} // namespace tv3test
