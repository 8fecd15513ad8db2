// Error-message helpers: every failing function returns 1 and hands a malloc'd text through `err`.
// Callers (C, ctypes, the extension module) release it with free()/nvx_free.
#pragma once

#include <cstdarg>
#include <string>

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

// The standard white-space class (blank, tab, newline, vertical tab, form feed, carriage return).
inline bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// The text without white space at either end.
inline std::string strip(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Copies src into a fixed-size buffer, cutting it and always NUL-terminating.
void copy_name(char* dst, size_t size, const char* src);

}  // namespace nvx
