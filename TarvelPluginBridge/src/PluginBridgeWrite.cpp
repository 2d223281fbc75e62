#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

// While the reader takes nothing, a stop callback is asked at least this often.
constexpr double kStopSliceMs = 250;

double monotonicSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Waits until `fd` has room (or an error or hang-up to report), within the
// limits. 0 when the write may be tried again, else the errno to return.
int waitForRoom(int fd, const PluginBridgeWriteLimits& limits) {
    for (;;) {
        int timeoutMs = -1;
        if (limits.shouldStop) {
            if (limits.shouldStop()) return ECANCELED;
            timeoutMs = static_cast<int>(kStopSliceMs);
        }
        if (limits.deadline) {
            // Room that is there already is taken even after the deadline.
            const double remaining = *limits.deadline - monotonicSeconds();
            const double ms = std::max(0.0, std::ceil(remaining * 1000));
            timeoutMs = timeoutMs < 0 ? static_cast<int>(std::min(ms, 60000.0))
                                      : static_cast<int>(std::min<double>(ms, timeoutMs));
        }
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r > 0) return 0; // room, or an error that the next write reports
        if (r < 0 && errno != EINTR) return errno;
        if (r == 0 && limits.deadline && *limits.deadline - monotonicSeconds() <= 0) return ETIMEDOUT;
    }
}

} // namespace

int pluginBridgeWriteAll(int fd, iovec* parts, int count, const PluginBridgeWriteLimits& limits,
                         std::size_t* written) {
    if (written) *written = 0;
    int first = 0;
    // Empty entries would make a writev() of nothing look like progress.
    while (first < count && parts[first].iov_len == 0) ++first;
    while (first < count) {
        const int batch = std::min(count - first, IOV_MAX);
        const ssize_t n = ::writev(fd, parts + first, batch);
        if (n > 0) {
            auto left = static_cast<std::size_t>(n);
            if (written) *written += left;
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
            if (const int error = waitForRoom(fd, limits)) return error;
            continue;
        }
        return errno;
    }
    return 0;
}

int pluginBridgeWriteAll(int fd, iovec* parts, int count) {
    return pluginBridgeWriteAll(fd, parts, count, PluginBridgeWriteLimits{});
}

int pluginBridgeWriteAll(int fd, const void* bytes, std::size_t size) {
    iovec part{const_cast<void*>(bytes), size};
    return pluginBridgeWriteAll(fd, &part, 1);
}
