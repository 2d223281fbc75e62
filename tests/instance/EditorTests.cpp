// The editor view of an instance, against the probe's view: made once and
// kept, attached with the platform's type inside the given parent, sized,
// resized at the plug-in's request by polling, closed in order; and the run
// loop its editor uses, whose watches and timers end with the view and with
// the instance.
#include "instance/ProbeAccess.h"
#include "support/FakeRunLoop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace probetest {
namespace {

void* parentWindow(std::uintptr_t xid) { return reinterpret_cast<void*>(xid); }

class EditorTest : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (!r) return;
        r->ed.makeView = 1;
        r->ed.width = 300;
        r->ed.height = 200;
    }
    // Opens the editor and answers the status, the size and the error text.
    struct Opened {
        int32_t status;
        int32_t width, height;
        std::string error;
    };
    Opened open(tv3m_plugin* p, std::uintptr_t xid = 0x4a00007) {
        Opened o{-7, -1, -1, {}};
        char error[512] = {};
        o.status = tv3m_editor_open(p, parentWindow(xid), &o.width, &o.height, error, sizeof error);
        o.error = error;
        return o;
    }
};

TEST_F(EditorTest, OpensInsideTheParentWindowWithTheLinuxPlatformType) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_editor_available(p.get()), 1);
    EXPECT_STREQ(r->edLog.lastViewName, "editor");
    EXPECT_STREQ(r->edLog.lastPlatformType, "X11EmbedWindowID");
    int32_t w = 0, h = 0;
    ASSERT_EQ(tv3m_editor_preferred_size(p.get(), &w, &h), 0);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 200);

    const Opened o = open(p.get(), 0x4a00007);
    ASSERT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(o.width, 300);
    EXPECT_EQ(o.height, 200);
    EXPECT_EQ(r->edLog.createViewCalls, 1) << "the view made to answer 'available' is the one opened";
    EXPECT_EQ(r->edLog.attachedCalls, 1);
    EXPECT_EQ(r->edLog.lastParent, 0x4a00007u);
    EXPECT_STREQ(r->edLog.lastAttachType, "X11EmbedWindowID");
    EXPECT_EQ(r->edLog.setFrameCalls, 1);
    EXPECT_EQ(tv3m_editor_preferred_size(p.get(), &w, &h), -1) << "no preferred size once attached";

    // A second open does nothing and writes no size.
    const Opened again = open(p.get());
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.width, -1);
    EXPECT_EQ(r->edLog.attachedCalls, 1);

    tv3m_editor_close(p.get());
    EXPECT_EQ(r->edLog.removedCalls, 1);
    EXPECT_EQ(r->edLog.setFrameNullCalls, 1);
    EXPECT_EQ(r->edLog.viewsAlive, 0) << "the view is released on close";
    tv3m_editor_close(p.get()); // nothing held: nothing happens
    EXPECT_EQ(r->edLog.removedCalls, 1);

    // Open again after close: the controller makes a new view.
    ASSERT_EQ(open(p.get()).status, 0);
    EXPECT_EQ(r->edLog.createViewCalls, 2);
}

