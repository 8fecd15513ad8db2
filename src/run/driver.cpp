// didiva_run: one complete computation, stage by stage, with every record of the run context
// released in reverse order of creation on every path.
#include <cstdio>

#include "config/err.hpp"
#include "nuvex/background.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/plasma.h"
#include "nuvex/run.h"
#include "run/driver_internal.hpp"

namespace {

// The records of one run; the destructor releases those that were made, newest first.
struct RunContext {
    nvx_plasma plasma{};
    NVXNuclearRates rates{};
    nvx_background background{};
    nvx_nuclear_network network{};
    bool has_plasma = false, has_rates = false, has_background = false, has_network = false;

    RunContext() = default;
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;
    ~RunContext() {
        if (has_network) nvx_nuclear_network_free(&network);
        if (has_background) nvx_background_free(&background);
        if (has_rates) nvx_nuclear_rates_free(&rates);
        if (has_plasma) nvx_plasma_free(&plasma);
    }
};

int build_background(RunContext& ctx, const NVXConfig* config, char** err) {
    const char* custom = config->custom_background;
    int rc = (custom && custom[0]) ? nvx_bg_init_custom(&ctx.background, config, &ctx.plasma, custom, err)
                                   : nvx_bg_init_standard(&ctx.background, config, &ctx.plasma, err);
    ctx.has_background = rc == 0;
    return rc;
}

int run_stages(RunContext& ctx, const NVXConfig* config, const NVXCustomNetwork* custom_network,
               NVXResults* results, char** err) {
    if (nvx_plasma_init(&ctx.plasma, config, err)) return 1;
    ctx.has_plasma = true;
    if (nvx_nuclear_rates_init(&ctx.rates, config, custom_network, err)) return 1;
    ctx.has_rates = true;
    nvx_nuclear_rates_log_summary(&ctx.rates, config);
    nvx_nuclear_rates_apply_variations(&ctx.rates, config);
    if (build_background(ctx, config, err)) return 1;

    int rc = nvx_nuclear_network_solve(&ctx.network, config, &ctx.rates, &ctx.background, err);
    ctx.has_network = true;  // a failed solve leaves a record that is safe to free
    if (rc) return 1;
    if (nvx_assemble_results(results, config, &ctx.network, &ctx.background))
        return nvx::fail(err, "nvx_assemble_results: out of memory");
    if (config->output_background_evolution &&
        nvx_bg_write_time_evolution(&ctx.background, config->output_background_file, config->output_n_points, err))
        return 1;
    return nvx_nuclear_network_decay_era(&ctx.network, err);
}

}  // namespace

extern "C" int didiva_run(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                          NVXResults* results, char** err) {
    if (!config || !results) return nvx::fail(err, "didiva_run: no parameter record or result record");
    if (config->verbose) {
        nvx::print_banner();
        nvx::log_options(config);
    }
    std::fflush(stdout);
    RunContext ctx;
    int rc = run_stages(ctx, config, custom_network, results, err);
    std::fflush(stdout);
    return rc;
}
