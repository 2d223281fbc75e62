// What the X11 view fixtures and the tests that drive them agree on: class
// ids, the one parameter, the view's sizes, its colours and its log.
#pragma once

#include <cstdint>

namespace x11viewfx {

// Class ids as the scan lists them (32 upper-case hex digits).
inline constexpr const char* kEffectCid = "54563358313156494557454646454354";
inline constexpr const char* kControllerCid = "5456335831315649455743545F524C4B";

// The one parameter; the first click in the view moves it (one edit).
inline constexpr unsigned kLevelId = 7;
inline constexpr double kLevelDefault = 0.5;

// The view's size until the host says otherwise.
inline constexpr int kWidth = 400;
inline constexpr int kHeight = 300;
// x11_view_resizes asks for this size about 100 ms after it is attached.
inline constexpr int kRequestedWidth = 800;
inline constexpr int kRequestedHeight = 600;

// The view is painted kBackground, with a kMark rectangle over its middle
// half, so that a picture of it is never one colour (24-bit RGB pixels).
inline constexpr std::uint32_t kBackground = 0x2E8B57;
inline constexpr std::uint32_t kMark = 0xFFD700;

// The file the view appends one line to for each thing the host did, when
// this environment variable names one:
//   "attached W H"  attached, W by H      "onSize W H"  onSize
//   "embedded"      XEMBED_EMBEDDED_NOTIFY "mapped"      its window was mapped
//   "runloop"       its descriptor handler ran for the first time
//   "edit"          the first click made its edit
//   "removed"       removed()
//   "refused WHY"   attached() refused ("no run loop", "no display", ...)
inline constexpr const char* kLogVariable = "TV3_X11VIEW_LOG";

} // namespace x11viewfx
