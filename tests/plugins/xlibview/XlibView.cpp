// An editor view drawn with Xlib the way JUCE's Linux plug-ins do it: one
// display for the process, opened when the instance is made, where
// WM_PROTOCOLS and WM_STATE are looked up only if they exist and kept; at
// attach a child window of the host's window gets WM_PROTOCOLS set and
// WM_STATE read with whatever was found (None on a server without a window
// manager: BadAtom). It also destroys a window twice at attach and at
// removed(), as happens when windows close under a framework (BadWindow).
// Every request is answered (XSync) before the call returns, so a failed one
// reaches the process's Xlib error handler inside the host's call. Without
// one of the plug-in's own that handler is the host's business: Xlib's
// default prints the error and ends the process.
#include "xlibview/XlibView.h"

#include "x11view/X11View.h"
#include "x11view/X11ViewController.h"
#include "x11view/X11ViewIds.h"
#include "x11view/X11ViewObject.h"
#include "xlibview/XlibViewIds.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdint>
#include <cstring>

using namespace Steinberg;

namespace xlibviewfx {
namespace {

struct Shared {
    Display* display = nullptr;
    Atom protocols = None;
    Atom state = None;
    bool tried = false;
};
Shared gShared;

#ifdef FX_OWN_HANDLER
int ownHandler(Display*, XErrorEvent* event) {
    x11viewfx::logLine("own handler error %d", event ? event->error_code : -1);
    return 0;
}
#endif

// A window made and destroyed twice: the second destroy fails.
void destroyTwice(Display* display, Window parent) {
    const Window scratch = XCreateSimpleWindow(display, parent, 0, 0, 1, 1, 0, 0, 0);
    XDestroyWindow(display, scratch);
    XDestroyWindow(display, scratch);
}

} // namespace

void atCreation() {
    if (gShared.tried) return;
    gShared.tried = true;
#ifdef FX_OWN_HANDLER
    XSetErrorHandler(ownHandler);
#endif
    gShared.display = XOpenDisplay(nullptr);
    if (!gShared.display) {
        x11viewfx::logLine("created no display");
        return;
    }
    gShared.protocols = XInternAtom(gShared.display, "WM_PROTOCOLS", True);
    gShared.state = XInternAtom(gShared.display, "WM_STATE", True);
    x11viewfx::logLine("%s", gShared.protocols != None && gShared.state != None ? kAtomsFound : kAtomsMissing);
}

namespace {

class XlibView final : public x11viewfx::Object<IPlugView> {
public:
    explicit XlibView(x11viewfx::Controller* controller) : controller_(controller) { controller_->addRef(); }
    ~XlibView() override {
        destroy();
        if (frame_) frame_->release();
        controller_->release();
    }

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (x11viewfx::sameIid(iid, FUnknown_iid) || x11viewfx::sameIid(iid, IPlugView_iid)) {
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
        Display* display = gShared.display;
        if (!display || window_ || isPlatformTypeSupported(type) != kResultTrue) {
            x11viewfx::logLine("refused %s", display ? "attach" : "no display");
            return kResultFalse;
        }
        const Window host = static_cast<Window>(reinterpret_cast<std::uintptr_t>(parent));
        window_ = XCreateSimpleWindow(display, host, 0, 0, x11viewfx::kWidth, x11viewfx::kHeight, 0, 0,
                                      x11viewfx::kBackground);
        // The close button, with the atom found when the instance was made.
        Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
        XChangeProperty(display, window_, gShared.protocols, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&deleteWindow), 1);
        // Whether the window is iconic, with the other one.
        Atom type_ = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const int read = XGetWindowProperty(display, window_, gShared.state, 0, 2, False, AnyPropertyType, &type_,
                                            &format, &items, &after, &data);
        if (data) XFree(data);
        // XEmbed: mapped is left to the embedder.
        const Atom info = XInternAtom(display, "_XEMBED_INFO", False);
        const long versionAndFlags[] = {0, 1};
        XChangeProperty(display, window_, info, info, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(versionAndFlags), 2);
        destroyTwice(display, host);
        x11viewfx::logLine("attached %d %d", x11viewfx::kWidth, x11viewfx::kHeight);
        x11viewfx::logLine("%s", read == Success ? "state read" : "state unreadable");
        XSync(display, False);
        x11viewfx::logLine("synced");
        return kResultOk;
    }

    tresult PLUGIN_API removed() override {
        destroy();
        x11viewfx::logLine("removed");
        return kResultOk;
    }

    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API getSize(ViewRect* size) override {
        if (!size) return kInvalidArgument;
        *size = ViewRect(0, 0, x11viewfx::kWidth, x11viewfx::kHeight);
        return kResultOk;
    }
    tresult PLUGIN_API onSize(ViewRect* newSize) override { return newSize ? kResultOk : kInvalidArgument; }
    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }
    tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
        if (frame) frame->addRef();
        if (frame_) frame_->release();
        frame_ = frame;
        return kResultOk;
    }
    tresult PLUGIN_API canResize() override { return kResultFalse; }
    tresult PLUGIN_API checkSizeConstraint(ViewRect* rect) override {
        if (!rect) return kInvalidArgument;
        *rect = ViewRect(rect->left, rect->top, rect->left + x11viewfx::kWidth, rect->top + x11viewfx::kHeight);
        return kResultTrue;
    }

private:
    // The window goes twice, as a framework's window can when both it and
    // its owner clean up: the second time fails.
    void destroy() {
        if (!window_ || !gShared.display) return;
        XDestroyWindow(gShared.display, window_);
        XDestroyWindow(gShared.display, window_);
        XSync(gShared.display, False);
        window_ = 0;
    }

    x11viewfx::Controller* controller_;
    IPlugFrame* frame_ = nullptr;
    Window window_ = 0;
};

} // namespace
} // namespace xlibviewfx

namespace x11viewfx {

IPlugView* makeView(Controller* controller) { return new xlibviewfx::XlibView(controller); }

} // namespace x11viewfx
