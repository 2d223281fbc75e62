#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

int pluginBridgeWriteAll(int fd, iovec* parts, int count) {
    int first = 0;
    // Empty entries would make a writev() of nothing look like progress.
    while (first < count && parts[first].iov_len == 0) ++first;
    while (first < count) {
        const int batch = std::min(count - first, IOV_MAX);
        const ssize_t n = ::writev(fd, parts + first, batch);
        if (n > 0) {
            auto left = static_cast<std::size_t>(n);
            while (first < count && left >= parts[first].iov_len) {
                left -= parts[first].iov_len;
                ++first;
            }
            if (first < count) {
                parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + left;
                parts[first].iov_len -= left;
            }
            while (first < count && parts[first].iov_len == 0) ++first;
            continue;
        }
        if (n == 0 || errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A non-blocking descriptor whose buffer is full: wait for room
            // rather than give up half-way through.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
            continue;
        }
        return errno;
    }
    return 0;
}

int pluginBridgeWriteAll(int fd, const void* bytes, std::size_t size) {
    iovec part{const_cast<void*>(bytes), size};
    return pluginBridgeWriteAll(fd, &part, 1);
}
