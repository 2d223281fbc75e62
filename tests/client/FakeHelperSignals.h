// Waiting until a compiled fake helper may be sent the signal it waits for.
#pragma once

#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <string>

// The held fake blocks `signal` from its start (until then the signal would
// end it) and then waits for it in sigwait, during which the kernel shows it
// unblocked; either sight means it is safe to send. Waits up to 30 s.
inline bool readyForSignal(pid_t pid, int signal) {
    const std::string proc = "/proc/" + std::to_string(pid) + "/";
    const double deadline = PluginBridgeChannel::now() + 30;
    while (PluginBridgeChannel::now() < deadline) {
        std::string wchan;
        std::getline(std::ifstream(proc + "wchan"), wchan);
        if (wchan.find("sigtimedwait") != std::string::npos) return true;
        std::ifstream status(proc + "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("State:", 0) == 0 && line.find("zombie") != std::string::npos) return false;
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            if (mask & (1ULL << (signal - 1))) return true;
        }
        ::usleep(10000);
    }
    return false;
}
