/* Thermodynamics of the electromagnetic plasma (photons, electron-positron pairs, finite-temperature
 * QED pressure correction) and neutrino radiation densities; natural units, T in MeV. */
#ifndef NUVEX_PLASMA_H
#define NUVEX_PLASMA_H

#include "nuvex/config.h"
#include "nuvex/numerics.h"

NVX_BEGIN_DECLS

/* ---------------------------------------------------------------- plasma record */

/* One per run (or per Monte Carlo worker); owns its tables, borrows the parameter record.
 * Every query is a pure function of the record (safe for concurrent readers). */
typedef struct nvx_plasma {
    const NVXConfig* config;       /* borrowed; must outlive the record */
    int qed_enabled;               /* 1 when "QED_corrections" is set */
    nvx_interp1d P_int;            /* QED pressure correction dP_QED(T), MeV^4 */
    nvx_interp1d dP_intdT;         /* its first temperature derivative, MeV^3 */
    nvx_interp1d d2P_intdT2;       /* its second temperature derivative, MeV^2 */
    nvx_cubic_spline rho_e;        /* e+e- energy density against T, MeV^4 */
    nvx_cubic_spline p_e;          /* e+e- pressure against T, MeV^4 */
    nvx_cubic_spline drho_e_dT;    /* d rho_e / dT, MeV^3 */
    nvx_cubic_spline dp_e_dT;      /* d p_e / dT, MeV^3 */
} nvx_plasma;

/* Free functions of temperature. */
NVX_API double nvx_rho_g(double T);
NVX_API double nvx_drho_g_dT(double T);
/* One flavour (neutrino plus antineutrino) without chemical potential. */
NVX_API double nvx_rho_nu(double T);
NVX_API double nvx_drho_nu_dT(double T);
/* Extra energy density of one flavour whose chemical potential over temperature is xi. */
NVX_API double nvx_rho_nu_chempot_excess(double T, double xi);

/* Builds the record (QED interpolants, electron-positron tables from cache or computed). */
NVX_API int nvx_plasma_init(nvx_plasma* plasma, const NVXConfig* config, char** err);
/* Frees every table and zeroes the record (harmless twice). */
NVX_API void nvx_plasma_free(nvx_plasma* plasma);

/* Electron-positron quantities: 0 below m_e/30, else the spline value. */
NVX_API double nvx_plasma_rho_e(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_p_e(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_drho_e_dT(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_dp_e_dT(const nvx_plasma* plasma, double T);

/* QED correction: pressure P, P' = dP/dT, P'' and the energy density T P' - P (all 0 without QED). */
NVX_API double nvx_plasma_qed_P(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_qed_dP_dT(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_qed_d2P_dT2(const nvx_plasma* plasma, double T);
NVX_API double nvx_plasma_qed_rho(const nvx_plasma* plasma, double T);

/* Plasma entropy density s(T) (MeV^3; neutrinos excluded, a relic coupled to electrons included) and
 * its temperature derivative. */
NVX_API double nvx_plasma_spl(const nvx_plasma* plasma, double T);
NVX_API void nvx_plasma_spl_and_dspl_dT(const nvx_plasma* plasma, double* s_out, double* ds_out,
                                        double T);
NVX_API double nvx_plasma_dspl_dT(const nvx_plasma* plasma, double T);
/* Temperature of a species decoupled while the pairs were relativistic: T (s / (s_rel T^3))^(1/3),
 * with s the entropy of photons, pairs and QED correction (no relic). */
NVX_API double nvx_plasma_T_nu_decoupling(const nvx_plasma* plasma, double T);
/* Energy density of the "DeltaNeff" extra species. */
NVX_API double nvx_plasma_rho_nu_extra(const nvx_plasma* plasma, double T);
/* Total standard-model radiation energy density and pressure; T_numu stands for mu and tau. */
NVX_API double nvx_plasma_rho_SM(const nvx_plasma* plasma, double T, double T_nue, double T_numu);
NVX_API double nvx_plasma_p_SM(const nvx_plasma* plasma, double T, double T_nue, double T_numu);

/* ---------------------------------------------------------------- thermal relic */

/* A species of mass m_MeV with g internal states (Fermi-Dirac when fermion, else Bose-Einstein), zero
 * chemical potential, at temperature T: out = {rho, p, drho/dT} (MeV^4, MeV^4, MeV^3); all 0 for
 * m/T > 700. Its entropy density is (rho + p)/T and T ds/dT = drho/dT. */
NVX_API void nvx_relic_thermo(double m_MeV, double g, int fermion, double T, double out[3]);
NVX_API double nvx_relic_entropy(double m_MeV, double g, int fermion, double T);
/* 1 when the record's relic is in equilibrium with the electron-photon plasma: its energy density,
 * pressure and entropy are then part of the plasma's (nvx_plasma_spl and its derivative). */
NVX_API int nvx_plasma_relic_in_plasma(const nvx_plasma* plasma);
/* The record's relic at temperature T (of its own sector): {rho, p, drho/dT}; zeros without one. */
NVX_API void nvx_plasma_relic_thermo(const nvx_plasma* plasma, double T, double out[3]);

/* The four electron-positron integrals at one temperature, computed directly (no table):
 * out = {rho_e, p_e, drho_e_dT, dp_e_dT}; all 0 below m_e/30. */
NVX_API void nvx_plasma_electron_thermo_point(double T, double m_e, double out[4]);

/* ---------------------------------------------------------------- QED pressure corrections */

/* Computed QED tables (owns its arrays), all on the ascending temperature grid T. */
typedef struct nvx_qed_tables {
    double* T;
    double* dPa;        /* O(e^2) correction, MeV^4 */
    double* dPe3;       /* O(e^3) correction, MeV^4 */
    double* dPa_dT;
    double* dPe3_dT;
    double* d2Pa_dT2;
    double* d2Pe3_dT2;
    size_t n;
} nvx_qed_tables;

/* Electron-distribution integrals at x = m_e/T (0 for x > 50). */
NVX_API double nvx_qed_I01(double x);
NVX_API double nvx_qed_I2m1(double x);
/* The two pressure corrections (MeV^4); exactly 0 below T = m_e/50. */
NVX_API double nvx_qed_dPa(double T, double alpha, double m_e);
NVX_API double nvx_qed_dPe3(double T, double alpha, double m_e);
/* n >= 4 log-spaced points from T_min to T_max, derivatives from not-a-knot splines. */
NVX_API int nvx_qed_compute_tables(size_t n, nvx_qed_tables* tables, char** err, double T_min,
                                   double T_max, double alpha, double m_e);
NVX_API void nvx_qed_tables_free(nvx_qed_tables* tables);
/* Writes "QED_pressure_correction_e2.txt" and "QED_pressure_correction_e3.txt" into dir. */
NVX_API int nvx_qed_save_tables(const nvx_qed_tables* tables, const char* dir, char** err);

NVX_END_DECLS

#endif
