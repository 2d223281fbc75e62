// Speaker arrangement negotiation for an instance's audio buses.
#pragma once

#include "plugin/PluginInstance.h"

#include <vector>

namespace tv3m {

// One arrangement per bus of the direction: the requested width for the main
// bus (and every input bus of an instrument), the plug-in's own current
// arrangement for the others where it reports one.
std::vector<Steinberg::Vst::SpeakerArrangement>
requestedArrangements(tv3m_plugin& plugin, Steinberg::Vst::BusDirection direction, Steinberg::int32 count,
                      Steinberg::int32 channels);

// Whether bus 0 of the direction now has `channels` channels. A plug-in that
// answers neither getBusArrangement nor getBusInfo is taken at its word.
bool mainBusMatches(tv3m_plugin& plugin, Steinberg::Vst::BusDirection direction, Steinberg::int32 channels);

// Channel count of one audio bus, 0 when the plug-in tells nothing.
Steinberg::int32 busChannelCount(tv3m_plugin& plugin, Steinberg::Vst::BusDirection direction, Steinberg::int32 index);

} // namespace tv3m
