// The probe's editor view, shaped by the record's editor switches and logging
// what the host does to it. It uses the host's run loop as Linux editors do.
#pragma once

#include <pluginterfaces/gui/iplugview.h>

namespace probe {

// A new view with one reference, for createView.
Steinberg::IPlugView* makeView();

// The live view's resizeView through its frame; -1 without either.
Steinberg::int32 resizeLiveView(Steinberg::int32 width, Steinberg::int32 height);

} // namespace probe
