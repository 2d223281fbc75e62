#pragma once

#include <cstdint>

namespace tv3m {

// Formats a message into the caller's error buffer, cut to size - 1 bytes and
// always NUL-terminated. Does nothing for a null buffer or a size below 1. The
// only writer of error buffers.
[[gnu::format(printf, 3, 4)]] void setError(char* buffer, std::int32_t size, const char* format, ...);

} // namespace tv3m
