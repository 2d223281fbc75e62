// The window system as the editor window's platform-free logic sees it: a
// floating panel with a container for the plug-in's view, the screens, the
// user's input aimed at a panel, and which application became active. All of
// it is used on the main thread. Rectangles are in global screen coordinates
// with the origin at the bottom left and y growing upwards; a platform whose
// windows count from the top left turns them over at its edge.
#pragma once

#include "platform/MainLoop.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct EditorRect {
    double x = 0, y = 0, width = 0, height = 0;
    double minX() const { return x; }
    double maxX() const { return x + width; }
    double minY() const { return y; }
    double maxY() const { return y + height; }
    bool operator==(const EditorRect&) const = default;
};

struct EditorScreen {
    EditorRect frame;        // the whole screen
    EditorRect visibleFrame; // the part windows may use
};

// What the panel tells its window object.
class EditorPanelDelegate {
public:
    virtual ~EditorPanelDelegate() = default;
    // The close button. False keeps the panel: the delegate hides it itself.
    virtual bool panelShouldClose() = 0;
    // The panel's size changed, by the user or by the program.
    virtual void panelDidResize() = 0;
};

// A floating panel, kept above ordinary windows, that does not make this
// process the active application. Its content is one container view, inside
// which the plug-in's view is attached.
class EditorPanel {
public:
    virtual ~EditorPanel() = default;
    virtual void setTitle(const std::string& title) = 0;
    // The user may resize it (the platform's resizable style).
    virtual void setResizable(bool resizable) = 0;
    virtual bool isResizable() const = 0;
    virtual void setContentSize(double width, double height) = 0;
    // The outer rectangle, title bar included.
    virtual EditorRect frame() const = 0;
    virtual void setFrameOrigin(double x, double y) = 0; // the bottom-left corner
    virtual void center() = 0;
    // The container's rectangle, and what tv3m_editor_open takes as parent.
    virtual EditorRect containerFrame() const = 0;
    virtual void* containerView() const = 0;
    // Shows it in front of the other windows of its level, even while this
    // process is not active, without taking the focus; hides it.
    virtual void orderFrontRegardless() = 0;
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    virtual void setDelegate(EditorPanelDelegate* delegate) = 0; // null: none
};

// One of the user's inputs the window system saw, before it was delivered.
struct EditorInput {
    enum class Kind { buttonPress, buttonRelease, scroll, keyPress, keyRelease, motion };
    Kind kind = Kind::motion;
    // The panel it is aimed at (the pointer's for buttons and scrolling, the
    // focus's for keys), or none.
    const EditorPanel* panel = nullptr;
};

class EditorWindowSystem {
public:
    using Id = std::uint64_t; // never 0

    virtual ~EditorWindowSystem() = default;

    // Connects to the window system when not yet connected. False, with a
    // reason for the log, when there is no display to show an editor on.
    virtual bool connect(std::string& why) = 0;
    // A hidden panel whose content area is width × height. Connected only.
    virtual std::unique_ptr<EditorPanel> makePanel(double width, double height) = 0;

    // A rectangle in the platform's own screen coordinates (the parent's
    // anchor), turned into the frame above.
    virtual EditorRect fromPlatformCoordinates(const EditorRect& rect) = 0;

    // The screens in the platform's order, and the main screen's visible
    // frame (none without a main screen).
    virtual std::vector<EditorScreen> screens() = 0;
    virtual std::optional<EditorRect> mainScreenVisibleFrame() = 0;

    // Whether the application with this process id has a window of its own
    // on the display: one without any can never become the active one. True
    // when the window system cannot tell.
    virtual bool applicationHasWindow(int pid) = 0;

    // Calls `seen` for each of the user's inputs, which go on unchanged.
    virtual Id monitorInput(std::function<void(const EditorInput&)> seen) = 0;
    // Calls `activated` whenever an application becomes the active one, with
    // its process id (none when the platform cannot tell).
    virtual Id observeActivation(std::function<void(std::optional<int> pid)> activated) = 0;
    virtual void remove(Id id) = 0;

    // A modal loop of the host's own, which a window being closed must end
    // first. Platforms without one say false.
    virtual bool modalLoopRunning() = 0;
    virtual void abortModal() = 0;

    // Before an instance that may show an editor is created: makes on the
    // display what plug-ins expect a window manager to have made there, as
    // some look it up only once, when they are created, and only if it
    // exists. Waits a bounded time, keeps no connection open, and does
    // nothing when there is no display.
    virtual void prepareDisplayForPlugins() = 0;
};

// Plug-ins may bring the window system's own client library into the process
// (on X11: Xlib, whose default error handler ends the process on any failed
// request). Once it is there, its errors are logged and the plug-in goes on,
// unless the plug-in installed a handler of its own. Call it wherever the
// library may first appear: after loading and creating an instance and after
// attaching its view. Main thread; cheap once done.
void keepPluginWindowErrorsNonFatal();

// The platform's window system, served by `loop` (the main thread's). It
// connects to the display only when connect() is first called.
std::unique_ptr<EditorWindowSystem> makeEditorWindowSystem(MainLoop& loop);

} // namespace platform
