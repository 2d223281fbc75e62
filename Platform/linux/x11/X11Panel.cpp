#include "X11Panel.h"

#include <xcb/xcb_icccm.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::x11 {

namespace {

// XEmbed messages, as freedesktop.org's XEmbed protocol 0.5 numbers them.
constexpr std::uint32_t kEmbeddedNotify = 0;
constexpr std::uint32_t kWindowActivate = 1;
constexpr std::uint32_t kWindowDeactivate = 2;
constexpr std::uint32_t kFocusIn = 4;
constexpr std::uint32_t kFocusOut = 5;
constexpr std::uint32_t kFocusCurrent = 0;
constexpr std::uint32_t kXEmbedVersion = 0;

constexpr const char kWindowClass[] = "TarvelVST3Host\0TarvelVST3Host";

int whole(double value) {
    const double rounded = std::round(value);
    if (!(rounded >= 1)) return 1;
    return rounded > 32767 ? 32767 : static_cast<int>(rounded);
}

// Focus that comes from, or goes to, outside the panel.
bool crossesThePanel(std::uint8_t detail) {
    return detail == XCB_NOTIFY_DETAIL_ANCESTOR || detail == XCB_NOTIFY_DETAIL_NONLINEAR ||
           detail == XCB_NOTIFY_DETAIL_VIRTUAL || detail == XCB_NOTIFY_DETAIL_NONLINEAR_VIRTUAL;
}

} // namespace

X11Panel::X11Panel(X11Connection& connection, double width, double height,
                   std::function<std::optional<EditorRect>()> mainVisibleFrame, std::function<void(X11Panel*)> gone)
    : connection_(connection), mainVisibleFrame_(std::move(mainVisibleFrame)), gone_(std::move(gone)),
      width_(whole(width)),
      height_(whole(height)) {
    xcb_connection_t* c = connection_.xcb();
    xcb_screen_t* screen = connection_.screen();
    xcb_ewmh_connection_t& ewmh = connection_.ewmh();

    top_ = xcb_generate_id(c);
    const std::uint32_t topValues[] = {screen->black_pixel,
                                       XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE |
                                           XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, top_, screen->root, 0, 0, static_cast<std::uint16_t>(width_),
                      static_cast<std::uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, topValues);
    container_ = xcb_generate_id(c);
    const std::uint32_t containerValues[] = {screen->black_pixel, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, container_, top_, 0, 0, static_cast<std::uint16_t>(width_),
                      static_cast<std::uint16_t>(height_), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, containerValues);
    xcb_map_window(c, container_);

    // A utility window kept above the others, closed by the window manager's
    // close button through WM_DELETE_WINDOW rather than destroyed.
    xcb_atom_t protocols[] = {connection_.atoms().wmDeleteWindow};
    xcb_icccm_set_wm_protocols(c, top_, ewmh.WM_PROTOCOLS, 1, protocols);
    xcb_atom_t type[] = {ewmh._NET_WM_WINDOW_TYPE_UTILITY};
    xcb_ewmh_set_wm_window_type(&ewmh, top_, 1, type);
    xcb_atom_t state[] = {ewmh._NET_WM_STATE_ABOVE};
    xcb_ewmh_set_wm_state(&ewmh, top_, 1, state);
    xcb_ewmh_set_wm_pid(&ewmh, top_, static_cast<std::uint32_t>(::getpid()));
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) {
        xcb_icccm_set_wm_client_machine(c, top_, XCB_ATOM_STRING, 8, static_cast<std::uint32_t>(std::strlen(host)),
                                        host);
    }
    xcb_icccm_set_wm_class(c, top_, sizeof kWindowClass, kWindowClass);
    xcb_icccm_wm_hints_t hints{};
    xcb_icccm_wm_hints_set_input(&hints, 1);
    xcb_icccm_wm_hints_set_normal(&hints);
    xcb_icccm_set_wm_hints(c, top_, &hints);
    writeSizeHints();

    connection_.addTarget(top_, this);
    connection_.addTarget(container_, this);
    // The plug-in makes its window inside the container over a connection
    // of its own: the container must exist on the server before then.
    connection_.sync();
}

