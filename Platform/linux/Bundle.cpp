// Linux VST3 bundles: a folder Name.vst3 whose code is
// Contents/<arch>-linux/Name.so, or a single .so file named *.vst3.
#include "platform/Bundle.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

constexpr std::string_view kArchSuffix = "-linux";
constexpr std::size_t kErrorLimit = 255;

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool endsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(std::move(name));
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> sharedObjectsIn(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : listDirectory(folder)) {
        if (endsWith(name, ".so") && isRegularFile(folder + "/" + name)) found.push_back(name);
    }
    return found;
}

// The machine an ELF file was built for, or nothing for a file that is not ELF.
std::optional<std::string> elfArchitecture(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    unsigned char header[20] = {};
    ssize_t got = ::pread(fd, header, sizeof header, 0);
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, ELFMAG, SELFMAG) != 0) {
        return std::nullopt;
    }
    // e_machine sits at offset 18 in both ELF classes, in the file's byte order.
    const bool bigEndian = header[EI_DATA] == ELFDATA2MSB;
    const unsigned machine = bigEndian ? (header[18] << 8 | header[19]) : (header[19] << 8 | header[18]);
    switch (machine) {
    case EM_X86_64: return "x86_64";
    case EM_AARCH64: return "aarch64";
    case EM_386: return "i386";
    case EM_ARM: return "armv7l";
    case EM_RISCV: return "riscv64";
    case EM_PPC64: return "ppc64le";
    default: return "machine " + std::to_string(machine);
    }
}

std::string cutToLimit(std::string text) {
    if (text.size() <= kErrorLimit) return text;
    std::size_t end = kErrorLimit;
    // Never leave half a UTF-8 character at the end.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

} // namespace

bool isUsableBundlePath(const std::string& canonicalPath) {
    return !canonicalPath.empty() && canonicalPath.size() < PATH_MAX;
}

std::optional<BundleLayout> describeBundle(const std::string& canonicalPath) {
    struct stat st {};
    if (::stat(canonicalPath.c_str(), &st) != 0) return std::nullopt;

    BundleLayout layout;
    if (S_ISREG(st.st_mode)) {
        layout.executable = canonicalPath;
        if (auto arch = elfArchitecture(canonicalPath)) layout.architectures.push_back(*arch);
        return layout;
    }
    if (!S_ISDIR(st.st_mode)) return std::nullopt;

    std::string leaf = canonicalPath.substr(canonicalPath.find_last_of('/') + 1);
    if (endsWith(leaf, ".vst3")) leaf.resize(leaf.size() - 5);
    const std::string contents = canonicalPath + "/Contents";

    for (const std::string& name : listDirectory(contents)) {
        if (name.size() > kArchSuffix.size() && endsWith(name, kArchSuffix) &&
            !sharedObjectsIn(contents + "/" + name).empty()) {
            layout.architectures.push_back(name.substr(0, name.size() - kArchSuffix.size()));
        }
    }

    const std::string folder = contents + "/" + hostArchitecture() + std::string(kArchSuffix);
    layout.executable = folder + "/" + leaf + ".so";
    if (!isRegularFile(layout.executable)) {
        // Some bundles name their binary differently from the folder; accept
        // the one shared object when there is exactly one.
        const auto objects = sharedObjectsIn(folder);
        if (objects.size() == 1) layout.executable = folder + "/" + objects.front();
    }
    return layout;
}

const std::string& hostArchitecture() {
#if defined(__x86_64__)
    static const std::string name = "x86_64";
#elif defined(__aarch64__)
    static const std::string name = "aarch64";
#elif defined(__i386__)
    static const std::string name = "i386";
#elif defined(__riscv) && __riscv_xlen == 64
    static const std::string name = "riscv64";
#else
#error "unknown architecture: name it for bundle folders"
#endif
    return name;
}

std::string hostArchitectureWord() { return hostArchitecture(); }

std::string architectureListWords(const std::vector<std::string>& architectures) {
    std::vector<std::string> sorted = architectures;
    std::sort(sorted.begin(), sorted.end());
    std::string words;
    for (const std::string& arch : sorted) {
        if (!words.empty()) words += ", ";
        words += arch;
    }
    return words;
}

std::optional<LoadedCode> loadExecutable(const std::string& executable, std::string& error) {
    if (!isRegularFile(executable)) {
        error = cutToLimit("no executable at " + executable);
        return std::nullopt;
    }
    ::dlerror();
    void* handle = ::dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = cutToLimit(why && *why ? why : "unknown reason");
        return std::nullopt;
    }
    return LoadedCode{handle};
}

void* findFunction(const LoadedCode& code, const char* name) {
    return code.handle ? ::dlsym(code.handle, name) : nullptr;
}

EntryResult callBundleEntry(const LoadedCode& code) {
    // Linux plug-ins start with ModuleEntry(handle); the matching ModuleExit is
    // never called because modules stay loaded for the life of the process.
    using ModuleEntryFn = bool (*)(void*);
    auto entry = reinterpret_cast<ModuleEntryFn>(findFunction(code, "ModuleEntry"));
    if (!entry) return EntryResult::absent;
    return entry(code.handle) ? EntryResult::started : EntryResult::refused;
}

} // namespace platform
