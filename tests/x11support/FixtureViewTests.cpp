// The X11 view fixture in this process, through the C interface, with the test
// as the host: its window inside ours, shown once we embed and map it as an
// embedder does, painted, served from the run loop we lend, its one edit, its
// sizes, and its refusals. The end-to-end editor tests rely on all of this.
#include "plugins/x11view/X11ViewIds.h"
#include "support/BundleCopy.h"
#include "support/FakeRunLoop.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "support/XTestClient.h"
#include "support/XvfbDisplay.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tv3test::XRect;

struct PluginDeleter {
    void operator()(tv3m_plugin* p) const { tv3m_plugin_destroy(p); }
};
using PluginPtr = std::unique_ptr<tv3m_plugin, PluginDeleter>;

void* asParent(xcb_window_t window) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)); }

class FixtureView : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(x.ok()) << x.error();
        ASSERT_TRUE(client.connected());
        ::setenv(x11viewfx::kLogVariable, logPath.c_str(), 1);
        loop.install();
    }
    void TearDown() override {
        plugin.reset();
        tv3test::FakeRunLoop::uninstall();
        ::unsetenv(x11viewfx::kLogVariable);
    }

    tv3m_plugin* create(const std::string& name) {
        const std::string path = tv3test::fixtureBundle(TV3_FIXTURE_DIR, name);
        char error[512] = {};
        plugin.reset(tv3m_plugin_create(path.c_str(), x11viewfx::kEffectCid, 48000, 512, 2, error, sizeof error));
        EXPECT_TRUE(plugin) << error;
        return plugin.get();
    }

    struct Opened {
        int32_t status = -7;
        int32_t width = -1, height = -1;
        std::string error;
    };
    Opened open(void* parent) {
        Opened o;
        char error[512] = {};
        o.status = tv3m_editor_open(plugin.get(), parent, &o.width, &o.height, error, sizeof error);
        o.error = error;
        return o;
    }

    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        std::ifstream file(logPath);
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }
    long logged(const std::string& line) const {
        const std::vector<std::string> lines = log();
        return std::count(lines.begin(), lines.end(), line);
    }

    // What the main loop would do: run every watch and every timer once.
    void pump() {
        loop.fireAll(false);
        loop.fireAll(true);
    }
    template <class Ready>
    bool pumpUntil(Ready&& ready, double seconds) {
        return tv3test::waitFor([&] { pump(); return ready(); }, seconds, 10ms);
    }
    void pumpFor(double seconds) {
        pumpUntil([] { return false; }, seconds);
    }

    // The embedder's part once the view is attached: XEMBED_EMBEDDED_NOTIFY to
    // the view's window, and mapping it. Answers that window.
    xcb_window_t embed(xcb_window_t parent) {
        const std::vector<xcb_window_t> kids = client.children(parent);
        EXPECT_EQ(kids.size(), 1u) << "the view made no window of its own inside ours";
        if (kids.size() != 1) return 0;
        client.sendClientMessage(kids[0], "_XEMBED", {XCB_CURRENT_TIME, 0, 0, parent, 0});
        client.map(kids[0]);
        return kids[0];
    }

    // A view opened in a fresh 640 × 480 window of ours, embedded and painted.
    xcb_window_t openShown(const std::string& name, xcb_window_t& parent) {
        parent = client.makeWindow({60, 40, 640, 480}, 0x000000);
        if (!create(name)) return 0;
        const Opened o = open(asParent(parent));
        EXPECT_EQ(o.status, 0) << o.error;
        if (o.status != 0) return 0;
        const xcb_window_t view = embed(parent);
        EXPECT_TRUE(pumpUntil([&] { return client.notBlank(view); }, 5)) << "the view was never painted";
        return view;
    }

    tv3test::XvfbDisplay x;
    tv3test::XTestClient client{x.name()};
    tv3test::TempDir dir;
    const std::string logPath = dir / "view.log";
    tv3test::FakeRunLoop loop;
    PluginPtr plugin; // last: released before the loop it was lent
};

