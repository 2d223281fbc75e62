// The editor window system on X11: panels (X11Panel), the screens from RandR
// and the window manager's work area, the application that became active
// from _NET_ACTIVE_WINDOW, and the user's input from XInput2 raw events,
// which tell of every click and key without taking them from the plug-in.
#include "X11Connection.h"
#include "X11Panel.h"
#include "X11WindowManagerAtoms.h"
#include "platform/EditorWindowSystem.h"

#include <xcb/randr.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

namespace platform {

namespace {

using x11::X11Connection;
using x11::X11Panel;
using x11::X11Reply;

struct RootRect {
    int x = 0, y = 0, width = 0, height = 0;
};

std::optional<RootRect> intersection(const RootRect& a, const RootRect& b) {
    const int left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    const int right = std::min(a.x + a.width, b.x + b.width), bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return std::nullopt;
    return RootRect{left, top, right - left, bottom - top};
}

class X11EditorWindowSystem : public EditorWindowSystem {
public:
    explicit X11EditorWindowSystem(MainLoop& loop) : connection_(loop) {}

    bool connect(std::string& why) override {
        const bool wasOpen = connection_.xcb() != nullptr;
        if (!connection_.open(why)) return false;
        if (!wasOpen) listen();
        return true;
    }

    std::unique_ptr<EditorPanel> makePanel(double width, double height) override {
        if (!connection_.isOpen()) return nullptr;
        auto panel = std::make_unique<X11Panel>(
            connection_, width, height, [this] { return mainScreenVisibleFrame(); },
            [this](X11Panel* gone) { std::erase(panels_, gone); });
        panels_.push_back(panel.get());
        return panel;
    }

    // X11 counts from the top left, y growing downwards.
    EditorRect fromPlatformCoordinates(const EditorRect& rect) override {
        if (!connection_.isOpen()) return rect;
        const int rootHeight = connection_.rootSize().second;
        return {rect.x, rootHeight - rect.y - rect.height, rect.width, rect.height};
    }

    std::vector<EditorScreen> screens() override {
        std::vector<EditorScreen> result;
        if (!connection_.isOpen()) return result;
        const auto [rootWidth, rootHeight] = connection_.rootSize();
        const std::optional<RootRect> workArea = this->workArea();
        for (const Monitor& m : monitors(rootWidth, rootHeight)) {
            const RootRect visible = workArea ? intersection(m.rect, *workArea).value_or(m.rect) : m.rect;
            result.push_back({flipped(m.rect, rootHeight), flipped(visible, rootHeight)});
        }
        return result;
    }

    std::optional<EditorRect> mainScreenVisibleFrame() override {
        if (!connection_.isOpen()) return std::nullopt;
        const auto [rootWidth, rootHeight] = connection_.rootSize();
        const std::vector<Monitor> all = monitors(rootWidth, rootHeight);
        if (all.empty()) return std::nullopt;
        const auto primary = std::find_if(all.begin(), all.end(), [](const Monitor& m) { return m.primary; });
        const RootRect screen = primary != all.end() ? primary->rect : all.front().rect;
        const std::optional<RootRect> workArea = this->workArea();
        const RootRect visible = workArea ? intersection(screen, *workArea).value_or(screen) : screen;
        return flipped(visible, rootHeight);
    }

