// The era integration: n/p at high temperature (Runge-Kutta), then the mid- and low-temperature
// networks (stiff BDF with the analytic Jacobian), starting from nuclear statistical equilibrium.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "integration/nn_internal.hpp"
#include "nuvex/constants.h"
#include "network/evaluator.hpp"
#include "nuvex/ode.h"

namespace nvx {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The network reads the background through its smooth interpolants: the stiff integrator would
// otherwise resolve the kink at every row of the linear tables with short steps.
double T_kelvin_at(const nvx_background* bg, double t_s) {
    double T_MeV;
    nvx_bg_network_conditions(bg, t_s, &T_MeV, nullptr);
    return T_MeV * nvx_MeV_to_Kelvin();
}

// ---- right-hand sides and Jacobians -------------------------------------------------------

struct HtUser {
    const nvx_background* bg;
    nvx_nuclear_era_stats* stats;
};

// A non-zero return ends the integration: the call's token was set (polled at every evaluation,
// one relaxed load, so an era stops within a few steps).
bool cancelled(const nvx_background* bg) { return nvx_run_cancelled(bg->config) != 0; }

int ht_rhs(double t, const double* y, double* dydt, void* user) {
    auto* u = static_cast<HtUser*>(user);
    if (cancelled(u->bg)) return 1;
    ++u->stats->rhs_evals;
    const double T_K = T_kelvin_at(u->bg, t);
    const double l_np = nvx_bg_weak_nTOp_frwrd(u->bg, T_K), l_pn = nvx_bg_weak_nTOp_bkwrd(u->bg, T_K);
    dydt[0] = y[1] * l_pn - y[0] * l_np;
    dydt[1] = y[0] * l_np - y[1] * l_pn;
    return 0;
}

// Conditions of the plasma at time t that every network evaluation needs.
struct NetPoint {
    double t = -1.0;
    double T_K, rho_gcm3, l_np, l_pn;
};

struct NetUser {
    const nvx_background* bg;
    NVXNetworkDef* def;  // rate tables of the era
    int lt;              // 1 in the LT era (capped reverse rates)
    NetworkEvaluator eval;
    nvx_nuclear_era_stats* stats;
    NetPoint last;  // the Newton iterations and the Jacobian revisit the same time
};

// Background conditions at time t, and the era's reaction coefficients there (once per time).
void net_point(NetUser* u, double t) {
    NetPoint& p = u->last;
    if (p.t == t) return;
    p.t = t;
    double T_MeV;
    nvx_bg_network_conditions(u->bg, t, &T_MeV, &p.rho_gcm3);
    p.T_K = T_MeV * nvx_MeV_to_Kelvin();
    p.l_np = nvx_bg_weak_nTOp_frwrd(u->bg, p.T_K);
    p.l_pn = nvx_bg_weak_nTOp_bkwrd(u->bg, p.T_K);
    u->eval.set_point(nvx_network_fill_buffer(u->def, u->lt, p.T_K, p.l_np, p.l_pn), p.rho_gcm3);
}

// Right-hand side of one era at time t.
int net_rhs(double t, const double* y, double* dydt, void* user) {
    auto* u = static_cast<NetUser*>(user);
    if (cancelled(u->bg)) return 1;
    ++u->stats->rhs_evals;
    net_point(u, t);
    u->eval.rhs(y, dydt);
    return 0;
}

int net_jac(double t, const double* y, double* J, void* user) {
    auto* u = static_cast<NetUser*>(user);
    if (cancelled(u->bg)) return 1;
    ++u->stats->jac_evals;
    net_point(u, t);
    u->eval.jacobian(y, J);
    return 0;
}

// ---- messages -----------------------------------------------------------------------------

// The era marks: a progress hook gets the era name, the standard stream the classic marks.
void progress_mark(const NVXConfig* c, const char* stage, const char* text) {
    if (nvx_progress(c, stage, 0.0, 0.0)) return;
    if (!c->show_progress || c->verbose) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

void print_final_table(const nvx_nuclear_network* nn) {
    const std::string dashes(50, '-');
    std::string out = nvx::strprintf("%s\nPrimordial abundances (%zu nuclides) at T = %.4g MeV\n%s\n", dashes.c_str(),
                                     nn->n_species, nn->config->T_end_MeV, dashes.c_str());
    for (size_t i = 0; i < nn->n_species; ++i) out += nvx::strprintf("  Y%-5s= %.6e\n", nn->species[i], nn->Y_final[i]);
    nvx_message(nn->config, NVX_MSG_TEXT, "nucl", "%s", out.c_str());
}

// ---- eras ---------------------------------------------------------------------------------

struct EraTimes {
    double t_start, t_weak, t_nucl, t_end;
};

int fail_oom(char** err) { return fail(err, "nvx_nuclear_network_solve: out of memory"); }

// Appends the era in which the integrator failed to its message, which keeps its beginning.
int era_failure(char** err, const char* era, double T0_MeV, double T1_MeV) {
    if (err && *err) {
        std::string m = strprintf("%s (%s era, T = %.4g -> %.4g MeV)", *err, era, T0_MeV, T1_MeV);
        std::free(*err);
        *err = dup_cstr(m.c_str());
    }
    return 1;
}

int run_ht(nvx_nuclear_network* nn, const EraTimes& tm, std::vector<double>& y, EraRecorder& rec,
           char** err) {
    const NVXConfig* c = nn->config;
    nvx_nuclear_era_stats& st = nn->stats[NVX_ERA_HT];
    progress_mark(c, "HT", "[nuvex]  HT.");
    nvx_log(c, "nucl", "Solving neutron decoupling at high temperature era (T = %.4g -> %.4g MeV)",
            nvx_T_start() / nvx_MeV_to_Kelvin(), nvx_T_weak() / nvx_MeV_to_Kelvin());
    nvx_ode_rk_opts opts;
    nvx_ode_rk_default_opts(&opts);
    opts.rtol = c->numerical_precision;
    opts.atol = 1e-10;
    HtUser user{nn->bg, &st};
    const auto start = Clock::now();
    int rc = nvx_ode_rk45(ht_rhs, &user, y.data(), 2, recorder_cb, &rec, tm.t_start, tm.t_weak, opts, err);
    st.seconds = seconds_since(start);
    st.steps = rec.count() - 1;
    if (rc) return era_failure(err, "HT", nvx_T_start() / nvx_MeV_to_Kelvin(), nvx_T_weak() / nvx_MeV_to_Kelvin());
    if (rec.out_of_memory) return fail_oom(err);
    nvx_log(c, "nucl", "[HT] Finished in %.2f s", st.seconds);
    return 0;
}

// One stiff era: MT (lt = false) or LT (lt = true).
int run_network_era(nvx_nuclear_network* nn, bool lt, double t0, double t1, std::vector<double>& y,
                    EraRecorder& rec, char** err) {
    const NVXConfig* c = nn->config;
    nvx_nuclear_era_stats& st = nn->stats[lt ? NVX_ERA_LT : NVX_ERA_MT];
    nvx_ode_bdf_opts opts;
    nvx_ode_bdf_default_opts(&opts);
    opts.rtol = lt ? 10.0 * c->numerical_precision : c->numerical_precision;
    opts.atol = lt ? c->atol_large_LT : 1e-16;
    NVXNuclearRates* r = nn->rates;
    NetUser user{nn->bg, lt ? &r->lt : &r->mt, lt ? 1 : 0,
                 NetworkEvaluator(lt ? r->lt_compiled : r->mt_compiled), &st, NetPoint{}};
    nvx_ode_bdf_stats bdf{};
    const auto start = Clock::now();
    int rc = nvx_ode_bdf_with_stats(net_rhs, net_jac, &user, y.data(), y.size(), recorder_cb, t0, t1, opts, &rec,
                                    &bdf, err);
    st.seconds = seconds_since(start);
    st.steps = static_cast<size_t>(bdf.n_steps);
    st.rejected = static_cast<size_t>(bdf.n_rejected);
    st.newton_failures = static_cast<size_t>(bdf.n_newton_fail);
    st.lu_factorisations = static_cast<size_t>(bdf.n_lu);
    if (rc)
        return era_failure(err, lt ? "LT" : "MT", nvx_bg_T_of_t(nn->bg, t0), nvx_bg_T_of_t(nn->bg, t1));
    if (rec.out_of_memory) return fail_oom(err);
    nvx_log(c, "nucl", "[%s] Finished (%s network, %zu nuclides) in %.2f s", lt ? "LT" : "MT",
            c->network ? c->network : "None", y.size(), st.seconds);
    return 0;
}

// MT initial state: n and p from the end of the HT era, every other species in equilibrium.
int mt_initial_state(const nvx_nuclear_network* nn, double t_weak, double Yn, double Yp,
                     std::vector<double>& y, char** err) {
    const NVXNetworkDef& mt = nn->rates->mt;
    double rho;
    nvx_bg_network_conditions(nn->bg, t_weak, nullptr, &rho);
    for (const char* needed : {"n", "p"})
        if (!nvx_config_find_nuclide(nn->config, needed))
            return fail(err, "nvx_nuclear_network_solve: %s is not in the nuclide table", needed);
    y.assign(mt.n_species, 0.0);
    for (size_t i = 0; i < mt.n_species; ++i) {
        const char* name = mt.species[i];
        if (std::strcmp(name, "n") == 0) {
            y[i] = Yn;
        } else if (std::strcmp(name, "p") == 0) {
            y[i] = Yp;
        } else {
            const NVXNuclide* nuc = nvx_config_find_nuclide(nn->config, name);
            if (!nuc) return fail(err, "nvx_nuclear_network_solve: %s is not in the nuclide table", name);
            y[i] = nvx_nuclear_network_nse_abundance(nn->config, nuc, nvx_T_weak(), rho, Yn, Yp);
        }
    }
    return 0;
}

// Copies values from one species order to another by name; absent species get 0.
void map_by_name(const char (*from)[NVX_NAME_LEN], size_t n_from, const double* y_from,
                 const char (*to)[NVX_NAME_LEN], size_t n_to, double* y_to) {
    for (size_t i = 0; i < n_to; ++i) {
        long k = find_name(from, n_from, to[i]);
        y_to[i] = k >= 0 ? y_from[k] : 0.0;
    }
}

template <typename T>
T* malloc_array(size_t n) {
    return static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
}

// Final state and the joined history of the three eras, all in LT species order.
int store_results(nvx_nuclear_network* nn, const std::vector<double>& y_lt, const EraRecorder& ht,
                  const EraRecorder& mt, const EraRecorder& lt, char** err) {
    const NVXNetworkDef& mt_def = nn->rates->mt;
    const NVXNetworkDef& lt_def = nn->rates->lt;
    const size_t n = lt_def.n_species;
    const size_t rows = ht.count() + mt.count() + lt.count() - 2;
    nn->species = static_cast<char(*)[NVX_NAME_LEN]>(std::calloc(n ? n : 1, NVX_NAME_LEN));
    nn->Y_final = malloc_array<double>(n);
    nn->t_hist = malloc_array<double>(rows);
    nn->Y_hist = malloc_array<double>(rows * n);
    if (!nn->species || !nn->Y_final || !nn->t_hist || !nn->Y_hist) return fail_oom(err);
    std::memcpy(nn->species, lt_def.species, n * NVX_NAME_LEN);
    std::copy(y_lt.begin(), y_lt.end(), nn->Y_final);
    nn->n_species = n;
    nn->n_rows = rows;

    const long col_n = find_name(lt_def.species, n, "n"), col_p = find_name(lt_def.species, n, "p");
    size_t r = 0;
    for (size_t i = 0; i < ht.count(); ++i, ++r) {
        nn->t_hist[r] = ht.t[i];
        if (col_n >= 0) nn->Y_hist[r * n + col_n] = ht.row(i)[0];
        if (col_p >= 0) nn->Y_hist[r * n + col_p] = ht.row(i)[1];
    }
    std::vector<long> mt_col(n);  // MT column of each LT species, -1 when the MT network lacks it
    for (size_t k = 0; k < n; ++k) mt_col[k] = find_name(mt_def.species, mt_def.n_species, lt_def.species[k]);
    for (size_t i = 1; i < mt.count(); ++i, ++r) {
        nn->t_hist[r] = mt.t[i];
        const double* row = mt.row(i);
        for (size_t k = 0; k < n; ++k) nn->Y_hist[r * n + k] = mt_col[k] >= 0 ? row[mt_col[k]] : 0.0;
    }
    for (size_t i = 1; i < lt.count(); ++i, ++r) {
        nn->t_hist[r] = lt.t[i];
        std::copy(lt.row(i), lt.row(i) + n, nn->Y_hist + r * n);
    }
    nn->t_first = nn->t_hist[0];
    return 0;
}

// An output file that was asked for and could not be written fails the run: returning results
// while the file the user will read is missing or stale would report a failure as success.
int write_requested_files(const nvx_nuclear_network* nn, char** err) {
    const NVXConfig* c = nn->config;
    if (c->output_time_evolution && c->output_n_points > 0 &&
        nvx_nuclear_network_write_time_evolution(nn, static_cast<size_t>(c->output_n_points), err))
        return 1;
    if (c->output_final_result && nvx_nuclear_network_write_final_result(nn, err)) return 1;
    return 0;
}

int solve(nvx_nuclear_network* nn, char** err) {
    const NVXConfig* c = nn->config;
    nvx_nuclear_rates_apply_variations(nn->rates, c);
    const double K = nvx_MeV_to_Kelvin();
    EraTimes tm{nvx_bg_t_of_T(nn->bg, nvx_T_start() / K), nvx_bg_t_of_T(nn->bg, nvx_T_weak() / K),
                nvx_bg_t_of_T(nn->bg, nvx_T_nucl() / K), nvx_bg_t_of_T(nn->bg, nvx_config_T_end(c) / K)};
    nn->t_end = tm.t_end;

    // High temperature: weak equilibrium of n and p at 10 MeV.
    const double l_np = nvx_bg_weak_nTOp_frwrd(nn->bg, nvx_T_start());
    const double l_pn = nvx_bg_weak_nTOp_bkwrd(nn->bg, nvx_T_start());
    std::vector<double> y_ht{l_pn / (l_np + l_pn), 0.0};
    y_ht[1] = 1.0 - y_ht[0];
    EraRecorder rec_ht(2, tm.t_start, y_ht.data());
    if (run_ht(nn, tm, y_ht, rec_ht, err)) return 1;

    std::vector<double> y_mt;
    if (mt_initial_state(nn, tm.t_weak, y_ht[0], y_ht[1], y_mt, err)) return 1;
    EraRecorder rec_mt(y_mt.size(), tm.t_weak, y_mt.data());
    progress_mark(c, "MT", "  MT.");
    nvx_log(c, "nucl", "Solving nuclear network at mid temperature era (T = %.4g -> %.4g MeV)",
            nvx_T_weak() / K, nvx_T_nucl() / K);
    if (run_network_era(nn, false, tm.t_weak, tm.t_nucl, y_mt, rec_mt, err)) return 1;

    const NVXNetworkDef& mt = nn->rates->mt;
    const NVXNetworkDef& lt = nn->rates->lt;
    std::vector<double> y_lt(lt.n_species);
    map_by_name(mt.species, mt.n_species, y_mt.data(), lt.species, lt.n_species, y_lt.data());
    EraRecorder rec_lt(y_lt.size(), tm.t_nucl, y_lt.data());
    progress_mark(c, "LT", "  LT.");
    nvx_log(c, "nucl", "Solving nuclear network at low temperature era (T = %.4g -> %.4g MeV)",
            nvx_T_nucl() / K, c->T_end_MeV);
    if (run_network_era(nn, true, tm.t_nucl, tm.t_end, y_lt, rec_lt, err)) return 1;
    progress_mark(c, "done", "  done.\n");

    if (store_results(nn, y_lt, rec_ht, rec_mt, rec_lt, err)) return 1;
    if (c->verbose) print_final_table(nn);
    return 0;
}

}  // namespace

long find_name(const char (*names)[NVX_NAME_LEN], size_t n, const char* name) {
    for (size_t i = 0; i < n; ++i)
        if (std::strcmp(names[i], name) == 0) return static_cast<long>(i);
    return -1;
}

EraRecorder::EraRecorder(size_t w, double t0, const double* y0)
    : width(w), debug_trace(std::getenv("NVX_NN_DEBUG") != nullptr) {
    t.reserve(64);
    rows.reserve(64 * w);
    t.push_back(t0);
    rows.insert(rows.end(), y0, y0 + w);
}

void recorder_cb(double t, const double* y, size_t n, void* recorder) {
    auto* rec = static_cast<EraRecorder*>(recorder);
    if (rec->out_of_memory) return;
    if (rec->debug_trace && rec->count() % 2000 == 0)
        std::fprintf(stderr, "[nn debug] step=%zu t=%.6e\n", rec->count(), t);
    if (n != rec->width) return;  // the integrators always hand over the era's full state
    try {
        rec->rows.insert(rec->rows.end(), y, y + n);
        rec->t.push_back(t);
    } catch (const std::bad_alloc&) {
        rec->out_of_memory = true;
        rec->rows.resize(rec->t.size() * rec->width);
    }
}


}  // namespace nvx

