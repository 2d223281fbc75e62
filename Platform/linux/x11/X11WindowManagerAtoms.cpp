// Plug-in frameworks look up some window-manager atoms only if they exist
// (WM_PROTOCOLS and WM_STATE among them), once, when the instance is created,
// and later use what they got. On a server without a window manager the
// answer is None, and the requests that use it fail. Atoms live as long as
// the server, so interning them once before the instance is created is
// enough; the connection that does it is closed again at once.
#include "X11WindowManagerAtoms.h"

#include "X11Connection.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform::x11 {

namespace {

// ICCCM, EWMH, Motif's hints, drag and drop, and XEmbed: what a window
// manager and a desktop make, and what frameworks look for.
constexpr const char* kAtoms[] = {
    "WM_PROTOCOLS", "WM_STATE", "WM_DELETE_WINDOW", "WM_TAKE_FOCUS", "WM_CHANGE_STATE", "WM_CLIENT_LEADER",
    "WM_WINDOW_ROLE", "WM_COLORMAP_WINDOWS", "SM_CLIENT_ID", "UTF8_STRING", "CLIPBOARD", "TARGETS",
    "_NET_SUPPORTED", "_NET_SUPPORTING_WM_CHECK", "_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING",
    "_NET_ACTIVE_WINDOW", "_NET_WORKAREA", "_NET_CURRENT_DESKTOP", "_NET_NUMBER_OF_DESKTOPS", "_NET_WM_NAME",
    "_NET_WM_VISIBLE_NAME", "_NET_WM_ICON_NAME", "_NET_WM_ICON", "_NET_WM_PID", "_NET_WM_PING",
    "_NET_WM_SYNC_REQUEST", "_NET_WM_SYNC_REQUEST_COUNTER", "_NET_WM_USER_TIME", "_NET_WM_USER_TIME_WINDOW",
    "_NET_WM_DESKTOP", "_NET_FRAME_EXTENTS", "_NET_REQUEST_FRAME_EXTENTS", "_NET_WM_MOVERESIZE",
    "_NET_MOVERESIZE_WINDOW", "_NET_CLOSE_WINDOW", "_NET_WM_ALLOWED_ACTIONS", "_NET_WM_ICON_GEOMETRY",
    "_NET_WM_STRUT", "_NET_WM_STRUT_PARTIAL", "_NET_WM_WINDOW_OPACITY", "_NET_WM_BYPASS_COMPOSITOR",
    "_NET_WM_STATE", "_NET_WM_STATE_MODAL", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_MAXIMIZED_VERT",
    "_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_SHADED", "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_HIDDEN", "_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_BELOW", "_NET_WM_STATE_DEMANDS_ATTENTION", "_NET_WM_STATE_FOCUSED", "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG", "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR", "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DOCK", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO", "_NET_WM_WINDOW_TYPE_DND", "_MOTIF_WM_HINTS", "XdndAware", "XdndProxy",
    "XdndEnter", "XdndLeave", "XdndPosition", "XdndStatus", "XdndDrop", "XdndFinished", "XdndSelection",
    "XdndTypeList", "XdndActionList", "XdndActionDescription", "XdndActionCopy", "XdndActionMove",
    "XdndActionLink", "XdndActionPrivate", "_XEMBED", "_XEMBED_INFO",
};

} // namespace

void internWindowManagerAtoms(std::chrono::milliseconds limit) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return;
    int screen = 0;
    xcb_connection_t* c = connectWithin(display, limit, screen);
    if (!c) return;
    // All requests first, then the replies: one round trip.
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const char* name : kAtoms) {
        cookies.push_back(xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
    }
    for (const xcb_intern_atom_cookie_t cookie : cookies) std::free(xcb_intern_atom_reply(c, cookie, nullptr));
    xcb_disconnect(c);
}

} // namespace platform::x11
