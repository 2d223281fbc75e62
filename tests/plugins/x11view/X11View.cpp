// An editor view as a Linux plug-in framework makes one: attached() opens an
// X connection of its own (DISPLAY), makes a child window of the host's window
// at the view's size and paints it on Expose; its events are served from the
// host's run loop (a watch on the connection's descriptor, and a timer), and
// without one it refuses to attach, as most frameworks do. It leaves mapping
// its window to the host, the embedder: XEmbed's _XEMBED_INFO says "mapped".
//
// Switches (compile definitions):
//   FX_RESIZABLE  canResize() is true, onSize() resizes the window
//   FX_RESIZES    about 100 ms after attached(), from its timer, the view asks
//                 its frame for kRequestedWidth × kRequestedHeight; onSize()
//                 resizes the window
//
// Whatever the host does (no display, a parent that is no window, removed()
// twice or before attached()), the view answers and never crashes.
#include "x11view/X11View.h"

#include "x11view/X11ViewController.h"
#include "x11view/X11ViewIds.h"
#include "x11view/X11ViewObject.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace Steinberg;
using Steinberg::Linux::IEventHandler;
using Steinberg::Linux::IRunLoop;
using Steinberg::Linux::ITimerHandler;

namespace x11viewfx {
namespace {

#if defined(FX_RESIZABLE) || defined(FX_RESIZES)
constexpr bool kFollowsOnSize = true;
#else
constexpr bool kFollowsOnSize = false;
#endif
#ifdef FX_RESIZABLE
constexpr bool kCanResize = true;
#else
constexpr bool kCanResize = false;
#endif
#ifdef FX_RESIZES
constexpr bool kAsksToResize = true;
#else
constexpr bool kAsksToResize = false;
#endif

constexpr uint64 kTimerMs = 20;
constexpr auto kResizeAfter = std::chrono::milliseconds(100);
constexpr std::uint32_t kXembedEmbeddedNotify = 0;
constexpr std::uint32_t kXembedMapped = 1;

class X11View;

// The run loop's two callbacks, each an object of its own that the host may
// keep a reference to; the view cuts them loose when it is removed.
class Watch final : public Object<IEventHandler> {
public:
    explicit Watch(X11View* view) : view_(view) {}
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIid(iid, FUnknown_iid) || sameIid(iid, Linux::IEventHandler_iid)) {
            addRef();
            *obj = static_cast<IEventHandler*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor) override;
    void cut() { view_ = nullptr; }

private:
    X11View* view_;
};

class Timer final : public Object<ITimerHandler> {
public:
    explicit Timer(X11View* view) : view_(view) {}
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIid(iid, FUnknown_iid) || sameIid(iid, Linux::ITimerHandler_iid)) {
            addRef();
            *obj = static_cast<ITimerHandler*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    void PLUGIN_API onTimer() override;
    void cut() { view_ = nullptr; }

private:
    X11View* view_;
};

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

class X11View final : public Object<IPlugView> {
public:
    explicit X11View(Controller* controller) : controller_(controller) { controller_->addRef(); }
    ~X11View() override {
        detach();
        if (frame_) frame_->release();
        controller_->release();
    }

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIid(iid, FUnknown_iid) || sameIid(iid, IPlugView_iid)) {
            addRef();
            *obj = static_cast<IPlugView*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }

    tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
        return type && std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
    }

    tresult PLUGIN_API attached(void* parent, FIDString type) override {
        if (connection_) {
            logLine("refused already attached");
            return kResultFalse;
        }
        if (isPlatformTypeSupported(type) != kResultTrue) return refuse("platform type");
        loop_ = findRunLoop();
        if (!loop_) return refuse("no run loop");
        connection_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection_)) return refuse("no display");
        if (!makeWindow(static_cast<xcb_window_t>(reinterpret_cast<std::uintptr_t>(parent))))
            return refuse("no parent window");
        watch_ = new Watch(this);
        timer_ = new Timer(this);
        if (loop_->registerEventHandler(watch_, xcb_get_file_descriptor(connection_)) != kResultTrue) {
            watch_->cut();
            watch_->release();
            watch_ = nullptr;
            return refuse("no run loop");
        }
        if (loop_->registerTimer(timer_, kTimerMs) != kResultTrue) {
            timer_->cut();
            timer_->release();
            timer_ = nullptr;
            return refuse("no run loop");
        }
        attachedAt_ = std::chrono::steady_clock::now();
        logLine("attached %d %d", width_, height_);
        return kResultOk;
    }

    tresult PLUGIN_API removed() override {
        logLine("removed");
        detach();
        return kResultOk;
    }

    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }

    tresult PLUGIN_API getSize(ViewRect* size) override {
        if (!size) return kInvalidArgument;
        *size = ViewRect(0, 0, width_, height_);
        return kResultOk;
    }

    tresult PLUGIN_API onSize(ViewRect* newSize) override {
        if (!newSize) return kInvalidArgument;
        const int32 w = newSize->getWidth(), h = newSize->getHeight();
        logLine("onSize %d %d", w, h);
        if (!kFollowsOnSize || w < 1 || h < 1) return kResultOk;
        width_ = w;
        height_ = h;
        if (connection_ && window_) {
            const std::uint32_t values[] = {static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)};
            xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
            xcb_flush(connection_);
        }
        return kResultOk;
    }

    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }

    tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
        if (frame) frame->addRef();
        if (frame_) frame_->release();
        frame_ = frame;
        return kResultOk;
    }

    tresult PLUGIN_API canResize() override { return kCanResize ? kResultTrue : kResultFalse; }

    tresult PLUGIN_API checkSizeConstraint(ViewRect* rect) override {
        if (!rect) return kInvalidArgument;
        if (!kCanResize) *rect = ViewRect(rect->left, rect->top, rect->left + width_, rect->top + height_);
        return kResultTrue;
    }

    // The run loop's calls.
    void descriptorReady() {
        if (!ranFromLoop_) {
            ranFromLoop_ = true;
            logLine("runloop");
        }
        serveEvents();
    }

    void timerFired() {
        // Replies read on other calls can leave events queued with nothing
        // left to read on the descriptor: the timer serves those.
        serveEvents();
        if (kAsksToResize && !askedToResize_ && frame_ &&
            std::chrono::steady_clock::now() - attachedAt_ >= kResizeAfter) {
            askedToResize_ = true;
            ViewRect wanted(0, 0, kRequestedWidth, kRequestedHeight);
            frame_->resizeView(this, &wanted);
        }
    }

