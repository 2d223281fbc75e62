// The Xlib fixture's process-wide display, opened when an instance is made.
// Its view is x11viewfx::makeView (XlibView.cpp), which the shared controller
// calls.
#pragma once

namespace xlibviewfx {

// Opens the display once and looks up WM_PROTOCOLS and WM_STATE only if they
// exist, as JUCE does when a plug-in instance is made; with FX_OWN_HANDLER it
// also installs an error handler of its own.
void atCreation();

} // namespace xlibviewfx
