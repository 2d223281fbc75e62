// The panel's size follows the plug-in's resize requests, and the user's
// resizes reach a resizable view (and only a resizable one) through onSize.
#include "editorx11/EditorX11Harness.h"

#include "plugins/x11view/X11ViewIds.h"
#include "support/WaitFor.h"

namespace editorx11 {
namespace {

TEST_F(EditorX11Test, APlugInsResizeRequestResizesThePanelAndTellsTheView) {
    ASSERT_TRUE(startWith("x11_view_resizes"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 100, 200, 100}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    std::optional<XRect> seen;
    EXPECT_TRUE(tv3test::waitFor(
        [&] {
            seen = xc.geometry(panel->container);
            return seen && seen->width == x11viewfx::kRequestedWidth && seen->height == x11viewfx::kRequestedHeight;
        },
        kShowSeconds))
        << "the container is " << (seen ? std::to_string(seen->width) + "x" + std::to_string(seen->height) : "gone");
    const std::optional<XRect> outer = xc.geometry(panel->window);
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->width, x11viewfx::kRequestedWidth);
    EXPECT_EQ(outer->height, x11viewfx::kRequestedHeight);
    EXPECT_TRUE(waitLogged("onSize 800 600")) << testing::PrintToString(log());
    EXPECT_TRUE(tv3test::waitFor(
        [&] {
            const std::optional<XRect> v = xc.geometry(panel->view);
            return v && v->width == x11viewfx::kRequestedWidth && v->height == x11viewfx::kRequestedHeight;
        },
        kShowSeconds))
        << "the view's window was not kept at the container's size";
    EXPECT_TRUE(waitPainted(panel->window));
    quitCleanly();
}

struct UserResizeCase {
    const char* bundle;
    bool resizable;
};

void PrintTo(const UserResizeCase& c, std::ostream* os) { *os << c.bundle; }

class EditorUserResize : public EditorX11Test, public testing::WithParamInterface<UserResizeCase> {};

TEST_P(EditorUserResize, ReachesTheViewOnlyWhenItCanResize) {
    const UserResizeCase& c = GetParam();
    ASSERT_TRUE(startWith(c.bundle));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 100, 200, 100}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitLogged("mapped"));
    EXPECT_EQ(xc.geometry(panel->window), (XRect{308, 100, 400, 300}));
    xc.resize(panel->window, 333, 251);
    if (c.resizable) {
        EXPECT_TRUE(waitLogged("onSize 333 251")) << testing::PrintToString(log());
        const XRect resized{308, 100, 333, 251};
        std::optional<XRect> seen;
        EXPECT_TRUE(tv3test::waitFor([&] { return (seen = xc.geometry(panel->container)) == resized; }, kShowSeconds))
            << "the container is " << testing::PrintToString(seen ? seen->width : -1) << "x"
            << testing::PrintToString(seen ? seen->height : -1);
        EXPECT_TRUE(tv3test::waitFor([&] { return (seen = xc.geometry(panel->view)) == resized; }, kShowSeconds))
            << "the view is " << testing::PrintToString(seen ? seen->width : -1) << "x"
            << testing::PrintToString(seen ? seen->height : -1);
    } else {
        // Nothing to wait for: a few of the helper's polls must pass quietly.
        EXPECT_FALSE(tv3test::waitFor([&] { return logged("onSize 333 251") > 0; }, 5 * kPollSeconds));
    }
    EXPECT_EQ(status().editorOpen, std::optional<bool>(true));
    quitCleanly();
}

INSTANTIATE_TEST_SUITE_P(Views, EditorUserResize,
                         testing::Values(UserResizeCase{"x11_view_resizable", true},
                                         UserResizeCase{"x11_view", false}),
                         [](const auto& info) { return std::string(info.param.bundle); });

} // namespace
} // namespace editorx11
