#include "x11view/X11ViewIds.h"
#include "x11view/X11ViewObject.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace x11viewfx {

void logLine(const char* format, ...) {
    const char* path = std::getenv(kLogVariable);
    if (!path || !*path) return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // Opened for each line, so that a test reading the file while the view
    // lives sees every line written so far.
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
    }
}

} // namespace x11viewfx
