// Thermodynamics of the photon / electron-positron plasma with its finite-temperature QED
// pressure correction, evaluated directly by quadrature (no tables), for the decoupling solver.
#pragma once

namespace solan {

// Physical constants in MeV-based natural units.
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kMe_MeV = 0.51099895;
inline constexpr double kAlpha = 0.0072973525692838015;
inline constexpr double kGF_MeVm2 = 1.1663786999999999e-11;
inline constexpr double kHbar_MeVs = 6.582119569509066e-22;  // hbar in MeV s

// Energy density of photons and of one neutrino flavour (with its antiparticle), over T^4.
inline constexpr double kRhoGammaCoef = kPi * kPi / 15.0;
inline constexpr double kRhoNuCoef = 7.0 / 8.0 * kPi * kPi / 15.0;

// dP_QED(T) = T^4 Phi(x), x = m_e/T, and its first two x-derivatives.
struct QedPhi {
  double phi = 0, phi_x = 0, phi_xx = 0;
};

// Sum of the e^2 (one-loop) and e^3 (ring) pressure corrections at x = m_e/T; zero for x > 50.
QedPhi qed_phi(double x);

// Everything the decoupling equations need from the electromagnetic plasma at temperature T.
struct PlasmaState {
  double rho = 0;      // energy density, MeV^4 (photons + e+- + QED: T P' - P)
  double p = 0;        // pressure, MeV^4
  double s = 0;        // entropy density (rho + p)/T, MeV^3
  double drho_dT = 0;  // d rho / dT = T ds/dT, MeV^3
  double dP_qed = 0, dP_qed_dT = 0, d2P_qed_dT2 = 0;
};

// Plasma at photon temperature T_MeV; qed selects the finite-temperature QED correction.
PlasmaState plasma_state(double T_MeV, bool qed);

// Raw electron-positron quantities (both particles, 4 spin states) over powers of T at x = m_e/T:
// rho_e/T^4, p_e/T^4 and (d rho_e/dT)/T^3.
struct ElectronThermo {
  double rho = 0, p = 0, drho_dT = 0;
};
ElectronThermo electron_thermo(double x);

}  // namespace solan
