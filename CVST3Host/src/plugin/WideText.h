#pragma once

#include <pluginterfaces/vst/vsttypes.h>

#include <cstdint>

namespace tv3m {

// A plug-in's UTF-16 text (at most the 128 units of a String128, up to its
// first zero unit) as UTF-8 in at most `limit` bytes, NUL included. The
// result is always valid UTF-8: a character is never split (a surrogate
// pair that does not fit is left out whole), and an unpaired surrogate
// becomes U+FFFD. Nothing happens for a null destination or a limit below 1.
void copyWide(char* destination, std::int32_t limit, const Steinberg::Vst::TChar* source);

} // namespace tv3m
