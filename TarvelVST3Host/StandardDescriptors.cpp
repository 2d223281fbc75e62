#include "StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Those below are open, so the lowest free number is `fd` itself.
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) return std::string("cannot open /dev/null: ") + std::strerror(errno);
        if (null != fd) {
            const bool moved = ::dup2(null, fd) == fd;
            const int error = errno;
            ::close(null);
            if (!moved) return "cannot put /dev/null on descriptor " + std::to_string(fd) + ": " + std::strerror(error);
        }
    }
    return {};
}
