#include "HelperScan.h"

#include "TarvelPluginBridge/PluginBridgeText.h"
#include "tv3m.h"

#include <cstring>
#include <vector>

namespace {

// Fixed-size record fields are NUL-terminated but may end in the middle of a
// UTF-8 character; decode them leniently.
std::string textOf(const char* field, std::size_t width) {
    return replacingInvalidUTF8(std::string_view(field, ::strnlen(field, width)));
}

} // namespace

PluginBridgeScanResult HelperScan::scan(const std::string& path) {
    // File names are bytes and need not be UTF-8: the bundle is opened by its
    // real bytes, and only the report's copy of the path, which must be UTF-8,
    // shows U+FFFD for what is not.
    const std::string reportedPath = replacingInvalidUTF8(path);
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(path.c_str(), error, sizeof error);
    if (!module) {
        PluginBridgeScanResult failed;
        failed.path = reportedPath;
        failed.instrumentClasses.emplace();
        failed.error = textOf(error, sizeof error - 1);
        return failed;
    }

    char vendorBuffer[128] = {};
    std::string vendor;
    if (tv3m_module_vendor(module, vendorBuffer, sizeof vendorBuffer) == 0) {
        vendor = textOf(vendorBuffer, sizeof vendorBuffer);
    }

    std::vector<PluginBridgeScannedClass> all;
    const int32_t count = tv3m_module_class_count(module);
    for (int32_t i = 0; i < count; ++i) {
        tv3m_class_info info{};
        if (tv3m_module_class_info(module, i, &info) != 0) continue;
        PluginBridgeScannedClass c{
            textOf(info.cid, sizeof info.cid),
            textOf(info.name, sizeof info.name),
            textOf(info.vendor, sizeof info.vendor),
            textOf(info.category, sizeof info.category),
            textOf(info.subCategories, sizeof info.subCategories),
        };
        if (c.vendor.empty()) c.vendor = vendor;
        all.push_back(std::move(c));
    }
    // The module stays open: the process ends right after the report.
    return PluginBridgeScanResult::sorting(reportedPath, vendor, all);
}
