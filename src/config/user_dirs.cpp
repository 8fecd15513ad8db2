// The current user's home directory and per-user cache root (XDG base-directory rule): where cached
// tables go when no cache_dir is given, never the data directory or the source tree.
#include "config/user_dirs.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace nvx {

std::string user_home() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir && *res->pw_dir)
        return res->pw_dir;
    return "";
}

std::string user_cache_root() {
    // a relative XDG_CACHE_HOME is invalid under the XDG rule and ignored
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/nuvex";
    const std::string home = user_home();
    return home.empty() ? std::string() : home + "/.cache/nuvex";
}

}  // namespace nvx
