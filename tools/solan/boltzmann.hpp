// Momentum-resolved neutrino decoupling: kinetic equations of the three neutrino flavours on a
// comoving-momentum grid, with averaged flavour oscillations, coupled to the QED plasma.
#pragma once

#include <vector>

#include "decoupling.hpp"
#include "flavour.hpp"

namespace solan {

struct BoltzmannOptions {
  bool qed = true;               // finite-temperature QED correction of the plasma (e^2 and e^3)
  // Flavour oscillations, averaged and transferred adiabatically: the density matrix of each
  // momentum is diagonal in the instantaneous matter basis (J. Froustey, C. Pitrou, M. C. Volpe,
  // JCAP 12 (2020) 015). Off: the flavour basis, occupation numbers of nu_e, nu_mu, nu_tau.
  bool oscillations = true;
  MixingParameters mixing;
  double T_first_MeV = 20.0;     // first output row
  double T_last_MeV = 0.005;     // last output row: first with T_gamma <= T_last
  int rows_per_decade = 1000;    // output rows per decade of x
  // Weak mixing angle of the neutrino-electron couplings g_L = +-1/2 + s_W^2, g_R = s_W^2: the
  // MS-bar value at M_Z (PDG), whose tree-level couplings reproduce the radiatively corrected
  // low-energy nu-e couplings (g_V = -0.0397, g_A = -0.5064 for nu_mu e) to 1%. The on-shell
  // value 0.223 gives couplings 2.6% weaker for nu_e and lowers Neff by 3.3e-4.
  double sin2_thetaW = 0.23121;
  double step_lnx = 0.02;        // integrator step in ln x while collisions act (0.01 changes Neff by 1e-5)
  int electron_nodes = 40;       // quadrature nodes of the electron energy per momentum pair
  double kernel_spacing = 0.05;  // ln x spacing of the tabulated electron-neutrino kernels
  double x_collisions_off = 60;  // no collisions beyond x = m_e a (T_gamma about 12 keV)
};

// Comoving momenta y = p a of the solver (and of the spectral columns): y_j = 0.25 (j + 1).
std::vector<double> boltzmann_grid();

// Solves the decoupling; rows carry the relative distortions f(y)/F(y) - 1 of each flavour
// (flavour-basis diagonal of the density matrix) against the Fermi-Dirac occupation F at
// comoving temperature 1, at the grid momenta.
History solve_boltzmann(const BoltzmannOptions& opt);

// Collision terms at one state, for tests and diagnostics: df/dt over G_F^2 (m_e/x)^5 for each
// flavour at the grid momenta, flavour-diagonal occupations (nu_tau = nu_mu), electrons at
// comoving temperature z_gamma and mass x.
struct CollisionTerms {
  std::vector<double> nue, numu;            // all processes
  std::vector<double> nue_nunu, numu_nunu;  // neutrino-neutrino processes alone
};
CollisionTerms collision_terms(double x, double z_gamma, const std::vector<double>& f_nue,
                               const std::vector<double>& f_numu, double sin2_thetaW, int electron_nodes);

// Collision matrices in the flavour basis for density matrices rho (one per grid momentum, real
// symmetric): all processes, and the neutrino-neutrino processes alone. The electron processes
// are exact in the matrix structure; the neutrino-neutrino ones exact on the diagonal and, off
// the diagonal, to first order in the departure of rho from the flavour-blind Tr(rho)/3.
struct CollisionMatrices {
  std::vector<Mat3> total, nunu;
};
CollisionMatrices collision_matrices(double x, double z_gamma, const std::vector<Mat3>& rho, double sin2_thetaW,
                                     int electron_nodes);

// Matter basis of each grid momentum (columns: matter states in the flavour basis) for the
// state of matter-state occupations occ[i * N + j] at x, z_gamma.
std::vector<Mat3> matter_basis(const MixingParameters& mixing, double x, double z_gamma, const std::vector<double>& occ);

// Matter-basis collision terms and their Jacobian d K_i(j1) / d occ_k(j), layout
// [(i N + j1) 3N + k N + j], as the integrator uses them (tests compare with finite differences).
struct MatterCollisions {
  std::vector<double> K, jacobian;
};
MatterCollisions matter_collisions(double x, double z_gamma, const std::vector<double>& occ,
                                   const std::vector<Mat3>& basis, double sin2_thetaW, int electron_nodes);

}  // namespace solan