private:
    tresult refuse(const char* why) {
        logLine("refused %s", why);
        detach();
        return kResultFalse;
    }

    // The frame's run loop, else the host context's; null when neither has
    // one. The caller owns the reference.
    IRunLoop* findRunLoop() {
        void* found = nullptr;
        if (frame_ && frame_->queryInterface(Linux::IRunLoop_iid, &found) == kResultOk && found)
            return static_cast<IRunLoop*>(found);
        found = nullptr;
        FUnknown* context = controller_->hostContext();
        if (context && context->queryInterface(Linux::IRunLoop_iid, &found) == kResultOk && found)
            return static_cast<IRunLoop*>(found);
        return nullptr;
    }

    bool makeWindow(xcb_window_t parent) {
        xcb_window_t window = xcb_generate_id(connection_);
        const std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK;
        const std::uint32_t values[] = {kBackground, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
                                                         XCB_EVENT_MASK_KEY_PRESS |
                                                         XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_generic_error_t* error = xcb_request_check(
            connection_, xcb_create_window_checked(connection_, XCB_COPY_FROM_PARENT, window, parent, 0, 0,
                                                   static_cast<std::uint16_t>(width_),
                                                   static_cast<std::uint16_t>(height_), 0,
                                                   XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, mask, values));
        if (error) {
            std::free(error);
            return false;
        }
        window_ = window;
        xembed_ = internAtom(connection_, "_XEMBED");
        const xcb_atom_t info = internAtom(connection_, "_XEMBED_INFO");
        if (info != XCB_ATOM_NONE) {
            const std::uint32_t versionAndFlags[] = {0, kXembedMapped};
            xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, info, info, 32, 2, versionAndFlags);
        }
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, window_, 0, nullptr);
        xcb_flush(connection_);
        return true;
    }

    void paint() {
        const std::uint32_t background[] = {kBackground};
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, background);
        const xcb_rectangle_t all{0, 0, static_cast<std::uint16_t>(width_), static_cast<std::uint16_t>(height_)};
        xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &all);
        const std::uint32_t mark[] = {kMark};
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, mark);
        const xcb_rectangle_t middle{static_cast<std::int16_t>(width_ / 4), static_cast<std::int16_t>(height_ / 4),
                                     static_cast<std::uint16_t>(width_ / 2), static_cast<std::uint16_t>(height_ / 2)};
        xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &middle);
        xcb_flush(connection_);
    }

    void serveEvents() {
        if (!connection_) return;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            handle(event);
            std::free(event);
        }
        if (xcb_connection_has_error(connection_) && watch_) {
            // The server is gone: the descriptor would stay readable for ever.
            loop_->unregisterEventHandler(watch_);
            watch_->cut();
            watch_->release();
            watch_ = nullptr;
        }
    }

    void handle(const xcb_generic_event_t* event) {
        switch (event->response_type & 0x7f) {
        case XCB_EXPOSE: {
            const auto* e = reinterpret_cast<const xcb_expose_event_t*>(event);
            if (e->window == window_ && e->count == 0) paint();
            break;
        }
        case XCB_BUTTON_PRESS: {
            const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event);
            if (e->event == window_ && !edited_) {
                edited_ = true;
                logLine("edit");
                controller_->userEdit();
            }
            break;
        }
        case XCB_MAP_NOTIFY: {
            const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
            if (e->window == window_) logLine("mapped");
            break;
        }
        case XCB_CONFIGURE_NOTIFY: {
            // The host may size the window itself, as embedders do: paint what
            // it is, even when onSize() was not called.
            const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
            if (e->window == window_ && kFollowsOnSize) {
                width_ = e->width;
                height_ = e->height;
            }
            break;
        }
        case XCB_CLIENT_MESSAGE: {
            const auto* e = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (e->window == window_ && xembed_ != XCB_ATOM_NONE && e->type == xembed_ && e->format == 32 &&
                e->data.data32[1] == kXembedEmbeddedNotify)
                logLine("embedded");
            break;
        }
        default:
            break;
        }
    }

    // Undoes attached(), whatever part of it was done; safe to repeat.
    void detach() {
        if (loop_) {
            if (watch_) loop_->unregisterEventHandler(watch_);
            if (timer_) loop_->unregisterTimer(timer_);
        }
        if (watch_) {
            watch_->cut();
            watch_->release();
            watch_ = nullptr;
        }
        if (timer_) {
            timer_->cut();
            timer_->release();
            timer_ = nullptr;
        }
        if (loop_) loop_->release();
        loop_ = nullptr;
        if (connection_) {
            if (!xcb_connection_has_error(connection_)) {
                if (gc_) xcb_free_gc(connection_, gc_);
                if (window_) xcb_destroy_window(connection_, window_);
                xcb_flush(connection_);
            }
            xcb_disconnect(connection_);
        }
        connection_ = nullptr;
        window_ = 0;
        gc_ = 0;
        ranFromLoop_ = false;
        askedToResize_ = false;
    }

    Controller* controller_;
    IPlugFrame* frame_ = nullptr;
    IRunLoop* loop_ = nullptr;
    Watch* watch_ = nullptr;
    Timer* timer_ = nullptr;
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_atom_t xembed_ = XCB_ATOM_NONE;
    int32 width_ = kWidth;
    int32 height_ = kHeight;
    std::chrono::steady_clock::time_point attachedAt_;
    bool ranFromLoop_ = false;
    bool edited_ = false;
    bool askedToResize_ = false;
};

void PLUGIN_API Watch::onFDIsSet(Linux::FileDescriptor) {
    if (view_) view_->descriptorReady();
}

void PLUGIN_API Timer::onTimer() {
    if (view_) view_->timerFired();
}

} // namespace

IPlugView* makeView(Controller* controller) { return new X11View(controller); }

} // namespace x11viewfx
