// INI loader: one "key = value" (or "key value") per line; bad lines are warnings on standard
// error and the loader goes on, so a misspelt key never stops the rest of the file from applying.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "nuvex/config.h"

namespace {

using nvx::is_space;
using nvx::strip;

// Splits one stripped, non-comment line into key and value as the loader does; malformed lines
// give their warning (unless quiet) and false.
bool split_line(const char* path, int lineno, const std::string& line, bool quiet, std::string& key,
                std::string& value) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
        key = strip(line.substr(0, eq));
        value = strip(line.substr(eq + 1));
    } else {
        size_t ws = 0;
        while (ws < line.size() && !is_space(line[ws])) ++ws;
        if (ws == line.size()) {
            if (!quiet)
                std::fprintf(stderr, "%s:%d: warning: ignoring line with no value: '%s'\n", path, lineno,
                             line.c_str());
            return false;
        }
        key = line.substr(0, ws);
        value = strip(line.substr(ws));
    }
    if (key.empty()) {
        if (!quiet) std::fprintf(stderr, "%s:%d: warning: ignoring line with empty key\n", path, lineno);
        return false;
    }
    return true;
}

struct LoadTarget {
    NVXConfig* config;
};

int apply_pair(const char* key, const char* value, const char* path, int lineno, void* user) {
    NVXConfig* c = static_cast<LoadTarget*>(user)->config;
    NVXParam p = nvx_parse_literal(value);
    char* err = nullptr;
    if (nvx_config_set_by_name(c, key, p.kind, p.payload, &err)) {
        std::fprintf(stderr, "%s:%d: warning: %s\n", path, lineno, err ? err : "could not set key");
        std::free(err);
    }
    return 0;
}

}  // namespace

extern "C" int nvx_ini_for_each(const char* path, nvx_ini_line_fn fn, void* user, int quiet, char** err) {
    FILE* fp = path ? std::fopen(path, "r") : nullptr;
    if (!fp) return nvx::fail(err, "cannot open ini file '%s'", path ? path : "(null)");
    char buf[4096];
    int lineno = 0;
    while (std::fgets(buf, sizeof buf, fp)) {
        ++lineno;
        std::string line = strip(buf), key, value;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (split_line(path, lineno, line, quiet != 0, key, value) && fn(key.c_str(), value.c_str(), path, lineno, user))
            break;
    }
    // a directory opens but cannot be read: that is no configuration, not an empty one
    const bool read_failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (read_failed) return nvx::fail(err, "error reading ini file '%s'", path);
    return 0;
}

extern "C" int nvx_ini_load(NVXConfig* c, const char* path, char** err) {
    LoadTarget target{c};
    return nvx_ini_for_each(path, apply_pair, &target, 0, err);
}
