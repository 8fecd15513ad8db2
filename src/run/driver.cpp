// didiva_run: one complete computation, stage by stage, with every record of the run context
// released in reverse order of creation on every path.
#include <cstdio>

#include "config/err.hpp"
#include "nuvex/run.h"
#include "run/driver_internal.hpp"
#include "run/run_context.hpp"

namespace {

using nvx::RunContext;

int run_stages(RunContext& ctx, const NVXConfig* config, const NVXCustomNetwork* custom_network,
               NVXResults* results, char** err) {
    if (ctx.build_plasma_and_rates(config, custom_network, err)) return 1;
    nvx_nuclear_rates_log_summary(&ctx.rates, config);
    nvx_nuclear_rates_apply_variations(&ctx.rates, config);
    if (ctx.build_background(config, err)) return 1;

    int rc = nvx_nuclear_network_solve(&ctx.network, config, &ctx.rates, &ctx.background, err);
    ctx.has_network = true;  // a failed solve leaves a record that is safe to free
    if (rc) return 1;
    if (nvx_assemble_results(results, config, &ctx.network, &ctx.background))
        return nvx::fail(err, "nvx_assemble_results: out of memory");
    if (nvx_results_check(results, config, err)) return 1;
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
        nvx::print_banner(config);
        nvx::log_options(config);
    }
    std::fflush(stdout);
    RunContext ctx;
    int rc = run_stages(ctx, config, custom_network, results, err);
    std::fflush(stdout);
    return rc;
}
