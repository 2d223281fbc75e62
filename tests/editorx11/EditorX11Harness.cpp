#include "editorx11/EditorX11Harness.h"

#include "plugins/x11view/X11ViewIds.h"
#include "support/WaitFor.h"

#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace editorx11 {

using namespace std::chrono_literals;

Message openEditorRequest(const std::optional<std::vector<double>>& anchor, const std::optional<std::string>& title) {
    Message m = Message::init(Op::openEditor);
    m.anchor = anchor;
    m.title = title;
    return m;
}

std::string screenshotPath(const std::string& name) {
    std::filesystem::create_directories(TV3_SCREENSHOT_DIR);
    return std::string(TV3_SCREENSHOT_DIR) + "/" + name + ".png";
}

void becomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::vector<pid_t> childrenOfOurs(pid_t except) {
    std::vector<pid_t> found;
    const pid_t self = ::getpid();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...: comm may hold spaces and parentheses.
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (parent != self || pid == except) continue;
        if (state == 'Z') {
            ::waitpid(pid, nullptr, WNOHANG); // ended: only its exit status was left
            continue;
        }
        found.push_back(pid);
    }
    return found;
}

void EditorX11Test::SetUp() {
    ASSERT_TRUE(x.ok()) << x.error();
    ASSERT_TRUE(xc.connected());
    becomeSubreaper();
    ::setenv(x11viewfx::kLogVariable, logPath.c_str(), 1);
}

void EditorX11Test::TearDown() {
    helper_.reset();
    // Whatever the helper left running (we are their subreaper) goes too, so
    // that a failed test does not leave processes to the next one.
    for (const pid_t orphan : childrenOfOurs(x.pid())) {
        ::kill(orphan, SIGKILL);
        ::waitpid(orphan, nullptr, 0);
    }
    ::unsetenv(x11viewfx::kLogVariable);
}

bool EditorX11Test::startWith(const std::string& bundle) {
    helper_ = sessiontest::startHelper();
    if (!helper_) return false;
    const Reply r = sessiontest::call(*helper_, sessiontest::openRequest(sessiontest::fixture(bundle),
                                                                         x11viewfx::kEffectCid));
    EXPECT_FALSE(r.message.error) << *r.message.error;
    EXPECT_EQ(r.message.hasEditor, std::optional<bool>(true));
    return !r.message.error;
}

bool EditorX11Test::startWithPlugin(const std::string& path, const std::string& cid) {
    helper_ = sessiontest::startHelper();
    if (!helper_) return false;
    for (int channels : {2, 1}) {
        const Reply r = sessiontest::call(*helper_, sessiontest::openRequest(path, cid.c_str(), 512, channels));
        if (!r.message.error) return true;
        if (channels == 1) ADD_FAILURE() << "the helper refused it, mono too: " << *r.message.error;
    }
    return false;
}

Reply EditorX11Test::openEditor(const std::optional<std::vector<double>>& anchor,
                                const std::optional<std::string>& title) {
    return sessiontest::call(*helper_, openEditorRequest(anchor, title));
}

std::optional<Panel> EditorX11Test::waitPanel(double seconds) {
    const std::optional<xcb_window_t> window = xc.waitForWindowOfPid(helperPID(), seconds);
    if (!window) {
        ADD_FAILURE() << "no mapped window with the helper's _NET_WM_PID";
        return std::nullopt;
    }
    Panel p;
    p.window = *window;
    // The plug-in makes its window when it is attached, inside the container.
    tv3test::waitFor(
        [&] {
            const std::vector<xcb_window_t> kids = xc.children(p.window);
            if (kids.size() != 1) return false;
            p.container = kids[0];
            const std::vector<xcb_window_t> views = xc.children(p.container);
            if (views.empty()) return false;
            p.view = views[0];
            return true;
        },
        seconds);
    EXPECT_NE(p.container, 0u) << "the panel has no one container window";
    return p;
}

bool EditorX11Test::waitNoMappedWindow(double seconds) {
    return tv3test::waitFor([&] { return xc.mappedWindowsOfPid(helperPID()).empty(); }, seconds);
}

bool EditorX11Test::waitPainted(xcb_window_t window, double seconds) {
    return tv3test::waitFor([&] { return xc.notBlank(window); }, seconds, 50ms);
}

Message EditorX11Test::status() {
    return sessiontest::succeed(*helper_, sessiontest::request(Op::status)).message;
}

std::int64_t EditorX11Test::editsUntil(std::int64_t atLeast, double seconds) {
    std::int64_t sum = 0;
    tv3test::waitFor(
        [&] {
            const Message s = status();
            EXPECT_TRUE(s.editCount) << "a status without editCount";
            sum += s.editCount.value_or(0);
            return sum >= atLeast;
        },
        seconds, 100ms);
    return sum;
}

bool EditorX11Test::waitEditorOpen(bool open, double seconds) {
    return tv3test::waitFor([&] { return status().editorOpen == std::optional<bool>(open); }, seconds, 50ms);
}

std::vector<std::string> EditorX11Test::log() const {
    std::vector<std::string> lines;
    std::ifstream file(logPath);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

long EditorX11Test::logged(const std::string& line) const {
    const std::vector<std::string> lines = log();
    return std::count(lines.begin(), lines.end(), line);
}

bool EditorX11Test::waitLogged(const std::string& line, double seconds) const {
    return tv3test::waitFor([&] { return logged(line) > 0; }, seconds);
}

void EditorX11Test::quitCleanly() {
    const pid_t pid = helperPID();
    const PluginBridgeHelperExit exit = helper_->quit(sessiontest::kEndSeconds + 6);
    EXPECT_TRUE(exit.exitedWith(0)) << "status " << exit.status << ", signal " << exit.signal;
    // The server drops a client's windows once it sees the connection close.
    EXPECT_TRUE(tv3test::waitFor([&] { return xc.windowsOfPid(pid).empty(); }, 3))
        << "a window of the helper's is left";
    // Give an orphan a moment to be handed to us before looking.
    EXPECT_TRUE(tv3test::waitFor([&] { return childrenOfOurs(x.pid()).empty(); }, 2))
        << testing::PrintToString(childrenOfOurs(x.pid())) << " still run";
}

} // namespace editorx11
