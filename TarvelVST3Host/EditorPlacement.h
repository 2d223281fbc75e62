// Where the editor panel goes, and the small rules that follow the plug-in,
// the user and the parent application: pure functions over rectangles and
// process ids, so that each can be tested to the point.
#pragma once

#include "platform/EditorWindowSystem.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace editor {

using platform::EditorRect;
using platform::EditorScreen;

// Between the anchor and the panel.
inline constexpr double kAnchorGap = 8;

// The anchor sent with "openEditor": exactly four numbers (x, y, width,
// height) make a rectangle; any other count, or none, is no anchor.
std::optional<EditorRect> anchorFrom(const std::optional<std::vector<double>>& numbers);

// The bottom-left corner of a panel of `panel` size (its outer frame) beside
// `anchor`: to its right with the top edges aligned, or to its left when it
// would pass the right edge of the bounds, kept within the bounds. The bounds
// are the visible frame of the first screen whose frame meets the anchor,
// else the main screen's visible frame, else the anchor itself.
struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
Point placeBeside(const EditorRect& anchor, double panelWidth, double panelHeight,
                  const std::vector<EditorScreen>& screens, const std::optional<EditorRect>& mainVisibleFrame);

// Whether two rectangles overlap; rectangles that only share an edge do not.
bool intersects(const EditorRect& a, const EditorRect& b);

// The nearest integer, halves going away from zero, within 32 bits.
std::int32_t roundedSize(double value);

// What an activation of another application does to the panel. The panel
// follows its parent only while the parent has a window on the display: a
// parent without one (a program in a terminal) never becomes active again,
// so the panel then stays like an ordinary window, and comes back if it had
// been hidden before the parent's last window went. `parentHasWindow` is
// asked only when a third application became active.
enum class ActivationStep { nothing, hide, show };
ActivationStep followActivation(bool open, std::optional<int> activatedPID, int parentPID, int ownPID,
                                bool hiddenWhileAway, const std::function<bool()>& parentHasWindow);

// Whether an input counts as one of the user's interactions with `panel`:
// the end of a gesture (a button or key released, each scroll step) aimed
// at it.
bool countsAsInteraction(const platform::EditorInput& input, const platform::EditorPanel* panel);

} // namespace editor
