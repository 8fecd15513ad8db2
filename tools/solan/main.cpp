// nuvex_solan: generates the neutrino decoupling tables (history, spectra, momentum grid) with
// and without the plasma's QED corrections, and prints Neff and the final temperature ratios.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>

#include "boltzmann.hpp"
#include "decoupling.hpp"
#include "tables.hpp"

namespace {

struct Args {
  std::string out_dir = "data/SOLAN";
  std::string prefix = "SOLANNUVEX";
  int spectral_every = 10;
  bool quiet = false;
  bool boltzmann = true;  // momentum-resolved; false: energy-transfer method with thermal spectra
  bool with_qed = true, without_qed = true;  // which variants to solve and write
  solan::SolverOptions solver;
  solan::BoltzmannOptions bz;
};

void usage(std::FILE* f) {
  std::fprintf(f,
               "usage: nuvex_solan [--out DIR] [--prefix NAME] [--method boltzmann|thermal]\n"
               "                   [--oscillations on|off] [--rows-per-decade N] [--spectral-every K]\n"
               "                   [--sin2-thetaW V] [--step DLNX] [--electron-nodes N] [--substeps N]\n"
               "                   [--variant both|qed|noqed] [--T-last MEV] [--quiet]\n"
               "Writes NAME_col_1_7.csv, NAME_NoQED_col_1_7.csv, NAME.csv, NAME_NoQED.csv, SOLANGrid.csv\n"
               "and (boltzmann) NAME_numu.csv, NAME_nutau.csv and their _NoQED variants into DIR\n"
               "(default data/SOLAN). --oscillations (boltzmann, default on) averages flavour oscillations;\n"
               "--step and --electron-nodes tune the momentum-resolved solver, --substeps the thermal one;\n"
               "--variant writes the tables with, without or (default) with and without the QED plasma;\n"
               "--T-last ends the tables at that photon temperature (default 0.005 MeV; rows above it do not\n"
               "depend on it).\n");
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
    else if (opt == "--rows-per-decade") a.solver.rows_per_decade = a.bz.rows_per_decade = parse_count(opt.c_str(), val);
    else if (opt == "--substeps") a.solver.substeps = parse_count(opt.c_str(), val);
    else if (opt == "--spectral-every") a.spectral_every = parse_count(opt.c_str(), val);
    else if (opt == "--sin2-thetaW") a.solver.sin2_thetaW = a.bz.sin2_thetaW = parse_number(opt.c_str(), val);
    else if (opt == "--electron-nodes") {
      a.bz.electron_nodes = parse_count(opt.c_str(), val);
      if (a.bz.electron_nodes < 4)
        throw std::invalid_argument("nuvex_solan: --electron-nodes needs at least 4 nodes, got '" + std::string(val) + "'");
    }
    else if (opt == "--step") {
      a.bz.step_lnx = parse_number(opt.c_str(), val);
      if (!(a.bz.step_lnx > 0 && a.bz.step_lnx <= 0.1))
        throw std::invalid_argument("nuvex_solan: --step needs a value in (0, 0.1]");
    } else if (opt == "--oscillations") {
      const std::string m = val;
      if (m != "on" && m != "off")
        throw std::invalid_argument("nuvex_solan: --oscillations must be on or off, got '" + m + "'");
      a.bz.oscillations = m == "on";
    } else if (opt == "--T-last") {
      const double T = parse_number(opt.c_str(), val);
      if (!(T > 0 && T < a.bz.T_first_MeV))
        throw std::invalid_argument("nuvex_solan: --T-last needs a temperature in (0, 20) MeV");
      a.bz.T_last_MeV = a.solver.T_last_MeV = T;
    } else if (opt == "--variant") {
      const std::string m = val;
      if (m != "both" && m != "qed" && m != "noqed")
        throw std::invalid_argument("nuvex_solan: --variant must be both, qed or noqed, got '" + m + "'");
      a.with_qed = m != "noqed";
      a.without_qed = m != "qed";
    } else if (opt == "--method") {
      const std::string m = val;
      if (m != "boltzmann" && m != "thermal")
        throw std::invalid_argument("nuvex_solan: --method must be boltzmann or thermal, got '" + m + "'");
      a.boltzmann = m == "boltzmann";
    } else throw std::invalid_argument("nuvex_solan: unknown option " + opt);
  }
  if (a.prefix.empty() || a.prefix.find('/') != std::string::npos)
    throw std::invalid_argument("nuvex_solan: --prefix must be a plain file name prefix");
  return a;
}

