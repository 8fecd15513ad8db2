// Three-flavour mixing for the decoupling solver: vacuum mixing from measured parameters, the
// thermal mean-field potentials of e+- and neutrinos, and the matter basis of averaged oscillations.
#pragma once

#include <array>

namespace solan {

// Real 3x3 matrix, row-major; flavour index order e, mu, tau.
using Mat3 = std::array<double, 9>;

// Measured oscillation parameters, normal mass ordering (Particle Data Group, R. L. Workman et al.,
// Prog. Theor. Exp. Phys. 2022, 083C01, neutrino mixing review: sin^2 theta_12 = 0.307,
// sin^2 theta_13 = 0.0220, sin^2 theta_23 = 0.546, Delta m^2_21 = 7.53e-5 eV^2,
// Delta m^2_32 = 2.453e-3 eV^2). The Dirac phase is set to 0: without lepton asymmetries and
// without muons the dynamics is invariant under rotations of the mu-tau plane, which absorb
// theta_23 and delta; they only split nu_mu from nu_tau, never nu_e or the mu+tau sum.
struct MixingParameters {
  double sin2_12 = 0.307;
  double sin2_13 = 0.0220;
  double sin2_23 = 0.546;
  double dm2_21_eV2 = 7.53e-5;
  double dm2_31_eV2 = 2.453e-3 + 7.53e-5;  // Delta m^2_32 + Delta m^2_21
};

// PMNS matrix with delta = 0: column i is the flavour content of mass state i.
Mat3 pmns(const MixingParameters& m);

// Eigen-decomposition of a real symmetric matrix by cyclic Jacobi rotations: eigenvalues in
// ascending order in w, the matching orthonormal eigenvectors in the columns of V.
void sym3_eigen(const Mat3& H, double w[3], Mat3& V);

// Coefficients of the thermal (C-even) mean-field potentials at order G_F / M_W^2, which survive
// without asymmetries (D. Notzold, G. Raffelt, Nucl. Phys. B 307 (1988) 924; G. Sigl, G. Raffelt,
// Nucl. Phys. B 406 (1993) 423):
//   V = -2 sqrt2 G_F p (rho_e + P_e) / M_W^2 (nu_e only) - (8 sqrt2 G_F p / 3 M_Z^2) E_nu,
// with E_nu the energy-density matrix of neutrinos plus antineutrinos. (rho + P) is the exact
// form for massive electrons; it reduces to the quoted (4/3) rho for relativistic ones.
inline constexpr double kMW_MeV = 80377.0;   // PDG 2022
inline constexpr double kMZ_MeV = 91187.6;   // PDG 2022

// 2p times the flavour Hamiltonian (MeV^2), without the part proportional to the identity:
// U M^2 U^T + 2p V. p in MeV, rho_plus_P_e in MeV^4, E_nu in MeV^4 (flavour basis).
Mat3 hamiltonian_2p(const Mat3& vacuum_M2, double p_MeV, double rho_plus_P_e, const Mat3& E_nu);

// U M^2 U^T in MeV^2 for the given parameters.
Mat3 vacuum_mass_matrix(const MixingParameters& m);

}  // namespace solan
