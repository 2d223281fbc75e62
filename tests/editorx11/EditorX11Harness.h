// The editor through the real helper on an X server of the test's own: the
// helper is started with DISPLAY naming it, the panel is found by the
// helper's process id, and what the X11 view fixture saw comes from its log.
#pragma once

#include "session/SessionHarness.h"
#include "support/TempDir.h"
#include "support/XTestClient.h"
#include "support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace editorx11 {

using sessiontest::Message;
using sessiontest::Op;
using sessiontest::Reply;
using tv3test::XRect;

// Long enough for a sanitizer build on a busy machine; waited in full only
// when something is wrong.
inline constexpr double kShowSeconds = 15;
// The helper polls the plug-in's edits this often; a count must have come
// through after two polls.
inline constexpr double kPollSeconds = 0.2;

Message openEditorRequest(const std::optional<std::vector<double>>& anchor = std::nullopt,
                          const std::optional<std::string>& title = std::nullopt);

// The panel of an open editor as the X server has it: the top-level window,
// the container filling it, and the plug-in's window inside the container.
struct Panel {
    xcb_window_t window = 0;
    xcb_window_t container = 0;
    xcb_window_t view = 0;
};

// Where the PNGs the tests take go (in the build tree), made when missing.
std::string screenshotPath(const std::string& name);

// Processes that are our children now, apart from `except`. The test makes
// itself the subreaper of everything it starts, so a helper's orphans count.
std::vector<pid_t> childrenOfOurs(pid_t except);
void becomeSubreaper();

class EditorX11Test : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the helper and opens the fixture's effect from `bundle` in it.
    bool startWith(const std::string& bundle);
    // Starts the helper and opens a real plug-in (stereo, else mono).
    bool startWithPlugin(const std::string& path, const std::string& cid);
    PluginBridgeClient& helper() { return *helper_; }
    pid_t helperPID() const { return helper_->pid(); }

    Reply openEditor(const std::optional<std::vector<double>>& anchor = std::nullopt,
                     const std::optional<std::string>& title = std::nullopt);
    // The helper's mapped top-level window, its container and the view in it.
    std::optional<Panel> waitPanel(double seconds = kShowSeconds);
    bool waitNoMappedWindow(double seconds = kShowSeconds);
    bool waitPainted(xcb_window_t window, double seconds = kShowSeconds);

    Message status();
    // Polls "status" until the edit counts add up to `atLeast` (or the time
    // is up); answers their sum.
    std::int64_t editsUntil(std::int64_t atLeast, double seconds = kShowSeconds);
    bool waitEditorOpen(bool open, double seconds = kShowSeconds);

    std::vector<std::string> log() const;
    long logged(const std::string& line) const;
    bool waitLogged(const std::string& line, double seconds = kShowSeconds) const;

    // "quit", an exit with 0, and nothing of the helper's left behind: no
    // window with its process id, no process it started.
    void quitCleanly();

    tv3test::XvfbDisplay x;
    tv3test::XTestClient xc{x.name()};
    tv3test::TempDir dir;
    const std::string logPath = dir / "view.log";
    std::unique_ptr<PluginBridgeClient> helper_;
};

} // namespace editorx11
