// The editors of the plug-ins Debian installs in /usr/lib/vst3 (zam-plugins:
// DPF plug-ins drawing with OpenGL, Mesa's software renderer under Xvfb),
// through the real helper: shown, painted, counted, closed, and nothing left.
// The screenshots stay in the build tree, in tests/editorx11/screenshots/.
#include "editorx11/EditorX11Harness.h"
#include "support/InstalledPlugins.h"

#include "support/WaitFor.h"
#include "tv3m.h"

#include <algorithm>
#include <filesystem>
#include <thread>

namespace editorx11 {
namespace {

class RealPluginEditor : public EditorX11Test, public testing::WithParamInterface<std::string> {
protected:
    // Opens the plug-in and its editor beside a parent at the left; answers
    // the panel once it is painted.
    std::optional<Panel> show() {
        const std::string path = tv3test::installedBundlePath(GetParam());
        const std::string cid = tv3test::firstAudioClass(path);
        EXPECT_FALSE(cid.empty()) << "no audio class in " << path;
        if (cid.empty() || !startWithPlugin(path, cid)) return std::nullopt;
        const Reply r = openEditor(std::vector<double>{40, 60, 300, 200}, GetParam());
        EXPECT_FALSE(r.message.error) << *r.message.error;
        if (r.message.error) return std::nullopt;
        std::optional<Panel> panel = waitPanel();
        if (!panel) return std::nullopt;
        EXPECT_TRUE(waitPainted(panel->window)) << "the editor shows one colour only";
        EXPECT_EQ(xc.screenshot(panel->window, screenshotPath(GetParam())), "");
        EXPECT_EQ(status().editorOpen, std::optional<bool>(true));
        return panel;
    }
};

TEST_P(RealPluginEditor, OpensPaintedClosesAndLeavesNothing) {
    const std::optional<Panel> panel = show();
    ASSERT_TRUE(panel);
    const Reply r = sessiontest::succeed(helper(), sessiontest::request(Op::closeEditor));
    EXPECT_EQ(r.message, Message::reply());
    EXPECT_TRUE(waitNoMappedWindow()) << "the panel is still shown after closeEditor";
    EXPECT_EQ(status().editorOpen, std::optional<bool>(false));
    quitCleanly();
}

INSTANTIATE_TEST_SUITE_P(Installed, RealPluginEditor, testing::ValuesIn(tv3test::installedBundleNames()),
                         [](const auto& info) { return info.param; });

// Clicks in two of them, away from their controls (the top-left corner of
// the panel), so that the plug-in makes no edits of its own.
class RealPluginClicks : public RealPluginEditor {};

TEST_P(RealPluginClicks, ThreeClicksInTheEditorCountThree) {
    const std::optional<Panel> panel = show();
    ASSERT_TRUE(panel);
    const std::optional<XRect> at = xc.geometry(panel->window);
    ASSERT_TRUE(at);
    EXPECT_EQ(editsUntil(1, 2 * kPollSeconds), 0) << "edits before any click";
    for (int i = 0; i < 3; ++i) xc.click(at->x + 4 + i, at->y + 4);
    EXPECT_EQ(editsUntil(3), 3);
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * kPollSeconds));
    EXPECT_EQ(status().editCount, std::optional<std::int64_t>(0));
    quitCleanly();
}

INSTANTIATE_TEST_SUITE_P(Zam, RealPluginClicks, testing::Values("ZamComp", "ZamEQ2"),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace editorx11
