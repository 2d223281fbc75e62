#include "platform/EditorView.h"

namespace platform {

// Steinberg::kPlatformTypeX11EmbedWindowID, spelt out so that the platform
// layer needs no VST3 header.
const char* editorViewPlatformType() { return "X11EmbedWindowID"; }

const char* editorPlatformWord() { return "Linux"; }

} // namespace platform
