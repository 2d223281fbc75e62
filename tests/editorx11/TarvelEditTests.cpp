// `tarvel edit` as a person runs it, on an X server of the test's own: the
// editor shows, the user's gestures are reported, the close button ends the
// wait and the settings are saved, and render takes them back.
#include "plugins/x11view/X11ViewIds.h"
#include "support/BundleCopy.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "support/XTestClient.h"
#include "support/XvfbDisplay.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tv3test::TempDir;
using tv3test::XRect;

constexpr double kSeconds = 20; // a sanitizer build on a busy machine

std::string fixture(const std::string& name) { return tv3test::fixtureBundle(TV3_FIXTURE_DIR, name); }

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// tarvel running in the background, its output going to files.
class Tarvel {
public:
    Tarvel(const std::vector<std::string>& arguments, const std::string& out, const std::string& err) {
        std::vector<std::string> all{TARVEL_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives a test that died
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, STDOUT_FILENO);
            ::dup2(e, STDERR_FILENO);
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Tarvel() {
        if (pid_ > 0 && !status_) {
            // Its helper first: killed, tarvel could no longer end it.
            if (const std::optional<pid_t> h = helper()) ::kill(*h, SIGKILL);
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // The helper it started (its one child), once there is one.
    std::optional<pid_t> helper() const {
        std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
        pid_t child = 0;
        if (children >> child) return child;
        return std::nullopt;
    }
    // Its exit status, when it ended by itself within `seconds`.
    std::optional<int> wait(double seconds) {
        tv3test::waitFor(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
                return status_.has_value();
            },
            seconds);
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class TarvelEditOnX11 : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(display.ok()) << display.error();
        ::setenv(x11viewfx::kLogVariable, log.c_str(), 1);
    }
    void TearDown() override { ::unsetenv(x11viewfx::kLogVariable); }

    tv3test::XvfbDisplay display;
    TempDir dir;
    std::string out = dir / "out.txt", err = dir / "err.txt", log = dir / "view.log", save = dir / "edited.tvst3";
};

TEST_F(TarvelEditOnX11, ShowsTheEditorReportsTheEditsAndSavesOnClose) {
    tv3test::XTestClient xc(display.name());
    Tarvel tarvel({"edit", fixture("x11_view"), "--save-state", save, "--title", "Edit me"}, out, err);
    ASSERT_TRUE(tv3test::waitFor([&] { return fileText(out).find("close the editor window") != std::string::npos; },
                                 kSeconds))
        << fileText(err);
    EXPECT_EQ(fileText(out), "tarvel: editing X11 View Effect; close the editor window when you are done\n");
    const std::optional<pid_t> helper = tarvel.helper();
    ASSERT_TRUE(helper);
    const std::optional<xcb_window_t> panel = xc.waitForWindowOfPid(*helper, kSeconds);
    ASSERT_TRUE(panel);
    EXPECT_EQ(xc.name(*panel), "Edit me");
    ASSERT_TRUE(tv3test::waitFor([&] { return fileText(log).find("mapped") != std::string::npos; }, kSeconds));
    const std::optional<XRect> at = xc.geometry(*panel);
    ASSERT_TRUE(at);

    // The user first activates another application's window. tarvel, the
    // parent, has no window to come back with, so the panel stays: the
    // clicks below, which reach the helper after the activation, still land
    // in it.
    xc.setActiveWindow(xc.makeWindow({1700, 900, 50, 50}, 0x404040, display.pid()));

    // Two clicks in the view, the first of which also makes the view's one
    // parameter edit: three edits.
    xc.click(at->x + at->width / 2, at->y + at->height / 2);
    xc.click(at->x + at->width / 2 + 10, at->y + at->height / 2);
    EXPECT_TRUE(tv3test::waitFor([&] { return fileText(out).find("tarvel: 3 edits\n") != std::string::npos; },
                                 kSeconds))
        << fileText(out);
    EXPECT_FALSE(std::filesystem::exists(save)) << "nothing is saved before the editor is closed";

    xc.sendDeleteWindow(*panel);
    EXPECT_EQ(tarvel.wait(kSeconds), std::optional<int>(0)) << fileText(err);
    const std::string said = fileText(out);
    EXPECT_NE(said.find("tarvel: saved " + save + " (3 edits)\n"), std::string::npos) << said;
    ASSERT_TRUE(std::filesystem::exists(save));
    EXPECT_GT(std::filesystem::file_size(save), 0u);
    // The server drops a client's windows once it sees the connection close.
    EXPECT_TRUE(tv3test::waitFor([&] { return xc.windowsOfPid(*helper).empty(); }, 3))
        << "the helper's windows are gone";
    EXPECT_TRUE(tv3test::waitFor([&] { return ::kill(*helper, 0) != 0 && errno == ESRCH; }, 3))
        << "the helper has ended";

    // The file is one that render reads back (the fixture keeps no settings
    // of its own, so this checks the file, not what the plug-in restores).
    const std::string in = dir / "in.wav", rendered = dir / "rendered.wav";
    ASSERT_TRUE(tv3test::runProcess({TARVEL_PATH, "tone", in, "--seconds", "0.2"}).exited(0));
    const tv3test::ProcessResult render =
        tv3test::runProcess({TARVEL_PATH, "render", fixture("x11_view"), in, rendered, "--state", save});
    EXPECT_TRUE(render.exited(0)) << render.err;
}

TEST_F(TarvelEditOnX11, APlugInWithoutAnEditorSaysSoAndSavesNothing) {
    const tv3test::ProcessResult r =
        tv3test::runProcess({TARVEL_PATH, "edit", fixture("session_gain"), "--save-state", save});
    EXPECT_TRUE(r.exited(1)) << r.out << r.err;
    EXPECT_NE(r.err.find("tarvel: this plug-in has no Linux editor"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(save));
}

} // namespace
