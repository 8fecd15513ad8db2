// Momentum-resolved neutrino decoupling: Boltzmann equations for the electron-neutrino and the
// mu/tau-neutrino occupation numbers on a comoving-momentum grid, coupled to the QED plasma.
#pragma once

#include <vector>

#include "decoupling.hpp"

namespace solan {

struct BoltzmannOptions {
  bool qed = true;               // finite-temperature QED correction of the plasma (e^2 and e^3)
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

// Solves the decoupling; rows carry the relative distortions f(y)/F(y) - 1 of nu_e and nu_mu
// against the Fermi-Dirac occupation F at comoving temperature 1, at the grid momenta.
History solve_boltzmann(const BoltzmannOptions& opt);

// Collision terms at one state, for tests and diagnostics: df/dt over G_F^2 (m_e/x)^5 for each
// flavour at the grid momenta, with electrons at comoving temperature z_gamma and mass x.
struct CollisionTerms {
  std::vector<double> nue, numu;            // all processes
  std::vector<double> nue_nunu, numu_nunu;  // neutrino-neutrino processes alone
};
CollisionTerms collision_terms(double x, double z_gamma, const std::vector<double>& f_nue,
                               const std::vector<double>& f_numu, double sin2_thetaW, int electron_nodes);

}  // namespace solan
