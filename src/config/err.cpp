// Error-message helpers shared by every subsystem: malloc'd messages, formatting, bounded copies.
// The C interface promises plain malloc'd texts so that any caller can free() them.
#include "config/err.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nuvex/common.h"

namespace nvx {

int vfail(char** err, const char* fmt, va_list ap) {
    if (!err) return 1;
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) n = 0;
    char* msg = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (msg) std::vsnprintf(msg, static_cast<size_t>(n) + 1, fmt, ap);
    *err = msg;
    return 1;
}

int fail(char** err, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfail(err, fmt, ap);
    va_end(ap);
    return 1;
}

int fail_str(char** err, const std::string& msg) {
    if (err) *err = dup_cstr(msg.c_str());
    return 1;
}

char* dup_cstr(const char* s) {
    if (!s) return nullptr;
    size_t n = std::strlen(s);
    char* out = static_cast<char*>(std::malloc(n + 1));
    if (out) std::memcpy(out, s, n + 1);
    return out;
}

std::string strprintf(const char* fmt, ...) {
    va_list ap, copy;
    va_start(ap, fmt);
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    va_end(ap);
    return out;
}

void copy_name(char* dst, size_t size, const char* src) {
    if (size == 0) return;
    if (!src) src = "";
    size_t n = std::strlen(src);
    if (n >= size) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace nvx

extern "C" void nvx_free(void* ptr) { std::free(ptr); }
