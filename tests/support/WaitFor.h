// Polling with a deadline, for conditions that another process makes true.
#pragma once

#include <chrono>
#include <thread>

namespace tv3test {

// Calls `ready` until it answers true or `seconds` have passed, pausing
// `step` between calls (and calling `between`, when given, in each pause).
// Answers the last answer of `ready`.
template <class Ready>
bool waitFor(Ready&& ready, double seconds, std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
}

} // namespace tv3test
