// The X tests' tools, checked on their own before anything relies on them:
// the test's own Xvfb, and what the X client finds, reads and does there.
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "support/XTestClient.h"
#include "support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using tv3test::XRect;
using tv3test::XTestClient;
using tv3test::XvfbDisplay;

constexpr std::uint32_t kTeal = 0x008080, kOrange = 0xFF8C00;

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

TEST(Xvfb, StartsItsOwnServerNamesItInDisplayAndEndsIt) {
    ::setenv("DISPLAY", ":4711-before", 1); // not a server: only what comes back is looked at
    pid_t server = -1;
    {
        XvfbDisplay x;
        ASSERT_TRUE(x.ok()) << x.error();
        server = x.pid();
        ASSERT_GT(server, 0);
        ASSERT_EQ(x.name().rfind(':', 0), 0u) << x.name();
        EXPECT_EQ(std::string(std::getenv("DISPLAY")), x.name());
        XTestClient client; // from DISPLAY
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.rootWidth(), XvfbDisplay::kWidth);
        EXPECT_EQ(client.rootHeight(), XvfbDisplay::kHeight);
        EXPECT_FALSE(processGone(server));
    }
    EXPECT_TRUE(processGone(server)) << "the server was not ended and reaped";
    EXPECT_EQ(std::string(std::getenv("DISPLAY")), ":4711-before") << "DISPLAY was not put back";
    ::unsetenv("DISPLAY");
}

TEST(Xvfb, TwoServersAtOnceGetDisplaysOfTheirOwn) {
    XvfbDisplay a;
    ASSERT_TRUE(a.ok()) << a.error();
    XvfbDisplay b;
    ASSERT_TRUE(b.ok()) << b.error();
    EXPECT_NE(a.name(), b.name());
    XTestClient ca(a.name()), cb(b.name());
    EXPECT_TRUE(ca.connected());
    EXPECT_TRUE(cb.connected());
    // A window on one is not on the other.
    ca.makeWindow({10, 10, 50, 50}, kTeal, 31337);
    EXPECT_EQ(ca.windowsOfPid(31337).size(), 1u);
    EXPECT_TRUE(cb.windowsOfPid(31337).empty());
}

class XClientTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(x.ok()) << x.error();
        ASSERT_TRUE(client.connected());
    }
    XvfbDisplay x;
    XTestClient client{x.name()};
};

TEST_F(XClientTest, FindsWindowsByProcessIdWithTheirPlaceStateAndName) {
    const xcb_window_t mine = client.makeWindow({100, 150, 320, 200}, kTeal, 4242);
    client.setName(mine, "Probe window");
    const xcb_window_t other = client.makeWindow({500, 150, 40, 40}, kTeal, 4343);
    const xcb_window_t hidden = client.makeWindow({600, 150, 40, 40}, kTeal, 4242, /*map=*/false);
    client.makeWindow({700, 150, 40, 40}, kTeal); // no pid at all

    const auto found = client.waitForWindowOfPid(4242, 2);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, mine) << "the unmapped one is not what a mapped wait finds";
    EXPECT_EQ(client.mappedWindowsOfPid(4242), std::vector<xcb_window_t>{mine});
    const std::vector<xcb_window_t> all = client.windowsOfPid(4242);
    EXPECT_EQ(all.size(), 2u);
    EXPECT_NE(std::find(all.begin(), all.end(), hidden), all.end());
    EXPECT_EQ(client.windowsOfPid(4343), std::vector<xcb_window_t>{other});
    EXPECT_FALSE(client.waitForWindowOfPid(999999, 0.1));

    EXPECT_EQ(client.geometry(mine), (XRect{100, 150, 320, 200}));
    EXPECT_TRUE(client.isViewable(mine));
    EXPECT_FALSE(client.isViewable(hidden));
    EXPECT_EQ(client.name(mine), "Probe window");
    EXPECT_EQ(client.cardinal(mine, "_NET_WM_PID"), std::optional<std::uint32_t>(4242));

    // A child's geometry is in root coordinates too.
    const xcb_window_t child = client.makeChild(mine, {20, 30, 100, 50}, kOrange);
    EXPECT_EQ(client.geometry(child), (XRect{120, 180, 100, 50}));
    EXPECT_EQ(client.children(mine), std::vector<xcb_window_t>{child});

    client.destroy(mine);
    EXPECT_FALSE(client.exists(mine));
    EXPECT_FALSE(client.exists(child));
    EXPECT_FALSE(client.geometry(mine));
}

