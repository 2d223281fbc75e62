// The atoms a window manager makes on the X server, made on a server that
// has none (a bare Xvfb), for plug-ins that look them up only if they exist.
#pragma once

#include <chrono>

namespace platform::x11 {

// Interns them over a connection of its own, closed again at once. Waits at
// most `limit` for the connection (a server that takes it and never answers
// cannot hold the caller up) and does nothing when DISPLAY is not set or no
// server answers.
void internWindowManagerAtoms(std::chrono::milliseconds limit);

} // namespace platform::x11
