// The editor window on a fake window system and main loop, with the probe's
// editor view behind the tv3m layer: construction sizes and style, the
// failure text, close() and the close button, the resize step, the user's
// resizes, following activations and counting interactions.
#include "HelperEditorWindow.h"
#include "editorwindow/FakeWindowSystem.h"
#include "instance/ProbeAccess.h"
#include "sessionlogic/FakeMainLoop.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using editortest::FakePanel;
using editortest::FakeWindowSystem;
using platform::EditorInput;
using Kind = EditorInput::Kind;

constexpr int kParentPID = 4242;

class EditorWindowTest : public probetest::ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (!r) return;
        r->ed.makeView = 1;
        r->ed.width = 500;
        r->ed.height = 400;
    }

    std::shared_ptr<HelperEditorWindow> open(std::optional<std::vector<double>> anchor = std::nullopt) {
        if (!plugin) plugin = probetest::createEffect();
        HelperEditorWindow::Environment environment{&windows, &loop, static_cast<int>(::getpid())};
        return HelperEditorWindow::open(plugin.get(), "Probe", anchor, kParentPID, status, environment);
    }
    FakePanel& panel() { return *windows.panels.back(); }

    FakeWindowSystem windows;
    FakeMainLoop loop;
    std::shared_ptr<HelperStatus> status = std::make_shared<HelperStatus>();
    probetest::PluginPtr plugin;
};

TEST_F(EditorWindowTest, IsBuiltAttachedPlacedAndShown) {
    auto window = open(std::vector<double>{100, 200, 800, 600});
    ASSERT_TRUE(window->isOpen());
    ASSERT_EQ(windows.madeSizes.size(), 1u);
    EXPECT_EQ(windows.madeSizes[0], (std::pair<double, double>{500, 400}));
    EXPECT_EQ(panel().title, "Probe");
    EXPECT_EQ(r->edLog.lastParent, FakePanel::kContainer) << "attached inside the container";
    EXPECT_FALSE(panel().resizable);
    EXPECT_TRUE(panel().visible);
    // Beside the anchor: the frame (content and title bar) to its right,
    // top edges aligned.
    EXPECT_TRUE(panel().placed);
    EXPECT_DOUBLE_EQ(panel().origin.x, 908);
    EXPECT_DOUBLE_EQ(panel().origin.y, 800 - (400 + FakePanel::kTitleBar));
    // The resize poll, the input monitor and the activation observer run.
    EXPECT_EQ(loop.timers().size(), 1u);
    EXPECT_EQ(windows.monitors.size(), 1u);
    EXPECT_EQ(windows.observers.size(), 1u);
    window->close();
}

// A platform counting from the top left: the anchor is turned over before
// the placement, so the panel's top still lines up with the anchor's.
TEST_F(EditorWindowTest, TheAnchorIsReadInThePlatformsOwnCoordinates) {
    windows.topLeftRootHeight = 1080;
    auto window = open(std::vector<double>{100, 300, 800, 600});
    ASSERT_TRUE(window->isOpen());
    EXPECT_DOUBLE_EQ(panel().origin.x, 908);
    // The anchor's top edge is 1080 - 300 = 780 in the bottom-left frame.
    EXPECT_DOUBLE_EQ(panel().origin.y, 780 - (400 + FakePanel::kTitleBar));
    window->close();
}

