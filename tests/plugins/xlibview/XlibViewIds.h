// What the Xlib view fixtures and the tests that drive them agree on. The
// audio side, the controller and the log are the X11 view fixture's (its
// class id for the controller, its log variable and its sizes); only the
// effect's class id and the view differ.
#pragma once

namespace xlibviewfx {

inline constexpr const char* kEffectCid = "545633586C6962564945574546464354";

// Lines the view adds to the X11 view fixture's log:
//   "created atoms found"    at creation, WM_PROTOCOLS and WM_STATE existed
//   "created atoms missing"  at creation, one of them was None
//   "created no display"     at creation, no display could be opened
//   "attached W H"           its window was made and used as frameworks do
//   "state read" / "state unreadable"   reading WM_STATE at attach worked
//                            or failed (BadAtom with a None atom)
//   "synced"                 after attach's requests had all been answered
//   "own handler error N"    (xlib_view_own_handler) its own error handler
//                            saw X error N
//   "removed"                removed(), after its window was destroyed twice
inline constexpr const char* kAtomsFound = "created atoms found";
inline constexpr const char* kAtomsMissing = "created atoms missing";

} // namespace xlibviewfx
