/* Neutrino decoupling history (tabulated decoupling runs or instantaneous decoupling) and the
 * spectral distortions of the neutrino occupation; temperatures in MeV. */
#ifndef NUVEX_NEUTRINO_H
#define NUVEX_NEUTRINO_H

#include "nuvex/config.h"
#include "nuvex/plasma.h"

NVX_BEGIN_DECLS

enum { NVX_NU_MODE_TABULATED = 0, NVX_NU_MODE_INSTANTANEOUS = 1 };

/* Owns all its arrays; borrows the parameter record and the plasma. Read-only after init. */
typedef struct nvx_neutrino_history {
    int mode;                  /* 0: tabulated (incomplete decoupling); 1: instantaneous */
    const NVXConfig* config;   /* borrowed */
    const nvx_plasma* plasma;  /* borrowed; used in instantaneous mode */
    /* main table, rows in ascending photon temperature */
    double* Tg;
    double* ratio_nue;
    double* ratio_numu;
    double* ratio_nutau;
    double* Nheating;
    size_t n;
    double* lnTg;
    double* lnx;
    double Tg_min, Tg_max;
    double x_at_Tg_min, x_at_Tg_max;
    /* spectral tables */
    int spectral_loaded;
    double w_min, w_max;       /* extremes of w = x / z_gamma = m_e / T_gamma */
    double* w_sorted;          /* n_spec: w ascending */
    double* x_by_w;            /* n_spec: x of the same rows */
    size_t n_spec;
    double* lnx_spec;          /* n_spec: ln x, ascending */
    double* dfnu;              /* n_spec x n_mom, row-major: relative distortion f/f_FD - 1 */
    double* grid;              /* n_mom comoving momenta, as read */
    size_t n_mom;
    double grid_min, grid_max;
    /* instantaneous mode */
    double entropy_coefficient;
    /* analytic distortions */
    int analytic;
    double xi_nue;
    double y_SZ, y_gray;
    /* thermal relic (relic_mass_MeV): the main table is the relic's history, and ratio_relic holds
     * the temperature of the relic's sector over the photon temperature on its rows */
    int has_relic;
    double* ratio_relic;
} nvx_neutrino_history;

NVX_API int nvx_neutrino_history_init(nvx_neutrino_history* history, const NVXConfig* config,
                                      const nvx_plasma* plasma, char** err);
/* Frees every array and zeroes the record (harmless twice). */
NVX_API void nvx_neutrino_history_free(nvx_neutrino_history* history);

/* Neutrino temperature of each flavour at photon temperature T. */
NVX_API double nvx_nu_Tnue_of_Tg(const nvx_neutrino_history* history, double T);
NVX_API double nvx_nu_Tnumu_of_Tg(const nvx_neutrino_history* history, double T);
NVX_API double nvx_nu_Tnutau_of_Tg(const nvx_neutrino_history* history, double T);
/* Temperature of the thermal relic at photon temperature T (0 without a relic). */
NVX_API double nvx_nu_T_relic_of_Tg(const nvx_neutrino_history* history, double T);
/* Heating term (0 outside the table and in instantaneous mode). */
NVX_API double nvx_nu_N_SOLAN_of_Tg(const nvx_neutrino_history* history, double T);
/* Scale-factor variable x (0 in instantaneous mode; scales as 1/T beyond the table). */
NVX_API double nvx_nu_x_of_Tg(const nvx_neutrino_history* history, double T);

/* Decoupling-table path: the parameter value `name` when set, else default_name; absolute names
 * unchanged, others under "<data_dir>/SOLAN/". Returns 1 (with buf cut) when the path does not fit. */
NVX_API int nvx_resolve_solan_path(const NVXConfig* config, const char* name,
                                   const char* default_name, char* buf, size_t size);

/* The three decoupling-table paths a configuration reads (each cut to `size`; empty when it does
 * not fit): main history, spectrum, momentum grid. */
NVX_API void nvx_nu_table_paths(const NVXConfig* config, char* main_path, char* spectral_path, char* grid_path,
                                size_t size);

/* Distortion of the neutrino occupation at signed energy t (units of m_e), z = m_e/T_gamma,
 * z_nu = m_e/T_nu, s = +-1 the direction of the weak process; analytic or tabulated. */
NVX_API double nvx_nu_dFDneu(const nvx_neutrino_history* history, double t, double z, double z_nu,
                             double s);
/* Moment k = 0..7 of the analytic distortion (0 without analytic distortions; z unused). */
NVX_API double nvx_nu_dFDneu_moment(const nvx_neutrino_history* history, int k, double t, double z,
                                    double z_nu, double s);
/* The tabulated spectrum at one plasma temperature (z = m_e/T_gamma) as a smooth function of the
 * comoving momentum y: the relative distortions f/f_FD - 1 of the two bracketing rows, interpolated
 * in ln x at the grid momenta exactly as nvx_nu_dFDneu does, joined by a natural cubic spline and
 * continued linearly beyond the grid. The finite-nucleon-mass terms need the first and second
 * derivatives of the occupation, which the piecewise-linear lookup does not have. */
#define NVX_NU_MAX_MOMENTA 80
typedef struct nvx_nu_spectrum_slice {
    int valid;                       /* 0: no spectral tables, z outside them, or a grid that does not increase */
    double x;                        /* scale-factor variable at z (y = |t| x) */
    size_t n;                        /* grid momenta */
    double y[NVX_NU_MAX_MOMENTA];    /* comoving momenta */
    double d[NVX_NU_MAX_MOMENTA];    /* relative distortion at y */
    double d2[NVX_NU_MAX_MOMENTA];   /* its second derivative (natural spline) */
} nvx_nu_spectrum_slice;

NVX_API void nvx_nu_spectrum_slice_at(const nvx_neutrino_history* history, double z, nvx_nu_spectrum_slice* slice);
/* Moments k = 0..7 (the functions of nvx_nu_dFDneu_moment) of the tabulated distortion
 * Delta f(t) = (1 + d(|t| x)) F(|t| x) - F(|t| z_nu), odd in t, from the slice: t^2 Df, t^3 Df,
 * (t^2 Df)', (t^3 Df)', (t^4 Df)', (t^2 Df)'', (t^3 Df)'', (t^4 Df)''. All 0 for an invalid slice. */
NVX_API void nvx_nu_dFDneu_moments_tabulated(const nvx_nu_spectrum_slice* slice, double t, double z_nu,
                                             double m[8]);
/* Energy density (MeV^4) added by the analytic distortion at neutrino temperature T. */
NVX_API double nvx_nu_rho_nu_SD(const nvx_neutrino_history* history, double T);

NVX_END_DECLS

#endif
