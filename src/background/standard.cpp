// Standard background construction: Friedmann terms, entropy-conserving integration of ln(aT) and t
// over ln T (or t over ln a with an external scale factor), and the final lookup tables.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <new>
#include <vector>

#include "background/bg_internal.hpp"
#include "background/time_table.hpp"
#include "config/err.hpp"
#include "nuvex/constants.h"
#include "nuvex/ode.h"

namespace nvx::bg {
namespace {

double T0_MeV() { return g_const[NVX_C_T_CMB] / nvx_MeV_to_Kelvin(); }

double Omega_Lambda_h2(const NVXConfig* c) { return c->h * c->h - nvx_config_get_Omegabh2(c) - c->Omegach2; }

double hubble_at(const nvx_background* bg, double T, double a) {
    const nvx_neutrino_history* h = &bg->history;
    return nvx_bg_Hubble(bg, T, nvx_nu_Tnue_of_Tg(h, T), nvx_nu_Tnumu_of_Tg(h, T),
                         nvx_nu_Tnutau_of_Tg(h, T), a);
}

// d/dlnT of (ln(aT), t): comoving entropy conservation corrected by the neutrino heating term.
int combined_bg_rhs(double lnT, const double* y, double* dydt, void* user) {
    const auto* bg = static_cast<const nvx_background*>(user);
    if (nvx_run_cancelled(bg->config)) return 1;  // ends the integration: the call was cancelled
    const double T = std::exp(lnT);
    double s = 0.0, ds = 0.0;
    nvx_plasma_spl_and_dspl_dT(bg->plasma, &s, &ds, T);
    const double T3 = T * T * T;
    const double sbar = s / T3;
    const double dsbar = ds / T3 - 3.0 * s / (T3 * T);
    const double N = nvx_nu_N_SOLAN_of_Tg(&bg->history, T);
    const double dlna_dlnT = -(T * dsbar + 3.0 * sbar) / (3.0 * sbar + N);
    const double a = std::exp(y[0] - lnT);
    dydt[0] = 1.0 + dlna_dlnT;
    dydt[1] = dlna_dlnT / hubble_at(bg, T, a);
    return 0;
}

struct ExternalRhs {
    const nvx_background* bg;
    const nvx_cubic_spline* T_of_a;
};

// dt/dln a = 1/H with T read from the spline T(a) of the external scale factor.
int dtdlna_rhs(double lna, const double*, double* dydt, void* user) {
    const auto* u = static_cast<const ExternalRhs*>(user);
    if (nvx_run_cancelled(u->bg->config)) return 1;
    const double a = std::exp(lna);
    const double T = nvx_cubic_spline_eval(u->T_of_a, a);
    dydt[0] = 1.0 / hubble_at(u->bg, T, a);
    return 0;
}

nvx_ode_rk_opts background_rk_opts(DensePath* path) {
    nvx_ode_rk_opts opts;
    nvx_ode_rk_default_opts(&opts);
    opts.rtol = 1e-11;
    opts.atol = 1e-11;
    opts.step_cb = dense_path_push;
    opts.step_cb_user = path;
    return opts;
}

void setup_matter_lambda(nvx_background* bg) {
    const NVXConfig* c = bg->config;
    bg->has_matter_lambda = 1;
    bg->rho_cdm0 = c->Omegach2 * nvx_config_rhocOverh2(c);
    bg->rho_Lambda = lambda_density(c);
    warn_negative_lambda(c);
}

int setup_ede(nvx_background* bg, char** err) {
    const NVXConfig* c = bg->config;
    if (c->fEDE == 0.0) return 0;
    const double w3 = 3.0 * c->wnEDE;
    // The density scale needs 4/(w3 - 1) > 0; at or below w = 1/3 it is infinite or complex.
    if (!(w3 > 1.0))
        return fail(err, "nvx_bg_init_standard: wnEDE=%g gives no finite early dark energy density "
                    "(wnEDE must exceed 1/3 when fEDE is not 0)", c->wnEDE);
    const double a_c = 1.0 / (1.0 + c->zcEDE);
    const double u = std::pow(4.0 / (w3 - 1.0), 1.0 / (w3 + 3.0));
    const double T0 = T0_MeV();
    // Standard radiation over photons: 1 + N_eff (7/8) (4/11)^(4/3) with N_eff = 3.044.
    const double rad_over_gamma = 1.0 + 3.044 * 7.0 * 0.125 * 0.25955122018313026;
    bg->has_ede = 1;
    bg->T_ede = T0 / a_c;
    bg->rho_ede_c = (1.0 + 4.0 / (w3 - 1.0)) * 0.5 * rad_over_gamma * nvx_rho_g(T0 / (u * a_c)) *
                    c->fEDE / (1.0 - c->fEDE);
    bg->ede_power = w3 + 3.0;
    return 0;
}

int setup_extra_rho(nvx_background* bg, char** err) {
    const NVXConfig* c = bg->config;
    if (c->extra_rho_n < 4 || !c->extra_rho_T || !c->extra_rho_val) return 0;
    // The spline does not check its knots: unordered or non-positive temperatures and non-finite
    // densities would turn every Hubble rate into inf or NaN without a word.
    for (size_t i = 0; i < c->extra_rho_n; ++i) {
        const double T = c->extra_rho_T[i];
        if (!(T > 0.0) || !std::isfinite(T) || (i > 0 && !(T > c->extra_rho_T[i - 1])))
            return fail(err, "nvx_bg_init_standard: extra_rho_T must be positive, finite and strictly "
                        "increasing (extra_rho_T[%zu] = %g)", i, T);
        if (!std::isfinite(c->extra_rho_val[i]))
            return fail(err, "nvx_bg_init_standard: extra_rho_val[%zu] = %g is not finite", i,
                        c->extra_rho_val[i]);
    }
    std::vector<double> logT;
    try {
        logT.resize(c->extra_rho_n);
    } catch (const std::bad_alloc&) {
        return fail(err, "nvx_bg_init_standard: OOM for extra_rho log-grid");
    }
    for (size_t i = 0; i < c->extra_rho_n; ++i) logT[i] = std::log10(c->extra_rho_T[i]);
    char* fit_err = nullptr;
    if (nvx_cubic_spline_fit_notaknot(logT.data(), c->extra_rho_val, c->extra_rho_n,
                                      &bg->extra_rho, &fit_err) != 0) {
        if (fit_err) {
            if (err) *err = fit_err; else std::free(fit_err);
            return 1;
        }
        return fail(err, "nvx_bg_init_standard: extra_rho spline fit failed");
    }
    bg->has_extra_rho = 1;
    return 0;
}

// Everything the integration produces before it is turned into the record's tables.
struct Solution {
    std::vector<double> lnT, lna;   // sampling grid, ln T ascending
    std::vector<double> a_asc, T_desc;
    DensePath path{2};              // (ln aT, t) against ln T, or t against ln a (external)
    double shift = 0.0;             // added to the integrated time
};

int integrate_lnT(nvx_background* bg, Solution& s, double a_lo, double T_lo, double T_hi,
                  char** err) {
    double y[2] = {std::log(a_lo * T_lo), 0.0};
    if (nvx_ode_rk45(combined_bg_rhs, bg, y, 2, nullptr, nullptr, std::log(T_lo), std::log(T_hi),
                     background_rk_opts(&s.path), err) != 0) {
        dense_path_free(&s.path);
        return 1;
    }
    double out[2];
    for (size_t k = 0; k < s.lnT.size(); ++k) {
        s.path.eval(s.lnT[k], out);
        s.lna[k] = out[0] - s.lnT[k];
    }
    return 0;
}

int integrate_lna(nvx_background* bg, Solution& s, double lna_hi, double lna_end, double t_hi,
                  char** err) {
    nvx_cubic_spline T_of_a{};
    if (nvx_cubic_spline_fit_notaknot(s.a_asc.data(), s.T_desc.data(), s.a_asc.size(), &T_of_a,
                                      err) != 0)
        return 1;
    s.path = DensePath(1);
    ExternalRhs user{bg, &T_of_a};
    double y[1] = {t_hi};
    const int rc = nvx_ode_rk45(dtdlna_rhs, &user, y, 1, nullptr, nullptr, lna_hi, lna_end,
                                background_rk_opts(&s.path), err);
    nvx_cubic_spline_free(&T_of_a);
    if (rc != 0) dense_path_free(&s.path);
    return rc;
}

void fill_final_tables(nvx_background* bg, const Solution& s, double lna_hi, double lna_end,
                       std::vector<double> (&cols)[7]) {
    const size_t n = s.lnT.size();
    auto& [t, T, Tnue, Tnumu, Tnutau, Tavg, a] = cols;
    for (auto& c : cols) c.resize(n);
    double y[2];
    for (size_t l = 0; l < n; ++l) {
        const double lna = lna_hi + (double(l) / double(n - 1)) * (lna_end - lna_hi);
        a[l] = std::exp(lna);
        T[l] = nvx_interp_linear(s.a_asc.data(), s.T_desc.data(), n, 1, a[l]);
        if (bg->external_scale_factor) {
            s.path.eval(lna, y);
            t[l] = y[0];
        } else {
            s.path.eval(std::log(T[l]), y);
            t[l] = y[1] + s.shift;
        }
        Tnue[l] = nvx_nu_Tnue_of_Tg(&bg->history, T[l]);
        Tnumu[l] = nvx_nu_Tnumu_of_Tg(&bg->history, T[l]);
        Tnutau[l] = nvx_nu_Tnutau_of_Tg(&bg->history, T[l]);
        Tavg[l] = Tnu_average(Tnue[l], Tnumu[l], Tnutau[l]);
    }
}

// The smooth T(t), a(t) through the sampling nodes, where the integrated solution is known exactly
// (the final tables' temperatures are themselves interpolated). Time is integrated from T_end
// upwards and shifted, so early times carry the rounding of the latest one: nodes known to worse
// than about 1e-4 relative (only when T_end is very low) are left to the linear tables, and fewer
// than 4 remaining nodes give no smooth table at all. Returns 1 on failure (out of memory).
int time_table_on_nodes(const Solution& s, nvx_bg_time_table** out, char** err) {
    const size_t n = s.lnT.size();
    std::vector<double> t(n), T(n), a(n);
    double y[2];
    for (size_t i = 0; i < n; ++i) {
        const size_t k = n - 1 - i;  // ascending time is descending temperature
        s.path.eval(s.lnT[k], y);
        t[i] = y[1] + s.shift;
        T[i] = std::exp(s.lnT[k]);
        a[i] = std::exp(s.lna[k]);
    }
    const double rounding = 4.0 * (std::nextafter(t[n - 1], INFINITY) - t[n - 1]);
    size_t first = 0;
    for (size_t i = 0; i < n; ++i)
        if (!(t[i] > 1e4 * rounding) || (i > 0 && !(t[i] > t[i - 1]))) first = i + 1;
    if (n - std::min(first, n) < 4) return 0;
    for (auto* v : {&t, &T, &a}) v->erase(v->begin(), v->begin() + std::ptrdiff_t(first));
    return (*out = build_time_table(t, T, a, err)) ? 0 : 1;
}

int store_tables(nvx_background* bg, const Solution& s, std::vector<double> (&cols)[7],
                 char** err) {
    const size_t n = s.lnT.size();
    double** dst[] = {&bg->t, &bg->T, &bg->Tnue, &bg->Tnumu, &bg->Tnutau, &bg->Tnu_avg, &bg->a};
    for (size_t i = 0; i < 7; ++i) *dst[i] = to_c_array(cols[i]);
    std::vector<double> T_up(cols[1].rbegin(), cols[1].rend());
    std::vector<double> t_up(cols[0].rbegin(), cols[0].rend());
    bg->T_up = to_c_array(T_up);
    bg->t_up = to_c_array(t_up);
    bg->lnT_grid = to_c_array(s.lnT);
    bg->lna_grid = to_c_array(s.lna);
    bg->a_asc = to_c_array(s.a_asc);
    bg->T_desc = to_c_array(s.T_desc);
    bg->n = n;
    bg->n_grid = n;
    for (double* p : {bg->t, bg->T, bg->Tnue, bg->Tnumu, bg->Tnutau, bg->Tnu_avg, bg->a, bg->T_up,
                      bg->t_up, bg->lnT_grid, bg->lna_grid, bg->a_asc, bg->T_desc})
        if (!p) return fail(err, "nvx_bg_init_standard: out of memory for the background tables");
    return 0;
}

// The radiation of the run (photons, e+-, neutrinos with the DeltaNeff species, a tabulated extra
// density) must have a positive energy density at every temperature of the background: a negative
// one has no expansion rate (H^2 < 0) and would end in an integrator failure that names nothing.
int check_radiation(const nvx_background* bg, const std::vector<double>& lnT, char** err) {
    const nvx_neutrino_history* h = &bg->history;
    const NVXConfig* c = bg->config;
    // only a negative term can make the sum negative: runs without one (the default, and scans of a
    // positive DeltaNeff) skip the check
    bool negative_term = c->DeltaNeff < 0.0;
    for (size_t i = 0; bg->has_extra_rho && i < c->extra_rho_n && !negative_term; ++i)
        negative_term = c->extra_rho_val[i] < 0.0;
    if (!negative_term) return 0;
    auto at = [&](double T) {
        const double plasma = rho_plasma(bg, T);
        const double nu = rho_neutrinos(bg, T, nvx_nu_Tnue_of_Tg(h, T), nvx_nu_Tnumu_of_Tg(h, T),
                                        nvx_nu_Tnutau_of_Tg(h, T));
        const double extra = bg->has_extra_rho ? nvx_cubic_spline_eval(&bg->extra_rho, std::log10(T)) : 0.0;
        const double total = plasma + nu + extra;
        if (total > 0.0 && std::isfinite(total)) return 0;
        return fail(err,
                    "nvx_bg_init_standard: the radiation energy density is %.6g MeV^4 at T=%.6g MeV, not positive "
                    "(photons and e+- %.6g, neutrinos with the DeltaNeff=%g species %.6g, extra_rho table %.6g): "
                    "check DeltaNeff and extra_rho_val",
                    total, T, plasma, c->DeltaNeff, nu, extra);
    };
    // every fourth node of the grid (about 150 per decade; the terms vary on the scale of a decade)
    for (size_t k = 0; k < lnT.size(); k += 4)
        if (at(std::exp(lnT[k])) != 0) return 1;
    return lnT.empty() ? 0 : at(std::exp(lnT.back()));
}

int solve(nvx_background* bg, char** err) {
    const NVXConfig* c = bg->config;
    const double T_hi = c->T_start_cosmo_MeV, T_lo = c->T_end_MeV;
    if (!(T_hi > T_lo))
        return fail(err, "nvx_bg_init_standard: T_start_cosmo_MeV=%g must exceed T_end_MeV=%g",
                    T_hi, T_lo);
    nvx_log(c, "bg", "Solving cosmological background: a(T), t(T) relations ...");
    const std::clock_t clock0 = std::clock();

    long n_grid = std::lround(std::log10(T_hi / T_lo) * c->sampling_temperature_per_decade);
    if (n_grid < 3) n_grid = 2;
    const size_t n = size_t(n_grid);
    Solution s;
    s.lnT.resize(n);
    s.lna.resize(n);
    const double lnT_lo = std::log(T_lo), lnT_hi = std::log(T_hi);
    for (size_t k = 0; k < n; ++k) s.lnT[k] = lnT_lo + (double(k) / double(n - 1)) * (lnT_hi - lnT_lo);
    if (check_radiation(bg, s.lnT, err) != 0) return 1;

    // Scale factor at T_lo from entropy conservation between T_lo and today.
    const double T0 = T0_MeV();
    const double sbar_lo = nvx_plasma_spl(bg->plasma, T_lo) / (T_lo * T_lo * T_lo);
    const double a_lo = T0 / (T_lo * std::cbrt(sbar_lo / nvx_s0bar()));

    if (bg->external_scale_factor) {
        const double x_lo = nvx_nu_x_of_Tg(&bg->history, T_lo);
        if (!(x_lo > 0.0))
            return fail(err, "nvx_bg_init_standard: external_scale_factor needs the decoupling "
                        "table's scale-factor variable, which is not positive at T=%g MeV", T_lo);
        bg->a_per_x = a_lo / x_lo;
    } else if (integrate_lnT(bg, s, a_lo, T_lo, T_hi, err) != 0) {
        return 1;
    }
    auto a_of_T = [&](double T) {
        return bg->external_scale_factor ? bg->a_per_x * nvx_nu_x_of_Tg(&bg->history, T)
                                         : std::exp(nvx_interp_linear(s.lnT.data(), s.lna.data(),
                                                                      n, 1, std::log(T)));
    };
    s.a_asc.resize(n);
    s.T_desc.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t k = n - 1 - i;
        s.T_desc[i] = std::exp(s.lnT[k]);
        s.a_asc[i] = bg->external_scale_factor ? bg->a_per_x * nvx_nu_x_of_Tg(&bg->history, s.T_desc[i])
                                               : std::exp(s.lna[k]);
    }
    const double a_hi = a_of_T(T_hi), a_end = a_of_T(T_lo);
    const double lna_hi = std::log(a_hi), lna_end = std::log(a_end);
    // Radiation domination before T_hi fixes the time origin: t = 1/(2H).
    const double t_hi = 1.0 / (2.0 * hubble_at(bg, T_hi, a_hi));

