// The one logging function: tagged lines on standard output under "verbose", nothing otherwise.
// No lock of its own: lines of concurrent runs may interleave.
#include <cstdarg>
#include <cstdio>

#include "nuvex/config.h"

extern "C" void nvx_log(const NVXConfig* config, const char* tag, const char* format, ...) {
    if (!config || !config->verbose) return;
    std::printf("[%s-c] ", tag ? tag : "");
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::printf("\n");
}
