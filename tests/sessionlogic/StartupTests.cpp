// The parent process id from the command line, and the standard descriptors
// as start-up leaves them (in child processes of the test, whose descriptors
// can be closed and moved freely).
#include "SessionStartup.h"
#include "StandardDescriptors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

namespace {

struct PIDCase {
    std::vector<std::string> arguments;
    std::int32_t expected;
};

TEST(SessionStartup, ParentPIDFromArguments) {
    constexpr std::int32_t fallback = 777;
    const PIDCase cases[] = {
        {{"helper", "--session"}, fallback},
        {{"helper", "--session", "--parent-pid", "4242"}, 4242},
        {{"helper", "--session", "--parent-pid", "+4242"}, 4242},
        // Not one process: 0 and negative numbers name groups, or everyone.
        {{"helper", "--session", "--parent-pid", "-12"}, fallback},
        {{"helper", "--session", "--parent-pid", "0"}, fallback},
        {{"helper", "--session", "--parent-pid", "+0"}, fallback},
        {{"helper", "--session", "--parent-pid", "-0"}, fallback},
        {{"helper", "--session", "--parent-pid", "-1"}, fallback},
        {{"helper", "--session", "--parent-pid", "1"}, 1},
        {{"helper", "--session", "--parent-pid", "+1"}, 1},
        {{"helper", "--session", "--parent-pid", " 4242"}, fallback},
        {{"helper", "--session", "--parent-pid", "4242 "}, fallback},
        {{"helper", "--session", "--parent-pid", "4242x"}, fallback},
        {{"helper", "--session", "--parent-pid", "abc"}, fallback},
        {{"helper", "--session", "--parent-pid", ""}, fallback},
        {{"helper", "--session", "--parent-pid", "+"}, fallback},
        {{"helper", "--session", "--parent-pid", "-"}, fallback},
        {{"helper", "--session", "--parent-pid", "2147483647"}, 2147483647},
        {{"helper", "--session", "--parent-pid", "2147483648"}, fallback},
        {{"helper", "--session", "--parent-pid", "-2147483648"}, fallback},
        {{"helper", "--session", "--parent-pid", "-2147483649"}, fallback},
        {{"helper", "--session", "--parent-pid", "99999999999999999999999"}, fallback},
        {{"helper", "--session", "--parent-pid"}, fallback},
        {{"helper", "--session", "--parent-pid", "10", "--parent-pid", "20"}, 10},
        {{"helper", "--session", "--parent-pid", "x", "--parent-pid", "20"}, fallback},
        {{"helper", "--session", "--parent-pid", "0", "--parent-pid", "20"}, fallback},
        {{"helper", "--parent-pid", "31", "--session"}, 31},
        {{"helper", "--session", "--Parent-pid", "31"}, fallback},
    };
    for (const PIDCase& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        EXPECT_EQ(parentPIDFromArguments(c.arguments, fallback), c.expected);
    }
}

TEST(SessionStartup, ParseInt32IsStrictDecimal) {
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"42", 42},          {"+42", 42},       {"-7", -7},         {"0", 0},         {"+0", 0},
        {"-0", 0},           {"2147483647", INT32_MAX},             {"-2147483648", INT32_MIN},
        {"2147483648", {}},  {"-2147483649", {}}, {" 42", {}},      {"42 ", {}},      {"42x", {}},
        {"+", {}},           {"-", {}},         {"", {}},           {"0x10", {}},     {"++1", {}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseInt32(text), expected);
    }
}

// ---- Descriptors ---------------------------------------------------------------

// Runs `body` in a child process and answers its exit status (1000 + the
// signal when it was killed).
int inChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

