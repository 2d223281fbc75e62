// What the X tests ask of the X server, over an xcb connection of their own:
// find the windows a process shows (by _NET_WM_PID), read their place, state,
// name and pixels, take screenshots, and act as the user and the window
// manager would: clicks, keys (XTEST), resizes, WM_DELETE_WINDOW, and the
// active window (_NET_ACTIVE_WINDOW on the root).
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tv3test {

struct XRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const XRect&) const = default;
};

struct XEventDeleter {
    void operator()(xcb_generic_event_t* e) const { std::free(e); }
};
using XEvent = std::unique_ptr<xcb_generic_event_t, XEventDeleter>;

class XTestClient {
public:
    // Connects to `display`, or to DISPLAY when empty.
    explicit XTestClient(const std::string& display = {});
    ~XTestClient();
    XTestClient(const XTestClient&) = delete;
    XTestClient& operator=(const XTestClient&) = delete;

    bool connected() const;
    xcb_connection_t* connection() const { return c_; }
    xcb_window_t root() const { return root_; }
    int rootWidth() const { return rootWidth_; }
    int rootHeight() const { return rootHeight_; }
    xcb_atom_t atom(const std::string& name);

    // Top-level windows (the root's children) whose _NET_WM_PID is `pid`.
    std::vector<xcb_window_t> windowsOfPid(int pid);
    std::vector<xcb_window_t> mappedWindowsOfPid(int pid);
    // The first window of `pid` (mapped, when asked) within `seconds`.
    std::optional<xcb_window_t> waitForWindowOfPid(int pid, double seconds, bool mapped = true);

    bool exists(xcb_window_t window);
    // Viewable: mapped, and so are all its ancestors.
    bool isViewable(xcb_window_t window);
    // Inside its border, in root coordinates.
    std::optional<XRect> geometry(xcb_window_t window);
    std::vector<xcb_window_t> children(xcb_window_t window);
    std::string name(xcb_window_t window);            // WM_NAME
    std::string netName(xcb_window_t window);         // _NET_WM_NAME (UTF-8)
    std::optional<std::uint32_t> cardinal(xcb_window_t window, const std::string& property);
    std::vector<xcb_atom_t> atoms(xcb_window_t window, const std::string& property);

    // A top-level window of this connection, filled with `colour` (24-bit
    // RGB), with _NET_WM_PID `pid` when given; mapped when asked.
    xcb_window_t makeWindow(const XRect& rect, std::uint32_t colour, std::optional<int> pid = std::nullopt,
                            bool map = true, std::uint32_t eventMask = 0);
    // The same inside `parent`, at `rect` relative to it.
    xcb_window_t makeChild(xcb_window_t parent, const XRect& rect, std::uint32_t colour, bool map = true,
                           std::uint32_t eventMask = 0);
    void fill(xcb_window_t window, const XRect& rect, std::uint32_t colour);
    void map(xcb_window_t window);
    void destroy(xcb_window_t window);
    void setName(xcb_window_t window, const std::string& name);
    // As the window manager does when the user activates `window`.
    void setActiveWindow(xcb_window_t window);
    // The close button, as the window manager tells a client about it.
    void sendDeleteWindow(xcb_window_t window);
    // A 32-bit client message of `type` to `window`.
    void sendClientMessage(xcb_window_t window, const std::string& type, const std::uint32_t (&data)[5]);
    // A user's resize without a window manager: the window's own size.
    void resize(xcb_window_t window, int width, int height);

    // The user's input through XTEST, at root coordinates.
    void movePointer(int x, int y);
    void click(int x, int y, int button = 1);
    void key(int keycode = 38); // press and release; 38 is "a" on Xvfb's keymap

    // The screen's pixels (24-bit RGB) over the window's rectangle, clipped
    // to the screen: what the user sees there. Empty when it is not viewable.
    std::vector<std::uint32_t> pixels(xcb_window_t window, XRect* area = nullptr);
    std::optional<std::uint32_t> pixelAt(int x, int y);
    // How many different colours the user sees over the window, up to `cap`;
    // 0 when it is not viewable.
    int colourCount(xcb_window_t window, int cap = 16);
    bool notBlank(xcb_window_t window) { return colourCount(window, 2) > 1; }
    // A PNG of the window (ImageMagick's import). Empty, or why it failed.
    std::string screenshot(xcb_window_t window, const std::string& path);

    // Waits until the server has handled everything sent so far.
    void sync();
    // The next event for this connection, within `seconds`.
    XEvent nextEvent(double seconds);

private:
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_visualid_t visual_ = 0;
    int rootWidth_ = 0, rootHeight_ = 0;
};

// "0x…", as xwininfo and import take window ids.
std::string windowId(xcb_window_t window);

} // namespace tv3test
