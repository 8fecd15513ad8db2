// Check of the p_ and delta_ rate-variation keys against the assembled networks: a key naming no
// reaction of the run would otherwise change nothing, silently (a typo such as p_n_p__dg), and a
// variation that makes a rate zero or negative, or that the cap clamps, must not pass unnoticed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "config/rate_set.hpp"
#include "nuvex/network.h"

namespace {

bool in_network(const NVXNetworkDef& d, const char* name) {
    for (size_t r = 1; r < d.n_reactions; ++r)
        if (std::strcmp(d.reaction_names[r], name) == 0) return true;
    return false;
}

// The reaction of the network whose name is closest to the unknown one.
std::string closest(const NVXNetworkDef& d, const char* name) {
    std::string best;
    size_t best_d = SIZE_MAX;
    for (size_t r = 1; r < d.n_reactions; ++r) {
        const size_t dist = nvx::edit_distance(name, d.reaction_names[r]);
        if (dist < best_d) best_d = dist, best = d.reaction_names[r];
    }
    return best;
}

int check_map(const NVXRxnMap& map, const char* prefix, const NVXNuclearRates& r, const NVXConfig* c,
              char** err) {
    for (size_t i = 0; i < map.count; ++i) {
        const char* name = map.entries[i].name;
        if (in_network(r.lt, name) || in_network(r.mt, name)) continue;
        const std::string hint = closest(r.lt, name);
        return nvx::fail(err, "%s%s: no reaction '%s' in the network '%s'%s%s%s", prefix, name, name,
                         c->network ? c->network : "", hint.empty() ? "" : " (did you mean '",
                         hint.c_str(), hint.empty() ? "" : "'?)");
    }
    return 0;
}

// The key that made a rate factor leave its bounds: delta_ when it is set (u^p alone is always
// positive), else p_.
std::string variation_key(const char* reaction, double p, double delta) {
    char text[160];
    if (delta != 0.0 && p != 0.0)
        std::snprintf(text, sizeof text, "p_%s=%g with delta_%s=%g", reaction, p, reaction, delta);
    else if (delta != 0.0)
        std::snprintf(text, sizeof text, "delta_%s=%g", reaction, delta);
    else
        std::snprintf(text, sizeof text, "p_%s=%g", reaction, p);
    return text;
}

// A varied rate is (u^p + delta) times the tabulated one, u its 1-sigma uncertainty factor. A factor
// that is zero or negative (delta <= -u^p) has no meaning: an error naming the key, whatever the cap
// would have made of it. A factor beyond [1/cap, cap] is clamped to it (mc_rate_rescale_cap): a
// warning says so, once per reaction, instead of a silently different rate.
int check_factors(const NVXNetworkDef& d, const NVXConfig* c, std::vector<std::string>& warned, char** err) {
    const double cap = c->mc_rate_rescale_cap;
    const size_t M = d.n_grid;
    for (size_t r = 1; r < d.n_reactions; ++r) {
        const char* name = d.reaction_names[r];
        const double p = nvx_rxnmap_get(&c->p_map, name);
        const double delta = nvx_rxnmap_get(&c->delta_map, name);
        if (p == 0.0 && delta == 0.0) continue;
        const double* unc = d.rates_unc + (r - 1) * M;
        double lo = HUGE_VAL, hi = -HUGE_VAL, T9_lo = 0.0, T9_hi = 0.0;
        for (size_t j = 0; j < M; ++j) {
            const double u = unc[j] > 0.0 ? unc[j] : 1.0;
            const double f = std::exp(p * std::log(u)) + delta;
            if (!(f > 0.0))
                return nvx::fail(err, "%s: the rate factor u^p + delta is %g at T9=%g (u=%g, the 1-sigma "
                                      "uncertainty factor): a rate cannot be zero or negative",
                                 variation_key(name, p, delta).c_str(), f, d.grid_T9[j], u);
            if (f < lo) lo = f, T9_lo = d.grid_T9[j];
            if (f > hi) hi = f, T9_hi = d.grid_T9[j];
        }
        if (!(cap > 0.0) || (hi <= cap && lo >= 1.0 / cap)) continue;
        if (std::find(warned.begin(), warned.end(), name) != warned.end()) continue;
        warned.emplace_back(name);
        const bool high = hi > cap;
        nvx_message(c, NVX_MSG_WARNING, "rates",
                    "%s: the rate factor u^p + delta reaches %g at T9=%g and is clamped to %g there "
                    "(mc_rate_rescale_cap=%g; None removes the clamp)",
                    variation_key(name, p, delta).c_str(), high ? hi : lo, high ? T9_hi : T9_lo,
                    high ? cap : 1.0 / cap, cap);
    }
    return 0;
}

}  // namespace

extern "C" int nvx_nuclear_rates_check_variation_keys(const NVXNuclearRates* rates, const NVXConfig* config,
                                                      char** err) {
    if (!rates || !config) return nvx::fail(err, "nvx_nuclear_rates_check_variation_keys: null argument");
    if (check_map(config->p_map, "p_", *rates, config, err)) return 1;
    if (check_map(config->delta_map, "delta_", *rates, config, err)) return 1;
    if (config->p_map.count == 0 && config->delta_map.count == 0) return 0;
    std::vector<std::string> warned;
    return check_factors(rates->mt, config, warned, err) || check_factors(rates->lt, config, warned, err);
}
