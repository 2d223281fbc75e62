// Writing every byte of a message to a descriptor that may be a pipe, a socket
// or a terminal, blocking or not: the frames of the channel and the scan report
// both go out this way.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <functional>
#include <optional>

// Writes all bytes of `parts[0 .. count)` to `fd`, in order. A short write goes
// on with the rest; EINTR is retried; on a non-blocking descriptor whose buffer
// is full (EAGAIN, EWOULDBLOCK) it waits with poll() until there is room.
// Returns 0 once every byte is written, or the errno of the failing call
// (EPIPE when the reader has gone; with SIGPIPE not ignored the signal comes
// first). May change `parts` (the entries already written are used up).
int pluginBridgeWriteAll(int fd, iovec* parts, int count);

// The same for one contiguous run of bytes.
int pluginBridgeWriteAll(int fd, const void* bytes, std::size_t size);

// Limits on the waits for room of a non-blocking descriptor. `deadline` is an
// absolute time on the monotonic clock (PluginBridgeChannel::now()); it is
// judged only when a wait would be needed, so bytes that fit go out even after
// it. `shouldStop` is asked before every wait and, while the reader takes
// nothing, at least every 250 ms. `written` counts the bytes written so far.
// A blocking descriptor never waits here: its writes block in the system.
struct PluginBridgeWriteLimits {
    std::optional<double> deadline;
    std::function<bool()> shouldStop;
};

// pluginBridgeWriteAll with limits: ETIMEDOUT when the deadline passed while
// waiting for room, ECANCELED when `shouldStop` said so. `written`, when
// given, receives the number of bytes written, whatever the outcome.
int pluginBridgeWriteAll(int fd, iovec* parts, int count, const PluginBridgeWriteLimits& limits,
                         std::size_t* written = nullptr);
