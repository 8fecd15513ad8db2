// Writers of the decoupling-table files: the 7-column history, the 86-column spectral table
// and the grid of comoving momenta.
#pragma once

#include <string>
#include <vector>

#include "decoupling.hpp"

namespace solan {

inline constexpr int kGridSize = 80;

// The comoving momenta y = p a of the spectral columns, ascending.
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

// File names of one variant: suffix "" with QED corrections, "_NoQED" without.
std::string main_table_name(const std::string& prefix, bool qed);
std::string spectral_table_name(const std::string& prefix, bool qed);
inline const char* kGridName = "SOLANGrid.csv";

// Each writer replaces its file atomically; throws std::runtime_error naming the path on failure.
void write_main_table(const std::string& path, const History& h, bool qed);
void write_spectral_table(const std::string& path, const History& h, bool qed, int every,
                          const std::vector<double>& grid, const SpectrumModel& model);
void write_grid(const std::string& path, const std::vector<double>& grid);

}  // namespace solan
