#include "module/ModuleCache.h"

#include <memory>
#include <vector>

namespace tv3m {
namespace {

// Entries are never removed; only the list storage goes at process exit.
std::vector<std::unique_ptr<ModuleEntry>>& cache() {
    static std::vector<std::unique_ptr<ModuleEntry>> entries;
    return entries;
}

} // namespace

std::recursive_mutex& moduleLock() {
    static std::recursive_mutex lock;
    return lock;
}

ModuleEntry* findModule(const std::string& canonicalPath) {
    for (const auto& entry : cache()) {
        if (entry->path == canonicalPath) return entry.get();
    }
    return nullptr;
}

ModuleEntry* addModule(std::string canonicalPath, platform::LoadedCode code,
                       Steinberg::IPluginFactory* factory) {
    // Released at exit without touching the factory: the plug-in's code may
    // already be gone by then.
    auto entry = std::unique_ptr<ModuleEntry>(new ModuleEntry{std::move(canonicalPath), code, factory});
    cache().push_back(std::move(entry));
    return cache().back().get();
}

} // namespace tv3m
