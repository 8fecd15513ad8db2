// Neutrino decoupling by the energy-transfer method: photon/e+- plasma plus thermal electron
// and muon/tau neutrinos, integrated in ln x (x = m_e a) through e+e- annihilation.
#pragma once

#include <vector>

namespace solan {

struct SolverOptions {
  bool qed = true;                 // finite-temperature QED correction of the plasma
  double T_first_MeV = 20.0;       // the first output row sits at x = m_e / T_first
  double T_last_MeV = 0.005;       // output stops at the first row with T_gamma <= T_last
  int rows_per_decade = 1000;      // output rows per decade of x
  int substeps = 1;                // integrator steps per output row
  // Weak mixing angle of the neutrino-electron couplings g_L = +-1/2 + s_W^2, g_R = s_W^2: the
  // MS-bar value at M_Z (PDG), whose tree-level couplings reproduce the radiatively corrected
  // low-energy nu-e couplings (g_V = -0.0397, g_A = -0.5064 for nu_mu e) to 1%. The on-shell
  // value 0.223 gives couplings 2.6% weaker for nu_e and lowers Neff by 3.3e-4.
  double sin2_thetaW = 0.23121;
};

// One output row: the state at scale-factor variable x.
struct HistoryRow {
  double x = 0;        // m_e a
  double z_gamma = 0;  // T_gamma a
  double z_nue = 0;    // T_nue a
  double z_numu = 0;   // T_numu a
  double z_nutau = 0;  // T_nutau a
  double heating = 0;  // N = Q / (H T_gamma^4): energy flow into neutrinos per Hubble time
  double t_s = 0;      // cosmic time, seconds
  // Momentum-resolved solutions: f(y)/F(y) - 1 at the grid momenta y for each flavour, with
  // F(y) = 1/(e^y + 1) the Fermi-Dirac occupation at comoving temperature 1 (empty when thermal).
  std::vector<double> delta_nue, delta_numu, delta_nutau;
  double T_MeV() const;
};

struct History {
  std::vector<HistoryRow> rows;
  double Neff = 0;  // (8/7)(11/4)^(4/3) rho_nu / rho_gamma on the last row
};

// Solves the decoupling history; throws std::runtime_error if the integrator fails.
History solve_decoupling(const SolverOptions& opt);

// Energy-transfer rates (MeV^5) into one electron neutrino and into one muon (or tau) neutrino
// flavour, from the plasma at T_gamma and the neutrino temperatures.
struct TransferRates {
  double nue = 0, numu = 0;
};
TransferRates transfer_rates(double T_gamma, double T_nue, double T_numu, double sin2_thetaW);

// Neff from the three flavour temperatures and the photon temperature.
double neff_of(double T_gamma, double T_nue, double T_numu, double T_nutau);
inline double neff_of(double T_gamma, double T_nue, double T_numu) { return neff_of(T_gamma, T_nue, T_numu, T_numu); }

}  // namespace solan
