// The probe's process-wide state: the shared record and the helpers every
// probe object uses to write into it.
#pragma once

#include "probe/ProbeRecord.h"

#include <pluginterfaces/base/ibstream.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>

#include <cstdint>

namespace probe {

ProbeRecord& record();
void logCall(ProbeCall call);

// Class ids as 16 bytes.
const Steinberg::TUID& effectCid();
const Steinberg::TUID& instrumentCid();
const Steinberg::TUID& controllerCid();

// The component handler of the live separate controller (or single object),
// for the exported edit functions. Set and cleared by setComponentHandler.
void setCurrentHandler(Steinberg::Vst::IComponentHandler* handler);
Steinberg::Vst::IComponentHandler* currentHandler();

// Reads a stream to its end into `bytes` (at most `capacity` kept); answers
// the total number of bytes read.
std::int32_t readAll(Steinberg::IBStream* stream, std::uint8_t* bytes, std::int32_t capacity);
bool writeAll(Steinberg::IBStream* stream, const std::uint8_t* bytes, std::int32_t size);

// Keeps one reference to a host object in `slot` when the keepHostObjects
// switch is set and the slot is still empty.
void keep(Steinberg::FUnknown*& slot, Steinberg::FUnknown* object);

} // namespace probe
