// Rate-set names: the allowed characters, where a set's manifest lives, which sets a data directory
// offers, and the validation message with its "did you mean" hint.
#include "config/rate_set.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "config/err.hpp"

namespace nvx {

namespace {

bool is_regular(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void add_sets_of(const std::string& dir, std::vector<std::string>& out) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= 4 || file.compare(file.size() - 4, 4, ".txt") != 0) continue;
        const std::string name = file.substr(0, file.size() - 4);
        if (rate_set_name_ok(name.c_str()) && is_regular(it->path().string())) out.push_back(name);
    }
}

}  // namespace

bool is_default_rate_set(const char* name) { return !name || std::strcmp(name, kDefaultRateSet) == 0; }

bool rate_set_name_ok(const char* name) {
    if (!name || !*name || name[0] == '.') return false;
    const size_t n = std::strlen(name);
    if (n > 63) return false;
    for (size_t i = 0; i < n; ++i) {
        const char ch = name[i];
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '_' || ch == '-' || ch == '.' || ch == '+';
        if (!ok) return false;
    }
    return true;
}

std::string rate_set_relative_path(const char* name) { return strprintf("nuclear/ratesets/%s.txt", name); }

std::string rate_set_manifest_path(const NVXConfig* c, const char* name) {
    char path[4608];
    nvx_config_resolve_rates_path(c, rate_set_relative_path(name).c_str(), path, sizeof path);
    return path;
}

std::vector<std::string> known_rate_sets(const NVXConfig* c) {
    std::vector<std::string> out = {kDefaultRateSet};
    add_sets_of(std::string(c->data_dir) + "/nuclear/ratesets", out);
    if (c->user_nuclear_dir && *c->user_nuclear_dir) {
        add_sets_of(std::string(c->user_nuclear_dir) + "/ratesets", out);
        add_sets_of(std::string(c->user_nuclear_dir) + "/nuclear/ratesets", out);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

size_t edit_distance(const std::string& a, const std::string& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<size_t> d((n + 1) * (m + 1));
    auto at = [&](size_t i, size_t j) -> size_t& { return d[i * (m + 1) + j]; };
    for (size_t i = 0; i <= n; ++i) at(i, 0) = i;
    for (size_t j = 0; j <= m; ++j) at(0, j) = j;
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
        }
    return at(n, m);
}

int check_rate_set(const NVXConfig* c, char** err) {
    const char* name = c->rate_set;
    if (is_default_rate_set(name)) return 0;
    if (!rate_set_name_ok(name))
        return fail(err, "rate_set='%s' is not a valid rate-set name: use 1 to 63 letters, digits, '_', '-', '.' or "
                         "'+' (a set is the file nuclear/ratesets/<name>.txt)", name);
    if (is_regular(rate_set_manifest_path(c, name))) return 0;
    const std::vector<std::string> known = known_rate_sets(c);
    std::string list, best;
    size_t best_d = SIZE_MAX;
    for (const std::string& k : known) {
        list += (list.empty() ? "" : ", ") + k;
        std::string lower_name(name), lower_k(k);
        for (char& ch : lower_name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        for (char& ch : lower_k) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        const size_t d = edit_distance(lower_name, lower_k);
        if (d < best_d) best_d = d, best = k;
    }
    // a hint only when the closest name is plausibly what was meant (at most a third of it differs)
    const bool hint = !best.empty() && best_d * 3 <= std::max(best.size(), std::strlen(name));
    return fail(err, "rate_set='%s' is not a known rate set%s%s%s; known sets: %s (a set is the file "
                     "nuclear/ratesets/<name>.txt of the data directory or of user_nuclear_dir)",
                name, hint ? " (did you mean '" : "", hint ? best.c_str() : "", hint ? "'?)" : "", list.c_str());
}

}  // namespace nvx
