// How the editor ends and where it hides: the window manager's close button,
// "closeEditor", "quit" with it open, another application becoming active,
// and a session with no display to show it on.
#include "editorx11/EditorX11Harness.h"

#include "plugins/x11view/X11ViewIds.h"
#include "support/WaitFor.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace editorx11 {
namespace {

TEST_F(EditorX11Test, TheCloseButtonClosesTheEditorAndItOpensAgain) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    xc.sendDeleteWindow(panel->window);
    EXPECT_TRUE(waitEditorOpen(false)) << "\"status\" still says the editor is open";
    EXPECT_TRUE(waitNoMappedWindow()) << "the panel is still shown";
    EXPECT_TRUE(waitLogged("removed"));
    EXPECT_EQ(logged("removed"), 1);

    // The session goes on, and the editor opens again with a new view.
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    panel = waitPanel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(tv3test::waitFor([&] { return logged("attached 400 300") == 2; }, kShowSeconds));
    EXPECT_TRUE(waitEditorOpen(true));
    EXPECT_TRUE(waitPainted(panel->window));
    quitCleanly();
    EXPECT_EQ(logged("removed"), 2);
}

TEST_F(EditorX11Test, ThePanelHidesWhileAThirdApplicationIsActiveAndReturnsWithTheParent) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    // The parent (this test: the helper was given our pid) shows a window,
    // which the user can activate to bring the panel back.
    const xcb_window_t parent = xc.makeWindow({1700, 800, 50, 50}, 0x404040, ::getpid());

    // A window of a third process (the X server's own pid will do) is made
    // active, as the window manager does when the user clicks it.
    const xcb_window_t third = xc.makeWindow({1700, 900, 50, 50}, 0x404040, x.pid());
    xc.setActiveWindow(third);
    EXPECT_TRUE(tv3test::waitFor([&] { return !xc.isViewable(panel->window); }, kShowSeconds))
        << "still shown while a third application is active";
    EXPECT_EQ(status().editorOpen, std::optional<bool>(true)) << "hidden, not closed";
    EXPECT_EQ(logged("removed"), 0);

    // "raiseEditor" shows it meanwhile; the next activation of a third
    // application hides it again.
    EXPECT_EQ(sessiontest::succeed(helper(), sessiontest::request(Op::raiseEditor)).message, Message::reply());
    EXPECT_TRUE(tv3test::waitFor([&] { return xc.isViewable(panel->window); }, kShowSeconds))
        << "raiseEditor did not show it";
    const xcb_window_t another = xc.makeWindow({1600, 900, 50, 50}, 0x404040, x.pid());
    xc.setActiveWindow(another);
    EXPECT_TRUE(tv3test::waitFor([&] { return !xc.isViewable(panel->window); }, kShowSeconds))
        << "still shown after raiseEditor while a third application is active";

    // The parent becomes active.
    xc.setActiveWindow(parent);
    EXPECT_TRUE(tv3test::waitFor([&] { return xc.isViewable(panel->window); }, kShowSeconds))
        << "not shown again when the parent became active";
    EXPECT_EQ(xc.geometry(panel->window), (XRect{408, 200, 400, 300})) << "shown where it was";
    EXPECT_TRUE(waitPainted(panel->window));
    quitCleanly();
}

// A parent with no window of its own (a program in a terminal, as tarvel
// is) never becomes active: the panel does not hide for a third application
// then, and follows the parent again once it shows a window.
TEST_F(EditorX11Test, ThePanelOfAParentWithoutAWindowStaysWhileAThirdApplicationIsActive) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    ASSERT_TRUE(waitPainted(panel->window));
    ASSERT_TRUE(xc.windowsOfPid(::getpid()).empty()) << "the parent has a window";
    // A window of ours without _NET_WM_PID, and one that carries our pid
    // but is never shown (as a toolkit's client leader is), are no windows
    // the user can activate.
    xc.makeWindow({1500, 900, 50, 50}, 0x404040);
    xc.makeWindow({1400, 900, 50, 50}, 0x404040, ::getpid(), /*map=*/false);

    const xcb_window_t third = xc.makeWindow({1700, 900, 50, 50}, 0x404040, x.pid());
    xc.setActiveWindow(third);
    // A click in the panel, made after the activation, reaches the helper
    // after it: once the click counts (with the view's own edit), the
    // activation has been handled, and a hidden panel would take no click.
    const std::optional<XRect> at = xc.geometry(panel->window);
    ASSERT_TRUE(at);
    xc.click(at->x + at->width / 2, at->y + at->height / 2);
    EXPECT_EQ(editsUntil(2), 2) << "the click in the panel did not count";
    xc.sync();
    EXPECT_TRUE(xc.isViewable(panel->window)) << "hidden while the parent has no window to come back with";

    // The parent shows a window: the panel follows it again.
    const xcb_window_t parent = xc.makeWindow({1700, 800, 50, 50}, 0x404040, ::getpid());
    const xcb_window_t another = xc.makeWindow({1600, 900, 50, 50}, 0x404040, x.pid());
    xc.setActiveWindow(another);
    EXPECT_TRUE(tv3test::waitFor([&] { return !xc.isViewable(panel->window); }, kShowSeconds))
        << "still shown while a third application is active and the parent has a window";
    xc.setActiveWindow(parent);
    EXPECT_TRUE(tv3test::waitFor([&] { return xc.isViewable(panel->window); }, kShowSeconds))
        << "not shown again when the parent became active";
    quitCleanly();
}