struct Variant {
  bool qed = true;
  solan::History history;
  double seconds = 0;
};

void solve_variant(const Args& a, Variant& v) {
  const auto t0 = std::chrono::steady_clock::now();
  if (a.boltzmann) {
    solan::BoltzmannOptions opt = a.bz;
    opt.qed = v.qed;
    v.history = solan::solve_boltzmann(opt);
  } else {
    solan::SolverOptions opt = a.solver;
    opt.qed = v.qed;
    v.history = solan::solve_decoupling(opt);
  }
  v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void write_variant(const Args& a, const Variant& v, const std::vector<double>& grid) {
  const bool qed = v.qed;
  const solan::History& h = v.history;
  const std::string main_path = a.out_dir + "/" + solan::main_table_name(a.prefix, qed);
  const std::string spec_path = a.out_dir + "/" + solan::spectral_table_name(a.prefix, qed);
  const char* method = !a.boltzmann         ? "energy-transfer method, thermal spectra"
                       : a.bz.oscillations ? "momentum-resolved kinetic equations, averaged flavour oscillations"
                                           : "momentum-resolved Boltzmann equations, no flavour oscillations";
  solan::write_main_table(main_path, h, qed, method);
  if (a.boltzmann) {
    const std::string mu_path = a.out_dir + "/" + solan::spectral_numu_table_name(a.prefix, qed);
    const std::string tau_path = a.out_dir + "/" + solan::spectral_nutau_table_name(a.prefix, qed);
    solan::write_spectral_table(spec_path, h, qed, a.spectral_every, grid, solan::SolvedSpectrum(0),
                                "electron-neutrino spectra (momentum-resolved)");
    solan::write_spectral_table(mu_path, h, qed, a.spectral_every, grid, solan::SolvedSpectrum(1),
                                "mu-neutrino spectra (momentum-resolved)");
    solan::write_spectral_table(tau_path, h, qed, a.spectral_every, grid, solan::SolvedSpectrum(2),
                                "tau-neutrino spectra (momentum-resolved)");
    if (!a.quiet) std::printf("[output] %s\n[output] %s\n", mu_path.c_str(), tau_path.c_str());
  } else {
    solan::write_spectral_table(spec_path, h, qed, a.spectral_every, grid, solan::ThermalSpectrum(),
                                "electron-neutrino spectra (thermal)");
  }
  if (!a.quiet) {
    const solan::HistoryRow& r = h.rows.back();
    const double ref = std::cbrt(4.0 / 11.0);
    std::printf("QED %-3s  Neff = %.5f  z_gamma = %.6f  T_nue/T = %.6f  T_numu/T = %.6f  T_nutau/T = %.6f"
                "  (4/11)^(1/3) = %.6f\n",
                qed ? "on" : "off", h.Neff, r.z_gamma, r.z_nue / r.z_gamma, r.z_numu / r.z_gamma,
                r.z_nutau / r.z_gamma, ref);
    std::printf("         drho_nue/rho = %.4f%%  drho_numu/rho = %.4f%%  drho_nutau/rho = %.4f%%  rows = %zu  (%.1f s)\n",
                100 * (std::pow(r.z_nue, 4) - 1), 100 * (std::pow(r.z_numu, 4) - 1), 100 * (std::pow(r.z_nutau, 4) - 1),
                h.rows.size(), v.seconds);
    if (!r.delta_nue.empty()) {
      std::printf("         f/f_FD(T_nu) - 1 of nu_e at y = 1, 3, 5, 10:");
      for (double y : {1.0, 3.0, 5.0, 10.0}) {
        const size_t j = static_cast<size_t>(std::lround(y / 0.25)) - 1;
        const double F = 1 / (std::exp(y) + 1), f = (1 + r.delta_nue[j]) * F;
        std::printf(" %.5f", f / (1 / (std::exp(y / r.z_nue) + 1)) - 1);
      }
      std::printf("\n");
    }
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
    // The two variants are independent: solve them on two threads, write them in a fixed order.
    Variant with_qed, no_qed;
    with_qed.qed = true;
    no_qed.qed = false;
    std::exception_ptr failure;
    std::thread other([&] {
      try {
        if (a.without_qed) solve_variant(a, no_qed);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    try {
      if (a.with_qed) solve_variant(a, with_qed);
    } catch (...) {
      other.join();
      throw;
    }
    other.join();
    if (failure) std::rethrow_exception(failure);
    if (a.with_qed) write_variant(a, with_qed, grid);
    if (a.without_qed) write_variant(a, no_qed, grid);
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
