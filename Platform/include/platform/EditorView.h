// How plug-in editor views meet this platform's windows: the VST3 platform
// type an editor is attached with, and the platform's name in messages.
#pragma once

namespace platform {

// The platform type passed to IPlugView::isPlatformTypeSupported and
// attached ("X11EmbedWindowID" on Linux: the parent is an X11 window id).
const char* editorViewPlatformType();

// The platform as users call it, for "this plug-in has no %s editor".
const char* editorPlatformWord();

} // namespace platform
