// The process-wide table of physical constants (set at compile time, read-only) and the
// unit conversions derived from it; CGS units with energies in MeV.
#include "nuvex/constants.h"

#include <cmath>

// Filled at compile time, so that every accessor below is right even before the first
// nvx_constants_init (which the library calls, but host programs may not).
double g_const[NVX_N_CONST] = {
    1.0,                      // unit_0
    1.0,                      // unit_second
    1.0,                      // unit_centimetre
    1.0,                      // unit_gram
    1.380649e-16,             // k_B, erg/K
    29979245800.0,            // c_light, cm/s
    1.0545718176461565e-27,   // hbar, erg s
    3.08567758149e+24,        // Mpc, cm
    1.602176634e-06,          // MeV, erg
    1.602176634e-09,          // keV, erg
    0.0072973525692838015,    // alpha_fs
    1.1663786999999999e-11,   // G_F, MeV^-2
    91187.6,                  // m_Z, MeV
    0.51099895,               // m_e, MeV
    939.56542052,             // m_n, MeV
    938.27208816,             // m_p, MeV
    2.7255,                   // T_CMB, K
    3.044,                    // N_eff_standard
    1.2756,                   // g_A
    1.7928473446300002,       // kappa_p
    -1.91304273,              // kappa_n
    0.9738,                   // V_ud
    8.409e-14,                // R_p, cm
    931.494061,               // m_u, MeV
    4.0026032541,             // m_He4_u, u
    1.00782503223,            // m_H_u, u
};

namespace {

inline double C(int slot) { return g_const[slot]; }

}  // namespace

extern "C" {

const double* nvx_constants_init(void) { return g_const; }

double nvx_erg(void) { return 1.0; }
double nvx_MeV_to_Kelvin(void) { return C(NVX_C_MeV) / C(NVX_C_k_B); }
double nvx_MeV_to_secm1(void) { return C(NVX_C_MeV) / C(NVX_C_hbar); }
double nvx_MeV_to_g(void) { return C(NVX_C_MeV) / (C(NVX_C_c_light) * C(NVX_C_c_light)); }
double nvx_MeV_to_cmm1(void) { return C(NVX_C_MeV) / (C(NVX_C_hbar) * C(NVX_C_c_light)); }
double nvx_MeV4_to_gcmm3(void) {
    double k = nvx_MeV_to_cmm1();
    return nvx_MeV_to_g() * (k * k * k);
}
double nvx_T_start(void) { return 10.0 * nvx_MeV_to_Kelvin(); }
double nvx_T_weak(void) { return 1.0 * nvx_MeV_to_Kelvin(); }
double nvx_T_nucl(void) { return 0.11 * nvx_MeV_to_Kelvin(); }
// The weak mixing angle of the neutrino-electron couplings: the MS-bar value at the Z mass (PDG
// electroweak review, sin^2 theta_W(M_Z) = 0.23121), the one the decoupling tables are solved with
// (tools/solan). The tree-level Z-mass relation with alpha(0), 0.21215, ignores the running of
// alpha to M_Z and makes the electron couplings 5-8 % off.
double nvx_sW2(void) { return 0.23121; }
double nvx_geL(void) { return nvx_sW2() + 0.5; }
double nvx_geR(void) { return nvx_sW2(); }
double nvx_gmuL(void) { return nvx_sW2() - 0.5; }
double nvx_gmuR(void) { return nvx_sW2(); }
double nvx_deltakappa(void) { return C(NVX_C_kappa_p) - C(NVX_C_kappa_n); }
double nvx_s0bar(void) { return 0.8772981689857207; }
double nvx_s0CMB(void) {
    double T0 = C(NVX_C_T_CMB) / nvx_MeV_to_Kelvin();
    return nvx_s0bar() * (T0 * T0 * T0);
}
double nvx_n0CMB(void) {
    double T0 = C(NVX_C_T_CMB) / nvx_MeV_to_Kelvin();
    return 0.24358765646714617 * (T0 * T0 * T0);
}
double nvx_mB(void) {
    return (0.753 * C(NVX_C_m_H_u) + 0.247 * 0.25 * C(NVX_C_m_He4_u)) * C(NVX_C_m_u);
}
double nvx_maOvermB(void) { return C(NVX_C_m_u) / nvx_mB(); }
double nvx_HubbleOverh(void) {
    return (1e7 * C(NVX_C_unit_centimetre) / (C(NVX_C_unit_second) * C(NVX_C_Mpc))) / nvx_MeV_to_secm1();
}

}  // extern "C"
