// The probe's parameter list: a few ordinary parameters and the UTF-16 edge
// cases a host has to convert (texts that fill their String128, surrogates).
#pragma once

#include <pluginterfaces/vst/ivsteditcontroller.h>

namespace probe {

Steinberg::int32 parameterCount();
// The index of a parameter id in the list, or -1.
int parameterIndex(Steinberg::Vst::ParamID id);
Steinberg::tresult parameterInfo(Steinberg::int32 index, Steinberg::Vst::ParameterInfo& info);
Steinberg::tresult parameterText(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value,
                                 Steinberg::Vst::String128 text);

} // namespace probe
