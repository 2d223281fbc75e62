#include "HelperEditorWindow.h"

#include "EditorPlacement.h"
#include "tv3m.h"

#include <chrono>
#include <cstring>

namespace {

constexpr int kErrorBytes = 512;

} // namespace

std::shared_ptr<HelperEditorWindow> HelperEditorWindow::open(tv3m_plugin* plugin, const std::string& title,
                                                             const std::optional<std::vector<double>>& anchor,
                                                             int parentPID, std::shared_ptr<HelperStatus> status,
                                                             const Environment& environment) {
    std::shared_ptr<HelperEditorWindow> window(
        new HelperEditorWindow(plugin, parentPID, std::move(status), environment));
    window->build(title, anchor);
    return window;
}

HelperEditorWindow::HelperEditorWindow(tv3m_plugin* plugin, int parentPID, std::shared_ptr<HelperStatus> status,
                                       const Environment& environment)
    : plugin_(plugin), parentPID_(parentPID), status_(std::move(status)), environment_(environment) {}

HelperEditorWindow::~HelperEditorWindow() {
    // The session closes a window before it lets go of it; this only keeps a
    // forgotten one from leaving callbacks behind.
    close();
}

void HelperEditorWindow::build(const std::string& title, const std::optional<std::vector<double>>& anchor) {
    std::int32_t preferredWidth = 0, preferredHeight = 0;
    double width = kDefaultWidth, height = kDefaultHeight;
    if (tv3m_editor_preferred_size(plugin_, &preferredWidth, &preferredHeight) == 0) {
        width = preferredWidth;
        height = preferredHeight;
    }
    if (width <= kMinimumWidth) width = kMinimumWidth;
    if (height <= kMinimumHeight) height = kMinimumHeight;

    panel_ = environment_.windows->makePanel(width, height);
    // Only a window system that lost its display between connecting and now
    // makes no panel.
    if (!panel_) throw Failure(Failure::Kind::refused, "no display is available for the editor");
    panel_->setTitle(title);
    panel_->setDelegate(this);

    std::int32_t attachedWidth = 0, attachedHeight = 0;
    char error[kErrorBytes] = {};
    if (tv3m_editor_open(plugin_, panel_->containerView(), &attachedWidth, &attachedHeight, error, sizeof error) !=
        0) {
        panel_->setDelegate(nullptr);
        throw Failure(Failure::Kind::refused, std::string(error, strnlen(error, sizeof error)));
    }
    isOpen_ = true;
    if (attachedWidth >= 1 && attachedHeight >= 1) panel_->setContentSize(attachedWidth, attachedHeight);
    if (tv3m_editor_can_resize(plugin_) != 0) panel_->setResizable(true);

    place(anchor);
    panel_->orderFrontRegardless();
    startFollowing();
}

void HelperEditorWindow::place(const std::optional<std::vector<double>>& numbers) {
    const std::optional<platform::EditorRect> given = editor::anchorFrom(numbers);
    if (!given) {
        panel_->center();
        return;
    }
    const std::optional<platform::EditorRect> anchor = environment_.windows->fromPlatformCoordinates(*given);
    const platform::EditorRect frame = panel_->frame();
    const editor::Point at = editor::placeBeside(*anchor, frame.width, frame.height,
                                                 environment_.windows->screens(),
                                                 environment_.windows->mainScreenVisibleFrame());
    panel_->setFrameOrigin(at.x, at.y);
}

void HelperEditorWindow::startFollowing() {
    // Each callback holds the window weakly: one that comes after the window
    // is gone does nothing.
    std::weak_ptr<HelperEditorWindow> weak = weak_from_this();
    resizeTimer_ = environment_.loop->startRepeatingTimer(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(kResizePollSeconds)),
        [weak] {
            if (auto window = weak.lock()) window->applyResizeRequest();
        });
    eventMonitor_ = environment_.windows->monitorInput([weak](const platform::EditorInput& input) {
        if (auto window = weak.lock()) window->countInteraction(input);
    });
    activationObserver_ = environment_.windows->observeActivation([weak](std::optional<int> pid) {
        if (auto window = weak.lock()) window->followActivation(pid);
    });
}

void HelperEditorWindow::close() {
    if (!isOpen_) return;
    isOpen_ = false;
    if (resizeTimer_) environment_.loop->cancel(*resizeTimer_);
    resizeTimer_.reset();
    if (eventMonitor_) environment_.windows->remove(*eventMonitor_);
    eventMonitor_.reset();
    if (activationObserver_) environment_.windows->remove(*activationObserver_);
    activationObserver_.reset();
    tv3m_editor_close(plugin_);
    panel_->setDelegate(nullptr);
    panel_->orderOut();
}

void HelperEditorWindow::raise() {
    if (!isOpen_) return;
    hiddenWhileAway_ = false;
    panel_->orderFrontRegardless();
}

bool HelperEditorWindow::panelShouldClose() {
    close();
    status_->setEditorOpen(false);
    return false;
}

void HelperEditorWindow::panelDidResize() {
    if (!isOpen_ || !panel_->isResizable()) return;
    const platform::EditorRect container = panel_->containerFrame();
    tv3m_editor_set_size(plugin_, editor::roundedSize(container.width), editor::roundedSize(container.height));
}

void HelperEditorWindow::applyResizeRequest() {
    if (!isOpen_) return;
    std::int32_t width = 0, height = 0;
    if (tv3m_editor_take_resize_request(plugin_, &width, &height) == 0) return;
    if (width < 1 || height < 1) return; // consumed, and dropped
    panel_->setContentSize(width, height);
    tv3m_editor_set_size(plugin_, width, height);
}

void HelperEditorWindow::followActivation(std::optional<int> pid) {
    const auto parentHasWindow = [this] { return environment_.windows->applicationHasWindow(parentPID_); };
    switch (editor::followActivation(isOpen_, pid, parentPID_, environment_.ownPID, hiddenWhileAway_,
                                     parentHasWindow)) {
    case editor::ActivationStep::nothing:
        break;
    case editor::ActivationStep::hide:
        hiddenWhileAway_ = true;
        panel_->orderOut();
        break;
    case editor::ActivationStep::show:
        hiddenWhileAway_ = false;
        panel_->orderFrontRegardless();
        break;
    }
}

void HelperEditorWindow::countInteraction(const platform::EditorInput& input) {
    if (editor::countsAsInteraction(input, panel_.get())) status_->addEdits(1);
}
