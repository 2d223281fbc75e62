// The process-wide cache of loaded plug-in modules. A bundle's code is loaded
// once, on its first successful open, and stays loaded with its factory until
// the process ends: plug-ins commonly keep threads and static state that do not
// survive being unloaded.
#pragma once

#include "platform/Bundle.h"

#include <pluginterfaces/base/ipluginbase.h>

#include <mutex>
#include <string>

namespace tv3m {

struct ModuleEntry {
    std::string path; // canonical path, the cache key
    platform::LoadedCode code;
    Steinberg::IPluginFactory* factory = nullptr; // one reference, never released
};

// Held for the whole of an open (plug-in entry points included) and a close.
// Recursive, because a plug-in's entry code may itself reach back into the host.
std::recursive_mutex& moduleLock();

// Must be called with moduleLock() held.
ModuleEntry* findModule(const std::string& canonicalPath);
ModuleEntry* addModule(std::string canonicalPath, platform::LoadedCode code,
                       Steinberg::IPluginFactory* factory);

} // namespace tv3m

struct tv3m_module {
    tv3m::ModuleEntry* entry;
    Steinberg::IPluginFactory* factory; // one reference for this handle
};
