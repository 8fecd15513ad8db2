// nuvex_solan: generates the neutrino decoupling tables (history, spectra, momentum grid) with
// and without the plasma's QED corrections, and prints Neff and the final temperature ratios.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "decoupling.hpp"
#include "tables.hpp"

namespace {

struct Args {
  std::string out_dir = "data/SOLAN";
  std::string prefix = "SOLANNUVEX";
  int spectral_every = 10;
  bool quiet = false;
  solan::SolverOptions solver;
};

void usage(std::FILE* f) {
  std::fprintf(f,
               "usage: nuvex_solan [--out DIR] [--prefix NAME] [--rows-per-decade N] [--substeps N]\n"
               "                   [--spectral-every K] [--sin2-thetaW V] [--quiet]\n"
               "Writes NAME_col_1_7.csv, NAME_NoQED_col_1_7.csv, NAME.csv, NAME_NoQED.csv and SOLANGrid.csv\n"
               "into DIR (default data/SOLAN).\n");
}

// Strict numeric option parsing: the whole text must be a number.
double parse_number(const char* opt, const char* text) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v))
    throw std::invalid_argument(std::string("nuvex_solan: ") + opt + " needs a number, got '" + text + "'");
  return v;
}

int parse_count(const char* opt, const char* text) {
  const double v = parse_number(opt, text);
  if (v < 1 || v > 100000 || v != std::floor(v))
    throw std::invalid_argument(std::string("nuvex_solan: ") + opt + " needs a positive integer, got '" + text + "'");
  return static_cast<int>(v);
}

Args parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--quiet") {
      a.quiet = true;
      continue;
    }
    if (opt == "-h" || opt == "--help") {
      usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) throw std::invalid_argument("nuvex_solan: unknown option or missing value: " + opt);
    const char* val = argv[++i];
    if (opt == "--out") a.out_dir = val;
    else if (opt == "--prefix") a.prefix = val;
    else if (opt == "--rows-per-decade") a.solver.rows_per_decade = parse_count(opt.c_str(), val);
    else if (opt == "--substeps") a.solver.substeps = parse_count(opt.c_str(), val);
    else if (opt == "--spectral-every") a.spectral_every = parse_count(opt.c_str(), val);
    else if (opt == "--sin2-thetaW") a.solver.sin2_thetaW = parse_number(opt.c_str(), val);
    else throw std::invalid_argument("nuvex_solan: unknown option " + opt);
  }
  if (a.prefix.empty() || a.prefix.find('/') != std::string::npos)
    throw std::invalid_argument("nuvex_solan: --prefix must be a plain file name prefix");
  return a;
}

void run_variant(const Args& a, bool qed, const std::vector<double>& grid) {
  solan::SolverOptions opt = a.solver;
  opt.qed = qed;
  const solan::History h = solan::solve_decoupling(opt);
  const std::string main_path = a.out_dir + "/" + solan::main_table_name(a.prefix, qed);
  const std::string spec_path = a.out_dir + "/" + solan::spectral_table_name(a.prefix, qed);
  solan::write_main_table(main_path, h, qed);
  solan::write_spectral_table(spec_path, h, qed, a.spectral_every, grid, solan::ThermalSpectrum());
  if (!a.quiet) {
    const solan::HistoryRow& r = h.rows.back();
    const double ref = std::cbrt(4.0 / 11.0);
    std::printf("QED %-3s  Neff = %.5f  T_nue/T = %.6f  T_numu/T = %.6f  (4/11)^(1/3) = %.6f  z_gamma = %.6f  rows = %zu\n",
                qed ? "on" : "off", h.Neff, r.z_nue / r.z_gamma, r.z_numu / r.z_gamma, ref, r.z_gamma, h.rows.size());
    std::printf("[output] %s\n[output] %s\n", main_path.c_str(), spec_path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Args a = parse_args(argc, argv);
    const auto t0 = std::chrono::steady_clock::now();
    std::error_code ec;
    std::filesystem::create_directories(a.out_dir, ec);
    if (ec) throw std::runtime_error("nuvex_solan: cannot create " + a.out_dir + ": " + ec.message());
    const std::vector<double> grid = solan::momentum_grid();
    run_variant(a, true, grid);
    run_variant(a, false, grid);
    const std::string grid_path = a.out_dir + "/" + solan::kGridName;
    solan::write_grid(grid_path, grid);
    if (!a.quiet) {
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf("[output] %s\nnuvex_solan: done in %.2f s\n", grid_path.c_str(), s);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
