// Internals shared by the weak-rate sources: per-temperature kinematics, occupation numbers, the
// Fermi function, the shared Gauss-Legendre rule and the thermal-correction integrals.
#pragma once

#include <span>
#include <string>

#include "nuvex/weak.h"

namespace nvx::weak {

// Log10 of the temperature (K) above which thermal corrections apply (10^8.2 K).
inline constexpr double kThermalLog10T = 8.2;
inline constexpr double kThermalT_K = 158489319.2461111;
// Occupation numbers are taken as 0 once their exponent reaches this value.
inline constexpr double kExpCap = 300.0;

// Everything an integrand needs at one photon temperature and direction.
struct Point {
    const nvx_weak_ctx* ctx;
    double z;     // m_e / (k_B T)
    double z_nu;  // m_e / (k_B T_nu)
    double s;     // +1: n -> p, -1: p -> n
    double q;     // (m_n - m_p) / m_e
    double xi;
    // the tabulated spectrum at z, smoothed for the finite-mass terms (null: analytic or none)
    const nvx_nu_spectrum_slice* slice;
};

Point make_point(const nvx_weak_ctx* ctx, double T_K, int s);

// Mass-splitting constants in electron-mass units.
double q_ratio();

// Fermi-Dirac occupations.
double g_minus(double z, double E);
double g_plus(double z, double E);
double f_nu(const Point& pt, double y);

// Fermi function and radiative factor at clamped velocity.
double fermi(double beta);

// The 160-point rule on [-1, 1], built once per process.
struct GaussRule {
    std::span<const double> nodes;
    std::span<const double> weights;
};
GaussRule gauss160();

// Thermal radiative correction at one temperature and direction (unnormalised).
double L_CCRTh_compute(const nvx_weak_ctx* ctx, double T_K, int s);

// Runs body(i, user) for i in [0, n) on up to n_threads threads (<= 0: online processors); every
// index runs exactly once, so results stored per index do not depend on the thread count. The
// finished indices go to the progress hook of `run` as `stage` when it has one, else, with a
// progress label, to a "[weak-c] " line on standard error. Once the token of `run` is set no
// further index starts; returns false then (the results are incomplete).
bool parallel_for(size_t n, int n_threads, void (*body)(size_t, void*), void* user, const NVXConfig* run,
                  const char* stage, const char* progress_label);

// nvx_weak_rates_init that also tells whether a table was computed (and so depends on the ratio
// table Tnu_T, Tnu) rather than read from a cache or shipped file.
int rates_init(nvx_weak_rates* rates, const double* Tnu_T, const double* Tnu, size_t n_nu, const NVXConfig* config,
               const nvx_neutrino_history* nu_history, bool* computed, char** err);

// Computes the weak-rate table and, with thermal corrections on, the thermal-correction table of
// `config` on the ratio grid (Tnu_T, Tnu), ignoring every cache, and writes them into `dir` as the
// cache files of their fingerprints (the tables a data directory ships). Appends each path written
// to *written. 0, or 1 with *err.
int write_shipped_tables(const NVXConfig* config, const double* Tnu_T, const double* Tnu, size_t n_nu,
                         const nvx_neutrino_history* history, const char* dir, std::string* written, char** err);

}  // namespace nvx::weak