    if (bg->external_scale_factor) {
        if (integrate_lna(bg, s, lna_hi, lna_end, t_hi, err) != 0) return 1;
    } else {
        double y[2];
        s.path.eval(lnT_hi, y);
        s.shift = t_hi - y[1];
    }
    std::vector<double> cols[7];
    fill_final_tables(bg, s, lna_hi, lna_end, cols);
    if (!bg->external_scale_factor && n >= 4 && time_table_on_nodes(s, &bg->time_table, err) != 0) return 1;
    dense_path_free(&s.path);
    if (store_tables(bg, s, cols, err) != 0) return 1;
    bg->ready = 1;
    bg->incomplete_decoupling = c->incomplete_decoupling;
    nvx_log(c, "bg", "Background a(T), t(T) ready in %.2f s",
            double(std::clock() - clock0) / CLOCKS_PER_SEC);
    return 0;
}

// Everything of the standard background before its tables: Friedmann terms beyond radiation.
int init_terms(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma, char** err) {
    nvx_constants_init();
    bg->mode = NVX_BG_STANDARD;
    bg->config = config;
    bg->plasma = plasma;
    bg->external_scale_factor = config->external_scale_factor;
    setup_matter_lambda(bg);
    return setup_ede(bg, err);
}

int init_standard(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                  char** err) {
    if (init_terms(bg, config, plasma, err) != 0) return 1;
    if (nvx_neutrino_history_init(&bg->history, config, plasma, err) != 0) return 1;
    bg->history_ready = 1;
    if (setup_extra_rho(bg, err) != 0) return 1;
    if (solve(bg, err) != 0) return 1;
    return init_weak(bg, bg->T, bg->Tnue, bg->n, err);
}

int tables_on_history(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                      const nvx_neutrino_history* history, char** err) {
    if (init_terms(bg, config, plasma, err) != 0) return 1;
    bg->history = *history;  // lent: history_ready stays 0, so the record never frees it
    if (setup_extra_rho(bg, err) != 0) return 1;
    return solve(bg, err);
}

// Runs a construction step with the record's release on failure and out-of-memory reported.
template <typename Step>
int guarded(nvx_background* bg, const char* who, char** err, Step step) {
    int rc;
    try {
        rc = step();
    } catch (const std::bad_alloc&) {
        rc = fail(err, "%s: out of memory", who);
    }
    if (rc != 0) nvx_background_free(bg);
    return rc;
}

}  // namespace

