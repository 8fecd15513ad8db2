// The Monte Carlo driver shared by nvx_mc_run and the parameter-list interface, with an optional
// extra cancel flag (the process-wide flag of nvx_mc_uncertainty), polled before every sample.
#pragma once

#include "nuvex/mc.h"

namespace nvx::mc {

int run(const NVXConfig* config, const NVXCustomNetwork* custom, const NVXMCOptions* options,
        const volatile int32_t* extra_cancel, NVXMCResult* result, char** err);

}  // namespace nvx::mc
