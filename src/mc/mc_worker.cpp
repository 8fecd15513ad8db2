// One Monte Carlo worker's run context (plasma, nuclear rates, background, built once) and the
// per-sample draws, rate variations and network integration.
#include "mc/mc_worker.hpp"

#include <cstring>

#include "config/err.hpp"
#include "nuvex/numerics.h"
#include "nuvex/run.h"
#include "run/run_context.hpp"

namespace nvx {

// The worker's own parameter record, released after the records built from it.
struct OwnedConfig {
    NVXConfig config{};
    ~OwnedConfig() { nvx_config_free(&config); }
};

struct McWorkerState {
    OwnedConfig owned;
    RunContext ctx;  // declared after the record: destroyed first
    double tau0_s = 0.0;
    double lambda0 = 0.0;
    nvx_rng rng{};
};

McWorker::McWorker() = default;
McWorker::~McWorker() = default;

int McWorker::init(NVXConfig&& config, const NVXCustomNetwork* custom, char** err) {
    state_ = std::make_unique<McWorkerState>();
    McWorkerState& s = *state_;
    s.owned.config = config;
    std::memset(&config, 0, sizeof config);  // the worker owns the record now
    if (s.ctx.build_plasma_and_rates(&s.owned.config, custom, err) || s.ctx.build_background(&s.owned.config, err))
        return 1;
    s.tau0_s = s.owned.config.tau_n;
    s.lambda0 = s.ctx.background.lambda_n;
    return 0;
}

int McWorker::run_sample(uint64_t seed_plus_index, NVXResults* results, char** err) {
    McWorkerState& s = *state_;
    NVXConfig& config = s.owned.config;
    nvx_rng_seed(&s.rng, seed_plus_index);
    // one normal deviate per LT reaction after the weak n<->p conversion, in network order
    const NVXNetworkDef& lt = s.ctx.rates.lt;
    for (size_t i = 1; i < lt.n_reactions; ++i)
        nvx_rxnmap_set(&config.p_map, lt.reaction_names[i], nvx_rng_normal(&s.rng));
    // the lifetime draw always happens, so the rate draws of a sample never depend on the switch
    double z = nvx_rng_normal(&s.rng);
    if (config.tau_n_normalization) {
        config.tau_n = s.tau0_s + config.std_tau_n * z;
        s.ctx.background.lambda_n = s.lambda0 * s.tau0_s / config.tau_n;
    }
    nvx_nuclear_rates_apply_variations(&s.ctx.rates, &config);
    nvx_nuclear_network net{};
    int rc = nvx_nuclear_network_solve(&net, &config, &s.ctx.rates, &s.ctx.background, err);
    if (rc == 0 && nvx_assemble_results(results, &config, &net, &s.ctx.background))
        rc = fail(err, "nvx_mc_uncertainty: out of memory while assembling a sample");
    if (rc == 0) rc = nvx_results_check(results, &config, err);
    nvx_nuclear_network_free(&net);
    return rc;
}

}  // namespace nvx
