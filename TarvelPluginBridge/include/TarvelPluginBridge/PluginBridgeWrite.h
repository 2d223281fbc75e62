// Writing every byte of a message to a descriptor that may be a pipe, a socket
// or a terminal, blocking or not: the frames of the channel and the scan report
// both go out this way.
#pragma once

#include <sys/uio.h>

#include <cstddef>

// Writes all bytes of `parts[0 .. count)` to `fd`, in order. A short write goes
// on with the rest; EINTR is retried; on a non-blocking descriptor whose buffer
// is full (EAGAIN, EWOULDBLOCK) it waits with poll() until there is room.
// Returns 0 once every byte is written, or the errno of the failing call
// (EPIPE when the reader has gone; with SIGPIPE not ignored the signal comes
// first). May change `parts` (the entries already written are used up).
int pluginBridgeWriteAll(int fd, iovec* parts, int count);

// The same for one contiguous run of bytes.
int pluginBridgeWriteAll(int fd, const void* bytes, std::size_t size);