TEST_F(EditorTest, TheSizeAfterAttachingIsTheViewsOrTheDefault) {
    struct Case {
        const char* name;
        int32_t width, height;                 // getSize before attaching
        int32_t attachedWidth, attachedHeight; // and after, when not 0
        bool failGetSize;
        int32_t wantWidth, wantHeight;
    };
    const Case cases[] = {
        {"the view's new size", 300, 200, 800, 600, false, 800, 600},
        {"no size from the view", 300, 200, 0, 0, true, 480, 320},
        {"a zero width is passed on unchecked", 0, 200, 0, 0, false, 0, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe().reset();
        SetUp();
        r->ed.width = c.width;
        r->ed.height = c.height;
        r->ed.attachedWidth = c.attachedWidth;
        r->ed.attachedHeight = c.attachedHeight;
        r->ed.failGetSize = c.failGetSize;
        PluginPtr p = createEffect();
        ASSERT_TRUE(p);
        const Opened o = open(p.get());
        ASSERT_EQ(o.status, 0) << o.error;
        EXPECT_EQ(o.width, c.wantWidth);
        EXPECT_EQ(o.height, c.wantHeight);
    }
}

TEST_F(EditorTest, FailuresSayWhatIsMissing) {
    struct Case {
        const char* name;
        void (*shape)(ProbeRecord&);
        const char* error;
        int32_t viewsHeld; // after the failure
    };
    const Case cases[] = {
        {"no controller", [](ProbeRecord& x) { x.sw.noController = 1; }, "no edit controller", 0},
        {"no view", [](ProbeRecord& x) { x.ed.makeView = 0; }, "this plug-in has no Linux editor", 0},
        {"another platform only", [](ProbeRecord& x) { x.ed.refusePlatform = 1; },
         "this plug-in has no Linux editor", 0},
        {"attach refused", [](ProbeRecord& x) { x.ed.refuseAttach = 1; },
         "the plug-in's editor refused to attach to the window", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe().reset();
        SetUp();
        c.shape(*r);
        PluginPtr p = createEffect();
        ASSERT_TRUE(p);
        const Opened o = open(p.get());
        EXPECT_EQ(o.status, -1);
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(o.width, -1) << "no size written on failure";
        EXPECT_EQ(r->edLog.viewsAlive, c.viewsHeld);
        EXPECT_EQ(tv3m_editor_available(p.get()), c.viewsHeld) << "a refused attach keeps the view held";
        if (c.viewsHeld) {
            EXPECT_EQ(r->edLog.setFrameNullCalls, 1) << "the frame is taken back";
        }
    }
    EXPECT_EQ(tv3m_editor_open(nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tv3m_editor_available(nullptr), 0);
    tv3m_editor_close(nullptr);
}

TEST_F(EditorTest, PreferredSizeNeedsAWholeRectangle) {
    r->ed.width = 0;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    int32_t w = -5, h = -5;
    EXPECT_EQ(tv3m_editor_preferred_size(p.get(), &w, &h), -1);
    EXPECT_EQ(w, -5);
    EXPECT_EQ(h, -5);
    r->ed.width = 40;
    r->ed.height = 30;
    EXPECT_EQ(tv3m_editor_preferred_size(p.get(), &w, nullptr), 0);
    EXPECT_EQ(w, 40);
}

TEST_F(EditorTest, ResizeRequestsAreTakenByPollingLatestFirstAndOnce) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    // A request left untaken when the editor closed is dropped by the next open.
    ASSERT_EQ(open(p.get()).status, 0);
    ASSERT_EQ(probe_->resizeView(10, 10), 0);
    tv3m_editor_close(p.get());
    EXPECT_EQ(probe_->resizeView(10, 10), -1) << "no live view after close";
    const Opened reopened = open(p.get());
    ASSERT_EQ(reopened.status, 0) << reopened.error;
    int32_t w = 0, h = 0;
    EXPECT_EQ(tv3m_editor_take_resize_request(p.get(), &w, &h), 0);

    EXPECT_EQ(probe_->resizeView(300, 200), 0);
    EXPECT_EQ(probe_->resizeView(500, 400), 0);
    ASSERT_EQ(tv3m_editor_take_resize_request(p.get(), &w, &h), 1);
    EXPECT_EQ(w, 500);
    EXPECT_EQ(h, 400);
    EXPECT_EQ(tv3m_editor_take_resize_request(p.get(), &w, &h), 0);

    EXPECT_EQ(tv3m_editor_set_size(p.get(), 500, 400), 0);
    EXPECT_EQ(r->edLog.onSizeCalls, 1);
    EXPECT_EQ(r->edLog.lastOnSizeWidth, 500);
    EXPECT_EQ(r->edLog.lastOnSizeHeight, 400);
}

TEST_F(EditorTest, SetSizeReachesAHeldViewThatIsNotAttached) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_editor_set_size(p.get(), 10, 10), -1) << "no view held yet";
    ASSERT_EQ(tv3m_editor_available(p.get()), 1);
    EXPECT_EQ(tv3m_editor_set_size(p.get(), 640, 480), 0);
    EXPECT_EQ(r->edLog.lastOnSizeWidth, 640);
    EXPECT_EQ(r->edLog.attachedCalls, 0);
}

