// Editors drawn with Xlib, as JUCE's plug-ins draw theirs, on an X server
// without a window manager: the atoms a window manager would have made are
// there before the instance looks them up, and the plug-in's failed requests
// (BadAtom, BadWindow), which Xlib's default handler answers by ending the
// process, are survived: the editor opens, closes, and the session goes on.
#include "editorx11/EditorX11Harness.h"

#include "plugins/xlibview/XlibViewIds.h"
#include "support/WaitFor.h"

#include <cstring>

namespace editorx11 {
namespace {

struct XlibCase {
    const char* name;
    const char* bundle;
    std::optional<bool> wantsEditor; // as "open" carries it; absent means true
    const char* atCreation;          // what the view found when it was made
    const char* stateRead;           // whether reading WM_STATE at attach worked
    bool ownHandler;                 // the plug-in's own handler saw the errors
};

void PrintTo(const XlibCase& c, std::ostream* os) { *os << c.name; }

class XlibEditor : public EditorX11Test, public testing::WithParamInterface<XlibCase> {
protected:
    // Whether the atom exists on the server, without making it.
    bool atomExists(const char* name) {
        xcb_connection_t* c = xc.connection();
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const bool exists = reply && reply->atom != XCB_ATOM_NONE;
        std::free(reply);
        return exists;
    }
};

TEST_P(XlibEditor, OpensAndClosesAndTheSessionGoesOn) {
    const XlibCase& c = GetParam();
    // A bare server: nobody made them yet.
    ASSERT_FALSE(atomExists("WM_PROTOCOLS"));
    ASSERT_FALSE(atomExists("WM_STATE"));

    helper_ = sessiontest::startHelper();
    ASSERT_TRUE(helper_);
    Message open = sessiontest::openRequest(sessiontest::fixture(c.bundle), xlibviewfx::kEffectCid);
    open.wantsEditor = c.wantsEditor;
    ASSERT_FALSE(sessiontest::call(*helper_, open).message.error);
    EXPECT_EQ(log().empty() ? std::string() : log().front(), c.atCreation);

    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    const std::optional<Panel> panel = waitPanel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(waitLogged("synced")) << "the helper did not live through the view's attach";
    EXPECT_EQ(logged(c.stateRead), 1);
    EXPECT_TRUE(waitEditorOpen(true));
    EXPECT_NE(panel->view, 0u) << "the view's window is not in the panel";

    // The view's window goes twice when it is removed: that fails too.
    EXPECT_EQ(sessiontest::succeed(helper(), sessiontest::request(Op::closeEditor)).message, Message::reply());
    EXPECT_TRUE(waitLogged("removed"));
    EXPECT_TRUE(waitNoMappedWindow());
    EXPECT_EQ(status().editorOpen, std::optional<bool>(false));
    // And it opens again in the same session.
    ASSERT_FALSE(openEditor(std::vector<double>{100, 200, 300, 200}).message.error);
    EXPECT_TRUE(tv3test::waitFor([&] { return logged("synced") == 2; }, kShowSeconds));
    EXPECT_TRUE(waitEditorOpen(true));
    EXPECT_FALSE(sessiontest::parameters(helper()).empty()) << "the instance no longer answers";

    if (c.ownHandler) {
        // Every failed request went to the handler the plug-in installed:
        // the host left it in place.
        EXPECT_GE(logged("own handler error 3"), 2) << "BadWindow at attach and at removed()";
    } else {
        EXPECT_EQ(logged("own handler error 3"), 0);
    }
    quitCleanly();
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, XlibEditor,
    testing::Values(
        // The atoms are made before the instance looks them up.
        XlibCase{"WantsEditorAbsent", "xlib_view", std::nullopt, xlibviewfx::kAtomsFound, "state read", false},
        XlibCase{"WantsEditor", "xlib_view", true, xlibviewfx::kAtomsFound, "state read", false},
        // A parent that did not ask for an editor gets no atoms made, and
        // the view's requests with None fail (BadAtom) without ending it.
        XlibCase{"NoEditorWanted", "xlib_view", false, xlibviewfx::kAtomsMissing, "state unreadable", false},
        XlibCase{"ItsOwnHandler", "xlib_view_own_handler", false, xlibviewfx::kAtomsMissing, "state unreadable",
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace editorx11