X11Panel::~X11Panel() {
    if (gone_) gone_(this);
    connection_.removeTarget(top_);
    connection_.removeTarget(container_);
    if (connection_.isOpen()) {
        xcb_destroy_window(connection_.xcb(), top_);
        connection_.flush();
    }
}

void X11Panel::setTitle(const std::string& title) {
    const auto length = static_cast<std::uint32_t>(title.size());
    xcb_ewmh_set_wm_name(&connection_.ewmh(), top_, length, title.data());
    xcb_icccm_set_wm_name(connection_.xcb(), top_, connection_.ewmh().UTF8_STRING, 8, length, title.data());
    connection_.flush();
}

void X11Panel::setResizable(bool resizable) {
    resizable_ = resizable;
    writeSizeHints();
    connection_.flush();
}

void X11Panel::writeSizeHints() {
    xcb_size_hints_t hints{};
    if (requestedPosition_) {
        xcb_icccm_size_hints_set_position(&hints, 1, requestedPosition_->first, requestedPosition_->second);
    }
    if (!resizable_) {
        // A view that cannot be resized: the window manager offers no handle.
        xcb_icccm_size_hints_set_min_size(&hints, width_, height_);
        xcb_icccm_size_hints_set_max_size(&hints, width_, height_);
    }
    xcb_icccm_size_hints_set_win_gravity(&hints, XCB_GRAVITY_NORTH_WEST);
    xcb_icccm_set_wm_normal_hints(connection_.xcb(), top_, &hints);
}

void X11Panel::setContentSize(double width, double height) {
    width_ = whole(width);
    height_ = whole(height);
    const std::uint32_t size[] = {static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)};
    // The hints first: a window manager holds the window to the old fixed size.
    writeSizeHints();
    xcb_configure_window(connection_.xcb(), top_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_configure_window(connection_.xcb(), container_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    fitChildren();
    connection_.flush();
}

X11Panel::Extents X11Panel::frameExtents() const {
    Extents e;
    xcb_ewmh_get_extents_reply_t extents{};
    if (xcb_ewmh_get_frame_extents_reply(&connection_.ewmh(), xcb_ewmh_get_frame_extents(&connection_.ewmh(), top_),
                                         &extents, nullptr)) {
        e = {static_cast<int>(extents.left), static_cast<int>(extents.right), static_cast<int>(extents.top),
             static_cast<int>(extents.bottom)};
    }
    connection_.serviceSoon();
    return e;
}

std::pair<int, int> X11Panel::contentOrigin() const {
    xcb_connection_t* c = connection_.xcb();
    X11Reply<xcb_translate_coordinates_reply_t> at(
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, top_, connection_.root(), 0, 0), nullptr));
    connection_.serviceSoon();
    if (!at) return requestedPosition_.value_or(std::pair<int, int>{0, 0});
    return {at->dst_x, at->dst_y};
}

EditorRect X11Panel::frame() const {
    const Extents e = frameExtents();
    const auto [x, y] = contentOrigin();
    const int rootHeight = connection_.rootSize().second;
    const double outerWidth = width_ + e.left + e.right;
    const double outerHeight = height_ + e.top + e.bottom;
    const double top = y - e.top;
    return {static_cast<double>(x - e.left), rootHeight - top - outerHeight, outerWidth, outerHeight};
}

void X11Panel::setFrameOrigin(double x, double y) {
    const Extents e = frameExtents();
    const int rootHeight = connection_.rootSize().second;
    const int outerHeight = height_ + e.top + e.bottom;
    const int left = static_cast<int>(std::lround(x));
    const int top = rootHeight - static_cast<int>(std::lround(y)) - outerHeight;
    // With north-west gravity the position asked for is the outer frame's
    // top-left corner, with or without a window manager's decoration.
    requestedPosition_ = {left, top};
    writeSizeHints();
    const std::uint32_t position[] = {static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top)};
    xcb_configure_window(connection_.xcb(), top_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, position);
    connection_.flush();
}

