// INI loader: one "key = value" (or "key value") per line. Bad lines are warnings and the loader goes
// on, so a misspelt key never stops the rest of the file from applying, unless the record asks for
// strict_params, which turns every bad line into an error. A NUL byte, a line over 64 KiB or a file
// over 64 MiB is no INI file: an error naming the file and line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "nuvex/config.h"

namespace {

using nvx::is_space;
using nvx::strip;

// Splits one stripped, non-comment line into key and value as the loader does; a malformed line
// leaves its message in `problem` and gives false.
bool split_line(const char* path, int lineno, const std::string& line, std::string& key, std::string& value,
                std::string& problem) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
        key = strip(line.substr(0, eq));
        value = strip(line.substr(eq + 1));
    } else {
        size_t ws = 0;
        while (ws < line.size() && !is_space(line[ws])) ++ws;
        if (ws == line.size()) {
            problem = nvx::strprintf("%s:%d: warning: ignoring line with no value: '%s'", path, lineno, line.c_str());
            return false;
        }
        key = line.substr(0, ws);
        value = strip(line.substr(ws));
    }
    if (key.empty()) {
        problem = nvx::strprintf("%s:%d: warning: ignoring line with empty key", path, lineno);
        return false;
    }
    return true;
}

using BadLineFn = void (*)(const std::string& message, void* user);

// Bounds of a configuration file: far above any real one (200,000 rate-variation lines take about
// 6 MB), low enough that a device such as /dev/zero or a binary file ends in a message, not in
// exhausted memory.
constexpr size_t kMaxLineBytes = 64 * 1024;
constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

enum class LineRead { Line, End, TooLong, TooBig, Nul };

// One line without its newline; stops at the bounds above and at a NUL byte (which would cut the
// value that follows it, silently, where the text is handed on as a C string).
LineRead read_bounded_line(FILE* fp, std::string& line, size_t& total) {
    line.clear();
    int ch;
    while ((ch = std::getc(fp)) != EOF) {
        if (++total > kMaxFileBytes) return LineRead::TooBig;
        if (ch == '\n') return LineRead::Line;
        if (ch == '\0') return LineRead::Nul;
        if (line.size() >= kMaxLineBytes) return LineRead::TooLong;
        line += static_cast<char>(ch);
    }
    return line.empty() ? LineRead::End : LineRead::Line;
}

int walk(const char* path, nvx_ini_line_fn fn, BadLineFn bad, void* user, char** err) {
    FILE* fp = path ? std::fopen(path, "r") : nullptr;
    if (!fp) return nvx::fail(err, "cannot open ini file '%s'", path ? path : "(null)");
    std::string raw;
    int lineno = 0;
    size_t total = 0;
    for (;;) {
        const LineRead got = read_bounded_line(fp, raw, total);
        if (got == LineRead::End) break;
        ++lineno;
        if (got != LineRead::Line) {
            std::fclose(fp);
            if (got == LineRead::Nul)
                return nvx::fail(err, "%s:%d: NUL byte in the line (not a text file?)", path, lineno);
            if (got == LineRead::TooLong)
                return nvx::fail(err, "%s:%d: line longer than %zu bytes (not an INI file?)", path, lineno,
                                 kMaxLineBytes);
            return nvx::fail(err, "%s: larger than %zu bytes (not an INI file?)", path, kMaxFileBytes);
        }
        // a byte-order mark written by some editors is no part of the first key
        if (lineno == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        std::string line = strip(raw), key, value, problem;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (!split_line(path, lineno, line, key, value, problem)) {
            bad(problem, user);
            continue;
        }
        if (fn(key.c_str(), value.c_str(), path, lineno, user)) break;
    }
    // a directory opens but cannot be read: that is no configuration, not an empty one
    const bool read_failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (read_failed) return nvx::fail(err, "error reading ini file '%s'", path);
    return 0;
}

struct ForEach {
    nvx_ini_line_fn fn;
    void* user;
    bool quiet;
};

int forward_pair(const char* key, const char* value, const char* path, int lineno, void* user) {
    auto* f = static_cast<ForEach*>(user);
    return f->fn(key, value, path, lineno, f->user);
}

void print_bad_line(const std::string& message, void* user) {
    if (!static_cast<ForEach*>(user)->quiet) std::fprintf(stderr, "%s\n", message.c_str());
}

struct LoadTarget {
    NVXConfig* config;
    std::vector<std::string> problems;
};

void collect_bad_line(const std::string& message, void* user) {
    static_cast<LoadTarget*>(user)->problems.push_back(message);
}

int apply_pair(const char* key, const char* value, const char* path, int lineno, void* user) {
    auto* target = static_cast<LoadTarget*>(user);
    NVXParam p = nvx_parse_literal(value);
    char* err = nullptr;
    if (nvx_config_set_by_name(target->config, key, p.kind, p.payload, &err))
        target->problems.push_back(
            nvx::strprintf("%s:%d: warning: %s", path, lineno, err ? err : "could not set key"));
    std::free(err);
    return 0;
}

}  // namespace

extern "C" int nvx_ini_for_each(const char* path, nvx_ini_line_fn fn, void* user, int quiet, char** err) {
    ForEach f{fn, user, quiet != 0};
    return walk(path, forward_pair, print_bad_line, &f, err);
}

extern "C" int nvx_ini_load(NVXConfig* c, const char* path, char** err) {
    LoadTarget target{c, {}};
    if (walk(path, apply_pair, collect_bad_line, &target, err)) return 1;
    if (target.problems.empty()) return 0;
    if (c->strict_params) {
        std::string all = "strict_params: the INI file has lines that cannot be applied:";
        for (const auto& m : target.problems) all += "\n  " + m;
        return nvx::fail_str(err, all);
    }
    for (const auto& m : target.problems) nvx_message(c, NVX_MSG_WARNING, "ini", "%s", m.c_str());
    return 0;
}
