// Lends the session's main loop to plug-ins as their run loop: what their
// editors watch and time runs on the main thread, between requests, whichever
// thread registered it (the loop takes registrations from any thread).
#pragma once

#include "platform/MainLoop.h"

// Instances created afterwards offer `loop` to their plug-ins. The loop must
// outlive every instance.
void lendMainLoopToPlugins(platform::MainLoop& loop);
