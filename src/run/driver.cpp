// didiva_run: one complete computation, stage by stage, with every record of the run context
// released in reverse order of creation on every path.
#include <cstdio>

#include "config/err.hpp"
#include "nuvex/run.h"
#include "run/driver_internal.hpp"

extern "C" int didiva_run(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                          NVXResults* results, char** err) {
    (void)custom_network;
    if (!config || !results) return nvx::fail(err, "didiva_run: no parameter record or result record");
    if (config->verbose) {
        nvx::print_banner();
        nvx::log_options(config);
    }
    std::fflush(stdout);
    return nvx::fail(err, "didiva_run: the plasma stage (electron-positron thermodynamics) is not built yet");
}