TEST_F(EditorTest, CanResizeIsTheViewsAnswer) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_editor_can_resize(p.get()), 0) << "no view held";
    ASSERT_EQ(tv3m_editor_available(p.get()), 1);
    EXPECT_EQ(tv3m_editor_can_resize(p.get()), 0);
    r->ed.canResize = 1;
    EXPECT_EQ(tv3m_editor_can_resize(p.get()), 1);
}

// The run loop, through a real instance: the editor finds it on its frame;
// what it registers runs on the host's loop, and ends with the view and
// with the instance, also when the plug-in forgets to unregister.
class EditorRunLoopTest : public EditorTest {
protected:
    void SetUp() override {
        EditorTest::SetUp();
        fake.install();
        if (!r) return;
        r->ed.timerMs = 25;
        r->ed.watch = 1;
        r->ed.watchFd = 42;
    }
    void TearDown() override { tv3test::FakeRunLoop::uninstall(); }
    tv3test::FakeRunLoop fake;
};

TEST_F(EditorRunLoopTest, TheEditorsTimerAndWatchRunOnTheHostLoop) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    ASSERT_EQ(open(p.get()).status, 0);
    EXPECT_EQ(r->edLog.frameHadRunLoop, 1);
    EXPECT_EQ(r->edLog.registerTimerAnswer, 0);
    EXPECT_EQ(r->edLog.registerWatchAnswer, 0);
    EXPECT_EQ(fake.count(true), 1u);
    EXPECT_EQ(fake.count(false), 1u);
    fake.fireAll(true);
    fake.fireAll(true);
    fake.fireAll(false);
    EXPECT_EQ(r->edLog.timerTicks, 2);
    EXPECT_EQ(r->edLog.watchCalls, 1);
    EXPECT_EQ(r->edLog.lastWatchFd, 42);
}

TEST_F(EditorRunLoopTest, HandlersThatStopThemselvesStopAtOnce) {
    r->ed.timerStopsAfter = 2;
    r->ed.watchStopsAfter = 1;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    ASSERT_EQ(open(p.get()).status, 0);
    for (int i = 0; i < 4; ++i) {
        fake.fireAll(true);
        fake.fireAll(false);
    }
    EXPECT_EQ(r->edLog.timerTicks, 2);
    EXPECT_EQ(r->edLog.watchCalls, 1);
    EXPECT_TRUE(fake.live.empty());
}

// Table: however the plug-in behaves, closing the view or destroying the
// instance ends every watch and timer, and every handler object goes.
TEST_F(EditorRunLoopTest, NothingOutlivesTheViewOrTheInstance) {
    struct Case {
        const char* name;
        bool leaveRegistered; // the plug-in forgets to unregister on removed()
        bool closeFirst;      // the view is closed before the instance goes
    };
    const Case cases[] = {
        {"well-behaved, closed", false, true},
        {"forgetful, closed", true, true},
        {"well-behaved, instance destroyed with the editor open", false, false},
        {"forgetful, instance destroyed with the editor open", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe().reset();
        SetUp();
        r->ed.leaveRegistered = c.leaveRegistered;
        PluginPtr p = createEffect();
        ASSERT_TRUE(p);
        ASSERT_EQ(open(p.get()).status, 0);
        ASSERT_EQ(fake.live.size(), 2u);
        if (c.closeFirst) {
            tv3m_editor_close(p.get());
            EXPECT_TRUE(fake.live.empty());
            EXPECT_EQ(r->edLog.handlersAlive, 0);
            EXPECT_EQ(fake.fireAll(true) + fake.fireAll(false), 0);
        }
        p.reset();
        EXPECT_TRUE(fake.live.empty());
        EXPECT_EQ(r->edLog.handlersAlive, 0);
        EXPECT_EQ(r->edLog.viewsAlive, 0);
        EXPECT_EQ(r->edLog.removedCalls, 1);
    }
}

TEST_F(EditorRunLoopTest, WithoutAHostLoopTheEditorIsToldThereIsNone) {
    tv3test::FakeRunLoop::uninstall();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    ASSERT_EQ(open(p.get()).status, 0);
    EXPECT_EQ(r->edLog.frameHadRunLoop, 1) << "the frame still answers IRunLoop";
    EXPECT_NE(r->edLog.registerTimerAnswer, 0) << "but registrations are refused";
    EXPECT_TRUE(fake.live.empty());
}

} // namespace
} // namespace probetest
