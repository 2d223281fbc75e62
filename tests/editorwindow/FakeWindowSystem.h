// A window system that shows nothing: panels remember what was done to them,
// the screens are what the test says, and the test delivers inputs and
// activations itself, as the platform's layer would.
#pragma once

#include "platform/EditorWindowSystem.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace editortest {

using platform::EditorRect;

class FakePanel : public platform::EditorPanel {
public:
    FakePanel(double width, double height) : content_{0, 0, width, height} {}
    void setTitle(const std::string& t) override { title = t; }
    void setResizable(bool r) override { resizable = r; }
    bool isResizable() const override { return resizable; }
    void setContentSize(double w, double h) override {
        content_.width = w;
        content_.height = h;
        contentSizes.push_back({w, h});
        // As the platform does: a new size is reported to the delegate.
        if (delegate) delegate->panelDidResize();
    }
    EditorRect frame() const override {
        return {origin.x, origin.y, content_.width, content_.height + kTitleBar};
    }
    void setFrameOrigin(double x, double y) override {
        origin = {x, y, 0, 0};
        placed = true;
    }
    void center() override { centered = true; }
    EditorRect containerFrame() const override { return content_; }
    void* containerView() const override { return reinterpret_cast<void*>(kContainer); }
    void orderFrontRegardless() override {
        visible = true;
        ++shown;
    }
    void orderOut() override {
        visible = false;
        ++hidden;
    }
    bool isVisible() const override { return visible; }
    void setDelegate(platform::EditorPanelDelegate* d) override { delegate = d; }

    // The user drags the edge: the container gets a size that need not be whole.
    void userResizes(double w, double h) {
        content_.width = w;
        content_.height = h;
        if (delegate) delegate->panelDidResize();
    }

    static constexpr double kTitleBar = 22;
    static constexpr std::uintptr_t kContainer = 0x2a00011;
    std::string title;
    bool resizable = false, centered = false, placed = false, visible = false;
    bool released = false; // the window let go of it
    // What the window holds and compares inputs against, while it holds it.
    const platform::EditorPanel* handle = nullptr;
    int shown = 0, hidden = 0;
    EditorRect origin;
    std::vector<std::pair<double, double>> contentSizes;
    platform::EditorPanelDelegate* delegate = nullptr;

private:
    EditorRect content_;
};

class FakeWindowSystem : public platform::EditorWindowSystem {
public:
    bool connect(std::string& why) override {
        if (!display) why = "no display";
        return display;
    }
    std::unique_ptr<platform::EditorPanel> makePanel(double w, double h) override {
        if (!makesPanels) return nullptr;
        owned.push_back(std::make_unique<FakePanel>(w, h));
        panels.push_back(owned.back().get());
        madeSizes.push_back({w, h});
        return std::make_unique<PanelHandle>(*owned.back());
    }
    // Identity, unless the test plays a platform that counts from the top
    // left of a root of this height.
    EditorRect fromPlatformCoordinates(const EditorRect& r) override {
        if (!topLeftRootHeight) return r;
        return {r.x, *topLeftRootHeight - r.y - r.height, r.width, r.height};
    }
    std::vector<platform::EditorScreen> screens() override { return screenList; }
    std::optional<EditorRect> mainScreenVisibleFrame() override { return mainVisible; }
    std::optional<double> topLeftRootHeight;
    bool applicationHasWindow(int pid) override {
        windowQueries.push_back(pid);
        return !pidsWithoutWindow.contains(pid);
    }
    // Nothing to make on a display that shows nothing.
    void prepareDisplayForPlugins() override {}
    Id monitorInput(std::function<void(const platform::EditorInput&)> seen) override {
        monitors[++lastId] = std::move(seen);
        return lastId;
    }
    Id observeActivation(std::function<void(std::optional<int>)> activated) override {
        observers[++lastId] = std::move(activated);
        return lastId;
    }
    void remove(Id id) override {
        monitors.erase(id);
        observers.erase(id);
        removed.push_back(id);
    }
    bool modalLoopRunning() override { return modal; }
    void abortModal() override {
        ++modalAborts;
        // What the last panel had been through when the loop was ended: a
        // close before it would show here.
        hiddenWhenAborted = panels.empty() ? -1 : panels.back()->hidden;
        modal = false;
    }

    // Tests name the panel an input is aimed at by its FakePanel; the window
    // knows it by the handle it was given.
    void deliver(platform::EditorInput input) {
        for (const auto& panel : owned) {
            if (input.panel == panel.get() && panel->handle) input.panel = panel->handle;
        }
        auto copy = monitors;
        for (auto& [id, m] : copy) m(input);
    }
    void activate(std::optional<int> pid) {
        auto copy = observers;
        for (auto& [id, o] : copy) o(pid);
    }

    // Applications that show no window; every other one has one.
    std::set<int> pidsWithoutWindow;
    // Whose windows were asked about, in order.
    std::vector<int> windowQueries;
    bool display = true;
    bool makesPanels = true; // false: the display went away after connect()
    bool modal = false;
    int modalAborts = 0;
    int hiddenWhenAborted = -1;
    std::vector<platform::EditorScreen> screenList{{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
    std::optional<EditorRect> mainVisible = EditorRect{0, 0, 1440, 875};
    // Every panel made, kept after its window let go of it, so that tests
    // can still read what was done to it.
    std::vector<FakePanel*> panels;
    std::vector<std::pair<double, double>> madeSizes;
    std::map<Id, std::function<void(const platform::EditorInput&)>> monitors;
    std::map<Id, std::function<void(std::optional<int>)>> observers;
    std::vector<Id> removed;
    Id lastId = 0;

private:
    // What the window holds: it passes everything on, and marks the panel
    // released when the window lets go of it.
    class PanelHandle : public platform::EditorPanel {
    public:
        explicit PanelHandle(FakePanel& panel) : p_(panel) { p_.handle = this; }
        ~PanelHandle() override {
            p_.released = true;
            p_.handle = nullptr;
        }
        void setTitle(const std::string& t) override { p_.setTitle(t); }
        void setResizable(bool r) override { p_.setResizable(r); }
        bool isResizable() const override { return p_.isResizable(); }
        void setContentSize(double w, double h) override { p_.setContentSize(w, h); }
        EditorRect frame() const override { return p_.frame(); }
        void setFrameOrigin(double x, double y) override { p_.setFrameOrigin(x, y); }
        void center() override { p_.center(); }
        EditorRect containerFrame() const override { return p_.containerFrame(); }
        void* containerView() const override { return p_.containerView(); }
        void orderFrontRegardless() override { p_.orderFrontRegardless(); }
        void orderOut() override { p_.orderOut(); }
        bool isVisible() const override { return p_.isVisible(); }
        void setDelegate(platform::EditorPanelDelegate* d) override { p_.setDelegate(d); }

    private:
        FakePanel& p_;
    };
    std::vector<std::unique_ptr<FakePanel>> owned;
};

} // namespace editortest
