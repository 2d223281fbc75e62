// The plug-in's editor in a floating panel of this process: built, attached,
// placed beside the parent's rectangle and shown in one go; it follows the
// plug-in's resize requests and the user's resizes, hides while a third
// application is active (when the parent has a window to come back to),
// counts the user's interactions as edits, and is torn down by close(), the
// close button or the session. Written against the platform's window system
// interface, so that all of it runs with a fake.
#pragma once

#include "HelperStatus.h"
#include "platform/EditorWindowSystem.h"
#include "platform/MainLoop.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct tv3m_plugin;

class HelperEditorWindow : public platform::EditorPanelDelegate,
                           public std::enable_shared_from_this<HelperEditorWindow> {
public:
    // Construction's one failure: the plug-in's view could not be attached.
    // Its text is the tv3m layer's, unchanged.
    struct Failure : std::runtime_error {
        enum class Kind { refused };
        Failure(Kind k, const std::string& text) : std::runtime_error(text), kind(k) {}
        Kind kind;
    };

    // What the window needs besides the instance.
    struct Environment {
        platform::EditorWindowSystem* windows = nullptr;
        platform::MainLoop* loop = nullptr;
        int ownPID = 0;
    };

    static constexpr double kDefaultWidth = 480, kDefaultHeight = 320;
    static constexpr double kMinimumWidth = 64, kMinimumHeight = 48;
    // The plug-in's resize requests are polled this often.
    static constexpr double kResizePollSeconds = 1.0 / 30;

    // Builds, attaches and shows the window; throws Failure. The window
    // system must be connected.
    static std::shared_ptr<HelperEditorWindow> open(tv3m_plugin* plugin, const std::string& title,
                                                    const std::optional<std::vector<double>>& anchor, int parentPID,
                                                    std::shared_ptr<HelperStatus> status,
                                                    const Environment& environment);
    ~HelperEditorWindow() override;
    HelperEditorWindow(const HelperEditorWindow&) = delete;
    HelperEditorWindow& operator=(const HelperEditorWindow&) = delete;

    // Detaches the view and hides the panel; nothing when not open.
    void close();
    bool isOpen() const { return isOpen_; }
    bool hiddenWhileAway() const { return hiddenWhileAway_; }
    // The session's raise: shows the panel again, also when hidden while away.
    void raise();
    platform::EditorPanel& panel() { return *panel_; }

    // The panel's delegate.
    bool panelShouldClose() override;
    void panelDidResize() override;

    // The steps the timer, the monitor and the observer run (public for the
    // tests that drive them directly).
    void applyResizeRequest();
    void followActivation(std::optional<int> pid);
    void countInteraction(const platform::EditorInput& input);

private:
    HelperEditorWindow(tv3m_plugin* plugin, int parentPID, std::shared_ptr<HelperStatus> status,
                       const Environment& environment);
    void build(const std::string& title, const std::optional<std::vector<double>>& anchor);
    void place(const std::optional<std::vector<double>>& anchor);
    void startFollowing();

    tv3m_plugin* plugin_;
    std::unique_ptr<platform::EditorPanel> panel_;
    int parentPID_;
    std::optional<platform::MainLoop::Id> resizeTimer_;
    std::optional<platform::EditorWindowSystem::Id> eventMonitor_;
    std::optional<platform::EditorWindowSystem::Id> activationObserver_;
    bool hiddenWhileAway_ = false;
    bool isOpen_ = false;
    std::shared_ptr<HelperStatus> status_;
    Environment environment_;
};
