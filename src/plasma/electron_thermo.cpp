// Electron-positron energy density, pressure and their temperature derivatives: piecewise adaptive
// quadrature of the Fermi-Dirac integrals, not-a-knot splines and the fingerprinted cache.
#include "plasma/electron_thermo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "nuvex/cache.h"
#include "nuvex/constants.h"

namespace {

constexpr double kRhoPref = 0.20264236728467555;   // 2/pi^2: four states, 1/(2 pi^2) each
constexpr double kPPref = 0.06754745576155852;     // 2/(3 pi^2)
constexpr double kDRhoPref = 0.05066059182116889;  // 1/(2 pi^2)
constexpr double kDPPref = 0.01688686394038963;    // 1/(6 pi^2)
constexpr double kUpper = 100.0;                   // e^-100: nothing left beyond
constexpr double kElecOffsets[9] = {0, 0.5, 1, 2, 4, 8, 16, 32, 64};
constexpr int kQuadDepth = 30;
constexpr double kPieceTol = 1.1111111111111111e-13;  // 1e-12 shared by nine pieces
constexpr const char* kCacheFile = "electron_thermo_cache.txt";
constexpr const char* kCacheHeader = "grid rho_e p_e drho_e_dT dp_e_dT";

using ElecIntegrand = double (*)(double x, double b);

// x = E/T, b = m_e/T; each integrand vanishes below the rest energy.
double rho_e_intgd(double x, double b) {
    if (x <= b) return 0.0;
    return x * x * std::sqrt(x * x - b * b) / (std::exp(x) + 1.0);
}
double p_e_intgd(double x, double b) {
    if (x <= b) return 0.0;
    const double k2 = x * x - b * b;
    return k2 * std::sqrt(k2) / (std::exp(x) + 1.0);
}
double drho_e_dT_intgd(double x, double b) {
    if (x <= b) return 0.0;
    const double ch = std::cosh(x / 2.0);
    return x * x * x * std::sqrt(x * x - b * b) / (ch * ch);
}
double dp_e_dT_intgd(double x, double b) {
    if (x <= b) return 0.0;
    const double k2 = x * x - b * b;
    const double ch = std::cosh(x / 2.0);
    return x * k2 * std::sqrt(k2) / (ch * ch);
}

struct ElecQuadCtx {
    ElecIntegrand fn;
    double b;
};

double elec_quad_wrapper(double x, void* user) {
    const auto* ctx = static_cast<const ElecQuadCtx*>(user);
    return ctx->fn(x, ctx->b);
}

// Pieces [b + off_k, b + off_k+1] and finally [b + 64, 100], capped at 100: the steep onset at
// the rest energy gets short pieces, the exponential tail long ones.
double elec_integral(ElecIntegrand fn, double b) {
    ElecQuadCtx ctx{fn, b};
    double sum = 0.0;
    const size_t n_off = std::size(kElecOffsets);
    for (size_t k = 0; k < n_off; ++k) {
        const double lo = b + kElecOffsets[k];
        const double hi_uncapped = (k + 1 < n_off) ? b + kElecOffsets[k + 1] : kUpper;
        const double hi = std::min(hi_uncapped, kUpper);
        if (hi > lo)
            sum += nvx_quad_adaptive(elec_quad_wrapper, &ctx, kQuadDepth, nullptr, lo, hi, kPieceTol);
        if (hi_uncapped >= kUpper) break;
    }
    return sum;
}

struct ElectronTable {
    std::vector<double> T, rho, p, drho, dp;
};

std::vector<NVXFingerprintEntry> fingerprint(const NVXConfig* config) {
    NVXFingerprintEntry e[NVX_ELECTRON_FINGERPRINT_LEN];
    return {e, e + nvx_electron_fingerprint(config, e)};
}

// A table from the cache is used only when it is exactly what this run would compute: the recorded
// fingerprint, the rows' checksum, the temperature grid, and finite non-negative densities.
bool read_cached(const char* path, const char* hash, const std::vector<double>& T_expected, ElectronTable& tab) {
    NVXTable t{};
    char* err = nullptr;
    if (nvx_cache_read_table(path, hash, 5, &t, &err) != 0) {
        std::free(err);
        return false;
    }
    bool ok = t.nrows == T_expected.size();
    for (size_t i = 0; ok && i < t.nrows; ++i) {
        ok = std::fabs(t.columns[0][i] / T_expected[i] - 1.0) < 1e-12;
        for (size_t j = 1; ok && j < 5; ++j) ok = std::isfinite(t.columns[j][i]) && t.columns[j][i] >= 0.0;
    }
    if (ok) {
        std::vector<double>* cols[5] = {&tab.T, &tab.rho, &tab.p, &tab.drho, &tab.dp};
        for (size_t j = 0; j < 5; ++j) cols[j]->assign(t.columns[j], t.columns[j] + t.nrows);
    }
    nvx_table_free(&t);
    return ok;
}

std::vector<double> electron_grid(size_t n, double T_start_MeV, double m_e) {
    const double T_min = m_e / 30.0;
    const double T_max = 1.5 * std::max(T_start_MeV, 100.0);
    const double lo = std::log10(T_min), hi = std::log10(T_max);
    std::vector<double> T(n);
    for (size_t i = 0; i < n; ++i) T[i] = std::pow(10.0, lo + (n > 1 ? double(i) / double(n - 1) : 0.0) * (hi - lo));
    return T;
}

// The table on its logarithmic grid; false when the run's token cancelled it.
bool compute_table(const NVXConfig* run, size_t n, double T_start_MeV, double m_e, ElectronTable& tab) {
    tab.T = electron_grid(n, T_start_MeV, m_e);
    tab.rho.resize(n);
    tab.p.resize(n);
    tab.drho.resize(n);
    tab.dp.resize(n);
    for (size_t i = 0; i < n; ++i) {
        if (nvx_run_cancelled(run)) return false;
        double v[4];
        nvx_plasma_electron_thermo_point(tab.T[i], m_e, v);
        tab.rho[i] = v[0];
        tab.p[i] = v[1];
        tab.drho[i] = v[2];
        tab.dp[i] = v[3];
        if (i % 20 == 19 || i + 1 == n) nvx_progress(run, "electron", double(i + 1), double(n));
    }
    return true;
}

void free_splines(nvx_plasma* p) {
    nvx_cubic_spline_free(&p->rho_e);
    nvx_cubic_spline_free(&p->p_e);
    nvx_cubic_spline_free(&p->drho_e_dT);
    nvx_cubic_spline_free(&p->dp_e_dT);
}

int fit_splines(nvx_plasma* p, const ElectronTable& tab, char** err) {
    const size_t n = tab.T.size();
    const double* x = tab.T.data();
    if (nvx_cubic_spline_fit_notaknot(x, tab.rho.data(), n, &p->rho_e, err) ||
        nvx_cubic_spline_fit_notaknot(x, tab.p.data(), n, &p->p_e, err) ||
        nvx_cubic_spline_fit_notaknot(x, tab.drho.data(), n, &p->drho_e_dT, err) ||
        nvx_cubic_spline_fit_notaknot(x, tab.dp.data(), n, &p->dp_e_dT, err)) {
        free_splines(p);
        return 1;
    }
    return 0;
}

void write_cache(const NVXConfig* config, const ElectronTable& tab) {
    char dir[4608];
    nvx_config_cache_write_dir(config, "plasma", dir, sizeof dir);
    if (!dir[0]) {
        nvx_message(config, NVX_MSG_WARNING, "plasma",
                    "[plasma-c] no cache directory (set cache_dir, XDG_CACHE_HOME or HOME): the electron-positron "
                    "table is not cached and the next run will recompute it");
        return;
    }
    nvx_mkdirs(dir);  // failures surface as a failed write below
    const std::string path = std::string(dir) + "/" + kCacheFile;
    const auto fp = fingerprint(config);
    const double* cols[5] = {tab.T.data(), tab.rho.data(), tab.p.data(), tab.drho.data(),
                             tab.dp.data()};
    if (nvx_cache_write(path.c_str(), fp.data(), fp.size(), kCacheHeader, cols, 5, tab.T.size(),
                        nullptr) != 0)
        nvx_message(config, NVX_MSG_WARNING, "plasma",
                "[plasma-c] could not write cache to %s: results are unaffected, but the next run will "
                "recompute. Set the cache_dir parameter to redirect the cache to a writable "
                "directory.",
                path.c_str());
}

}  // namespace

