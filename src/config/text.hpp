// Small text helpers shared by the readers of parameter files, INI files and data tables:
// white space, trimming and whole-line reading.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace nvx {

// The standard white-space class (blank, tab, newline, vertical tab, form feed, carriage return).
inline bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// The view without white space at either end.
inline std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// The text without white space at either end.
inline std::string strip(const std::string& s) { return std::string(trim(s)); }

// One whole line without its newline, of any length (a long line is never split in two); false at
// the end of the file.
inline bool read_line(FILE* fp, std::string& line) {
    line.clear();
    int ch;
    while ((ch = std::fgetc(fp)) != EOF) {
        if (ch == '\n') return true;
        line += static_cast<char>(ch);
    }
    return !line.empty();
}

}  // namespace nvx