TEST_F(FixtureView, AttachesInOurWindowIsShownOnceEmbeddedAndMappedAndGoesOnClose) {
    const xcb_window_t parent = client.makeWindow({60, 40, 640, 480}, 0x000000);
    ASSERT_TRUE(create("x11_view"));
    ASSERT_EQ(tv3m_editor_available(plugin.get()), 1);
    int32_t w = 0, h = 0;
    ASSERT_EQ(tv3m_editor_preferred_size(plugin.get(), &w, &h), 0);
    EXPECT_EQ(w, x11viewfx::kWidth);
    EXPECT_EQ(h, x11viewfx::kHeight);

    const Opened o = open(asParent(parent));
    ASSERT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(o.width, x11viewfx::kWidth);
    EXPECT_EQ(o.height, x11viewfx::kHeight);
    EXPECT_EQ(log(), std::vector<std::string>{"attached 400 300"});
    EXPECT_EQ(loop.count(false), 1u) << "a watch on its connection";
    EXPECT_EQ(loop.count(true), 1u) << "and a timer";

    const std::vector<xcb_window_t> kids = client.children(parent);
    ASSERT_EQ(kids.size(), 1u);
    const xcb_window_t view = kids[0];
    EXPECT_EQ(client.geometry(view), (XRect{60, 40, 400, 300}));
    EXPECT_FALSE(client.isViewable(view)) << "mapping it is the embedder's part";
    EXPECT_FALSE(client.notBlank(parent));

    embed(parent);
    EXPECT_TRUE(pumpUntil([&] { return logged("embedded") == 1 && logged("mapped") == 1 && client.notBlank(view); },
                          5))
        << testing::PrintToString(log());
    EXPECT_EQ(logged("runloop"), 1);
    EXPECT_EQ(client.pixelAt(60 + 5, 40 + 5), std::optional<std::uint32_t>(x11viewfx::kBackground));
    EXPECT_EQ(client.pixelAt(60 + 200, 40 + 150), std::optional<std::uint32_t>(x11viewfx::kMark));
    EXPECT_EQ(client.pixelAt(60 + 500, 40 + 400), std::optional<std::uint32_t>(0)) << "ours, outside the view";

    tv3m_editor_close(plugin.get());
    EXPECT_EQ(log().back(), "removed");
    EXPECT_EQ(logged("removed"), 1);
    EXPECT_TRUE(loop.live.empty()) << "its watch and timer end with it";
    EXPECT_TRUE(tv3test::waitFor([&] { return client.children(parent).empty(); }, 3)) << "its window outlived it";
    EXPECT_TRUE(client.exists(parent));
}

TEST_F(FixtureView, ItsFirstClickIsItsOneEdit) {
    xcb_window_t parent = 0;
    const xcb_window_t view = openShown("x11_view", parent);
    ASSERT_NE(view, 0u);
    EXPECT_EQ(tv3m_plugin_take_edit_count(plugin.get()), 0);
    for (int i = 0; i < 3; ++i) client.click(60 + 100, 40 + 100);
    int edits = 0;
    EXPECT_TRUE(pumpUntil([&] { edits += tv3m_plugin_take_edit_count(plugin.get()); return edits >= 1; }, 5));
    pumpFor(0.3);
    edits += tv3m_plugin_take_edit_count(plugin.get());
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(logged("edit"), 1);
}

struct SizeCase {
    const char* bundle;
    int32_t canResize;
    XRect afterOnSize; // the view's window once told 333 × 251
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.bundle; }

class FixtureViewSize : public FixtureView, public testing::WithParamInterface<SizeCase> {};

TEST_P(FixtureViewSize, OnSizeIsLoggedAndFollowedWhereTheVariantSaysSo) {
    xcb_window_t parent = 0;
    const xcb_window_t view = openShown(GetParam().bundle, parent);
    ASSERT_NE(view, 0u);
    EXPECT_EQ(tv3m_editor_can_resize(plugin.get()), GetParam().canResize);
    EXPECT_EQ(tv3m_editor_set_size(plugin.get(), 333, 251), 0);
    EXPECT_EQ(logged("onSize 333 251"), 1);
    std::optional<XRect> seen;
    EXPECT_TRUE(pumpUntil([&] { return (seen = client.geometry(view)) == GetParam().afterOnSize; }, 3))
        << (seen ? std::to_string(seen->width) + "x" + std::to_string(seen->height) : "no window");
    EXPECT_TRUE(pumpUntil([&] { return client.notBlank(view); }, 3));
}

