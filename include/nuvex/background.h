/* Cosmological background: photon temperature, time and scale factor relations, the expansion rate,
 * the baryon density and the weak n<->p rates per second; computed (standard) or read from a table. */
#ifndef NUVEX_BACKGROUND_H
#define NUVEX_BACKGROUND_H

#include "nuvex/config.h"
#include "nuvex/neutrino.h"
#include "nuvex/numerics.h"
#include "nuvex/plasma.h"
#include "nuvex/weak.h"

NVX_BEGIN_DECLS

enum { NVX_BG_STANDARD = 0, NVX_BG_CUSTOM = 1 };

struct nvx_bg_time_table; /* smooth T(t), a(t) of a standard background (internal) */

/* One per run (or per Monte Carlo worker). Owns every array, and the history and the weak-rate record
 * when their flags say so (a solver session lends both to the backgrounds it builds); borrows the
 * parameter record and the plasma, which must outlive it. Queries are read-only. */
typedef struct nvx_background {
    int mode;                       /* NVX_BG_STANDARD or NVX_BG_CUSTOM */
    const NVXConfig* config;        /* borrowed */
    const nvx_plasma* plasma;       /* borrowed */

    /* Friedmann density terms beyond radiation */
    int has_matter_lambda;
    double rho_cdm0;                /* dark matter today, MeV^4 */
    double rho_Lambda;              /* cosmological constant, MeV^4 (may be negative) */
    int has_ede;
    double T_ede;                   /* MeV */
    double rho_ede_c;               /* MeV^4 */
    double ede_power;               /* 3 (1 + wnEDE) */
    int has_extra_rho;
    nvx_cubic_spline extra_rho;     /* MeV^4 against log10 T */

    nvx_neutrino_history history;
    int history_ready;

    /* final tables: logarithmic grid in a, increasing a (decreasing T) */
    double* t;                      /* s */
    double* T;                      /* MeV */
    double* Tnue;
    double* Tnumu;
    double* Tnutau;
    double* Tnu_avg;
    double* a;
    size_t n;
    double* T_up;                   /* T ascending */
    double* t_up;
    int ready;
    int incomplete_decoupling;
    int external_scale_factor;
    double a_per_x;                 /* a = a_per_x x(T) in external-scale-factor mode */

    /* sampling grid */
    double* lnT_grid;               /* ln T ascending */
    double* lna_grid;
    size_t n_grid;
    double* a_asc;                  /* grid scale factors ascending */
    double* T_desc;                 /* matching temperatures (descending) */
    struct nvx_bg_time_table* time_table; /* owned; twice differentiable T(t), a(t) for the network
                                             integration; NULL in custom and external-scale-factor modes */

    nvx_weak_rates weak;
    int weak_ready;                 /* 1 when the record owns `weak` (only then is it freed) */
    double lambda_n;                /* weak-rate normalisation, s^-1 */

    /* custom mode: the table rows sorted three ways */
    double* by_t_t;
    double* by_t_T;
    double* by_t_a;
    double* by_T_T;
    double* by_T_t;
    double* by_T_a;
    double* by_a_a;
    double* by_a_T;
    double* by_a_t;
    size_t n_rows;
} nvx_background;

/* ---- construction and release ---- */

/* Solves the standard background. 0 on success; 1 with a message in err (record freed). */
NVX_API int nvx_bg_init_standard(nvx_background* bg, const NVXConfig* config,
                                 const nvx_plasma* plasma, char** err);
/* Reads a T, t, a table (tab- or comma-separated, header line naming the columns). 0 or 1 with err. */
/* Reads and checks a custom background table only (header with T, t and a columns, at least two
 * rows of positive finite numbers, no constant column); 0 with the row count, or 1 with a message
 * naming the file and line. */
NVX_API int nvx_bg_custom_table_read(const char* path, size_t* n_rows, char** err);
NVX_API int nvx_bg_init_custom(nvx_background* bg, const NVXConfig* config,
                               const nvx_plasma* plasma, const char* path, char** err);
/* Releases everything the record owns (both modes) and zeroes it; harmless twice. */
NVX_API void nvx_background_free(nvx_background* bg);

/* ---- Friedmann equation ---- */

/* Hubble rate (s^-1) at photon temperature T, neutrino temperatures and scale factor a. */
NVX_API double nvx_bg_Hubble(const nvx_background* bg, double T, double Tnue, double Tnumu,
                             double Tnutau, double a);

/* ---- queries (table lookups; T in MeV, t in s) ---- */

NVX_API double nvx_bg_T_of_t(const nvx_background* bg, double t);
NVX_API double nvx_bg_t_of_T(const nvx_background* bg, double T);
NVX_API double nvx_bg_a_of_T(const nvx_background* bg, double T);
NVX_API double nvx_bg_T_of_a(const nvx_background* bg, double a);
NVX_API double nvx_bg_a_of_t(const nvx_background* bg, double t);
NVX_API double nvx_bg_t_of_a(const nvx_background* bg, double a);
/* Neutrino temperatures at t: returns 1; custom mode writes nothing and returns 0. */
NVX_API int nvx_bg_Tnu_of_t(const nvx_background* bg, double* Tnue_out, double* Tnumu_out,
                            double* Tnutau_out, double t);
/* Baryon mass density at t, g cm^-3. */
NVX_API double nvx_bg_rhoB_BBN(const nvx_background* bg, double t);
/* Photon temperature (MeV) and baryon mass density (g cm^-3) at t as the network integration uses
 * them: cubic splines in t through the exact background solution when the record has them (a
 * standard background), else nvx_bg_T_of_t and nvx_bg_rhoB_BBN. Either output may be NULL. */
NVX_API void nvx_bg_network_conditions(const nvx_background* bg, double t, double* T_MeV, double* rhoB_gcm3);
/* Weak rates in s^-1 at photon temperature T_K in kelvin. */
NVX_API double nvx_bg_weak_nTOp_frwrd(const nvx_background* bg, double T_K);
NVX_API double nvx_bg_weak_nTOp_bkwrd(const nvx_background* bg, double T_K);

/* ---- end-of-run neutrino quantities ---- */

/* Final neutrino energy density (MeV^4) and the photon temperature where it is taken; 0 on success. */
NVX_API int nvx_bg_rho_nu_total_final(const nvx_background* bg, double* T_out, double* rho_nu_out);
/* Effective number of neutrino species for density rho_nu at photon temperature T. */
NVX_API double nvx_bg_N_eff(const nvx_background* bg, double T, double rho_nu);
/* Omega_nu h^2 today: relativistic (per flavour) and non-relativistic (per MeV of mass).
 * 0 on success; 1 with nothing written for a custom background. */
NVX_API int nvx_bg_Omeganuh2_relnu(const nvx_background* bg, double* out);
NVX_API int nvx_bg_Omeganuh2_nrnu(const nvx_background* bg, double* out);

/* ---- output ---- */

/* Writes the sampled background evolution (standard mode only). 0 or 1 with err. */
NVX_API int nvx_bg_write_time_evolution(const nvx_background* bg, const char* path, int n_points,
                                        char** err);

NVX_END_DECLS

#endif
