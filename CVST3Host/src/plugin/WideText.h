#pragma once

#include <pluginterfaces/vst/vsttypes.h>

#include <cstdint>

namespace tv3m {

// A plug-in's UTF-16 text (at most the 128 units of a String128, up to its
// first zero unit) as UTF-8 in at most `limit` bytes, NUL included. A
// character is never split; an unpaired surrogate is kept as its own 3-byte
// sequence. Nothing happens for a null destination or a limit below 1.
void copyWide(char* destination, std::int32_t limit, const Steinberg::Vst::TChar* source);

} // namespace tv3m
