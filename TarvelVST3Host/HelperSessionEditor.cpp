// The editor requests: show the plug-in's editor in a panel of this process,
// raise it, close it. Replies carry nothing but an error.
#include "HelperSession.h"

#include <unistd.h>

namespace {

constexpr const char* kDefaultTitle = "Plug-in";

HelperSession::Reply error(const std::string& text) { return {PluginBridgeMessage::reply(text), {}}; }
HelperSession::Reply plain() { return {PluginBridgeMessage::reply(), {}}; }

} // namespace

HelperSession::Reply HelperSession::openEditor(const PluginBridgeMessage& request) {
    if (!plugin_) return error("no instance is open");
    if (editor_ && editor_->isOpen()) {
        // Already open: shown again where it is, neither retitled nor moved.
        editor_->raise();
        return plain();
    }
    const HelperSessionEnvironment e = environment();
    if (!e.windows) {
        // This build has no window system for editors.
        editor_.reset();
        return error("this plug-in has no Linux editor");
    }
    std::string why;
    if (!e.windows->connect(why)) {
        editor_.reset();
        return error("no display is available for the editor");
    }
    HelperEditorWindow::Environment windowEnvironment{e.windows, e.mainLoop, static_cast<int>(::getpid())};
    // Before the view is attached, and again after: a plug-in may bring its
    // window library in as late as that.
    platform::keepPluginWindowErrorsNonFatal();
    try {
        editor_ = HelperEditorWindow::open(plugin_, request.title.value_or(kDefaultTitle), request.anchor,
                                           parentPID_, status_, windowEnvironment);
    } catch (const HelperEditorWindow::Failure& failure) {
        editor_.reset();
        platform::keepPluginWindowErrorsNonFatal();
        return error(failure.what());
    }
    platform::keepPluginWindowErrorsNonFatal();
    status_->setEditorOpen(true);
    return plain();
}

HelperSession::Reply HelperSession::raiseEditor() {
    if (editor_ && editor_->isOpen()) editor_->raise();
    return plain();
}

HelperSession::Reply HelperSession::closeEditor() {
    closeEditorSafely();
    return plain();
}

void HelperSession::closeEditorSafely() {
    if (!editor_) return;
    std::shared_ptr<HelperEditorWindow> window = std::move(editor_);
    editor_.reset();
    status_->setEditorOpen(false);
    const HelperSessionEnvironment e = environment();
    if (!e.windows || !e.windows->modalLoopRunning()) {
        window->close();
        return;
    }
    // Closing the view under the plug-in's own modal dialog would pull the
    // ground from under it: the loop is ended first, and the window closed
    // once the main loop runs again. The task keeps the window alive.
    e.windows->abortModal();
    e.mainLoop->post([window] { window->close(); });
}
