#include "X11Connection.h"

#include <xcb/randr.h>
#include <xcb/xinput.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::x11 {

namespace {

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    X11Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_screen_t* screenOf(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem; ++i, xcb_screen_next(&it)) {
        if (i == number) return it.data;
    }
    return nullptr;
}

// The window an event is about, for routing it to its owner.
xcb_window_t windowOf(const xcb_generic_event_t& e) {
    switch (e.response_type & ~0x80) {
    case XCB_CREATE_NOTIFY:
        return reinterpret_cast<const xcb_create_notify_event_t&>(e).parent;
    case XCB_CONFIGURE_NOTIFY:
        return reinterpret_cast<const xcb_configure_notify_event_t&>(e).event;
    case XCB_MAP_NOTIFY:
        return reinterpret_cast<const xcb_map_notify_event_t&>(e).event;
    case XCB_UNMAP_NOTIFY:
        return reinterpret_cast<const xcb_unmap_notify_event_t&>(e).event;
    case XCB_DESTROY_NOTIFY:
        return reinterpret_cast<const xcb_destroy_notify_event_t&>(e).event;
    case XCB_REPARENT_NOTIFY:
        return reinterpret_cast<const xcb_reparent_notify_event_t&>(e).event;
    case XCB_CLIENT_MESSAGE:
        return reinterpret_cast<const xcb_client_message_event_t&>(e).window;
    case XCB_FOCUS_IN:
    case XCB_FOCUS_OUT:
        return reinterpret_cast<const xcb_focus_in_event_t&>(e).event;
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY:
        return reinterpret_cast<const xcb_enter_notify_event_t&>(e).event;
    case XCB_PROPERTY_NOTIFY:
        return reinterpret_cast<const xcb_property_notify_event_t&>(e).window;
    case XCB_EXPOSE:
        return reinterpret_cast<const xcb_expose_event_t&>(e).window;
    default:
        return XCB_WINDOW_NONE;
    }
}

// Long for a local server; the session waits meanwhile.
constexpr std::chrono::milliseconds kConnectLimit{5000};

} // namespace

xcb_connection_t* connectWithin(const std::string& display, std::chrono::milliseconds limit, int& screen) {
    struct Attempt {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false, abandoned = false;
        xcb_connection_t* connection = nullptr;
        int screen = 0;
    };
    // One attempt at a time: xcb_connect is not safe beside another (Xau's
    // file name lives in a static), and a server that did not answer the
    // last one is not answering.
    static std::mutex pendingLock;
    static bool pending = false;
    {
        std::lock_guard<std::mutex> hold(pendingLock);
        if (pending) return nullptr;
        pending = true;
    }
    auto attempt = std::make_shared<Attempt>();
    // xcb_connect takes no deadline: it runs on a thread of its own, left
    // behind when the server never answers.
    std::thread([attempt, display] {
        int number = 0;
        xcb_connection_t* c = xcb_connect(display.c_str(), &number);
        if (c && xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            c = nullptr;
        }
        {
            std::lock_guard<std::mutex> hold(pendingLock);
            pending = false;
        }
        std::lock_guard<std::mutex> hold(attempt->lock);
        if (attempt->abandoned) {
            if (c) xcb_disconnect(c);
            return;
        }
        attempt->connection = c;
        attempt->screen = number;
        attempt->done = true;
        attempt->changed.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(attempt->lock);
    if (!attempt->changed.wait_for(hold, limit, [&] { return attempt->done; })) {
        attempt->abandoned = true;
        return nullptr;
    }
    screen = attempt->screen;
    return attempt->connection;
}

X11Connection::~X11Connection() {
    // Only a connection that failed half-way is ever let go: a working one
    // lasts as long as the process, as windows of it may still exist.
    if (watch_) loop_.cancel(*watch_);
    if (connection_) {
        if (ewmh_.connection) xcb_ewmh_connection_wipe(&ewmh_);
        xcb_disconnect(connection_);
    }
}

bool X11Connection::open(std::string& why) {
    if (connection_) {
        if (!lost_) return true;
        why = "the connection to the X server was lost";
        return false;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        why = "DISPLAY is not set";
        return false;
    }
    int number = 0;
    xcb_connection_t* c = connectWithin(display, kConnectLimit, number);
    if (!c) {
        why = std::string("cannot connect to the X server at ") + display;
        return false;
    }
    xcb_screen_t* screen = screenOf(c, number);
    if (!screen) {
        xcb_disconnect(c);
        why = std::string("the X server at ") + display + " has no screen " + std::to_string(number);
        return false;
    }
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(c, &ewmh_);
    if (!cookies || !xcb_ewmh_init_atoms_replies(&ewmh_, cookies, nullptr)) {
        xcb_disconnect(c);
        ewmh_ = {};
        why = "the X server did not answer";
        return false;
    }
    connection_ = c;
    screen_ = screen;
    screenNumber_ = number;
    atoms_.wmDeleteWindow = intern(c, "WM_DELETE_WINDOW");
    atoms_.xembed = intern(c, "_XEMBED");
    atoms_.xembedInfo = intern(c, "_XEMBED_INFO");

    // RandR 1.5 lists monitors; without it the root window is the one screen.
    if (const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id); randr && randr->present) {
        X11Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        randrMonitors_ = version && (version->major_version > 1 || version->minor_version >= 5);
    }
    // XInput 2.2 raw events tell of the user's input wherever it goes.
    if (const xcb_query_extension_reply_t* xi = xcb_get_extension_data(c, &xcb_input_id); xi && xi->present) {
        X11Reply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 2))) {
            xinputOpcode_ = xi->major_opcode;
        }
    }

    watch_ = loop_.watchReadable(xcb_get_file_descriptor(c), [this] { pump(); });
    flush();
    return true;
}

