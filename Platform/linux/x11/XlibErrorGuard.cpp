// Plug-ins drawn with Xlib share its one process-wide error handler, and
// Xlib's default prints the error and calls exit(1): a request that fails
// (an atom that does not exist on a server without a window manager, a window
// already destroyed while an editor closes) would end the session. This
// process itself speaks xcb and never links Xlib; when a plug-in has brought
// Xlib in, it gets a handler that logs the error and goes on.
#include "platform/EditorWindowSystem.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>

namespace platform {

namespace {

// Xlib's XErrorEvent, whose layout is part of its frozen ABI; declared here
// so that the helper needs no Xlib headers.
struct XlibErrorEvent {
    int type;
    void* display;
    unsigned long resourceid;
    unsigned long serial;
    unsigned char error_code;
    unsigned char request_code;
    unsigned char minor_code;
};
using XlibErrorHandler = int (*)(void* display, XlibErrorEvent* event);
using SetErrorHandler = XlibErrorHandler (*)(XlibErrorHandler);

// A plug-in that fails in a loop must not fill the log.
constexpr int kLoggedErrors = 20;
std::atomic<int> gErrorsSeen{0};
bool gSettled = false; // main thread only

int logAndGoOn(void*, XlibErrorEvent* event) {
    const int seen = ++gErrorsSeen;
    if (seen <= kLoggedErrors && event) {
        std::fprintf(stderr,
                     "TarvelVST3Host: an X request of the plug-in failed (error %u, request %u.%u, resource 0x%lx); "
                     "going on\n",
                     static_cast<unsigned>(event->error_code), static_cast<unsigned>(event->request_code),
                     static_cast<unsigned>(event->minor_code), event->resourceid);
        if (seen == kLoggedErrors) std::fprintf(stderr, "TarvelVST3Host: further X errors are not logged\n");
    }
    return 0;
}

} // namespace

void keepPluginWindowErrorsNonFatal() {
    if (gSettled) return;
    // Only an Xlib that is already there: loading it here would bring it
    // into every session.
    void* xlib = ::dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (!xlib) return;
    const auto setHandler = reinterpret_cast<SetErrorHandler>(::dlsym(xlib, "XSetErrorHandler"));
    if (!setHandler) {
        ::dlclose(xlib);
        return;
    }
    // Xlib keeps the handler in an exported variable, null until one is set:
    // anything but null or Xlib's own default is the plug-in's, and stays.
    const auto* current = reinterpret_cast<XlibErrorHandler*>(::dlsym(xlib, "_XErrorFunction"));
    const auto fallback = reinterpret_cast<XlibErrorHandler>(::dlsym(xlib, "_XDefaultError"));
    const bool pluginsOwn = current && fallback && *current && *current != fallback && *current != logAndGoOn;
    if (!pluginsOwn) setHandler(logAndGoOn);
    gSettled = true;
    // The handle is dropped; Xlib stays loaded as long as the plug-in holds it.
    ::dlclose(xlib);
}

} // namespace platform
