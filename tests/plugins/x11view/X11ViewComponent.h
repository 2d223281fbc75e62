// The fixture's audio side: a stereo (or mono) effect that passes its input
// through unchanged.
#pragma once

#include "x11view/X11ViewObject.h"

#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>

namespace x11viewfx {

Steinberg::Vst::IComponent* makeComponent();

} // namespace x11viewfx