TEST_F(EditorWindowTest, ConstructionSizes) {
    struct Case {
        const char* name;
        int preferredWidth, preferredHeight; // 0 0: no preferred size
        int attachedWidth, attachedHeight;   // what the attach reports (0: as before)
        std::pair<double, double> made;
        std::vector<std::pair<double, double>> setAfterAttach;
    };
    const Case cases[] = {
        {"no preferred size: 480 × 320, and a 0-wide attach size leaves it", 0, 0, 0, 0, {480, 320}, {}},
        {"40 × 30 is raised to 64 × 48, then set to the attach's size", 40, 30, 300, 200, {64, 48}, {{300, 200}}},
        {"the attach's size is taken without a minimum", 500, 400, 50, 20, {500, 400}, {{50, 20}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plugin.reset();
        probetest::probe().reset();
        windows = FakeWindowSystem();
        SetUp();
        r->ed.width = c.preferredWidth;
        r->ed.height = c.preferredHeight;
        r->ed.attachedWidth = c.attachedWidth;
        r->ed.attachedHeight = c.attachedHeight;
        auto window = open();
        EXPECT_EQ(windows.madeSizes.at(0), c.made);
        EXPECT_EQ(panel().contentSizes, c.setAfterAttach);
        EXPECT_TRUE(panel().centered) << "no anchor: centred";
        window->close();
    }
}

TEST_F(EditorWindowTest, OnlyAResizableViewGetsAResizablePanel) {
    r->ed.canResize = 1;
    auto window = open();
    EXPECT_TRUE(panel().resizable);
    window->close();
}

TEST_F(EditorWindowTest, AnAttachThatFailsGivesTheTextAndShowsNothing) {
    r->ed.refuseAttach = 1;
    try {
        open();
        FAIL() << "no failure";
    } catch (const HelperEditorWindow::Failure& failure) {
        EXPECT_EQ(failure.kind, HelperEditorWindow::Failure::Kind::refused);
        EXPECT_STREQ(failure.what(), "the plug-in's editor refused to attach to the window");
    }
    ASSERT_EQ(windows.panels.size(), 1u);
    EXPECT_EQ(panel().shown, 0);
    EXPECT_TRUE(panel().released);
    EXPECT_EQ(panel().delegate, nullptr);
    EXPECT_TRUE(loop.timers().empty());
    EXPECT_TRUE(windows.monitors.empty());
}

TEST_F(EditorWindowTest, NoPanelGivesTheNoDisplayTextAndTouchesNoView) {
    windows.makesPanels = false;
    try {
        open();
        FAIL() << "no failure";
    } catch (const HelperEditorWindow::Failure& failure) {
        EXPECT_STREQ(failure.what(), "no display is available for the editor");
    }
    EXPECT_EQ(r->edLog.attachedCalls, 0) << "nothing to attach the view to";
    EXPECT_TRUE(windows.monitors.empty());
}

TEST_F(EditorWindowTest, CloseTwiceDetachesOnce) {
    auto window = open();
    window->close();
    window->close();
    EXPECT_FALSE(window->isOpen());
    EXPECT_EQ(r->edLog.removedCalls, 1);
    EXPECT_EQ(r->edLog.viewsAlive, 0);
    EXPECT_FALSE(panel().visible);
    EXPECT_EQ(panel().hidden, 1) << "the second close does nothing at all";
    EXPECT_EQ(panel().delegate, nullptr);
    EXPECT_TRUE(loop.timers().empty());
    EXPECT_TRUE(windows.monitors.empty());
    EXPECT_TRUE(windows.observers.empty());
}

TEST_F(EditorWindowTest, TheCloseButtonClosesAndTellsTheStatusNotTheParent) {
    auto window = open();
    status->setEditorOpen(true);
    ASSERT_NE(panel().delegate, nullptr);
    EXPECT_FALSE(panel().delegate->panelShouldClose()) << "the panel is hidden by us, not closed by the platform";
    EXPECT_FALSE(window->isOpen());
    EXPECT_FALSE(panel().visible);
    EXPECT_EQ(r->edLog.removedCalls, 1);
    EXPECT_FALSE(status->take().editorOpen);
}

TEST_F(EditorWindowTest, ResizeRequestsAreFollowedAndEmptyOnesDropped) {
    auto window = open();
    const int before = r->edLog.onSizeCalls;
    ASSERT_EQ(probe_->resizeView(0, 300), 0);
    window->applyResizeRequest();
    EXPECT_EQ(r->edLog.onSizeCalls, before) << "0 × 300 is consumed and ignored";
    ASSERT_EQ(probe_->resizeView(800, 600), 0);
    // The poll's timer runs the step.
    ASSERT_EQ(loop.timers().size(), 1u);
    loop.timers().begin()->second.tick();
    EXPECT_EQ(panel().contentSizes.back(), (std::pair<double, double>{800, 600}));
    EXPECT_EQ(r->edLog.lastOnSizeWidth, 800);
    EXPECT_EQ(r->edLog.lastOnSizeHeight, 600);
    EXPECT_EQ(r->edLog.onSizeCalls, before + 1) << "a panel that cannot be resized by the user tells the view once";
    window->applyResizeRequest();
    EXPECT_EQ(r->edLog.onSizeCalls, before + 1) << "taken once";
    window->close();
}

TEST_F(EditorWindowTest, UserResizesReachOnlyAResizableView) {
    auto fixed = open();
    const int before = r->edLog.onSizeCalls;
    panel().userResizes(640.5, 479.4);
    EXPECT_EQ(r->edLog.onSizeCalls, before);
    fixed->close();

    r->ed.canResize = 1;
    auto resizable = open();
    panel().userResizes(640.5, 479.4);
    EXPECT_EQ(r->edLog.lastOnSizeWidth, 641);
    EXPECT_EQ(r->edLog.lastOnSizeHeight, 479);
    resizable->close();
}

TEST_F(EditorWindowTest, HidesWhileAThirdApplicationIsActive) {
    auto window = open();
    windows.activate(kParentPID + 1);
    EXPECT_TRUE(window->hiddenWhileAway());
    EXPECT_FALSE(panel().visible);
    windows.activate(static_cast<int>(::getpid()));
    EXPECT_FALSE(panel().visible) << "this process becoming active changes nothing";
    windows.activate(kParentPID);
    EXPECT_FALSE(window->hiddenWhileAway());
    EXPECT_TRUE(panel().visible);
    const int shown = panel().shown;
    windows.activate(kParentPID);
    EXPECT_EQ(panel().shown, shown) << "the parent again, panel not hidden: nothing";

    windows.activate(kParentPID + 1);
    window->raise();
    EXPECT_FALSE(window->hiddenWhileAway());
    EXPECT_TRUE(panel().visible);
    window->close();
}

// The parent is asked about at each activation, not once: it may open its
// first window, or close its last, while the editor is open.
TEST_F(EditorWindowTest, FollowsTheParentOnlyWhileItHasAWindow) {
    windows.pidsWithoutWindow = {kParentPID};
    auto window = open();
    windows.activate(kParentPID + 1);
    EXPECT_FALSE(window->hiddenWhileAway());
    EXPECT_TRUE(panel().visible) << "hidden for a parent that can never become active";
    EXPECT_EQ(panel().hidden, 0);
    EXPECT_EQ(windows.windowQueries, std::vector<int>{kParentPID});

    windows.pidsWithoutWindow.clear(); // the parent shows a window
    windows.activate(kParentPID + 1);
    EXPECT_TRUE(window->hiddenWhileAway());
    EXPECT_FALSE(panel().visible);

    windows.pidsWithoutWindow = {kParentPID}; // and closes it again
    windows.activate(kParentPID + 2);
    EXPECT_FALSE(window->hiddenWhileAway());
    EXPECT_TRUE(panel().visible) << "left hidden by a parent that can no longer bring it back";
    window->close();
}

TEST_F(EditorWindowTest, CountsTheEndsOfGesturesAimedAtThePanel) {
    auto window = open();
    const FakePanel other(10, 10);
    // A click (press and release), a key (press and release), a drag (press,
    // moves, release), a scroll step, and a click in another window.
    const EditorInput inputs[] = {
        {Kind::buttonPress, &panel()}, {Kind::buttonRelease, &panel()}, {Kind::keyPress, &panel()},
        {Kind::keyRelease, &panel()},  {Kind::buttonPress, &panel()},   {Kind::motion, &panel()},
        {Kind::motion, &panel()},      {Kind::buttonRelease, &panel()}, {Kind::scroll, &panel()},
        {Kind::buttonPress, &other},   {Kind::buttonRelease, &other},
    };
    for (const EditorInput& input : inputs) windows.deliver(input);
    EXPECT_EQ(status->take().edits, 4);
    window->close();
    windows.deliver({Kind::buttonRelease, &panel()});
    EXPECT_EQ(status->take().edits, 0) << "nothing is counted once closed";
}

TEST_F(EditorWindowTest, CallbacksAfterTheWindowIsGoneDoNothing) {
    auto window = open();
    auto tick = loop.timers().begin()->second.tick;
    auto monitor = windows.monitors.begin()->second;
    auto observer = windows.observers.begin()->second;
    const platform::EditorPanel* aimedAt = panel().handle; // what the window compared inputs with
    window.reset(); // the session let go of it
    EXPECT_EQ(r->edLog.removedCalls, 1) << "a window let go of is closed";
    const int hiddenBefore = panel().hidden;
    tick();
    monitor({Kind::buttonRelease, aimedAt});
    observer(kParentPID + 1);
    EXPECT_EQ(status->take().edits, 0);
    EXPECT_EQ(panel().hidden, hiddenBefore) << "a third application's activation reached a gone window";
}

} // namespace
