// A parent may read the report through a non-blocking pipe that is nearly
// full: the helper waits for room instead of cutting the report short.
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace {

TEST(ScanReport, WaitsForRoomOnAFullNonBlockingPipe) {
    const std::string bundle = TV3_FIXTURE_DIR "/scan_sorting.vst3";
    // What the report is when nothing is in the way.
    const tv3test::ProcessResult plain = tv3test::runProcess({TV3_HELPER_PATH, "--scan-one", bundle});
    ASSERT_TRUE(plain.exited(0));
    ASSERT_GT(plain.out.size(), 200u);

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // The smallest pipe, nearly full before the helper writes at all.
    const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GE(capacity, 4096);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(static_cast<std::size_t>(capacity) - 100, 'f');
    ASSERT_EQ(::write(fds[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::string helper = TV3_HELPER_PATH, mode = "--scan-one", path = bundle;
    char* argv[] = {helper.data(), mode.data(), path.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);

    // Let the helper meet the full pipe before anything is read.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string got;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got, filler + plain.out);
}

} // namespace
