#include "support/BundleCopy.h"

#include <filesystem>

namespace tv3test {

namespace fs = std::filesystem;

std::string fixtureBundle(const std::string& fixtureDir, const std::string& name) {
    return (fs::path(fixtureDir) / (name + ".vst3")).string();
}

std::string bundleExecutable(const std::string& bundle, const std::string& arch) {
    const fs::path p(bundle);
    const fs::path folder = p / "Contents" / arch;
    const fs::path named = folder / (p.stem().string() + ".so");
    if (fs::exists(named)) return named.string();
    // A copy under another name still holds the original's file.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        if (entry.path().extension() == ".so") return entry.path().string();
    }
    return named.string();
}

std::string copyBundle(const std::string& bundle, const std::string& destination) {
    fs::copy(bundle, destination, fs::copy_options::recursive);
    return destination;
}

} // namespace tv3test
