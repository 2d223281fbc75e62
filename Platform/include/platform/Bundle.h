// Plug-in bundles as the platform knows them: where a bundle's code lives, which
// machine architectures it was built for, loading that code and finding its
// exported functions. Platform-free code sees only this header.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a plug-in bundle on disk holds, before anything is loaded.
struct BundleLayout {
    // The file to load. May name a file that does not exist; loading then fails
    // with a description of what is missing.
    std::string executable;
    // Architecture names the bundle was built for (for example "x86_64"),
    // sorted; empty when the platform cannot tell.
    std::vector<std::string> architectures;
};

// A path the platform cannot treat as a bundle location at all (too long to be
// a file-system path, for example).
bool isUsableBundlePath(const std::string& canonicalPath);

// Reads the layout of the bundle at an existing path, or nothing when the path
// is not a plug-in bundle.
std::optional<BundleLayout> describeBundle(const std::string& canonicalPath);

// The name of this process's architecture, in the spelling of
// BundleLayout::architectures ("x86_64").
const std::string& hostArchitecture();

// Words for "the plug-in has no %s build (%s only)": the host architecture as
// users call it, and the bundle's architectures joined with ", ".
std::string hostArchitectureWord();
std::string architectureListWords(const std::vector<std::string>& architectures);

// Loaded code of a bundle. Never unloaded.
struct LoadedCode {
    void* handle = nullptr;
};

// Loads the executable; on failure gives nothing and sets `error` to the
// platform's description, at most 255 bytes.
std::optional<LoadedCode> loadExecutable(const std::string& executable, std::string& error);

// An exported function of loaded code, or null.
void* findFunction(const LoadedCode& code, const char* name);

// The bundle's start-up entry point, if it exports one: "started" when it
// returned true, "refused" when it returned false.
enum class EntryResult { absent, started, refused };
EntryResult callBundleEntry(const LoadedCode& code);

} // namespace platform