void X11Panel::center() {
    const auto [rootWidth, rootHeight] = connection_.rootSize();
    const EditorRect bounds =
        mainVisibleFrame_().value_or(EditorRect{0, 0, static_cast<double>(rootWidth), static_cast<double>(rootHeight)});
    const Extents e = frameExtents();
    const double outerWidth = width_ + e.left + e.right;
    const double outerHeight = height_ + e.top + e.bottom;
    setFrameOrigin(std::floor(bounds.x + (bounds.width - outerWidth) / 2),
                   std::floor(bounds.y + (bounds.height - outerHeight) / 2));
}

EditorRect X11Panel::containerFrame() const {
    const auto [x, y] = contentOrigin();
    const int rootHeight = connection_.rootSize().second;
    return {static_cast<double>(x), static_cast<double>(rootHeight - y - height_), static_cast<double>(width_),
            static_cast<double>(height_)};
}

void* X11Panel::containerView() const {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(container_));
}

void X11Panel::orderFrontRegardless() {
    xcb_connection_t* c = connection_.xcb();
    if (!mapped_) xcb_map_window(c, top_);
    mapped_ = true;
    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(c, top_, XCB_CONFIG_WINDOW_STACK_MODE, above);
    connection_.flush();
}

void X11Panel::orderOut() {
    if (!mapped_) return;
    mapped_ = false;
    pointerInside_ = false;
    focusInside_ = false;
    xcb_connection_t* c = connection_.xcb();
    xcb_unmap_window(c, top_);
    // The window manager learns of the withdrawal from the synthetic
    // UnmapNotify, also when it never saw the window mapped.
    xcb_unmap_notify_event_t withdrawn{};
    withdrawn.response_type = XCB_UNMAP_NOTIFY;
    withdrawn.event = connection_.root();
    withdrawn.window = top_;
    xcb_send_event(c, 0, connection_.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&withdrawn));
    connection_.flush();
}

void X11Panel::connectionLost() {
    mapped_ = false;
    embedded_.clear();
    if (delegate_) delegate_->panelShouldClose();
}

void X11Panel::handleEvent(const xcb_generic_event_t& event) {
    switch (event.response_type & ~0x80) {
    case XCB_CREATE_NOTIFY:
    case XCB_DESTROY_NOTIFY:
    case XCB_MAP_NOTIFY:
        handleContainerEvent(event);
        return;
    case XCB_REPARENT_NOTIFY:
        if (reinterpret_cast<const xcb_reparent_notify_event_t&>(event).event == container_) {
            handleContainerEvent(event);
        }
        return;
    default:
        handleTopLevelEvent(event);
    }
}

void X11Panel::handleContainerEvent(const xcb_generic_event_t& event) {
    switch (event.response_type & ~0x80) {
    case XCB_CREATE_NOTIFY: {
        const auto& created = reinterpret_cast<const xcb_create_notify_event_t&>(event);
        if (created.parent == container_) embed(created.window);
        break;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto& moved = reinterpret_cast<const xcb_reparent_notify_event_t&>(event);
        if (moved.parent == container_) {
            embed(moved.window);
        } else {
            std::erase(embedded_, moved.window);
        }
        break;
    }
    case XCB_DESTROY_NOTIFY:
        std::erase(embedded_, reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window);
        break;
    default:
        break;
    }
}

