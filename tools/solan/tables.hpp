// Writers of the decoupling-table files: the 7-column history, the 86-column spectral table
// and the grid of comoving momenta.
#pragma once

#include <string>
#include <vector>

#include "decoupling.hpp"

namespace solan {

inline constexpr int kGridSize = 80;

// The comoving momenta y = p a of the spectral columns, ascending: y_j = 0.25 (j + 1), the
// momenta of the Boltzmann solver.
std::vector<double> momentum_grid();

// Source of the electron-neutrino spectrum per history row: the relative distortion
// f(y)/F(y) - 1 against the Fermi-Dirac occupation F at comoving temperature 1. A
// momentum-resolved solver replaces the thermal model by its own spectra.
class SpectrumModel {
 public:
  virtual ~SpectrumModel() = default;
  virtual double relative_distortion(const HistoryRow& row, double y) const = 0;
};

// Thermal spectrum at the row's comoving nu_e temperature: F(y/z_nue)/F(y) - 1.
class ThermalSpectrum final : public SpectrumModel {
 public:
  double relative_distortion(const HistoryRow& row, double y) const override;
};

// Momentum-resolved spectra carried by the rows (HistoryRow::delta_nue, delta_numu or
// delta_nutau for flavour 0, 1, 2), at the momenta of momentum_grid().
class SolvedSpectrum final : public SpectrumModel {
 public:
  explicit SolvedSpectrum(int flavour) : flavour_(flavour) {}
  double relative_distortion(const HistoryRow& row, double y) const override;

 private:
  int flavour_;
};

// File names of one variant: suffix "" with QED corrections, "_NoQED" without.
std::string main_table_name(const std::string& prefix, bool qed);
std::string spectral_table_name(const std::string& prefix, bool qed);
// The mu- and tau-neutrino spectra, same layout as the electron-neutrino table.
std::string spectral_numu_table_name(const std::string& prefix, bool qed);
std::string spectral_nutau_table_name(const std::string& prefix, bool qed);
inline const char* kGridName = "SOLANGrid.csv";

// Each writer replaces its file atomically; throws std::runtime_error naming the path on failure.
// `method` names the solver in the header line.
void write_main_table(const std::string& path, const History& h, bool qed, const char* method);
void write_spectral_table(const std::string& path, const History& h, bool qed, int every,
                          const std::vector<double>& grid, const SpectrumModel& model, const char* what);
void write_grid(const std::string& path, const std::vector<double>& grid);

}  // namespace solan
