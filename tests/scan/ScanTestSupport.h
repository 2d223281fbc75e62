// Shared by the scan suites: where the helper and the fixture bundles are, and
// how to run a scan through the real executable and read its report back.
#pragma once

#include "TarvelPluginBridge/PluginBridgeScanResult.h"
#include "support/Subprocess.h"

#include <optional>
#include <string>
#include <vector>

namespace scantest {

std::string helperPath();
// The built fixture bundle <name>.vst3.
std::string fixture(const std::string& name);
// The folder name of this machine's code inside a bundle ("x86_64-linux").
std::string bundleArch();

// TarvelVST3Host --scan-one <path> [extra...]
tv3test::ProcessResult runScan(const std::string& path, const std::vector<std::string>& extra = {});

// A report split into its parts. `wellFormed` holds when standard output ends
// with a line feed, the marker starts the last line, and nothing but the JSON
// lies between them.
struct SplitReport {
    bool wellFormed = false;
    std::string before; // whatever came before the report's leading line feed
    std::string json;
};
SplitReport splitReport(const std::string& out);

// The JSON text as the report writes it: forward slashes escaped.
std::string escapedSlashes(const std::string& text);

} // namespace scantest
