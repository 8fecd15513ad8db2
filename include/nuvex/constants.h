/* Physical constants (one process-wide table filled once) and unit conversions.
 * CGS units; energies and temperatures in MeV unless the name says otherwise. */
#ifndef NUVEX_CONSTANTS_H
#define NUVEX_CONSTANTS_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

enum NVXConstSlot {
    NVX_C_unit_0 = 0, NVX_C_unit_second, NVX_C_unit_centimetre, NVX_C_unit_gram, NVX_C_k_B,
    NVX_C_c_light, NVX_C_hbar, NVX_C_Mpc, NVX_C_MeV, NVX_C_keV, NVX_C_alpha_fs, NVX_C_G_F, NVX_C_m_Z,
    NVX_C_m_e, NVX_C_m_n, NVX_C_m_p, NVX_C_T_CMB, NVX_C_N_eff_standard, NVX_C_g_A, NVX_C_kappa_p,
    NVX_C_kappa_n, NVX_C_V_ud, NVX_C_R_p, NVX_C_m_u, NVX_C_m_He4_u, NVX_C_m_H_u, NVX_N_CONST
};

/* The table, set at compile time: valid before any call into the library. */
NVX_API extern double g_const[NVX_N_CONST];

/* Returns the table (kept for callers that initialise explicitly). */
NVX_API const double* nvx_constants_init(void);

NVX_API double nvx_erg(void);
NVX_API double nvx_MeV_to_Kelvin(void);
NVX_API double nvx_MeV_to_secm1(void);
NVX_API double nvx_MeV_to_g(void);
NVX_API double nvx_MeV_to_cmm1(void);
NVX_API double nvx_MeV4_to_gcmm3(void);
NVX_API double nvx_T_start(void);
NVX_API double nvx_T_weak(void);
NVX_API double nvx_T_nucl(void);
/* sin^2 theta_W (MS-bar at M_Z, 0.23121) and the tree-level neutrino-electron couplings built on it:
 * g_L = sin^2 theta_W + 1/2 (nu_e, charged and neutral currents), - 1/2 (nu_mu, nu_tau), g_R = sin^2 theta_W. */
NVX_API double nvx_sW2(void);
NVX_API double nvx_geL(void);
NVX_API double nvx_geR(void);
NVX_API double nvx_gmuL(void);
NVX_API double nvx_gmuR(void);
NVX_API double nvx_deltakappa(void);
NVX_API double nvx_s0bar(void);
NVX_API double nvx_s0CMB(void);
NVX_API double nvx_n0CMB(void);
NVX_API double nvx_mB(void);
NVX_API double nvx_maOvermB(void);
NVX_API double nvx_HubbleOverh(void);

NVX_END_DECLS

#endif