TEST_F(XClientTest, NotBlankTellsAOneColourWindowFromAPaintedOne) {
    const xcb_window_t plain = client.makeWindow({50, 50, 200, 100}, kTeal, 1);
    const xcb_window_t painted = client.makeWindow({300, 50, 200, 100}, kTeal, 2);
    client.fill(painted, {50, 25, 100, 50}, kOrange);
    const xcb_window_t unmapped = client.makeWindow({600, 50, 200, 100}, kTeal, 3, false);
    client.fill(unmapped, {50, 25, 100, 50}, kOrange);

    EXPECT_EQ(client.colourCount(plain), 1);
    EXPECT_FALSE(client.notBlank(plain));
    EXPECT_EQ(client.colourCount(painted), 2);
    EXPECT_TRUE(client.notBlank(painted));
    EXPECT_FALSE(client.notBlank(unmapped)) << "nothing of it is on the screen";
    EXPECT_EQ(client.pixelAt(60, 60), std::optional<std::uint32_t>(kTeal));
    EXPECT_EQ(client.pixelAt(400, 100), std::optional<std::uint32_t>(kOrange));
    // The root around them is black, so a window that paints nothing is blank.
    EXPECT_EQ(client.pixelAt(1000, 900), std::optional<std::uint32_t>(0));

    // A window partly off the screen is read where it is on it.
    const xcb_window_t edge = client.makeWindow({1900, 1000, 200, 200}, kOrange, 4);
    tv3test::XRect area;
    EXPECT_EQ(client.pixels(edge, &area).size(), 20u * 80u);
    EXPECT_EQ(area, (XRect{1900, 1000, 20, 80}));
}

TEST_F(XClientTest, ScreenshotWritesAPngOfTheWindow) {
    const xcb_window_t w = client.makeWindow({50, 50, 120, 80}, kTeal, 1);
    client.fill(w, {10, 10, 20, 20}, kOrange);
    tv3test::TempDir dir;
    const std::string path = dir / "shot.png";
    EXPECT_EQ(client.screenshot(w, path), "");
    std::ifstream file(path, std::ios::binary);
    char magic[8] = {};
    file.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    EXPECT_NE(client.screenshot(0x7ffffff, dir / "none.png"), "") << "no such window: import must fail";
}

TEST_F(XClientTest, ClicksAndKeysReachTheWindowUnderThePointer) {
    XTestClient app(x.name()); // another client, as the application is
    const std::uint32_t mask =
        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
    const xcb_window_t w = app.makeWindow({200, 200, 300, 200}, kTeal, 7, true, mask);

    // Every button the editor tests use, side buttons included.
    const std::vector<int> buttons{1, 3, 4, 9};
    for (int b : buttons) client.click(350, 260, b);
    client.key(38);
    std::vector<int> pressed, released;
    int keysDown = 0, keysUp = 0;
    const std::size_t all = 2 * buttons.size() + 2;
    while (tv3test::XEvent e = app.nextEvent(pressed.size() + released.size() + keysDown + keysUp < all ? 2.0 : 0.2)) {
        switch (e->response_type & 0x7f) {
        case XCB_BUTTON_PRESS: {
            const auto* b = reinterpret_cast<const xcb_button_press_event_t*>(e.get());
            EXPECT_EQ(b->event, w);
            EXPECT_EQ(b->event_x, 150);
            EXPECT_EQ(b->event_y, 60);
            pressed.push_back(b->detail);
            break;
        }
        case XCB_BUTTON_RELEASE:
            released.push_back(reinterpret_cast<const xcb_button_release_event_t*>(e.get())->detail);
            break;
        case XCB_KEY_PRESS:
            EXPECT_EQ(reinterpret_cast<const xcb_key_press_event_t*>(e.get())->detail, 38);
            ++keysDown;
            break;
        case XCB_KEY_RELEASE: ++keysUp; break;
        default: break;
        }
    }
    EXPECT_EQ(pressed, buttons);
    EXPECT_EQ(released, buttons);
    EXPECT_EQ(keysDown, 1) << "with the pointer over it, the window has the keys";
    EXPECT_EQ(keysUp, 1);
}

TEST_F(XClientTest, ActsAsTheWindowManagerDoes) {
    XTestClient app(x.name());
    const xcb_window_t w = app.makeWindow({200, 200, 300, 200}, kTeal, 7, true, XCB_EVENT_MASK_STRUCTURE_NOTIFY);

    // The close button: WM_DELETE_WINDOW in a WM_PROTOCOLS message.
    client.sendDeleteWindow(w);
    bool deleteSeen = false;
    while (tv3test::XEvent e = app.nextEvent(deleteSeen ? 0.1 : 2.0)) {
        if ((e->response_type & 0x7f) != XCB_CLIENT_MESSAGE) continue;
        const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e.get());
        EXPECT_EQ(m->window, w);
        EXPECT_EQ(m->type, app.atom("WM_PROTOCOLS"));
        EXPECT_EQ(m->data.data32[0], app.atom("WM_DELETE_WINDOW"));
        deleteSeen = true;
    }
    EXPECT_TRUE(deleteSeen);

    // A resize by the user.
    client.resize(w, 333, 251);
    EXPECT_EQ(client.geometry(w), (XRect{200, 200, 333, 251}));

    // The active window.
    const xcb_window_t other = client.makeWindow({0, 0, 10, 10}, kTeal, 99, false);
    client.setActiveWindow(other);
    EXPECT_EQ(app.cardinal(app.root(), "_NET_ACTIVE_WINDOW"), std::optional<std::uint32_t>(other));
    client.setActiveWindow(w);
    EXPECT_EQ(app.cardinal(app.root(), "_NET_ACTIVE_WINDOW"), std::optional<std::uint32_t>(w));
}

TEST(XClient, WithoutAServerItIsNotConnected) {
    XTestClient client(tv3test::unusedDisplayName());
    EXPECT_FALSE(client.connected());
}

} // namespace
