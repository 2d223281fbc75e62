#include "support/XTestClient.h"

#include "support/Subprocess.h"
#include "support/XvfbDisplay.h"

#include <xcb/xtest.h>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

namespace tv3test {
namespace {

template <class T>
struct Freed {
    T* p;
    explicit Freed(T* reply) : p(reply) {}
    ~Freed() { std::free(p); }
    Freed(const Freed&) = delete;
    Freed& operator=(const Freed&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

} // namespace

std::string windowId(xcb_window_t window) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", window);
    return text;
}

XTestClient::XTestClient(const std::string& display) {
    int screenNumber = 0;
    c_ = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
    if (xcb_connection_has_error(c_)) return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return;
    root_ = it.data->root;
    visual_ = it.data->root_visual;
    rootWidth_ = it.data->width_in_pixels;
    rootHeight_ = it.data->height_in_pixels;
}

XTestClient::~XTestClient() {
    if (c_) xcb_disconnect(c_);
}

bool XTestClient::connected() const { return c_ && !xcb_connection_has_error(c_) && root_ != 0; }

xcb_atom_t XTestClient::atom(const std::string& name) {
    Freed reply(xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::optional<std::uint32_t> XTestClient::cardinal(xcb_window_t window, const std::string& property) {
    Freed reply(
        xcb_get_property_reply(c_, xcb_get_property(c_, 0, window, atom(property), XCB_ATOM_ANY, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.p) < 4) return std::nullopt;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.p));
}

std::vector<xcb_atom_t> XTestClient::atoms(xcb_window_t window, const std::string& property) {
    Freed reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window, atom(property), XCB_ATOM_ANY, 0, 64), nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.p));
    return std::vector<xcb_atom_t>(values, values + xcb_get_property_value_length(reply.p) / 4);
}

std::vector<xcb_window_t> XTestClient::children(xcb_window_t window) {
    Freed reply(xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr));
    if (!reply) return {};
    const xcb_window_t* kids = xcb_query_tree_children(reply.p);
    return std::vector<xcb_window_t>(kids, kids + xcb_query_tree_children_length(reply.p));
}

std::vector<xcb_window_t> XTestClient::windowsOfPid(int pid) {
    std::vector<xcb_window_t> found;
    for (xcb_window_t w : children(root_)) {
        const std::optional<std::uint32_t> owner = cardinal(w, "_NET_WM_PID");
        if (owner && static_cast<int>(*owner) == pid) found.push_back(w);
    }
    return found;
}

std::vector<xcb_window_t> XTestClient::mappedWindowsOfPid(int pid) {
    std::vector<xcb_window_t> found = windowsOfPid(pid);
    std::erase_if(found, [&](xcb_window_t w) { return !isViewable(w); });
    return found;
}

std::optional<xcb_window_t> XTestClient::waitForWindowOfPid(int pid, double seconds, bool mapped) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const std::vector<xcb_window_t> found = mapped ? mappedWindowsOfPid(pid) : windowsOfPid(pid);
        if (!found.empty()) return found.front();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool XTestClient::exists(xcb_window_t window) {
    Freed reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
    return static_cast<bool>(reply);
}

bool XTestClient::isViewable(xcb_window_t window) {
    Freed reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::optional<XRect> XTestClient::geometry(xcb_window_t window) {
    Freed g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr));
    if (!g) return std::nullopt;
    Freed at(xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, window, root_, 0, 0), nullptr));
    if (!at) return std::nullopt;
    return XRect{at->dst_x, at->dst_y, g->width, g->height};
}

std::string XTestClient::name(xcb_window_t window) {
    Freed reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 1024), nullptr));
    if (!reply || reply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.p)),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.p)));
}

std::string XTestClient::netName(xcb_window_t window) {
    Freed reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 0, 1024), nullptr));
    if (!reply || reply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.p)),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.p)));
}

xcb_window_t XTestClient::makeChild(xcb_window_t parent, const XRect& rect, std::uint32_t colour, bool mapIt,
                                    std::uint32_t eventMask) {
    const xcb_window_t w = xcb_generate_id(c_);
    const std::uint32_t values[] = {colour, eventMask};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent, static_cast<std::int16_t>(rect.x),
                      static_cast<std::int16_t>(rect.y), static_cast<std::uint16_t>(rect.width),
                      static_cast<std::uint16_t>(rect.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    if (mapIt) xcb_map_window(c_, w);
    sync();
    return w;
}

xcb_window_t XTestClient::makeWindow(const XRect& rect, std::uint32_t colour, std::optional<int> pid, bool mapIt,
                                     std::uint32_t eventMask) {
    // Without a window manager nothing moves a top-level window: it stays
    // where it was made. override-redirect is not set, as an application's
    // window has none.
    const xcb_window_t w = makeChild(root_, rect, colour, false, eventMask);
    if (pid) {
        const std::uint32_t value = static_cast<std::uint32_t>(*pid);
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &value);
    }
    if (mapIt) xcb_map_window(c_, w);
    sync();
    return w;
}

