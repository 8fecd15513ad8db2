/* Weak neutron-proton conversion rates: phase-space integrals with Coulomb, radiative, finite-mass,
 * spectral-distortion and thermal corrections, tabulated per run, cached and interpolated. */
#ifndef NUVEX_WEAK_H
#define NUVEX_WEAK_H

#include "nuvex/config.h"
#include "nuvex/neutrino.h"
#include "nuvex/numerics.h"

NVX_BEGIN_DECLS

/* Integral kinds of the rate term (see nvx_weak_rate_integral). */
enum {
    NVX_WEAK_BORN = 0,          /* Born */
    NVX_WEAK_CCR = 1,           /* Coulomb and radiative corrections */
    NVX_WEAK_FM_CCR = 2,        /* finite nucleon mass, with CCR */
    NVX_WEAK_FM = 3,            /* finite nucleon mass, without CCR */
    NVX_WEAK_SD = 4,            /* spectral distortions, without CCR */
    NVX_WEAK_SD_CCR = 5,        /* spectral distortions, with CCR */
    NVX_WEAK_SDFM_CCR = 6,      /* distortions and finite mass, with CCR */
    NVX_WEAK_SDFM = 7,          /* distortions and finite mass, without CCR */
    NVX_WEAK_N_KINDS = 8
};

/* Rate context of one run: constants, degeneracy, neutrino history and the T_nu/T ratio table.
 * Owns the ratio table; borrows the parameter record and the history. Read-only once built. */
typedef struct nvx_weak_ctx {
    const NVXConfig* config;                 /* borrowed */
    const nvx_neutrino_history* history;     /* borrowed; may be NULL (no distortions) */
    double m_e_erg, m_n_erg, m_p_erg, Delta_erg;
    double xi;                               /* electron-neutrino mu/T_nu */
    double g_A;
    double delta_kappa;                      /* kappa_p - kappa_n */
    double* ratio_T_K;                       /* photon temperatures (K), increasing */
    double* ratio;                           /* T_nu / T at those temperatures */
    size_t n_ratio;
} nvx_weak_ctx;

/* Log-log interpolant of one rate column; 0 below T_min. */
typedef struct nvx_weak_loglog {
    double* logT;              /* log10 T (K) of the positive tail of the column */
    double* logRate;           /* log10 rate */
    size_t m;
    double T_min;              /* -inf when every rate is positive */
    nvx_cubic_spline spline;
    int use_spline;            /* 1 with more than 3 points, else linear */
} nvx_weak_loglog;

/* Weak-rate record of a run (owned by the background); rates in units of 1/tau_n. */
typedef struct nvx_weak_rates {
    double* T;                 /* n grid temperatures in kelvin, increasing */
    double* rate_nTOp;
    double* rate_pTOn;
    size_t n;
    nvx_weak_loglog interp_nTOp;
    nvx_weak_loglog interp_pTOn;
    int has_thermal;
    double* T_th;              /* n_th thermal-correction temperatures (K) */
    double* L_nTOp;            /* thermal corrections normalised by f_n */
    double* L_pTOn;
    size_t n_th;
} nvx_weak_rates;

/* ---- tables ---- */

/* Builds the tables (from cache or computed). Tnu_T: photon temperatures in MeV, Tnu: electron-
 * neutrino temperatures at them, n_nu >= 1 points; nu_history may be NULL when no distortion is
 * requested. 0 on success; 1 with a message in err (the record is left empty). */
NVX_API int nvx_weak_rates_init(nvx_weak_rates* rates, const double* Tnu_T, const double* Tnu,
                                size_t n_nu, const NVXConfig* config,
                                const nvx_neutrino_history* nu_history, char** err);
/* Normalised rates at photon temperature T in kelvin (thermal correction included above 10^8.2 K). */
NVX_API double nvx_weak_rate_nTOp(const nvx_weak_rates* rates, double T);
NVX_API double nvx_weak_rate_pTOn(const nvx_weak_rates* rates, double T);
/* Frees every array and spline and zeroes the record (harmless twice). */
NVX_API void nvx_weak_rates_free(nvx_weak_rates* rates);

/* ---- integrals at one temperature ---- */

/* Relativistic Fermi function with finite nuclear size at electron velocity beta. */
NVX_API double nvx_fermi_coulomb(double beta);
/* Resummed radiative correction factor (velocity beta, neutrino energy y, electron energy E; m_e units). */
NVX_API double nvx_rad_corr_resum(double beta, double y, double E);
/* Normalising phase-space integral f_n of free neutron decay with the enabled corrections. */
NVX_API double nvx_compute_fn(const NVXConfig* config);

/* Builds a rate context (same inputs as nvx_weak_rates_init). 0 or 1 with err. */
NVX_API int nvx_weak_ctx_init(nvx_weak_ctx* ctx, const double* Tnu_T, const double* Tnu, size_t n_nu,
                              const NVXConfig* config, const nvx_neutrino_history* nu_history,
                              char** err);
NVX_API void nvx_weak_ctx_free(nvx_weak_ctx* ctx);
/* Electron-neutrino temperature (K) at photon temperature T_K from the ratio table. */
NVX_API double nvx_weak_ctx_Tnu(const nvx_weak_ctx* ctx, double T_K);
/* Integral of one kind at photon temperature T_K for direction s (+1: n->p, -1: p->n); unnormalised. */
NVX_API double nvx_weak_rate_integral(const nvx_weak_ctx* ctx, int kind, double T_K, int s);
/* Sum of the kinds the configuration enables; unnormalised (divide by f_n). */
NVX_API double nvx_weak_rate_term(const nvx_weak_ctx* ctx, double T_K, int s);
/* Thermal radiative correction at T_K for direction s, unnormalised; 0 below 10^8.2 K. */
NVX_API double nvx_weak_thermal_correction(const nvx_weak_ctx* ctx, double T_K, int s);
/* Thermal corrections of both directions on n temperatures, on n_threads threads (<= 0: every online
 * processor). Results do not depend on the thread count. show_progress: progress on stderr. */
NVX_API void nvx_weak_thermal_table(const nvx_weak_ctx* ctx, const double* T_K, size_t n,
                                    int n_threads, int show_progress, double* L_nTOp,
                                    double* L_pTOn);

NVX_END_DECLS

#endif
