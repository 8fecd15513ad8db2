// Error-message helpers: every failing function returns 1 and hands a malloc'd text through `err`.
// Callers (C, ctypes, the extension module) release it with free()/nvx_free.
#pragma once

#include <cstdarg>
#include <string>

#include "config/text.hpp"

namespace nvx {

// Formats into a newly malloc'd text stored in *err (when err is not null); returns 1.
int fail(char** err, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int vfail(char** err, const char* fmt, va_list ap);

// Hands a std::string over as a malloc'd message; returns 1.
int fail_str(char** err, const std::string& msg);

// malloc'd copy of a text (nullptr on allocation failure or null input).
char* dup_cstr(const char* s);

// printf into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Copies src into a fixed-size buffer, cutting it and always NUL-terminating.
void copy_name(char* dst, size_t size, const char* src);

}  // namespace nvx
