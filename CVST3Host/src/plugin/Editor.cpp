// The plug-in's editor view: made once and kept until closed, attached inside
// a window of the caller's, sized by the caller; the plug-in's own resize
// requests are only recorded by the plug frame and taken here by polling.
#include "Errors.h"

#include <climits>
#include "plugin/Guard.h"
#include "plugin/PluginInstance.h"
#include "platform/EditorView.h"
#include "tv3/PlugFrame.h"
#include "tv3/RunLoop.h"

using namespace Steinberg;
using tv3m::guarded;
using tv3m::setError;

namespace {

constexpr int32 kDefaultWidth = 480;
constexpr int32 kDefaultHeight = 320;

// The instance's view, made by the controller when it holds none yet; null
// when the controller makes none or the view does not take this platform.
IPlugView* obtainView(tv3m_plugin& p) {
    if (p.view) return p.view;
    if (!p.controller) return nullptr;
    IPlugView* view = p.controller->createView(Vst::ViewType::kEditor);
    if (!view) return nullptr;
    if (view->isPlatformTypeSupported(platform::editorViewPlatformType()) != kResultTrue) {
        view->release();
        return nullptr;
    }
    p.view = view;
    return view;
}

} // namespace

extern "C" int32_t tv3m_editor_available(tv3m_plugin* plugin) {
    if (!plugin || !plugin->controller) return 0;
    return guarded(0, [&] { return obtainView(*plugin) ? 1 : 0; });
}

extern "C" int32_t tv3m_editor_preferred_size(tv3m_plugin* plugin, int32_t* width, int32_t* height) {
    if (!plugin || !plugin->controller) return -1;
    return guarded(-1, [&] {
        IPlugView* view = obtainView(*plugin);
        if (!view || plugin->viewAttached) return -1;
        ViewRect rect{};
        if (view->getSize(&rect) != kResultOk) return -1;
        const int64 w = static_cast<int64>(rect.right) - rect.left, h = static_cast<int64>(rect.bottom) - rect.top;
        if (w < 1 || h < 1 || w > INT32_MAX || h > INT32_MAX) return -1;
        if (width) *width = static_cast<int32_t>(w);
        if (height) *height = static_cast<int32_t>(h);
        return 0;
    });
}

extern "C" int32_t tv3m_editor_open(tv3m_plugin* plugin, void* parent, int32_t* width, int32_t* height, char* error,
                                    int32_t errorSize) {
    if (!plugin || !plugin->controller) {
        setError(error, errorSize, "no edit controller");
        return -1;
    }
    const int32_t failed = guarded(-2, [&] {
        IPlugView* view = obtainView(*plugin);
        if (!view) {
            setError(error, errorSize, "this plug-in has no %s editor", platform::editorPlatformWord());
            return -1;
        }
        if (plugin->viewAttached) return 0;
        plugin->plugFrame->clearPending(); // a request from before this open is stale
        view->setFrame(plugin->plugFrame);
        if (view->attached(parent, platform::editorViewPlatformType()) != kResultOk) {
            view->setFrame(nullptr);
            setError(error, errorSize, "the plug-in's editor refused to attach to the window");
            return -1;
        }
        plugin->viewAttached = true;
        ViewRect rect{};
        int32 w = kDefaultWidth, h = kDefaultHeight;
        if (view->getSize(&rect) == kResultOk) {
            // Kept in 32 bits whatever the plug-in's rectangle holds.
            w = static_cast<int32>(static_cast<uint32>(rect.right) - static_cast<uint32>(rect.left));
            h = static_cast<int32>(static_cast<uint32>(rect.bottom) - static_cast<uint32>(rect.top));
        }
        if (width) *width = w;
        if (height) *height = h;
        return 0;
    });
    if (failed == -2) {
        setError(error, errorSize, "the plug-in's editor failed with an exception while it was attached");
        return -1;
    }
    return failed;
}

extern "C" void tv3m_editor_close(tv3m_plugin* plugin) {
    if (!plugin || !plugin->view) return;
    guarded([&] {
        IPlugView* view = plugin->view;
        if (plugin->viewAttached) {
            plugin->viewAttached = false;
            view->removed();
        }
        view->setFrame(nullptr);
    });
    // Whatever the editor left registered goes with it: its handlers may be
    // parts of the view released below.
    guarded([&] { plugin->runLoop->removeAll(); });
    IPlugView* view = plugin->view;
    plugin->view = nullptr;
    guarded([&] { view->release(); });
}

extern "C" int32_t tv3m_editor_set_size(tv3m_plugin* plugin, int32_t width, int32_t height) {
    if (!plugin || !plugin->view) return -1;
    return guarded(-1, [&] {
        ViewRect rect(0, 0, width, height);
        return plugin->view->onSize(&rect) == kResultOk ? 0 : -1;
    });
}

extern "C" int32_t tv3m_editor_take_resize_request(tv3m_plugin* plugin, int32_t* width, int32_t* height) {
    if (!plugin || !plugin->plugFrame) return 0;
    int32 w = 0, h = 0;
    if (!plugin->plugFrame->takeResizeRequest(w, h)) return 0;
    if (width) *width = w;
    if (height) *height = h;
    return 1;
}

extern "C" int32_t tv3m_editor_can_resize(tv3m_plugin* plugin) {
    if (!plugin || !plugin->view) return 0;
    return guarded(0, [&] { return plugin->view->canResize() == kResultTrue ? 1 : 0; });
}
