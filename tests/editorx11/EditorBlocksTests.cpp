// Audio blocks while the editor is open: the helper runs blocks on its
// request thread and the editor on its main thread, side by side. The panel
// still draws and counts the user's edits while blocks come one after
// another, and every block comes through whole.
#include "editorx11/EditorX11Harness.h"

namespace editorx11 {
namespace {

TEST_F(EditorX11Test, BlocksRunWhileTheEditorDrawsAndCountsEdits) {
    ASSERT_TRUE(startWith("x11_view"));
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    ASSERT_TRUE(waitPainted(panel->window));
    const std::optional<XRect> at = xc.geometry(panel->window);
    ASSERT_TRUE(at);

    // The fixture passes its input through unchanged.
    constexpr int kFrames = 64;
    const std::vector<std::uint8_t> block = sessiontest::bytesOf(sessiontest::testSignal(2, kFrames), kFrames);
    auto runBlocks = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const Reply r = sessiontest::call(helper(), sessiontest::processRequest(kFrames), block);
            ASSERT_FALSE(r.message.error) << "block " << i << ": " << *r.message.error;
            ASSERT_EQ(r.payload, block) << "block " << i;
        }
    };
    runBlocks(50);
    // Each click lands while the helper is busy with the blocks after it.
    for (int i = 0; i < 3; ++i) {
        xc.click(at->x + at->width / 2 + 20 * i, at->y + at->height / 2);
        runBlocks(50);
    }
    // Three clicks, and the view's own edit on the first.
    EXPECT_EQ(editsUntil(4), 4);
    EXPECT_EQ(logged("edit"), 1);
    runBlocks(20);
    EXPECT_TRUE(waitPainted(panel->window));
    quitCleanly();
}

} // namespace
} // namespace editorx11
