// Descriptors 0, 1 and 2 as the process starts: a parent may have closed any
// of them. Left closed, the next descriptor opened takes the number, and what
// is meant for it (a plug-in's print, the protocol's copy of a pipe) lands in
// whatever happens to hold that number.
#pragma once

#include <string>

// Exit status of a helper that could not make its descriptors safe to serve
// on (sysexits' EX_OSERR): what it or a plug-in printed could reach the
// parent's pipe, so it stops before loading anything.
inline constexpr int kStatusUnsafeDescriptors = 71;

// Puts /dev/null, open for reading and writing, on each of 0, 1 and 2 that is
// closed. Returns an empty text when all three are open afterwards, else what
// failed.
std::string openClosedStandardDescriptors();
