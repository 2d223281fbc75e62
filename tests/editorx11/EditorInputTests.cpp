// The user's gestures in the panel count as edits in "status", each once,
// beside the plug-in's own edits; gestures elsewhere do not count.
#include "editorx11/EditorX11Harness.h"

#include "support/WaitFor.h"

#include <functional>
#include <thread>

namespace editorx11 {
namespace {

struct Gestures {
    const char* name;
    // Done with the panel's rectangle in root coordinates.
    std::function<void(tv3test::XTestClient&, const XRect&)> make;
    // What the statuses must add up to: the gestures that count, plus the
    // view's one edit on its first button press (when that press reaches it).
    std::int64_t edits;
};

void PrintTo(const Gestures& g, std::ostream* os) { *os << g.name; }

class EditorInput : public EditorX11Test, public testing::WithParamInterface<Gestures> {};

TEST_P(EditorInput, CountsEachGestureInThePanelOnce) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    ASSERT_TRUE(waitPainted(panel->window));
    const std::optional<XRect> at = xc.geometry(panel->window);
    ASSERT_TRUE(at);
    EXPECT_EQ(editsUntil(1, 2 * kPollSeconds), 0) << "edits before any gesture";

    GetParam().make(xc, *at);
    // The counts may come over several statuses (the helper polls the
    // plug-in's edits every 0.2 s); once they add up, a later one is 0.
    const std::int64_t expected = GetParam().edits;
    EXPECT_EQ(editsUntil(expected), expected);
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * kPollSeconds));
    EXPECT_EQ(status().editCount, std::optional<std::int64_t>(0)) << "edits that came late, or twice";
    EXPECT_EQ(logged("edit"), GetParam().edits > 0 ? 1 : 0);
    quitCleanly();
}

int centreX(const XRect& r) { return r.x + r.width / 2; }
int centreY(const XRect& r) { return r.y + r.height / 2; }

INSTANTIATE_TEST_SUITE_P(
    Gestures, EditorInput,
    testing::Values(
        // Three releases of the left button, one key, and the view's edit.
        Gestures{"ThreeClicksAndAKey",
                 [](tv3test::XTestClient& xc, const XRect& r) {
                     for (int i = 0; i < 3; ++i) xc.click(centreX(r) + 20 * i, centreY(r));
                     xc.key();
                 },
                 5},
        // Each scroll step counts, as do the other buttons.
        Gestures{"ScrollStepsAndOtherButtons",
                 [](tv3test::XTestClient& xc, const XRect& r) {
                     xc.click(centreX(r), centreY(r), 4);
                     xc.click(centreX(r), centreY(r), 5);
                     xc.click(centreX(r), centreY(r), 6);
                     xc.click(centreX(r), centreY(r), 7);
                     xc.click(centreX(r), centreY(r), 2);
                     xc.click(centreX(r), centreY(r), 3);
                     xc.click(centreX(r), centreY(r), 8);
                     xc.click(centreX(r), centreY(r), 9);
                 },
                 9},
        // Each click made in the panel counts although the pointer has left
        // it by the time the helper sees the click.
        Gestures{"ClicksEachFollowedByALeave",
                 [](tv3test::XTestClient& xc, const XRect& r) {
                     for (int i = 0; i < 3; ++i) {
                         xc.click(centreX(r) + 20 * i, centreY(r));
                         xc.movePointer(20, 20);
                     }
                 },
                 4},
        // Keys while the focus follows the pointer: each one where it was
        // pressed, the pointer leaving at once.
        Gestures{"KeysEachFollowedByALeave",
                 [](tv3test::XTestClient& xc, const XRect& r) {
                     xc.click(centreX(r), centreY(r));
                     for (int i = 0; i < 3; ++i) {
                         xc.movePointer(centreX(r), centreY(r));
                         xc.key();
                         xc.movePointer(20, 20);
                     }
                 },
                 5},
        // The same outside the panel, on the root: nothing counts.
        Gestures{"OutsideThePanel",
                 [](tv3test::XTestClient& xc, const XRect&) {
                     for (int i = 0; i < 3; ++i) xc.click(20, 20 + 10 * i);
                     xc.click(20, 20, 4);
                     xc.key();
                 },
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace editorx11