extern "C" void nvx_plasma_electron_thermo_point(double T, double m_e, double out[4]) {
    out[0] = out[1] = out[2] = out[3] = 0.0;
    if (!(T >= m_e / 30.0)) return;
    const double b = m_e / T;
    const double T3 = T * T * T, T4 = T3 * T;
    out[0] = kRhoPref * T4 * elec_integral(rho_e_intgd, b);
    out[1] = kPPref * T4 * elec_integral(p_e_intgd, b);
    out[2] = kDRhoPref * T3 * elec_integral(drho_e_dT_intgd, b);
    out[3] = kDPPref * T3 * elec_integral(dp_e_dT_intgd, b);
}

namespace nvx {

int electron_tables_acquire(nvx_plasma* p, const NVXConfig* config, char** err) {
    const size_t n = config->n_electron_table > 0 ? size_t(config->n_electron_table) : 0;
    if (!config->recompute_electron_thermo) {
        char path[4608];
        nvx_config_resolve_cache_file(config, "plasma", kCacheFile, path, sizeof path);
        const auto fp = fingerprint(config);
        char* current = nvx_fingerprint_hash(fp.data(), fp.size());
        ElectronTable tab;
        const auto grid = electron_grid(n, config->T_start_cosmo_MeV, nvx_constants_init()[NVX_C_m_e]);
        // the reader checks the recorded fingerprint hash against this configuration's
        const bool used = current && read_cached(path, current, grid, tab);
        std::free(current);
        if (used) {
            if (fit_splines(p, tab, err) != 0) return 1;
            nvx_log(config, "init", "Electron-thermo tables loaded from cache (%d points).",
                    config->n_electron_table);
            return 0;
        }
    }
    ElectronTable tab;
    if (!compute_table(config, n, config->T_start_cosmo_MeV, nvx_constants_init()[NVX_C_m_e], tab))
        return fail(err, "electron-positron table: cancelled");
    if (fit_splines(p, tab, err) != 0) return 1;
    write_cache(config, tab);
    nvx_log(config, "init", "Electron-thermo tables built (%d points).", config->n_electron_table);
    return 0;
}

}  // namespace nvx
