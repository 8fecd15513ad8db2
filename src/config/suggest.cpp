// Closest names to a misspelt one: case-insensitive edit distance (insertions, deletions,
// substitutions and swaps of two neighbouring characters, each counting 1), within a third of the
// name's length; ties keep the candidates' order. A name that differs only in case gets only that; a
// name of three or more characters that begins a candidate (a name cut short) counts as close too.
#include "config/suggest.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "nuvex/config.h"

namespace nvx {
namespace {

constexpr size_t kLongestName = 256;  // longer names get no suggestion (and cost nothing)

size_t max_distance(size_t length) { return std::max<size_t>(1, length / 3); }

char lower(char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); }

// Optimal string alignment distance, ignoring case.
size_t distance(const std::string& a, const std::string& b) {
    const size_t n = a.size(), m = b.size();
    std::vector<size_t> prev2(m + 1), prev(m + 1), row(m + 1);
    for (size_t j = 0; j <= m; ++j) prev[j] = j;
    for (size_t i = 1; i <= n; ++i) {
        row[0] = i;
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            row[j] = std::min({prev[j] + 1, row[j - 1] + 1, prev[j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                row[j] = std::min(row[j], prev2[j - 2] + 1);
        }
        std::swap(prev2, prev);
        std::swap(prev, row);
    }
    return prev[m];
}

// The name, of at least three characters, begins the candidate (ignoring case).
bool is_prefix(const std::string& name, const std::string& candidate) {
    if (name.size() < 3 || name.size() >= candidate.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lower(name[i]) != lower(candidate[i])) return false;
    return true;
}

}  // namespace

std::vector<std::string> suggest(const char* name, const std::vector<std::string>& candidates, size_t max_out) {
    std::vector<std::string> out;
    if (!name) return out;
    const std::string text(name);
    if (text.empty() || text.size() > kLongestName) return out;
    const size_t limit = max_distance(text.size());
    std::vector<std::pair<size_t, size_t>> ranked;  // (distance, candidate index)
    for (size_t k = 0; k < candidates.size(); ++k) {
        const std::string& c = candidates[k];
        if (c.empty()) continue;
        if (is_prefix(text, c)) {  // a name cut short ("mass" for "mass_MeV")
            ranked.emplace_back(c.size() - text.size(), k);
            continue;
        }
        const size_t gap = c.size() > text.size() ? c.size() - text.size() : text.size() - c.size();
        if (gap > limit) continue;
        const size_t d = distance(text, c);
        if (d <= limit) ranked.emplace_back(d, k);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](auto& x, auto& y) { return x.first < y.first; });
    for (const auto& [d, k] : ranked) {
        if (out.size() == max_out || (ranked.front().first == 0 && d > 0)) break;
        if (std::find(out.begin(), out.end(), candidates[k]) == out.end()) out.push_back(candidates[k]);
    }
    return out;
}

std::string did_you_mean(const char* name, const std::vector<std::string>& candidates) {
    const auto best = suggest(name, candidates);
    if (best.empty()) return "";
    std::string hint = "; did you mean ";
    for (size_t i = 0; i < best.size(); ++i) {
        hint += i ? ", '" : "'";
        hint += best[i];
        hint += "'";
    }
    hint += "?";
    return hint;
}

}  // namespace nvx

extern "C" size_t nvx_suggest(const char* name, const char* const* candidates, size_t n_candidates, size_t* out,
                              size_t max_out) {
    if (!candidates || !out) return 0;
    std::vector<std::string> pool;
    pool.reserve(n_candidates);
    for (size_t k = 0; k < n_candidates; ++k) pool.emplace_back(candidates[k] ? candidates[k] : "");
    const auto best = nvx::suggest(name, pool, max_out);
    size_t n = 0;
    for (const auto& b : best)
        for (size_t k = 0; k < n_candidates; ++k)
            if (pool[k] == b) {
                out[n++] = k;
                break;
            }
    return n;
}
