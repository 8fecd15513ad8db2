// Text layout of the decoupling tables: comma-separated numbers, '#' comment header, rows in
// increasing x; every file is written to a temporary name and renamed when complete.
#include "tables.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace solan {
namespace {

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Writes through body(FILE*) into path.tmp, then renames over path.
template <class Body>
void write_atomically(const std::string& path, Body&& body) {
  const std::string tmp = path + ".tmp";
  {
    FilePtr f(std::fopen(tmp.c_str(), "w"), &std::fclose);
    if (!f) throw std::runtime_error("nuvex_solan: cannot open " + tmp + " for writing");
    body(f.get());
    if (std::ferror(f.get()) || std::fflush(f.get()) != 0) {
      std::remove(tmp.c_str());
      throw std::runtime_error("nuvex_solan: write error on " + tmp);
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw std::runtime_error("nuvex_solan: cannot rename " + tmp + " to " + path);
  }
}

const char* qed_label(bool qed) { return qed ? "on" : "off"; }

}  // namespace

std::vector<double> momentum_grid() {
  std::vector<double> g(kGridSize);
  for (int j = 0; j < kGridSize; ++j) g[j] = 0.25 * (j + 1);
  return g;
}

double SolvedSpectrum::relative_distortion(const HistoryRow& row, double y) const {
  const std::vector<double>& d = flavour_ == 0 ? row.delta_nue : flavour_ == 1 ? row.delta_numu : row.delta_nutau;
  const long j = std::lround(y / 0.25) - 1;
  if (j < 0 || j >= static_cast<long>(d.size()) || std::fabs(y - 0.25 * (j + 1)) > 1e-12)
    throw std::invalid_argument("nuvex_solan: spectrum requested off the solver's momentum grid");
  return d[j];
}

double ThermalSpectrum::relative_distortion(const HistoryRow& row, double y) const {
  // (e^y + 1)/(e^a + 1) - 1 with a = y/z, written to keep precision when z is close to 1
  const double a = y / row.z_nue;
  return std::expm1(y - a) / (1 + std::exp(-a));
}

std::string main_table_name(const std::string& prefix, bool qed) {
  return prefix + (qed ? "" : "_NoQED") + "_col_1_7.csv";
}

std::string spectral_table_name(const std::string& prefix, bool qed) {
  return prefix + (qed ? "" : "_NoQED") + ".csv";
}

std::string spectral_numu_table_name(const std::string& prefix, bool qed) {
  return prefix + (qed ? "" : "_NoQED") + "_numu.csv";
}

std::string spectral_nutau_table_name(const std::string& prefix, bool qed) {
  return prefix + (qed ? "" : "_NoQED") + "_nutau.csv";
}

void write_main_table(const std::string& path, const History& h, bool qed, const char* method) {
  write_atomically(path, [&](std::FILE* f) {
    std::fprintf(f, "# NUVEX neutrino decoupling history (%s); QED corrections %s\n", method, qed_label(qed));
    std::fprintf(f, "# Neff = %.6f\n", h.Neff);
    std::fprintf(f, "# x = m_e a, z_gamma, z_nue, z_numu, z_nutau (z = T a, z -> 1 at early times; neutrino z "
                    "from the energy density), Nheating = Q/(H T_gamma^4), t [s]\n");
    for (const HistoryRow& r : h.rows)
      std::fprintf(f, "%.12e,%.12e,%.12e,%.12e,%.12e,%.12e,%.12e\n", r.x, r.z_gamma, r.z_nue, r.z_numu, r.z_nutau,
                   r.heating, r.t_s);
  });
}

void write_spectral_table(const std::string& path, const History& h, bool qed, int every,
                          const std::vector<double>& grid, const SpectrumModel& model, const char* what) {
  if (every < 1 || grid.size() != static_cast<size_t>(kGridSize))
    throw std::invalid_argument("nuvex_solan: bad spectral table layout");
  write_atomically(path, [&](std::FILE* f) {
    std::fprintf(f, "# NUVEX %s; QED corrections %s\n", what, qed_label(qed));
    std::fprintf(f, "# x, z_gamma, z_nue, z_numu, z_nutau, Nheating, then f/F(y) - 1 at the %d momenta y of %s\n",
                 kGridSize, kGridName);
    const size_t n = h.rows.size();
    for (size_t i = 0; i < n; ++i) {
      if (i % every != 0 && i + 1 != n) continue;  // thin the rows but always keep the last one
      const HistoryRow& r = h.rows[i];
      std::fprintf(f, "%.10e,%.10e,%.10e,%.10e,%.10e,%.10e", r.x, r.z_gamma, r.z_nue, r.z_numu, r.z_nutau, r.heating);
      for (double y : grid) std::fprintf(f, ",%.9e", model.relative_distortion(r, y));
      std::fputc('\n', f);
    }
  });
}

void write_grid(const std::string& path, const std::vector<double>& grid) {
  write_atomically(path, [&](std::FILE* f) {
    std::fprintf(f, "# comoving momenta y = p a of the spectral columns\n");
    for (double y : grid) std::fprintf(f, "%.6f\n", y);
  });
}

}  // namespace solan