INSTANTIATE_TEST_SUITE_P(Variants, FixtureViewSize,
                         testing::Values(SizeCase{"x11_view", 0, {60, 40, 400, 300}},
                                         SizeCase{"x11_view_resizable", 1, {60, 40, 333, 251}},
                                         SizeCase{"x11_view_resizes", 0, {60, 40, 333, 251}}),
                         [](const auto& info) { return std::string(info.param.bundle); });

TEST_F(FixtureView, TheResizingVariantAsksForItsSizeFromItsTimer) {
    for (const char* bundle : {"x11_view", "x11_view_resizes"}) {
        SCOPED_TRACE(bundle);
        const bool asks = std::string(bundle) == "x11_view_resizes";
        xcb_window_t parent = 0;
        ASSERT_NE(openShown(bundle, parent), 0u);
        int32_t w = 0, h = 0;
        const bool asked = pumpUntil([&] { return tv3m_editor_take_resize_request(plugin.get(), &w, &h) == 1; },
                                     asks ? 3 : 0.4);
        EXPECT_EQ(asked, asks);
        if (asks) {
            EXPECT_EQ(w, x11viewfx::kRequestedWidth);
            EXPECT_EQ(h, x11viewfx::kRequestedHeight);
            pumpFor(0.3);
            EXPECT_EQ(tv3m_editor_take_resize_request(plugin.get(), &w, &h), 0) << "it asks once";
        }
        tv3m_editor_close(plugin.get());
    }
}

struct Refusal {
    const char* name;
    enum { noLoopLent, loopRefuses, noDisplay, parentIsNoWindow } what;
    const char* line;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class FixtureViewRefuses : public FixtureView, public testing::WithParamInterface<Refusal> {};

TEST_P(FixtureViewRefuses, ToAttachAndLeavesNothingBehind) {
    const Refusal& c = GetParam();
    const xcb_window_t parent = client.makeWindow({60, 40, 640, 480}, 0x000000);
    if (c.what == Refusal::noLoopLent) tv3test::FakeRunLoop::uninstall();
    if (c.what == Refusal::loopRefuses) loop.refuse = true;
    ASSERT_TRUE(create("x11_view"));
    const std::string display = x.name();
    if (c.what == Refusal::noDisplay) ::setenv("DISPLAY", tv3test::unusedDisplayName().c_str(), 1);
    const Opened o = open(asParent(c.what == Refusal::parentIsNoWindow ? 0x7ffffffu : parent));
    ::setenv("DISPLAY", display.c_str(), 1);
    EXPECT_NE(o.status, 0);
    EXPECT_EQ(logged(c.line), 1) << testing::PrintToString(log());
    EXPECT_EQ(logged("attached 400 300"), 0);
    EXPECT_TRUE(loop.live.empty());
    EXPECT_TRUE(tv3test::waitFor([&] { return client.children(parent).empty(); }, 3)) << "it left a window";
    // Closing what never opened, twice, and opening again properly.
    tv3m_editor_close(plugin.get());
    tv3m_editor_close(plugin.get());
    if (c.what == Refusal::noDisplay || c.what == Refusal::parentIsNoWindow) {
        const Opened again = open(asParent(parent));
        EXPECT_EQ(again.status, 0) << again.error;
        EXPECT_EQ(logged("attached 400 300"), 1);
        EXPECT_EQ(client.children(parent).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixtureViewRefuses,
    testing::Values(Refusal{"NoRunLoopLent", Refusal::noLoopLent, "refused no run loop"},
                    Refusal{"RunLoopRefusesRegistrations", Refusal::loopRefuses, "refused no run loop"},
                    Refusal{"NoDisplay", Refusal::noDisplay, "refused no display"},
                    Refusal{"ParentIsNoWindow", Refusal::parentIsNoWindow, "refused no parent window"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
