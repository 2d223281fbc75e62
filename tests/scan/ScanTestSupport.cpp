#include "ScanTestSupport.h"

#include "support/BundleCopy.h"

namespace scantest {

std::string helperPath() { return TV3_HELPER_PATH; }
std::string fixture(const std::string& name) { return tv3test::fixtureBundle(TV3_FIXTURE_DIR, name); }
std::string bundleArch() { return TV3_BUNDLE_ARCH; }

tv3test::ProcessResult runScan(const std::string& path, const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{helperPath(), "--scan-one", path};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tv3test::runProcess(arguments);
}

SplitReport splitReport(const std::string& out) {
    SplitReport split;
    const std::string start = "\n" + std::string(PluginBridgeScanResult::marker);
    const std::size_t at = out.rfind(start);
    if (at == std::string::npos || out.empty() || out.back() != '\n') return split;
    split.before = out.substr(0, at);
    split.json = out.substr(at + start.size(), out.size() - 1 - (at + start.size()));
    split.wellFormed = split.json.find('\n') == std::string::npos;
    return split;
}

std::string escapedSlashes(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '/') out += '\\';
        out += ch;
    }
    return out;
}

} // namespace scantest
