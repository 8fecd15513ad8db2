// Check of the p_ and delta_ rate-variation keys against the assembled networks: a key naming no
// reaction of the run would otherwise change nothing, silently (a typo such as p_n_p__dg).
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "config/suggest.hpp"
#include "nuvex/network.h"

namespace {

bool in_network(const NVXNetworkDef& d, const char* name) {
    for (size_t r = 1; r < d.n_reactions; ++r)
        if (std::strcmp(d.reaction_names[r], name) == 0) return true;
    return false;
}

// The reaction of the network whose name is closest to the unknown one ("" when none is close).
std::string closest(const NVXNetworkDef& d, const char* name) {
    std::vector<std::string> names;
    for (size_t r = 1; r < d.n_reactions; ++r) names.emplace_back(d.reaction_names[r]);
    const auto best = nvx::suggest(name, names, 1);
    return best.empty() ? std::string() : best[0];
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

}  // namespace

extern "C" int nvx_nuclear_rates_check_variation_keys(const NVXNuclearRates* rates, const NVXConfig* config,
                                                      char** err) {
    if (!rates || !config) return nvx::fail(err, "nvx_nuclear_rates_check_variation_keys: null argument");
    if (check_map(config->p_map, "p_", *rates, config, err)) return 1;
    return check_map(config->delta_map, "delta_", *rates, config, err);
}
