// The physics records of one run (plasma, nuclear rates, background, network state), built stage
// by stage and released newest first; shared by the run driver and the Monte Carlo workers.
#pragma once

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/plasma.h"

namespace nvx {

struct RunContext {
    nvx_plasma plasma{};
    NVXNuclearRates rates{};
    nvx_background background{};
    nvx_nuclear_network network{};
    bool has_plasma = false, has_rates = false, has_background = false, has_network = false;

    RunContext() = default;
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;
    ~RunContext();

    // Plasma tables, then both networks loaded, varied and compiled. 0, or 1 with *err set.
    int build_plasma_and_rates(const NVXConfig* config, const NVXCustomNetwork* custom, char** err);
    // The background from the custom table when one is named, else the standard one.
    int build_background(const NVXConfig* config, char** err);
};

}  // namespace nvx
