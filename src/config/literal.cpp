// Parsing of one INI value into a tagged parameter value: quoted strings, None/True/False,
// decimal integers, reals, and anything else as plain text.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "nuvex/config.h"

namespace {

// The returned strings live here until the next call on the same thread; they grow with the
// text, so a long value (a deep output path) is never cut.
thread_local std::string t_quoted;
thread_local std::string t_plain;

bool iequals(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

NVXParam string_param(std::string& buf, const std::string& text) {
    buf = text;
    NVXParam p;
    p.kind = NVX_PARAM_STRING;
    p.payload.s = buf.c_str();
    return p;
}

}  // namespace

extern "C" NVXParam nvx_parse_literal(const char* text) {
    const std::string s = nvx::strip(text ? text : "");

    NVXParam p;
    p.payload.i = 0;
    if (s.size() >= 2 && (s[0] == '"' || s[0] == '\'') && s.back() == s[0])
        return string_param(t_quoted, s.substr(1, s.size() - 2));
    if (iequals(s, "none")) {
        p.kind = NVX_PARAM_NONE;
        return p;
    }
    if (iequals(s, "true") || iequals(s, "false")) {
        p.kind = NVX_PARAM_BOOL;
        p.payload.i = iequals(s, "true") ? 1 : 0;
        return p;
    }
    if (!s.empty()) {
        std::string head = s.substr(0, 255);
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(head.c_str(), &end, 10);
        if (end && *end == '\0' && end != head.c_str() && errno != ERANGE && head.size() == s.size()) {
            p.kind = NVX_PARAM_INT;
            p.payload.i = v;
            return p;
        }
        end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (end && *end == '\0' && end != s.c_str()) {
            p.kind = NVX_PARAM_FLOAT;
            p.payload.d = d;
            return p;
        }
    }
    return string_param(t_plain, s);
}