extern "C" {

double nvx_nuclear_network_nse_abundance(const NVXConfig* config, const NVXNuclide* nuc, double T_K,
                                         double rhoB, double Yn, double Yp) {
    nvx_constants_init();
    const NVXNuclide* pn = nvx_config_find_nuclide(config, "p");
    const NVXNuclide* nn = nvx_config_find_nuclide(config, "n");
    if (!nuc || !pn || !nn) return 0.0;
    const int Z = nuc->Z, N = nuc->N, A = Z + N;
    if ((Z > 0 && Yp <= 0.0) || (N > 0 && Yn <= 0.0) || rhoB <= 0.0) return 0.0;
    const double MeV = g_const[NVX_C_MeV], keV = g_const[NVX_C_keV];
    const double M = (A * g_const[NVX_C_m_u] - Z * g_const[NVX_C_m_e]) * MeV + nuc->mass_excess_keV * keV;
    const double B = (Z * pn->mass_excess_keV + N * nn->mass_excess_keV - nuc->mass_excess_keV) * keV;
    const double mp = g_const[NVX_C_m_p] * MeV, mn = g_const[NVX_C_m_n] * MeV;
    const double kT = g_const[NVX_C_k_B] * T_K, T_MeV = T_K / nvx_MeV_to_Kelvin();
    const double eta = rhoB / (g_const[NVX_C_m_u] * nvx_MeV4_to_gcmm3()) / (0.24358765646714617 * T_MeV * T_MeV * T_MeV);
    const double zeta3 = 1.2020569031595942, pi = 3.141592653589793;
    // Summed in logarithms: the separate powers under- or overflow for heavy nuclides.
    const double am1 = A - 1.0;
    double lnY = std::log(2.0 * nuc->spin + 1.0) + am1 * std::log(zeta3) - 0.5 * am1 * std::log(pi) +
                 0.5 * (3.0 * A - 5.0) * std::log(2.0) + 1.5 * (std::log(M) - Z * std::log(mp) - N * std::log(mn)) +
                 1.5 * am1 * std::log(kT) + am1 * std::log(eta) + B / kT;
    if (Z > 0) lnY += Z * std::log(Yp);
    if (N > 0) lnY += N * std::log(Yn);
    return std::exp(lnY);
}

int nvx_nuclear_network_solve(nvx_nuclear_network* network, const NVXConfig* config, NVXNuclearRates* rates,
                              const nvx_background* bg, char** err) {
    if (!network) return nvx::fail(err, "nvx_nuclear_network_solve: no network record");
    std::memset(network, 0, sizeof *network);
    network->config = config;
    network->bg = bg;
    network->rates = rates;
    if (!config || !rates || !bg) return nvx::fail(err, "nvx_nuclear_network_solve: missing configuration, rates or background");
    nvx_constants_init();
    int rc;
    try {
        rc = nvx::solve(network, err);
    } catch (const std::bad_alloc&) {
        rc = nvx::fail(err, "nvx_nuclear_network_solve: out of memory");
    }
    if (rc) {
        if (!(config->hooks && config->hooks->progress) && config->show_progress && !config->verbose)
            std::fputs("\n", stderr);
        const double t_end = network->t_end;
        nvx_nuclear_network_free(network);
        network->config = config;
        network->bg = bg;
        network->rates = rates;
        network->t_end = t_end;
        return 1;
    }
    return nvx::write_requested_files(network, err);
}

void nvx_nuclear_network_free(nvx_nuclear_network* network) {
    if (!network) return;
    std::free(network->species);
    std::free(network->Y_final);
    std::free(network->t_hist);
    std::free(network->Y_hist);
    std::memset(network, 0, sizeof *network);
}

double nvx_nuclear_network_get(const nvx_nuclear_network* network, const char* name) {
    if (!network || !name || !network->Y_final) return 0.0;
    long k = nvx::find_name(network->species, network->n_species, name);
    return k >= 0 ? network->Y_final[k] : 0.0;
}

double nvx_nuclear_network_Y_of_t(const nvx_nuclear_network* network, const char* name, double t) {
    if (!network || !name || network->n_rows == 0) return 0.0;
    long k = nvx::find_name(network->species, network->n_species, name);
    if (k < 0 || t <= network->t_first) return 0.0;
    const size_t n = network->n_species, last = network->n_rows - 1;
    if (t >= network->t_hist[last]) return network->Y_final[k];
    size_t lo = 0, hi = last;
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (t >= network->t_hist[mid]) lo = mid;
        else hi = mid;
    }
    const double t0 = network->t_hist[lo], t1 = network->t_hist[hi];
    const double y0 = network->Y_hist[lo * n + k], y1 = network->Y_hist[hi * n + k];
    if (t1 == t0) return y0;
    return y0 + (y1 - y0) * (t - t0) / (t1 - t0);
}

}  // extern "C"
