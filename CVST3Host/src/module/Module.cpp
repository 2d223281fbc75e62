// tv3m_module_*: opening bundles through the cache and reading their factory.
#include "Errors.h"
#include "module/ModuleCache.h"
#include "plugin/WideText.h"
#include "tv3m.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace Steinberg;

namespace {

// Copies at most `limit` bytes, stopping at the source's first NUL, then a NUL.
// `destination` has room for limit + 1 bytes.
void copyField(char* destination, const char* source, std::size_t limit) {
    const std::size_t n = ::strnlen(source, limit);
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

void formatClassId(char out[33], const TUID cid) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        const auto byte = static_cast<unsigned char>(cid[i]);
        out[2 * i] = digits[byte >> 4];
        out[2 * i + 1] = digits[byte & 0x0F];
    }
    out[32] = '\0';
}

tv3m_module* newHandle(tv3m::ModuleEntry* entry) {
    entry->factory->addRef();
    return new tv3m_module{entry, entry->factory};
}

std::string canonicalPath(const char* path) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved)) return resolved;
    return path;
}

// UTF-16 field of `units` units, which need not hold a zero unit, as UTF-8
// of at most `limit` bytes and then a NUL. Copied into a terminated buffer
// first so that a full field is not read past its end.
template <std::size_t units>
void copyWideField(char* destination, std::size_t limit, const char16 (&source)[units]) {
    static_assert(units < 128, "one unit of room is kept for the terminating zero");
    Vst::String128 terminated{};
    std::copy(std::begin(source), std::end(source), terminated);
    tv3m::copyWide(destination, static_cast<std::int32_t>(limit + 1), terminated);
}

// The class as only the Unicode factory describes it: factories built with
// wide class names may refuse the narrow records for those classes.
bool readUnicodeClassInfo(IPluginFactory* factory, int32 index, tv3m_class_info* info) {
    IPluginFactory3* factory3 = nullptr;
    if (factory->queryInterface(IPluginFactory3_iid, reinterpret_cast<void**>(&factory3)) != kResultOk ||
        !factory3) {
        return false;
    }
    PClassInfoW record{};
    const tresult result = factory3->getClassInfoUnicode(index, &record);
    factory3->release();
    if (result != kResultOk) return false;
    formatClassId(info->cid, record.cid);
    copyWideField(info->name, 64, record.name);
    copyWideField(info->vendor, 64, record.vendor);
    copyField(info->category, record.category, 32);
    copyField(info->subCategories, record.subCategories, 127);
    return true;
}

bool readNarrowClassInfo(IPluginFactory* factory, int32 index, tv3m_class_info* info) {
    IPluginFactory2* factory2 = nullptr;
    if (factory->queryInterface(IPluginFactory2_iid, reinterpret_cast<void**>(&factory2)) == kResultOk &&
        factory2) {
        PClassInfo2 record{};
        const tresult result = factory2->getClassInfo2(index, &record);
        factory2->release();
        // A refusal here is final for the narrow records: the first version
        // is not asked as well.
        if (result != kResultOk) return false;
        formatClassId(info->cid, record.cid);
        copyField(info->name, record.name, 64);
        copyField(info->vendor, record.vendor, 64);
        copyField(info->category, record.category, 32);
        copyField(info->subCategories, record.subCategories, 127);
        return true;
    }

    PClassInfo record{};
    if (factory->getClassInfo(index, &record) != kResultOk) return false;
    formatClassId(info->cid, record.cid);
    copyField(info->name, record.name, 64);
    copyField(info->category, record.category, 32);
    return true;
}

using GetFactoryProc = IPluginFactory* (*)();

} // namespace

extern "C" tv3m_module* tv3m_module_open(const char* path, char* error, int32_t errorSize) {
    using tv3m::setError;
    if (!path || !*path) {
        setError(error, errorSize, "no plug-in path");
        return nullptr;
    }
    std::string canonical = canonicalPath(path);

    std::lock_guard<std::recursive_mutex> hold(tv3m::moduleLock());
    // A cached bundle is served from memory without looking at the disk again,
    // so one that was deleted or replaced since still opens as it was.
    if (tv3m::ModuleEntry* cached = tv3m::findModule(canonical)) return newHandle(cached);

    if (::access(canonical.c_str(), F_OK) != 0) {
        setError(error, errorSize, "the plug-in is no longer installed at this location");
        return nullptr;
    }
    if (!platform::isUsableBundlePath(canonical)) {
        setError(error, errorSize, "the plug-in path is not valid");
        return nullptr;
    }
    const std::optional<platform::BundleLayout> layout = platform::describeBundle(canonical);
    if (!layout) {
        setError(error, errorSize, "the .vst3 is not a valid bundle");
        return nullptr;
    }
    const auto& archs = layout->architectures;
    if (!archs.empty() &&
        std::find(archs.begin(), archs.end(), platform::hostArchitecture()) == archs.end()) {
        setError(error, errorSize, "the plug-in has no %s build (%s only), so Quor cannot load it",
                 platform::hostArchitectureWord().c_str(), platform::architectureListWords(archs).c_str());
        return nullptr;
    }

    std::string loadError;
    const std::optional<platform::LoadedCode> code = platform::loadExecutable(layout->executable, loadError);
    if (!code) {
        setError(error, errorSize, "the plug-in's code could not be loaded (%s)",
                 loadError.empty() ? "unknown reason" : loadError.c_str());
        return nullptr;
    }
    // From here on a failure leaves the code loaded (unloading plug-in code
    // that has run is not safe) but makes no cache entry, so the next open
    // tries again.
    auto getFactory = reinterpret_cast<GetFactoryProc>(platform::findFunction(*code, "GetPluginFactory"));
    if (!getFactory) {
        setError(error, errorSize, "not a VST3 module (no GetPluginFactory)");
        return nullptr;
    }
    if (platform::callBundleEntry(*code) == platform::EntryResult::refused) {
        setError(error, errorSize, "the plug-in's bundleEntry refused to start");
        return nullptr;
    }
    IPluginFactory* factory = getFactory();
    if (!factory) {
        setError(error, errorSize, "the plug-in returned no factory");
        return nullptr;
    }
    return newHandle(tv3m::addModule(std::move(canonical), *code, factory));
}

extern "C" int32_t tv3m_module_class_count(tv3m_module* module) {
    if (!module || !module->factory) return 0;
    return module->factory->countClasses();
}

extern "C" int32_t tv3m_module_class_info(tv3m_module* module, int32_t index, tv3m_class_info* info) {
    if (!module || !module->factory || !info) return -1;
    std::memset(info, 0, sizeof *info);

    // Both readers write the record only when the factory answered.
    if (readNarrowClassInfo(module->factory, index, info)) return 0;
    if (readUnicodeClassInfo(module->factory, index, info)) return 0;
    return -1;
}

extern "C" int32_t tv3m_module_vendor(tv3m_module* module, char* buffer, int32_t size) {
    if (!module || size <= 0 || !buffer || !module->factory) return -1;
    PFactoryInfo record{};
    if (module->factory->getFactoryInfo(&record) != kResultOk) return -1;
    const std::size_t limit = std::min<std::size_t>(static_cast<std::size_t>(size) - 1, sizeof record.vendor);
    copyField(buffer, record.vendor, limit);
    return 0;
}

extern "C" void tv3m_module_close(tv3m_module* module) {
    if (!module) return;
    std::lock_guard<std::recursive_mutex> hold(tv3m::moduleLock());
    if (module->factory) module->factory->release();
    delete module;
}