void XTestClient::fill(xcb_window_t window, const XRect& rect, std::uint32_t colour) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    const std::uint32_t values[] = {colour};
    xcb_create_gc(c_, gc, window, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t r{static_cast<std::int16_t>(rect.x), static_cast<std::int16_t>(rect.y),
                            static_cast<std::uint16_t>(rect.width), static_cast<std::uint16_t>(rect.height)};
    xcb_poly_fill_rectangle(c_, window, gc, 1, &r);
    xcb_free_gc(c_, gc);
    sync();
}

void XTestClient::map(xcb_window_t window) {
    xcb_map_window(c_, window);
    sync();
}

void XTestClient::destroy(xcb_window_t window) {
    xcb_destroy_window(c_, window);
    sync();
}

void XTestClient::setName(xcb_window_t window, const std::string& text) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(text.size()), text.data());
    sync();
}

void XTestClient::setActiveWindow(xcb_window_t window) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, root_, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1,
                        &window);
    sync();
}

void XTestClient::sendClientMessage(xcb_window_t window, const std::string& type, const std::uint32_t (&data)[5]) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(type);
    std::memcpy(event.data.data32, data, sizeof data);
    xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    sync();
}

void XTestClient::sendDeleteWindow(xcb_window_t window) {
    sendClientMessage(window, "WM_PROTOCOLS", {atom("WM_DELETE_WINDOW"), XCB_CURRENT_TIME, 0, 0, 0});
}

void XTestClient::resize(xcb_window_t window, int width, int height) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    sync();
}

void XTestClient::movePointer(int x, int y) {
    xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<std::int16_t>(x),
                        static_cast<std::int16_t>(y), XCB_NONE);
    sync();
}

void XTestClient::click(int x, int y, int button) {
    movePointer(x, y);
    xcb_test_fake_input(c_, XCB_BUTTON_PRESS, static_cast<std::uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        XCB_NONE);
    xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(button), XCB_CURRENT_TIME, XCB_NONE, 0,
                        0, XCB_NONE);
    sync();
}

void XTestClient::key(int keycode) {
    xcb_test_fake_input(c_, XCB_KEY_PRESS, static_cast<std::uint8_t>(keycode), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        XCB_NONE);
    xcb_test_fake_input(c_, XCB_KEY_RELEASE, static_cast<std::uint8_t>(keycode), XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                        XCB_NONE);
    sync();
}

std::vector<std::uint32_t> XTestClient::pixels(xcb_window_t window, XRect* area) {
    if (!isViewable(window)) return {};
    const std::optional<XRect> g = geometry(window);
    if (!g) return {};
    const int x0 = std::max(0, g->x), y0 = std::max(0, g->y);
    const int x1 = std::min(rootWidth_, g->x + g->width), y1 = std::min(rootHeight_, g->y + g->height);
    if (x1 <= x0 || y1 <= y0) return {};
    if (area) *area = XRect{x0, y0, x1 - x0, y1 - y0};
    Freed image(xcb_get_image_reply(
        c_,
        xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x0),
                      static_cast<std::int16_t>(y0), static_cast<std::uint16_t>(x1 - x0),
                      static_cast<std::uint16_t>(y1 - y0), ~0u),
        nullptr));
    if (!image) return {};
    const std::size_t count = static_cast<std::size_t>(x1 - x0) * static_cast<std::size_t>(y1 - y0);
    // A 24-bit root comes as 32 bits a pixel, rows without padding.
    if (static_cast<std::size_t>(xcb_get_image_data_length(image.p)) < count * 4) return {};
    std::vector<std::uint32_t> out(count);
    std::memcpy(out.data(), xcb_get_image_data(image.p), count * 4);
    for (std::uint32_t& p : out) p &= 0xFFFFFF;
    return out;
}

std::optional<std::uint32_t> XTestClient::pixelAt(int x, int y) {
    Freed image(xcb_get_image_reply(c_,
                                    xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x),
                                                  static_cast<std::int16_t>(y), 1, 1, ~0u),
                                    nullptr));
    if (!image || xcb_get_image_data_length(image.p) < 4) return std::nullopt;
    std::uint32_t p = 0;
    std::memcpy(&p, xcb_get_image_data(image.p), 4);
    return p & 0xFFFFFF;
}

int XTestClient::colourCount(xcb_window_t window, int cap) {
    std::set<std::uint32_t> seen;
    for (std::uint32_t p : pixels(window)) {
        seen.insert(p);
        if (static_cast<int>(seen.size()) >= cap) break;
    }
    return static_cast<int>(seen.size());
}

std::string XTestClient::screenshot(xcb_window_t window, const std::string& path) {
    static const std::string import = findProgram("import");
    if (import.empty()) return "ImageMagick's import is not installed (apt-get install imagemagick)";
    // Given a window that is not there, import waits for the user to pick one.
    if (!exists(window)) return "no window " + windowId(window);
    const ProcessResult r = runProcess({import, "-window", windowId(window), path}, std::chrono::seconds(10));
    if (!r.exited(0)) return "import failed (" + std::to_string(r.exitStatus) + "): " + r.err;
    return {};
}

void XTestClient::sync() {
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

XEvent XTestClient::nextEvent(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (xcb_generic_event_t* e = xcb_poll_for_event(c_)) return XEvent(e);
        if (xcb_connection_has_error(c_)) return nullptr;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return nullptr;
        pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
}

} // namespace tv3test
