// Neutrino decoupling with a thermal relic by the energy-transfer method, and the history table it
// gives the background (the momentum-resolved standard tables corrected by the relic's effect).
#pragma once

#include <vector>

#include "nuvex/neutrino.h"

namespace nvx::relic {

// One solution of the energy-transfer equations, rows in increasing scale factor.
struct ThermalSolution {
    std::vector<double> lnx;               // ln(m_e a), a normalised so that T_gamma a = 1 at the start
    std::vector<double> T, Tnue, Tnumu;    // photon and flavour temperatures, MeV (mu and tau alike)
    std::vector<double> T_relic;           // temperature of the relic's sector, MeV (0 without a relic)
    std::vector<double> N;                 // heating term Q / (H T_gamma^4)
};

// Integrates the photon-plasma and neutrino temperatures from T_start_cosmo_MeV to below T_end_MeV,
// with the record's relic and, on the same steps, without it (the standard model in the same sector
// layout: a neutrinophilic relic keeps the three flavours at one temperature, and so does its
// reference). 0, or 1 with *err.
int solve_thermal(const NVXConfig* config, const nvx_plasma* plasma, ThermalSolution& relic,
                  ThermalSolution& reference, char** err);

// Replaces the main table of a tabulated history (already loaded) by the relic's history: the
// flavour ratios multiplied and the heating term shifted by the change the relic makes to the
// energy-transfer solution at the same photon temperature. 0, or 1 with *err.
int apply_relic(nvx_neutrino_history* history, const NVXConfig* config, const nvx_plasma* plasma, char** err);

}  // namespace nvx::relic
