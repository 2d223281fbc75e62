// Naming threads, so that a person looking at a helper in a debugger or in
// top sees which thread is which.
#pragma once

#include <string>

namespace platform {

// Names the calling thread. The platform may keep only a prefix of the name
// (Linux keeps 15 bytes).
void nameCurrentThread(const std::string& name);

} // namespace platform
