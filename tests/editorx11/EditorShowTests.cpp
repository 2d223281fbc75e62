// "openEditor" through the real helper: a mapped utility panel of the helper's
// own beside the parent's rectangle, with the plug-in's view embedded in its
// container, painted, and the session saying the editor is open.
#include "editorx11/EditorX11Harness.h"

#include "plugins/x11view/X11ViewIds.h"
#include "support/WaitFor.h"

#include <algorithm>

namespace editorx11 {
namespace {

bool holds(const std::vector<xcb_atom_t>& atoms, xcb_atom_t atom) {
    return atom != XCB_ATOM_NONE && std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

TEST_F(EditorX11Test, OpenEditorShowsTheViewInAPanelOfTheHelpersBesideTheAnchor) {
    ASSERT_TRUE(startWith("x11_view"));
    EXPECT_EQ(status().editorOpen, std::optional<bool>(false));
    const Reply r = openEditor(std::vector<double>{100, 200, 300, 200}, "Fixture Editor");
    ASSERT_FALSE(r.message.error) << *r.message.error;
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(xc.mappedWindowsOfPid(helperPID()).size(), 1u) << "one panel";

    // Beside the anchor: to its right, 8 apart, top edges aligned.
    EXPECT_EQ(xc.geometry(panel->window), (XRect{408, 200, 400, 300}));
    EXPECT_EQ(xc.geometry(panel->container), (XRect{408, 200, 400, 300})) << "the container fills the panel";
    EXPECT_EQ(xc.geometry(panel->view), (XRect{408, 200, 400, 300})) << "the view is at the container's size";
    EXPECT_EQ(status().editorOpen, std::optional<bool>(true));

    // What a window manager is told about it.
    EXPECT_EQ(xc.name(panel->window), "Fixture Editor");
    EXPECT_EQ(xc.netName(panel->window), "Fixture Editor");
    EXPECT_TRUE(holds(xc.atoms(panel->window, "_NET_WM_WINDOW_TYPE"), xc.atom("_NET_WM_WINDOW_TYPE_UTILITY")));
    EXPECT_TRUE(holds(xc.atoms(panel->window, "_NET_WM_STATE"), xc.atom("_NET_WM_STATE_ABOVE")));
    EXPECT_TRUE(holds(xc.atoms(panel->window, "WM_PROTOCOLS"), xc.atom("WM_DELETE_WINDOW")));
    EXPECT_EQ(xc.cardinal(panel->window, "_NET_WM_PID"), std::optional<std::uint32_t>(helperPID()));

    // The embedder's part: XEMBED_EMBEDDED_NOTIFY, and mapping the view.
    EXPECT_TRUE(waitLogged("embedded")) << testing::PrintToString(log());
    EXPECT_TRUE(waitLogged("mapped")) << testing::PrintToString(log());
    EXPECT_TRUE(waitLogged("runloop")) << "the helper's run loop never served the view's connection";
    EXPECT_EQ(logged("attached 400 300"), 1);
    ASSERT_TRUE(waitPainted(panel->window)) << "the panel shows one colour only";
    EXPECT_EQ(xc.pixelAt(408 + 5, 200 + 5), std::optional<std::uint32_t>(x11viewfx::kBackground));
    EXPECT_EQ(xc.pixelAt(408 + 200, 200 + 150), std::optional<std::uint32_t>(x11viewfx::kMark));
    EXPECT_EQ(xc.screenshot(panel->window, screenshotPath("x11_view")), "");

    // Opening again only raises it: still one panel, where it was.
    EXPECT_FALSE(openEditor(std::vector<double>{900, 500, 100, 100}, "Other").message.error);
    EXPECT_EQ(xc.mappedWindowsOfPid(helperPID()), std::vector<xcb_window_t>{panel->window});
    EXPECT_EQ(xc.geometry(panel->window), (XRect{408, 200, 400, 300}));
    EXPECT_EQ(xc.name(panel->window), "Fixture Editor");
    EXPECT_EQ(logged("attached 400 300"), 1);
    quitCleanly();
}

TEST_F(EditorX11Test, WithoutATitleThePanelIsCalledPlugIn) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(xc.name(panel->window), "Plug-in");
    EXPECT_EQ(xc.netName(panel->window), "Plug-in");
    std::vector<std::string> wmClass;
    {
        // WM_CLASS: instance and class, each ending in a zero byte.
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            xc.connection(),
            xcb_get_property(xc.connection(), 0, panel->window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
            nullptr);
        ASSERT_TRUE(reply);
        const char* bytes = static_cast<const char*>(xcb_get_property_value(reply));
        const std::string all(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
        for (std::size_t at = 0; at < all.size();) {
            const std::size_t end = all.find('\0', at);
            wmClass.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
            if (end == std::string::npos) break;
            at = end + 1;
        }
    }
    ASSERT_EQ(wmClass.size(), 2u);
    EXPECT_EQ(wmClass[1], "TarvelVST3Host");
    quitCleanly();
}

// Where the panel goes, in X11 root coordinates (y down); the panel is
// 400 × 300 and the screen 1920 × 1080.
struct PlacementCase {
    const char* name;
    std::vector<double> anchor; // x, y, width, height of the parent's window
    int x, y;                   // the panel's top-left corner
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class EditorPlacement : public EditorX11Test, public testing::WithParamInterface<PlacementCase> {};

TEST_P(EditorPlacement, ThePanelIsBesideTheAnchorAndOnTheScreen) {
    const PlacementCase& c = GetParam();
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(c.anchor).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(xc.geometry(panel->window), (XRect{c.x, c.y, 400, 300}));
    quitCleanly();
}

INSTANTIATE_TEST_SUITE_P(
    Anchors, EditorPlacement,
    testing::Values(
        // Room on the right: 8 to the right of it, top edges aligned.
        PlacementCase{"ToTheRight", {100, 200, 300, 200}, 408, 200},
        // No room on the right: 8 to the left of it.
        PlacementCase{"ToTheLeftAtTheRightEdge", {1500, 100, 300, 200}, 1092, 100},
        // To the left, and lifted so that its bottom stays on the screen.
        PlacementCase{"LiftedAtTheBottom", {1700, 900, 200, 150}, 1292, 780},
        // No room on either side: kept at the screen's left edge.
        PlacementCase{"AtTheLeftEdge", {200, 0, 1600, 100}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EditorX11Test, WithoutAnAnchorThePanelIsCentredOnTheScreen) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor().message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    const std::optional<XRect> g = xc.geometry(panel->window);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->width, 400);
    EXPECT_EQ(g->height, 300);
    EXPECT_NEAR(g->x, (1920 - 400) / 2, 1);
    EXPECT_NEAR(g->y, (1080 - 300) / 2, 1);
    quitCleanly();
}

} // namespace
} // namespace editorx11
