/* Nuclear network integration: abundances from 10 MeV to the final temperature through the high-
 * (n, p; Runge-Kutta), mid- and low-temperature eras (stiff BDF), their joined history, the sampled
 * evolution with reaction rates, the output files, and the post-nucleosynthesis decay era. */
#ifndef NUVEX_NUCLEAR_NETWORK_H
#define NUVEX_NUCLEAR_NETWORK_H

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/network.h"

NVX_BEGIN_DECLS

enum { NVX_ERA_HT = 0, NVX_ERA_MT = 1, NVX_ERA_LT = 2, NVX_N_ERAS = 3 };

/* Work done by one era's integration (diagnostics only). */
typedef struct nvx_nuclear_era_stats {
    size_t steps;     /* accepted steps */
    size_t rhs_evals; /* right-hand-side evaluations */
    size_t jac_evals; /* analytic Jacobian evaluations */
    size_t rejected;  /* step attempts rejected by the error test (stiff eras) */
    size_t newton_failures; /* unconverged Newton iterations (stiff eras) */
    size_t lu_factorisations; /* LU factorisations of the iteration matrix (stiff eras) */
    double seconds;   /* wall time */
} nvx_nuclear_era_stats;

/* One per run (or per Monte Carlo sample). Filled by nvx_nuclear_network_solve, released by
 * nvx_nuclear_network_free; the solve clears the record on entry, so free it before solving again. */
typedef struct nvx_nuclear_network {
    const NVXConfig* config;     /* borrowed */
    const nvx_background* bg;    /* borrowed */
    NVXNuclearRates* rates;      /* borrowed */
    char (*species)[NVX_NAME_LEN]; /* LT species in LT network order */
    size_t n_species;
    double* Y_final;             /* abundances at the end of the LT era */
    double t_end;                /* time of T_end_MeV, s */
    double* t_hist;              /* n_rows increasing times, s */
    double* Y_hist;              /* n_rows x n_species, row-major, LT species order */
    size_t n_rows;
    double t_first;              /* t_hist[0], the time of 10 MeV */
    nvx_nuclear_era_stats stats[NVX_N_ERAS];
} nvx_nuclear_network;

/* Integrates the three eras. 0 on success; 1 with the integrator's message in *err, leaving only
 * config, bg, rates and t_end set. Writes the evolution / final-abundance files when requested
 * (their failures are warnings on standard error, not failures of the solve). */
NVX_API int nvx_nuclear_network_solve(nvx_nuclear_network* network, const NVXConfig* config,
                                      NVXNuclearRates* rates, const nvx_background* bg, char** err);
/* Releases the owned arrays and clears the record; harmless twice. */
NVX_API void nvx_nuclear_network_free(nvx_nuclear_network* network);

/* Final abundance of a species; 0 when the network has none of that name. */
NVX_API double nvx_nuclear_network_get(const nvx_nuclear_network* network, const char* name);
/* Abundance at time t from the joined history (linear in t): 0 for an unknown name or t at or
 * before the first time, the final abundance at or after the last time. */
NVX_API double nvx_nuclear_network_Y_of_t(const nvx_nuclear_network* network, const char* name, double t);

/* Nuclear statistical equilibrium abundance of one nuclide at photon temperature T_K (kelvin),
 * baryon density rhoB (g cm^-3) and free nucleon abundances Yn, Yp; masses from the nuclide table
 * (which must hold "n" and "p"). Returns 0 when the table lacks them. */
NVX_API double nvx_nuclear_network_nse_abundance(const NVXConfig* config, const NVXNuclide* nuclide,
                                                 double T_K, double rhoB, double Yn, double Yp);

/* ---- sampled evolution and outputs ---- */

/* Fills count samples on a logarithmic time grid from t(T_start_cosmo_MeV) to t_end: times (s),
 * photon temperature (MeV), scale factor (NaN when the background is not ready), neutrino
 * temperatures (NaN when unavailable) and abundances (count x n_species, row-major). */
NVX_API void nvx_nuclear_network_sample_time_evolution(const nvx_nuclear_network* network, size_t count,
                                                       double* t, double* T_gamma, double* a,
                                                       double* T_nue, double* T_numu, double* T_nutau,
                                                       double* Y);
/* Number of forward-rate columns (LT reactions after the weak n<->p one) when rates are requested
 * by "output_rates_time_evolution", else 0; names (when not NULL) gets "<reaction>_frwrd" sorted. */
NVX_API size_t nvx_nuclear_network_rate_columns(const nvx_nuclear_network* network,
                                                char (*names)[NVX_RXN_NAME_LEN]);
/* Forward rates (after the run's variations) at each photon temperature (MeV): count rows of the
 * columns above, in their sorted order. Does nothing unless rates are requested. */
NVX_API void nvx_nuclear_network_sample_rates(const nvx_nuclear_network* network, const double* T_gamma,
                                              size_t count, double* values);
/* The evolution file of "output_file" (nothing when that is empty); 0 or 1 with *err. */
NVX_API int nvx_nuclear_network_write_time_evolution(const nvx_nuclear_network* network, size_t count,
                                                     char** err);
/* The final-abundance file of "output_final_file"; 0 or 1 with *err. */
NVX_API int nvx_nuclear_network_write_final_result(const nvx_nuclear_network* network, char** err);

/* ---- decay era ---- */

/* Radioactive decay of the final abundances up to "t_decay_end" (matrix exponential), written to
 * "output_decay_file". Runs only with "decay_era", the large network, "output_decay_evolution" and
 * "decay_n_points" > 0; otherwise returns 0 at once. 0 or 1 with *err. */
NVX_API int nvx_nuclear_network_decay_era(const nvx_nuclear_network* network, char** err);

NVX_END_DECLS

#endif
