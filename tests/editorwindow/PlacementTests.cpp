// Where the panel goes and how it follows: the placement beside the anchor,
// the anchor's form, the rounding of user resizes, the activation rule and
// the interaction filter, each as a table of cases.
#include "EditorPlacement.h"
#include "editorwindow/FakeWindowSystem.h"

#include <gtest/gtest.h>

namespace {

using editor::ActivationStep;
using editor::Point;
using platform::EditorInput;
using platform::EditorRect;
using platform::EditorScreen;

const EditorRect kVisible{0, 0, 1440, 875};
const std::vector<EditorScreen> kOneScreen{{{0, 0, 1440, 900}, kVisible}};

struct PlaceCase {
    const char* name;
    EditorRect anchor;
    double width, height;
    std::vector<EditorScreen> screens;
    std::optional<EditorRect> mainVisible;
    Point want;
};

TEST(Placement, BesideTheAnchorWithinTheBounds) {
    const EditorScreen left{{0, 0, 1000, 800}, {0, 0, 1000, 780}};
    const EditorScreen right{{1000, 0, 1000, 800}, {1000, 40, 1000, 760}};
    const PlaceCase cases[] = {
        {"to the right, top edges aligned", {100, 200, 800, 600}, 500, 400, kOneScreen, kVisible, {908, 400}},
        {"too wide for the right: left of the anchor, clamped to the edge", {100, 200, 800, 600}, 600, 400,
         kOneScreen, kVisible, {0, 400}},
        {"a right edge landing exactly on the bound stays right", {100, 200, 800, 600}, 532, 400, kOneScreen,
         kVisible, {908, 400}},
        {"one point more goes left", {100, 200, 800, 600}, 533, 400, kOneScreen, kVisible, {0, 400}},
        {"taller than the bounds: at their bottom", {100, 200, 800, 600}, 300, 1000, kOneScreen, kVisible,
         {908, 0}},
        {"the first screen the anchor meets gives the bounds", {1100, 100, 300, 300}, 400, 300, {left, right},
         kVisible, {1408, 100}},
        {"an anchor on no screen uses the main screen", {5000, 5000, 100, 100}, 200, 100, kOneScreen, kVisible,
         {1240, 775}},
        {"no main screen either: the anchor bounds the panel", {5000, 5000, 100, 100}, 50, 50, {}, std::nullopt,
         {5000, 5050}},
        {"sharing only an edge is not meeting", {1000, 100, 50, 50}, 100, 50, {left, right}, EditorRect{0, 0, 3000, 3000},
         {1058, 100}},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Point got = editor::placeBeside(c.anchor, c.width, c.height, c.screens, c.mainVisible);
        EXPECT_DOUBLE_EQ(got.x, c.want.x);
        EXPECT_DOUBLE_EQ(got.y, c.want.y);
    }
}

TEST(Placement, OnlyFourNumbersMakeAnAnchor) {
    EXPECT_EQ(editor::anchorFrom(std::vector<double>{1, 2, 3, 4}), (EditorRect{1, 2, 3, 4}));
    for (const auto& numbers : {std::vector<double>{1, 2, 3}, std::vector<double>{1, 2, 3, 4, 5}, std::vector<double>{}})
        EXPECT_FALSE(editor::anchorFrom(numbers)) << numbers.size() << " numbers";
    EXPECT_FALSE(editor::anchorFrom(std::nullopt));
}

TEST(Placement, UserResizesRoundHalvesAwayFromZero) {
    const std::pair<double, std::int32_t> cases[] = {{640.5, 641}, {479.4, 479}, {479.5, 480}, {-0.5, -1},
                                                     {300.0, 300}, {1e12, INT32_MAX}};
    for (const auto& [value, want] : cases) EXPECT_EQ(editor::roundedSize(value), want) << value;
}

TEST(Activation, HidesForAThirdApplicationAndComesBackWithTheParent) {
    constexpr int parent = 100, self = 200, other = 300;
    struct Case {
        const char* name;
        bool open;
        std::optional<int> pid;
        bool hidden;
        bool parentHasWindow;
        ActivationStep want;
        bool asksForWindows; // whether the parent's windows are looked up
    };
    const Case cases[] = {
        {"a third application hides the panel", true, other, false, true, ActivationStep::hide, true},
        {"this process itself changes nothing", true, self, false, true, ActivationStep::nothing, false},
        {"the parent shows a hidden panel", true, parent, true, true, ActivationStep::show, false},
        {"the parent, panel not hidden: nothing", true, parent, false, true, ActivationStep::nothing, false},
        {"no process id: nothing", true, std::nullopt, false, true, ActivationStep::nothing, false},
        {"a closed window: nothing", false, other, false, true, ActivationStep::nothing, false},
        // A parent with no window (a terminal program) never becomes active:
        // the panel is not hidden for it, and one hidden before comes back.
        {"a parent without a window: a third application changes nothing", true, other, false, false,
         ActivationStep::nothing, true},
        {"a parent without a window: a hidden panel comes back", true, other, true, false, ActivationStep::show,
         true},
        {"a parent without a window: this process changes nothing", true, self, false, false,
         ActivationStep::nothing, false},
        {"a parent with a window: a third application hides a hidden panel again", true, other, true, true,
         ActivationStep::hide, true},
    };
    for (const Case& c : cases) {
        int asked = 0;
        const auto parentHasWindow = [&] {
            ++asked;
            return c.parentHasWindow;
        };
        EXPECT_EQ(editor::followActivation(c.open, c.pid, parent, self, c.hidden, parentHasWindow), c.want) << c.name;
        EXPECT_EQ(asked > 0, c.asksForWindows) << c.name;
    }
}

TEST(Interactions, OnlyTheEndOfAGestureAimedAtThePanelCounts) {
    editortest::FakePanel panel(100, 100), other(100, 100);
    using Kind = EditorInput::Kind;
    struct Case {
        Kind kind;
        const platform::EditorPanel* target;
        bool counts;
    };
    const Case cases[] = {
        {Kind::buttonRelease, &panel, true}, {Kind::keyRelease, &panel, true}, {Kind::scroll, &panel, true},
        {Kind::buttonPress, &panel, false},  {Kind::keyPress, &panel, false},  {Kind::motion, &panel, false},
        {Kind::buttonRelease, &other, false}, {Kind::buttonRelease, nullptr, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(editor::countsAsInteraction({c.kind, c.target}, &panel), c.counts)
            << static_cast<int>(c.kind) << (c.target == &panel ? " at the panel" : " elsewhere");
    }
}

} // namespace