void X11Panel::handleTopLevelEvent(const xcb_generic_event_t& event) {
    xcb_connection_t* c = connection_.xcb();
    switch (event.response_type & ~0x80) {
    case XCB_CONFIGURE_NOTIFY: {
        const auto& configured = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (configured.window != top_) return;
        if (configured.width == width_ && configured.height == height_) return;
        // Resized by the user or the window manager: the container and the
        // plug-in's window follow, then the plug-in is told.
        width_ = std::max<int>(1, configured.width);
        height_ = std::max<int>(1, configured.height);
        const std::uint32_t size[] = {static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)};
        xcb_configure_window(c, container_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        fitChildren();
        connection_.flush();
        if (delegate_) delegate_->panelDidResize();
        return;
    }
    case XCB_CLIENT_MESSAGE: {
        const auto& message = reinterpret_cast<const xcb_client_message_event_t&>(event);
        if (message.type != connection_.ewmh().WM_PROTOCOLS || message.format != 32) return;
        if (message.data.data32[0] != connection_.atoms().wmDeleteWindow) return;
        if (!delegate_ || delegate_->panelShouldClose()) orderOut();
        return;
    }
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY: {
        const auto& crossing = reinterpret_cast<const xcb_enter_notify_event_t&>(event);
        // A grab that starts moves nothing; the crossing that ends it tells
        // where the pointer went meanwhile.
        if (crossing.mode == XCB_NOTIFY_MODE_GRAB) return;
        if ((event.response_type & ~0x80) == XCB_ENTER_NOTIFY) {
            pointerInside_ = true;
        } else if (crossing.detail != XCB_NOTIFY_DETAIL_INFERIOR) {
            pointerInside_ = false; // into the plug-in's window is still inside
        }
        return;
    }
    case XCB_FOCUS_IN: {
        const auto& focus = reinterpret_cast<const xcb_focus_in_event_t&>(event);
        if (focus.mode != XCB_NOTIFY_MODE_NORMAL && focus.mode != XCB_NOTIFY_MODE_WHILE_GRABBED) return;
        if (crossesThePanel(focus.detail) || focus.detail == XCB_NOTIFY_DETAIL_INFERIOR) focusInside_ = true;
        if (!crossesThePanel(focus.detail) || embedded_.empty()) return;
        const xcb_window_t child = embedded_.front();
        // The panel itself got the focus: it goes on to the plug-in's window.
        if (focus.detail == XCB_NOTIFY_DETAIL_ANCESTOR || focus.detail == XCB_NOTIFY_DETAIL_NONLINEAR) {
            xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, child, XCB_CURRENT_TIME);
        }
        if (!focused_) {
            focused_ = true;
            sendXEmbed(child, kWindowActivate);
            sendXEmbed(child, kFocusIn, kFocusCurrent);
        }
        connection_.flush();
        return;
    }
    case XCB_FOCUS_OUT: {
        const auto& focus = reinterpret_cast<const xcb_focus_out_event_t&>(event);
        if (focus.mode != XCB_NOTIFY_MODE_NORMAL || !crossesThePanel(focus.detail)) return;
        focusInside_ = false;
        if (!focused_) return;
        focused_ = false;
        for (const xcb_window_t child : embedded_) {
            sendXEmbed(child, kFocusOut);
            sendXEmbed(child, kWindowDeactivate);
        }
        connection_.flush();
        return;
    }
    default:
        return;
    }
}

void X11Panel::embed(xcb_window_t child) {
    if (std::find(embedded_.begin(), embedded_.end(), child) != embedded_.end()) return;
    embedded_.push_back(child);
    xcb_connection_t* c = connection_.xcb();
    sendXEmbed(child, kEmbeddedNotify, 0, container_, kXEmbedVersion);
    const std::uint32_t geometry[] = {0, 0, static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)};
    xcb_configure_window(c, child,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         geometry);
    // Many plug-ins never set XEMBED_MAPPED and wait for the embedder: the
    // window is mapped here, which is harmless when it already is.
    xcb_map_window(c, child);
    if (focused_) {
        sendXEmbed(child, kWindowActivate);
        sendXEmbed(child, kFocusIn, kFocusCurrent);
    }
    connection_.flush();
}

void X11Panel::sendXEmbed(xcb_window_t child, std::uint32_t message, std::uint32_t detail, std::uint32_t data1,
                          std::uint32_t data2) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = child;
    event.type = connection_.atoms().xembed;
    event.data.data32[0] = XCB_CURRENT_TIME;
    event.data.data32[1] = message;
    event.data.data32[2] = detail;
    event.data.data32[3] = data1;
    event.data.data32[4] = data2;
    xcb_send_event(connection_.xcb(), 0, child, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
}

void X11Panel::fitChildren() {
    const std::uint32_t size[] = {static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)};
    for (const xcb_window_t child : embedded_) {
        xcb_configure_window(connection_.xcb(), child, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    }
}

} // namespace platform::x11
