// TarvelVST3Host: hosts one VST3 plug-in for a parent application in a process
// of its own, so that a plug-in that crashes or hangs costs the parent a closed
// pipe, not its life.
#include "CommandLine.h"
#include "HelperScan.h"
#include "SessionStartup.h"
#include "StandardDescriptors.h"
#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kScanTimeLimit = std::chrono::seconds(60);
constexpr int kStatusScanHung = 3;
constexpr int kStatusUsage = 64;

// A parent may hand us a non-blocking pipe: wait for room rather than cut
// the report short, the same way the channel writes its frames.
void writeAll(int fd, const std::string& bytes) { pluginBridgeWriteAll(fd, bytes.data(), bytes.size()); }

[[noreturn]] void runScan(const std::string& path) {
    // A plug-in that hangs while loading must not hold the parent's scan up
    // for ever; nothing is shared with the scan, so ending the process from
    // here is safe whenever it happens.
    std::thread([] {
        std::this_thread::sleep_for(kScanTimeLimit);
        ::_exit(kStatusScanHung);
    }).detach();

    const PluginBridgeScanResult result = HelperScan::scan(path);
    // What the plug-in printed through the C library while loading is still
    // in its buffer: let it out first, or _exit would drop it after the report.
    std::fflush(stdout);
    writeAll(STDOUT_FILENO, result.reportBytes());
    // Skip exit handlers and static destructors: plug-in code is still loaded
    // and may not survive them.
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor: a scan's report and a session's
    // protocol both rely on 0, 1 and 2 being what they say.
    if (const std::string failure = openClosedStandardDescriptors(); !failure.empty()) {
        writeAll(STDERR_FILENO, "TarvelVST3Host: " + failure + "\n");
        return kStatusUnsafeDescriptors;
    }
    const std::vector<std::string> arguments(argv, argv + argc);
    switch (selectMode(arguments)) {
    case Mode::scanOne:
        runScan(arguments[2]);
    case Mode::session:
        return runSession(arguments);
    case Mode::usage:
        break;
    }
    writeAll(STDERR_FILENO, std::string(kUsageText));
    std::exit(kStatusUsage);
}
