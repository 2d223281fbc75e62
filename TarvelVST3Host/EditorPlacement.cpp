#include "EditorPlacement.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace editor {

std::optional<EditorRect> anchorFrom(const std::optional<std::vector<double>>& numbers) {
    if (!numbers || numbers->size() != 4) return std::nullopt;
    const auto& n = *numbers;
    for (double v : n)
        if (!std::isfinite(v)) return std::nullopt;
    return EditorRect{n[0], n[1], n[2], n[3]};
}

bool intersects(const EditorRect& a, const EditorRect& b) {
    return a.minX() < b.maxX() && b.minX() < a.maxX() && a.minY() < b.maxY() && b.minY() < a.maxY();
}

Point placeBeside(const EditorRect& anchor, double w, double h, const std::vector<EditorScreen>& screens,
                  const std::optional<EditorRect>& mainVisibleFrame) {
    EditorRect bounds = anchor;
    bool found = false;
    for (const EditorScreen& screen : screens) {
        if (intersects(screen.frame, anchor)) {
            bounds = screen.visibleFrame;
            found = true;
            break;
        }
    }
    if (!found && mainVisibleFrame) bounds = *mainVisibleFrame;

    double x0 = anchor.maxX() + kAnchorGap;
    if (bounds.maxX() < x0 + w) x0 = anchor.minX() - kAnchorGap - w;
    const double y0 = anchor.maxY() - h;
    const double x = std::min(std::max(x0, bounds.minX()), std::max(bounds.minX(), bounds.maxX() - w));
    const double y = std::min(std::max(y0, bounds.minY()), std::max(bounds.minY(), bounds.maxY() - h));
    return {x, y};
}

std::int32_t roundedSize(double value) {
    if (!std::isfinite(value)) return 0;
    const double r = std::round(value); // halves away from zero
    if (r >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (r <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<std::int32_t>(r);
}

ActivationStep followActivation(bool open, std::optional<int> activatedPID, int parentPID, int ownPID,
                                bool hiddenWhileAway, const std::function<bool()>& parentHasWindow) {
    if (!open || !activatedPID) return ActivationStep::nothing;
    if (*activatedPID == parentPID) return hiddenWhileAway ? ActivationStep::show : ActivationStep::nothing;
    if (*activatedPID == ownPID) return ActivationStep::nothing;
    if (!parentHasWindow()) return hiddenWhileAway ? ActivationStep::show : ActivationStep::nothing;
    return ActivationStep::hide;
}

bool countsAsInteraction(const platform::EditorInput& input, const platform::EditorPanel* panel) {
    using Kind = platform::EditorInput::Kind;
    if (!panel || input.panel != panel) return false;
    return input.kind == Kind::buttonRelease || input.kind == Kind::keyRelease || input.kind == Kind::scroll;
}

} // namespace editor
