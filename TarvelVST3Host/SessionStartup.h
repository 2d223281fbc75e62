// Session mode's start: the parent's process id, the protocol descriptors
// moved out of the plug-ins' way, the channel, the session and the main loop.
#pragma once

#include "StandardDescriptors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The value after the first "--parent-pid", when there is one and it is a
// signed 32-bit decimal number (an optional sign, then digits only) above 0;
// else `fallback`. 0 and negative numbers name process groups, or every
// process, to kill(): no one process whose exit could be watched.
std::int32_t parentPIDFromArguments(const std::vector<std::string>& arguments, std::int32_t fallback);

// Strict signed 32-bit decimal: "+42", "-7", "42"; nothing for " 42", "42x",
// "+", "" or a value out of range.
std::optional<std::int32_t> parseInt32(std::string_view text);

struct ProtocolDescriptors {
    int read = -1;
    int write = -1;
    std::string failure; // empty when the descriptors were moved
};

// Copies standard input and output to close-on-exec descriptors at 3 or above
// for the protocol, then puts /dev/null on 0 and standard error on 1, so that
// whatever a plug-in prints lands on standard error and never in a frame.
// Expects 0, 1 and 2 open. When a step fails, `failure` says which, and
// descriptor 1 may still be the protocol's pipe: no session can run then.
ProtocolDescriptors moveProtocolDescriptors();

// Serves the session until it ends the process. Returns
// kStatusUnsafeDescriptors, after a line on standard error, when the
// descriptors could not be moved; otherwise returns only if the main loop
// ever stops by itself.
int runSession(const std::vector<std::string>& arguments);
