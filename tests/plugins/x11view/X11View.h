// The fixture's editor view: a window of its own inside the host's X11
// window, painted, served from the host's run loop. See X11View.cpp.
#pragma once

#include <pluginterfaces/gui/iplugview.h>

namespace x11viewfx {

class Controller;

// A new view of the controller's (held until the view is released).
Steinberg::IPlugView* makeView(Controller* controller);

} // namespace x11viewfx
