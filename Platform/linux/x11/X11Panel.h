// The editor panel as an X11 top-level window: a utility window kept above
// the others, with WM_DELETE_WINDOW as its close button, and inside it one
// container window that embeds the plug-in's own window by XEmbed. Rectangles
// leave and enter it in the bottom-left frame of the platform-free logic.
#pragma once

#include "X11Connection.h"
#include "platform/EditorWindowSystem.h"

#include <functional>
#include <optional>
#include <vector>

namespace platform::x11 {

class X11Panel : public EditorPanel, private X11EventTarget {
public:
    // `mainVisibleFrame` is where center() centres the panel; `gone` is
    // called from the destructor.
    X11Panel(X11Connection& connection, double width, double height,
             std::function<std::optional<EditorRect>()> mainVisibleFrame, std::function<void(X11Panel*)> gone);
    ~X11Panel() override;
    X11Panel(const X11Panel&) = delete;
    X11Panel& operator=(const X11Panel&) = delete;

    void setTitle(const std::string& title) override;
    void setResizable(bool resizable) override;
    bool isResizable() const override { return resizable_; }
    void setContentSize(double width, double height) override;
    EditorRect frame() const override;
    void setFrameOrigin(double x, double y) override;
    void center() override;
    EditorRect containerFrame() const override;
    void* containerView() const override;
    void orderFrontRegardless() override;
    void orderOut() override;
    bool isVisible() const override { return mapped_; }
    void setDelegate(EditorPanelDelegate* delegate) override { delegate_ = delegate; }

    xcb_window_t topLevel() const { return top_; }
    // Where the pointer and the keyboard focus were when the last event
    // before this one happened: crossing and focus events come in order with
    // the raw input events, so a click is judged by where it was made, not by
    // where the pointer is by the time it is handled.
    bool pointerInside() const { return mapped_ && pointerInside_; }
    bool focusInside() const { return mapped_ && focusInside_; }
    // The server is gone: the panel can only be closed.
    void connectionLost();

private:
    struct Extents {
        int left = 0, right = 0, top = 0, bottom = 0;
    };

    void handleEvent(const xcb_generic_event_t& event) override;
    void handleTopLevelEvent(const xcb_generic_event_t& event);
    void handleContainerEvent(const xcb_generic_event_t& event);
    void embed(xcb_window_t child);
    void sendXEmbed(xcb_window_t child, std::uint32_t message, std::uint32_t detail = 0, std::uint32_t data1 = 0,
                    std::uint32_t data2 = 0);
    void fitChildren();
    void writeSizeHints();
    Extents frameExtents() const;
    // The content's top-left corner in root coordinates.
    std::pair<int, int> contentOrigin() const;

    X11Connection& connection_;
    std::function<std::optional<EditorRect>()> mainVisibleFrame_;
    std::function<void(X11Panel*)> gone_;
    xcb_window_t top_ = XCB_WINDOW_NONE;
    xcb_window_t container_ = XCB_WINDOW_NONE;
    int width_ = 1, height_ = 1;
    std::optional<std::pair<int, int>> requestedPosition_; // root coordinates of the outer frame
    bool resizable_ = false;
    bool mapped_ = false;
    bool focused_ = false;
    bool pointerInside_ = false;
    bool focusInside_ = false;
    std::vector<xcb_window_t> embedded_;
    EditorPanelDelegate* delegate_ = nullptr;
};

} // namespace platform::x11