    // The window manager's client list, or without one the root's mapped
    // children, each with its _NET_WM_PID; windows that only carry a pid
    // without being shown (client leaders) do not count.
    bool applicationHasWindow(int pid) override {
        if (!connection_.isOpen() || pid <= 0) return true;
        xcb_connection_t* c = connection_.xcb();
        xcb_ewmh_connection_t& ewmh = connection_.ewmh();
        std::vector<xcb_window_t> candidates;
        bool managed = false;
        xcb_ewmh_get_windows_reply_t clients{};
        if (xcb_ewmh_get_client_list_reply(&ewmh, xcb_ewmh_get_client_list(&ewmh, connection_.screenNumber()),
                                           &clients, nullptr)) {
            candidates.assign(clients.windows, clients.windows + clients.windows_len);
            xcb_ewmh_get_windows_reply_wipe(&clients);
            managed = true;
        } else {
            X11Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(c, xcb_query_tree(c, connection_.root()), nullptr));
            if (tree) {
                const xcb_window_t* kids = xcb_query_tree_children(tree.reply);
                candidates.assign(kids, kids + xcb_query_tree_children_length(tree.reply));
            }
        }
        // Every request first, then every reply: one round trip each.
        std::vector<xcb_get_property_cookie_t> pids;
        for (const xcb_window_t window : candidates) pids.push_back(xcb_ewmh_get_wm_pid(&ewmh, window));
        std::vector<xcb_window_t> ofPid;
        for (std::size_t i = 0; i < pids.size(); ++i) {
            std::uint32_t value = 0;
            if (xcb_ewmh_get_wm_pid_reply(&ewmh, pids[i], &value, nullptr) && value == static_cast<std::uint32_t>(pid))
                ofPid.push_back(candidates[i]);
        }
        // A managed client counts even while iconified: the user can bring it back.
        bool found = managed && !ofPid.empty();
        if (!managed) {
            std::vector<xcb_get_window_attributes_cookie_t> attributes;
            for (const xcb_window_t window : ofPid) attributes.push_back(xcb_get_window_attributes(c, window));
            for (const xcb_get_window_attributes_cookie_t cookie : attributes) {
                X11Reply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, cookie, nullptr));
                if (a && a->map_state != XCB_MAP_STATE_UNMAPPED) found = true;
            }
        }
        connection_.serviceSoon();
        return found;
    }

    Id monitorInput(std::function<void(const EditorInput&)> seen) override {
        const Id id = nextId_++;
        inputMonitors_[id] = std::move(seen);
        selectRawInput();
        return id;
    }

    Id observeActivation(std::function<void(std::optional<int> pid)> activated) override {
        const Id id = nextId_++;
        activationObservers_[id] = std::move(activated);
        return id;
    }

    void remove(Id id) override {
        inputMonitors_.erase(id);
        activationObservers_.erase(id);
        selectRawInput();
    }

    // X11 has no modal loop of the host's.
    bool modalLoopRunning() override { return false; }
    void abortModal() override {}

    // A short-lived connection: a session that never shows an editor keeps
    // none open.
    void prepareDisplayForPlugins() override { x11::internWindowManagerAtoms(kAtomsLimit); }