void X11Connection::flush() {
    if (!connection_ || lost_) return;
    // xcb reads whatever the server sent while it waits to write.
    xcb_flush(connection_);
    serviceSoon();
}

void X11Connection::sync() {
    if (!connection_ || lost_) return;
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    serviceSoon();
}

void X11Connection::serviceSoon() {
    if (!connection_ || lost_ || pumpPosted_) return;
    pumpPosted_ = true;
    loop_.post([this] { pump(); });
}

std::pair<int, int> X11Connection::rootSize() {
    if (!isOpen()) return {0, 0};
    X11Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root()), nullptr));
    serviceSoon();
    if (!geometry) return {screen_->width_in_pixels, screen_->height_in_pixels};
    return {geometry->width, geometry->height};
}

void X11Connection::pump() {
    pumpPosted_ = false;
    if (!connection_ || lost_) return;
    // Flushed first: a flush after the loop could read events that nothing
    // would then take from xcb's queue until the server sent more.
    xcb_flush(connection_);
    // A handler may ask the server something, which queues further events
    // behind the reply; the loop takes those too.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        dispatch(*event);
        std::free(event);
        if (lost_) return;
    }
    if (xcb_connection_has_error(connection_)) noteLost();
}

void X11Connection::dispatch(const xcb_generic_event_t& event) {
    const std::uint8_t type = event.response_type & ~0x80;
    if (type == 0) return; // an error of a request whose reply nobody waits for: a window gone meanwhile
    if (type == XCB_GE_GENERIC) {
        if (rootHandler_) rootHandler_(event);
        return;
    }
    const xcb_window_t window = windowOf(event);
    if (window == root()) {
        if (rootHandler_) rootHandler_(event);
        return;
    }
    if (const auto it = targets_.find(window); it != targets_.end()) it->second->handleEvent(event);
}

void X11Connection::noteLost() {
    if (lost_) return;
    lost_ = true;
    std::fprintf(stderr, "TarvelVST3Host: the connection to the X server was lost\n");
    if (watch_) loop_.cancel(*watch_);
    watch_.reset();
    if (lostHandler_) lostHandler_();
}

} // namespace platform::x11
