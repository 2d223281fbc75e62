#include "support/InstalledPlugins.h"

#include "tv3m.h"

#include <algorithm>
#include <filesystem>

namespace tv3test {

std::vector<std::string> installedBundleNames() {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(kInstalledPluginDir, ignored)) {
        if (entry.path().extension() == ".vst3") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string installedBundlePath(const std::string& name) { return kInstalledPluginDir + "/" + name + ".vst3"; }

std::string firstAudioClass(const std::string& bundlePath) {
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(bundlePath.c_str(), error, sizeof error);
    if (!module) return {};
    std::string cid;
    for (int32_t i = 0; i < tv3m_module_class_count(module) && cid.empty(); ++i) {
        tv3m_class_info info{};
        if (tv3m_module_class_info(module, i, &info) == 0 && std::string(info.category) == "Audio Module Class") {
            cid = info.cid;
        }
    }
    tv3m_module_close(module);
    return cid;
}

} // namespace tv3test