ino_t inode(int fd) {
    struct stat st{};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

bool isDevNull(int fd) {
    char link[64] = {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::readlink(path.c_str(), link, sizeof link - 1) > 0 && std::string(link) == "/dev/null";
}

bool closeOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

struct ClosedCase {
    const char* name;
    bool closed[3];
};

TEST(StandardDescriptors, EachClosedOneGetsDevNullAndTheOpenOnesStayAsTheyWere) {
    const ClosedCase cases[] = {
        {"none", {false, false, false}},  {"input", {true, false, false}},  {"output", {false, true, false}},
        {"error", {false, false, true}},  {"output and error", {false, true, true}},
        {"input and error", {true, false, true}}, {"all three", {true, true, true}},
    };
    for (const ClosedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int status = inChild([&c] {
            // Each open one is a pipe of its own, to be told apart afterwards.
            ino_t before[3] = {};
            for (int fd = 0; fd < 3; ++fd) {
                int p[2];
                if (::pipe(p) != 0 || p[0] < 3 || p[1] < 3) return 90;
                if (::dup2(fd == 0 ? p[0] : p[1], fd) != fd) return 91;
                ::close(p[0]);
                ::close(p[1]);
                before[fd] = inode(fd);
            }
            for (int fd = 0; fd < 3; ++fd)
                if (c.closed[fd]) ::close(fd);
            if (!openClosedStandardDescriptors().empty()) return 10;
            for (int fd = 0; fd < 3; ++fd) {
                if (::fcntl(fd, F_GETFD) < 0) return 20 + fd; // still closed
                if (c.closed[fd]) {
                    if (!isDevNull(fd)) return 30 + fd;
                    if ((::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) return 40 + fd;
                    if (closeOnExec(fd)) return 50 + fd; // a plug-in's children need it too
                } else if (inode(fd) != before[fd]) {
                    return 60 + fd;
                }
            }
            // What opens next no longer lands on 0, 1 or 2.
            return ::open("/dev/null", O_RDONLY) >= 3 ? 0 : 70;
        });
        EXPECT_EQ(status, 0);
    }
}

TEST(StandardDescriptors, TheProtocolMovesToCloseOnExecCopiesAndPrintsGoToStandardError) {
    int requests[2], replies[2], errors[2];
    ASSERT_EQ(::pipe(requests), 0);
    ASSERT_EQ(::pipe(replies), 0);
    ASSERT_EQ(::pipe(errors), 0);
    const int status = inChild([&] {
        if (::dup2(requests[0], 0) != 0 || ::dup2(replies[1], 1) != 1 || ::dup2(errors[1], 2) != 2) return 90;
        for (int fd : {requests[0], requests[1], replies[0], replies[1], errors[0], errors[1]}) ::close(fd);
        const ino_t requestPipe = inode(0), replyPipe = inode(1), errorPipe = inode(2);
        const ProtocolDescriptors d = moveProtocolDescriptors();
        if (!d.failure.empty()) return 10;
        if (d.read < 3 || inode(d.read) != requestPipe || !closeOnExec(d.read)) return 20;
        if (d.write < 3 || inode(d.write) != replyPipe || !closeOnExec(d.write)) return 21;
        if (!isDevNull(0)) return 30;
        if (inode(1) != errorPipe) return 31;
        if (inode(2) != errorPipe) return 32;
        char c;
        if (::read(0, &c, 1) != 0) return 40; // end of file at once
        if (::write(1, "printed", 7) != 7) return 41;
        if (::write(d.write, "frame", 5) != 5) return 42;
        return 0;
    });
    ::close(requests[0]);
    ::close(replies[1]);
    ::close(errors[1]);
    EXPECT_EQ(status, 0);
    auto readAll = [](int fd) {
        std::string all;
        char buffer[256];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        return all;
    };
    EXPECT_EQ(readAll(replies[0]), "frame");
    EXPECT_EQ(readAll(errors[0]), "printed");
    ::close(requests[1]);
}

// With too few descriptors allowed, each step in turn cannot be done: the
// move says which, rather than leave the protocol on descriptor 1.
TEST(StandardDescriptors, AMoveThatCannotBeDoneSaysWhichStepFailed) {
    const std::pair<rlim_t, const char*> cases[] = {
        {3, "cannot copy standard input"},
        {4, "cannot copy standard output"},
        {5, "cannot open /dev/null"},
    };
    for (const auto& [limit, expected] : cases) {
        SCOPED_TRACE(expected);
        const int status = inChild([limit, expected] {
            ::close_range(3, ~0u, 0);
            const rlimit few{limit, limit};
            if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return 90;
            const ProtocolDescriptors d = moveProtocolDescriptors();
            if (d.failure.empty()) return 10;
            return d.failure.rfind(expected, 0) == 0 ? 0 : 11;
        });
        EXPECT_EQ(status, 0);
    }
}

} // namespace
