#include "Errors.h"

#include <cstdarg>
#include <cstdio>

namespace tv3m {

void setError(char* buffer, std::int32_t size, const char* format, ...) {
    if (!buffer || size < 1) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, static_cast<std::size_t>(size), format, args);
    va_end(args);
}

} // namespace tv3m
