// One Monte Carlo worker's run context (plasma, nuclear rates, background, built once) and the
// per-sample draws, rate variations and network integration.
#include "mc/mc_worker.hpp"

#include <cstring>

#include "config/err.hpp"
#include "nuvex/background.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/numerics.h"
#include "nuvex/plasma.h"
#include "nuvex/run.h"

namespace nvx {

struct McWorkerState {
    NVXConfig config{};
    nvx_plasma plasma{};
    NVXNuclearRates rates{};
    nvx_background background{};
    bool has_plasma = false, has_rates = false, has_background = false;
    double tau0_s = 0.0;
    double lambda0 = 0.0;
    nvx_rng rng{};

    ~McWorkerState() {
        if (has_background) nvx_background_free(&background);
        if (has_rates) nvx_nuclear_rates_free(&rates);
        if (has_plasma) nvx_plasma_free(&plasma);
        nvx_config_free(&config);
    }
};

McWorker::McWorker() = default;
McWorker::~McWorker() = default;

int McWorker::init(NVXConfig&& config, const NVXCustomNetwork* custom, char** err) {
    state_ = std::make_unique<McWorkerState>();
    McWorkerState& s = *state_;
    s.config = config;
    std::memset(&config, 0, sizeof config);  // the worker owns the record now
    if (nvx_plasma_init(&s.plasma, &s.config, err)) return 1;
    s.has_plasma = true;
    if (nvx_nuclear_rates_init(&s.rates, &s.config, custom, err)) return 1;
    s.has_rates = true;
    const char* bg_table = s.config.custom_background;
    int rc = (bg_table && bg_table[0]) ? nvx_bg_init_custom(&s.background, &s.config, &s.plasma, bg_table, err)
                                       : nvx_bg_init_standard(&s.background, &s.config, &s.plasma, err);
    if (rc) return 1;
    s.has_background = true;
    s.tau0_s = s.config.tau_n;
    s.lambda0 = s.background.lambda_n;
    return 0;
}

int McWorker::run_sample(uint64_t seed_plus_index, NVXResults* results, char** err) {
    McWorkerState& s = *state_;
    nvx_rng_seed(&s.rng, seed_plus_index);
    // one normal deviate per LT reaction after the weak n<->p conversion, in network order
    const NVXNetworkDef& lt = s.rates.lt;
    for (size_t i = 1; i < lt.n_reactions; ++i)
        nvx_rxnmap_set(&s.config.p_map, lt.reaction_names[i], nvx_rng_normal(&s.rng));
    // the lifetime draw always happens, so the rate draws of a sample never depend on the switch
    double z = nvx_rng_normal(&s.rng);
    if (s.config.tau_n_normalization) {
        s.config.tau_n = s.tau0_s + s.config.std_tau_n * z;
        s.background.lambda_n = s.lambda0 * s.tau0_s / s.config.tau_n;
    }
    nvx_nuclear_rates_apply_variations(&s.rates, &s.config);
    nvx_nuclear_network net{};
    int rc = nvx_nuclear_network_solve(&net, &s.config, &s.rates, &s.background, err);
    if (rc == 0 && nvx_assemble_results(results, &s.config, &net, &s.background))
        rc = fail(err, "nvx_mc_uncertainty: out of memory while assembling a sample");
    nvx_nuclear_network_free(&net);
    return rc;
}

}  // namespace nvx
