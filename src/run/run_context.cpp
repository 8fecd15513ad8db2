// Construction and release of a run's physics records, in the order every run needs them.
// Records that were made are released in reverse order of creation, whatever failed.
#include "run/run_context.hpp"

namespace nvx {

RunContext::~RunContext() {
    if (has_network) nvx_nuclear_network_free(&network);
    if (has_background) nvx_background_free(&background);
    if (has_rates) nvx_nuclear_rates_free(&rates);
    if (has_plasma) nvx_plasma_free(&plasma);
}

int RunContext::build_plasma_and_rates(const NVXConfig* config, const NVXCustomNetwork* custom, char** err) {
    if (nvx_plasma_init(&plasma, config, err)) return 1;
    has_plasma = true;
    if (nvx_nuclear_rates_init(&rates, config, custom, err)) return 1;
    has_rates = true;
    return 0;
}

int RunContext::build_background(const NVXConfig* config, char** err) {
    const char* table = config->custom_background;
    int rc = (table && table[0]) ? nvx_bg_init_custom(&background, config, &plasma, table, err)
                                 : nvx_bg_init_standard(&background, config, &plasma, err);
    has_background = rc == 0;
    return rc;
}

}  // namespace nvx