struct Ending {
    const char* name;
    bool closeFirst;
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class EditorEnding : public EditorX11Test, public testing::WithParamInterface<Ending> {};

TEST_P(EditorEnding, TheHelperExitsWithZeroAndLeavesNoWindow) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    if (GetParam().closeFirst) {
        const Reply r = sessiontest::succeed(helper(), sessiontest::request(Op::closeEditor));
        EXPECT_EQ(r.message, Message::reply());
        EXPECT_EQ(status().editorOpen, std::optional<bool>(false));
        EXPECT_TRUE(waitNoMappedWindow()) << "the panel is still shown after closeEditor";
        EXPECT_EQ(logged("removed"), 1);
        // Closing what is closed is no error.
        EXPECT_EQ(sessiontest::succeed(helper(), sessiontest::request(Op::closeEditor)).message, Message::reply());
    }
    quitCleanly();
    EXPECT_EQ(logged("removed"), 1) << "the view was not removed exactly once";
}

INSTANTIATE_TEST_SUITE_P(Endings, EditorEnding,
                         testing::Values(Ending{"CloseEditorThenQuit", true}, Ending{"QuitWithTheEditorOpen", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// No X server to connect to: DISPLAY unset, or naming a display no server
// answers on. These need no Xvfb.
struct NoDisplay {
    const char* name;
    bool unset;
};

void PrintTo(const NoDisplay& n, std::ostream* os) { *os << n.name; }

class EditorWithoutDisplay : public testing::TestWithParam<NoDisplay> {};

TEST_P(EditorWithoutDisplay, OpenEditorSaysSoAndTheSessionGoesOn) {
    tv3test::TempDir dir;
    const std::string logPath = dir / "view.log";
    ::setenv(x11viewfx::kLogVariable, logPath.c_str(), 1);
    if (GetParam().unset) {
        ::unsetenv("DISPLAY");
    } else {
        ::setenv("DISPLAY", tv3test::unusedDisplayName().c_str(), 1);
    }
    auto helper = sessiontest::startHelper();
    ::unsetenv("DISPLAY");
    ASSERT_TRUE(helper);
    sessiontest::succeed(*helper, sessiontest::openRequest(sessiontest::fixture("x11_view"), x11viewfx::kEffectCid));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Reply r = sessiontest::call(*helper, openEditorRequest(std::vector<double>{100, 200, 300, 200}));
        EXPECT_EQ(r.message.error, std::optional<std::string>("no display is available for the editor"));
        const Message s = sessiontest::succeed(*helper, sessiontest::request(Op::status)).message;
        EXPECT_EQ(s.editorOpen, std::optional<bool>(false));
        EXPECT_EQ(s.editCount, std::optional<std::int64_t>(0));
    }
    // closeEditor and raiseEditor with nothing open are no errors.
    EXPECT_EQ(sessiontest::succeed(*helper, sessiontest::request(Op::raiseEditor)).message, Message::reply());
    EXPECT_EQ(sessiontest::succeed(*helper, sessiontest::request(Op::closeEditor)).message, Message::reply());
    // The instance still works.
    EXPECT_FALSE(sessiontest::parameters(*helper).empty());
    EXPECT_TRUE(helper->quit(sessiontest::kEndSeconds).exitedWith(0));
    std::ifstream log(logPath);
    std::string line;
    EXPECT_FALSE(std::getline(log, line)) << "the view was attached (or refused) anyway: " << line;
    ::unsetenv(x11viewfx::kLogVariable);
}

INSTANTIATE_TEST_SUITE_P(Displays, EditorWithoutDisplay,
                         testing::Values(NoDisplay{"DisplayUnset", true}, NoDisplay{"NoServerOnDisplay", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that takes the connection and never answers: "open" tries to
// make the window manager's atoms on it only for a bounded time, and
// "openEditor" gives up on it, as on no display, and the session goes on.
TEST(EditorDisplayThatNeverAnswers, DoesNotHoldUpOpen) {
    ::mkdir("/tmp/.X11-unix", 01777);
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    std::string display, path;
    for (int attempt = 0; attempt < 20 && path.empty(); ++attempt) {
        display = tv3test::unusedDisplayName();
        const std::string candidate = "/tmp/.X11-unix/X" + display.substr(1);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", candidate.c_str());
        if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) path = candidate;
    }
    ASSERT_FALSE(path.empty()) << "no display number to listen on";
    ASSERT_EQ(::listen(server, 8), 0);

    ::setenv("DISPLAY", display.c_str(), 1);
    auto helper = sessiontest::startHelper();
    ::unsetenv("DISPLAY");
    ASSERT_TRUE(helper);
    const Reply r = sessiontest::call(*helper, sessiontest::openRequest(sessiontest::fixture("x11_view"),
                                                                        x11viewfx::kEffectCid));
    EXPECT_FALSE(r.message.error) << *r.message.error;
    const Reply editor = sessiontest::call(*helper, openEditorRequest(std::vector<double>{100, 200, 300, 200}));
    EXPECT_EQ(editor.message.error, std::optional<std::string>("no display is available for the editor"));
    EXPECT_EQ(sessiontest::succeed(*helper, sessiontest::request(Op::status)).message.editorOpen,
              std::optional<bool>(false));
    EXPECT_FALSE(sessiontest::parameters(*helper).empty());
    EXPECT_TRUE(helper->quit(sessiontest::kEndSeconds).exitedWith(0));
    ::close(server);
    ::unlink(path.c_str());
}

} // namespace
} // namespace editorx11
