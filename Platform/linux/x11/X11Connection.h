// The one connection of this process to the X server, opened when an editor
// is first shown (never by a scan), served by the main loop, and kept until
// the process ends. Events are handed to the window that registered for
// them; events of the root window and XInput2 events go to the root handler.
#pragma once

#include "platform/MainLoop.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace platform::x11 {

class X11EventTarget {
public:
    virtual ~X11EventTarget() = default;
    virtual void handleEvent(const xcb_generic_event_t& event) = 0;
};

struct X11Atoms {
    xcb_atom_t wmDeleteWindow = XCB_ATOM_NONE;
    xcb_atom_t xembed = XCB_ATOM_NONE;
    xcb_atom_t xembedInfo = XCB_ATOM_NONE;
};

class X11Connection {
public:
    explicit X11Connection(MainLoop& loop) : loop_(loop) {}
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    // Connects when not yet connected. False, with the reason, when there is
    // no usable display (none named, refused, silent, or lost since).
    bool open(std::string& why);
    bool isOpen() const { return connection_ && !lost_; }

    xcb_connection_t* xcb() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ ? screen_->root : xcb_window_t{XCB_WINDOW_NONE}; }
    int screenNumber() const { return screenNumber_; }
    xcb_ewmh_connection_t& ewmh() { return ewmh_; }
    const X11Atoms& atoms() const { return atoms_; }
    // The XInput2 extension's major opcode, when it offers raw events.
    std::optional<std::uint8_t> xinputOpcode() const { return xinputOpcode_; }
    bool hasRandRMonitors() const { return randrMonitors_; }

    void addTarget(xcb_window_t window, X11EventTarget* target) { targets_[window] = target; }
    void removeTarget(xcb_window_t window) { targets_.erase(window); }
    void setRootHandler(std::function<void(const xcb_generic_event_t&)> handler) { rootHandler_ = std::move(handler); }
    // Called once when the connection breaks (the server went away).
    void setLostHandler(std::function<void()> handler) { lostHandler_ = std::move(handler); }

    // Sends what was queued, and makes sure events are handled soon that
    // xcb moved into its own queue meanwhile: the socket no longer shows them.
    void flush();
    // Sends what was queued and waits until the server has carried it out.
    // Another client (a plug-in's own connection) can then rely on it: the
    // server takes the clients' requests in no order among each other.
    void sync();
    // After waiting for a reply (or anything else that may read the socket):
    // the events read with it are handled soon.
    void serviceSoon();

    // The current size of the root window, for turning rectangles over.
    std::pair<int, int> rootSize();

private:
    void pump();
    void dispatch(const xcb_generic_event_t& event);
    void noteLost();

    MainLoop& loop_;
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    int screenNumber_ = 0;
    xcb_ewmh_connection_t ewmh_{};
    X11Atoms atoms_;
    std::optional<std::uint8_t> xinputOpcode_;
    bool randrMonitors_ = false;
    bool lost_ = false;
    bool pumpPosted_ = false;
    std::optional<MainLoop::Id> watch_;
    std::map<xcb_window_t, X11EventTarget*> targets_;
    std::function<void(const xcb_generic_event_t&)> rootHandler_;
    std::function<void()> lostHandler_;
};

// Connects to `display` (DISPLAY's form), waiting at most `limit`: a server
// that takes the connection and never answers cannot hold the caller up. Null
// when it failed or took too long; a connection that comes later is closed.
xcb_connection_t* connectWithin(const std::string& display, std::chrono::milliseconds limit, int& screen);

// Reads a reply and frees it with the right call; null when the request failed.
template <typename Reply>
struct X11Reply {
    Reply* reply = nullptr;
    explicit X11Reply(Reply* r) : reply(r) {}
    ~X11Reply() { std::free(reply); }
    X11Reply(const X11Reply&) = delete;
    X11Reply& operator=(const X11Reply&) = delete;
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

} // namespace platform::x11
