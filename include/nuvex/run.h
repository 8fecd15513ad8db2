/* The run driver: one complete nucleosynthesis computation for a validated parameter record,
 * stage by stage, releasing every intermediate record before it returns. */
#ifndef NUVEX_RUN_H
#define NUVEX_RUN_H

#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/results.h"

NVX_BEGIN_DECLS

#define NVX_VERSION_STRING "0.3.2"

/* 0 on success, 1 on failure with *err set by the failing stage. custom_network may be NULL. */
NVX_API int didiva_run(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                       NVXResults* results, char** err);

/* Fills the abundance-derived quantities and the final abundances of `results` (cleared first)
 * from nuclide names and final abundances in network order; A of each nuclide from the config's
 * nuclide table. Returns 0, or 1 on allocation failure. */
NVX_API int nvx_results_fill_abundances(NVXResults* results, const NVXConfig* config,
                                        const char (*names)[NVX_NAME_LEN], const double* Y, size_t n);

struct nvx_nuclear_network;
struct nvx_background;

/* Clears `results` (without releasing: release a filled record first) and fills it from a solved network and its background: abundance ratios, Neff
 * and neutrino densities, final abundances and, under "output_time_evolution", the sampled
 * evolution with the forward rates. Returns 0, or 1 when an array cannot be allocated. */
NVX_API int nvx_assemble_results(NVXResults* results, const NVXConfig* config,
                                 const struct nvx_nuclear_network* network,
                                 const struct nvx_background* background);

/* Plausibility check of a filled result record: finite quantities in their physical ranges
 * (0 <= Yp <= 1, abundances and ratios >= 0 up to a round-off allowance relative to the largest
 * abundance), baryon number conserved. 0, or 1 with a message naming the quantity and the likely
 * cause. Every run is checked before it returns its results. */
NVX_API int nvx_results_check(const NVXResults* results, const NVXConfig* config, char** err);

NVX_END_DECLS

#endif