private:
    // Long for a local server, short for a session waiting to open.
    static constexpr std::chrono::milliseconds kAtomsLimit{2000};

    struct Monitor {
        RootRect rect;
        bool primary = false;
    };

    static EditorRect flipped(const RootRect& r, int rootHeight) {
        return {static_cast<double>(r.x), static_cast<double>(rootHeight - r.y - r.height),
                static_cast<double>(r.width), static_cast<double>(r.height)};
    }

    void listen() {
        xcb_connection_t* c = connection_.xcb();
        const std::uint32_t rootEvents[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
        xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, rootEvents);
        connection_.setRootHandler([this](const xcb_generic_event_t& event) { rootEvent(event); });
        connection_.setLostHandler([this] {
            // Each panel's window object closes its editor; none may go away
            // meanwhile, so the list is copied.
            const std::vector<X11Panel*> panels = panels_;
            for (X11Panel* panel : panels) {
                if (std::find(panels_.begin(), panels_.end(), panel) != panels_.end()) panel->connectionLost();
            }
        });
        connection_.flush();
    }

    // Raw input is asked for only while someone watches it: otherwise every
    // click on the desktop would wake the helper for nothing.
    void selectRawInput() {
        const bool wanted = !inputMonitors_.empty();
        if (!connection_.isOpen() || !connection_.xinputOpcode() || wanted == rawInputSelected_) return;
        rawInputSelected_ = wanted;
        struct {
            xcb_input_event_mask_t head;
            std::uint32_t mask;
        } select{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                 wanted ? std::uint32_t{XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS |
                                        XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE |
                                        XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE}
                        : 0u};
        xcb_input_xi_select_events(connection_.xcb(), connection_.root(), 1, &select.head);
        connection_.flush();
    }

    std::vector<Monitor> monitors(int rootWidth, int rootHeight) {
        std::vector<Monitor> result;
        xcb_connection_t* c = connection_.xcb();
        if (connection_.hasRandRMonitors()) {
            X11Reply<xcb_randr_get_monitors_reply_t> reply(
                xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection_.root(), 1), nullptr));
            if (reply) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.reply); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    const xcb_randr_monitor_info_t* m = it.data;
                    if (m->width == 0 || m->height == 0) continue;
                    result.push_back({{m->x, m->y, m->width, m->height}, m->primary != 0});
                }
            }
        }
        connection_.serviceSoon();
        if (result.empty()) result.push_back({{0, 0, rootWidth, rootHeight}, true});
        return result;
    }

    // The part of the screen the window manager leaves to windows (its
    // panels and docks excluded), on the current desktop; none without one.
    std::optional<RootRect> workArea() {
        xcb_ewmh_connection_t& ewmh = connection_.ewmh();
        const int screen = connection_.screenNumber();
        xcb_ewmh_get_workarea_reply_t areas{};
        const bool hasAreas = xcb_ewmh_get_workarea_reply(&ewmh, xcb_ewmh_get_workarea(&ewmh, screen), &areas, nullptr);
        connection_.serviceSoon();
        if (!hasAreas) return std::nullopt;
        std::uint32_t desktop = 0;
        if (!xcb_ewmh_get_current_desktop_reply(&ewmh, xcb_ewmh_get_current_desktop(&ewmh, screen), &desktop,
                                                nullptr)) {
            desktop = 0;
        }
        std::optional<RootRect> area;
        if (areas.workarea_len > 0) {
            const xcb_ewmh_geometry_t& g = areas.workarea[desktop < areas.workarea_len ? desktop : 0];
            if (g.width > 0 && g.height > 0) {
                area = RootRect{static_cast<int>(g.x), static_cast<int>(g.y), static_cast<int>(g.width),
                                static_cast<int>(g.height)};
            }
        }
        xcb_ewmh_get_workarea_reply_wipe(&areas);
        return area;
    }

    void rootEvent(const xcb_generic_event_t& event) {
        const std::uint8_t type = event.response_type & ~0x80;
        if (type == XCB_PROPERTY_NOTIFY) {
            const auto& changed = reinterpret_cast<const xcb_property_notify_event_t&>(event);
            if (changed.atom == connection_.ewmh()._NET_ACTIVE_WINDOW) activationChanged();
            return;
        }
        if (type == XCB_GE_GENERIC && connection_.xinputOpcode()) {
            const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
            if (generic.extension != *connection_.xinputOpcode()) return;
            rawInput(generic);
        }
    }

    void activationChanged() {
        if (activationObservers_.empty()) return;
        xcb_ewmh_connection_t& ewmh = connection_.ewmh();
        std::optional<int> pid;
        xcb_window_t active = XCB_WINDOW_NONE;
        if (xcb_ewmh_get_active_window_reply(&ewmh, xcb_ewmh_get_active_window(&ewmh, connection_.screenNumber()),
                                             &active, nullptr) &&
            active != XCB_WINDOW_NONE) {
            std::uint32_t value = 0;
            if (xcb_ewmh_get_wm_pid_reply(&ewmh, xcb_ewmh_get_wm_pid(&ewmh, active), &value, nullptr) && value > 0) {
                pid = static_cast<int>(value);
            }
        }
        connection_.serviceSoon();
        notify(activationObservers_, pid);
    }

    void rawInput(const xcb_ge_generic_event_t& generic) {
        if (inputMonitors_.empty()) return;
        EditorInput input;
        switch (generic.event_type) {
        case XCB_INPUT_RAW_BUTTON_PRESS: {
            const auto button = reinterpret_cast<const xcb_input_raw_button_press_event_t&>(generic).detail;
            if (button < 4 || button > 7) return; // presses count only as scroll steps
            input.kind = EditorInput::Kind::scroll;
            input.panel = panelUnderPointer();
            break;
        }
        case XCB_INPUT_RAW_BUTTON_RELEASE: {
            const auto button = reinterpret_cast<const xcb_input_raw_button_release_event_t&>(generic).detail;
            if (!((button >= 1 && button <= 3) || button == 8 || button == 9)) return;
            input.kind = EditorInput::Kind::buttonRelease;
            input.panel = panelUnderPointer();
            break;
        }
        case XCB_INPUT_RAW_KEY_RELEASE:
            input.kind = EditorInput::Kind::keyRelease;
            input.panel = panelWithFocus();
            break;
        default:
            return;
        }
        notify(inputMonitors_, input);
    }

    template <typename Callbacks, typename Value>
    static void notify(Callbacks& callbacks, const Value& value) {
        // A callback may remove itself or another: each is looked up again.
        std::vector<Id> ids;
        for (const auto& entry : callbacks) ids.push_back(entry.first);
        for (const Id id : ids) {
            const auto it = callbacks.find(id);
            if (it == callbacks.end()) continue;
            auto callback = it->second;
            callback(value);
        }
    }

    const EditorPanel* panelUnderPointer() {
        for (X11Panel* panel : panels_) {
            if (panel->pointerInside()) return panel;
        }
        return nullptr;
    }

    const EditorPanel* panelWithFocus() {
        for (X11Panel* panel : panels_) {
            if (panel->focusInside()) return panel;
        }
        // Focus that follows the pointer goes where the pointer is. Whether
        // it does changes seldom, so it is asked at the time of the key.
        xcb_connection_t* c = connection_.xcb();
        X11Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        connection_.serviceSoon();
        if (focus && (focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT || focus->focus == connection_.root())) {
            return panelUnderPointer();
        }
        return nullptr;
    }

    X11Connection connection_;
    std::vector<X11Panel*> panels_;
    std::map<Id, std::function<void(const EditorInput&)>> inputMonitors_;
    std::map<Id, std::function<void(std::optional<int>)>> activationObservers_;
    Id nextId_ = 1;
    bool rawInputSelected_ = false;
};

} // namespace

std::unique_ptr<EditorWindowSystem> makeEditorWindowSystem(MainLoop& loop) {
    return std::make_unique<X11EditorWindowSystem>(loop);
}

} // namespace platform