double lambda_density(const NVXConfig* c) { return Omega_Lambda_h2(c) * nvx_config_rhocOverh2(c); }

void warn_negative_lambda(const NVXConfig* c) {
    const double OL_h2 = Omega_Lambda_h2(c);
    if (OL_h2 < 0.0)
        nvx_message(c, NVX_MSG_WARNING, "bg",
                    "[bckg] warning: Omega_Lambda h^2 = %.4g < 0 (h=%g, Omegabh2=%g, Omegach2=%g). "
                    "Cosmological constant is negative -- non-standard cosmology.",
                    OL_h2, c->h, nvx_config_get_Omegabh2(c), c->Omegach2);
}

bool lambda_below_rounding(const NVXConfig* c, double rho_Lambda) {
    // The Friedmann sum adds rho_Lambda to rho_cdm0/a^3 first. With |rho_Lambda| below 2^-56 of
    // the smallest matter density of the run, that sum rounds to the matter density alone, so
    // every expansion rate (and with it every table) is the one of rho_Lambda = 0. The scale
    // factor never exceeds T0/T_end (entropy only grows into the past); the factor 2 is margin.
    if (Omega_Lambda_h2(c) < 0.0) return false;  // such a record warns when its background is built
    const double T0 = T0_MeV(), a_max = 2.0 * T0 / c->T_end_MeV;
    const double rho_cdm_min = c->Omegach2 * nvx_config_rhocOverh2(c) / (a_max * a_max * a_max);
    return std::isfinite(rho_Lambda) && std::fabs(rho_Lambda) * 0x1p56 < rho_cdm_min;
}

int build_standard_tables(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                          const nvx_neutrino_history* history, char** err) {
    *bg = nvx_background{};
    return guarded(bg, "nvx_bg_init_standard", err,
                   [&] { return tables_on_history(bg, config, plasma, history, err); });
}

}  // namespace nvx::bg

extern "C" int nvx_bg_init_standard(nvx_background* bg, const NVXConfig* config,
                                    const nvx_plasma* plasma, char** err) {
    if (!bg) return nvx::fail(err, "nvx_bg_init_standard: no background record");
    *bg = nvx_background{};
    if (!config || !plasma) return nvx::fail(err, "nvx_bg_init_standard: no parameter record or plasma");
    return nvx::bg::guarded(bg, "nvx_bg_init_standard", err,
                            [&] { return nvx::bg::init_standard(bg, config, plasma, err); });
}
