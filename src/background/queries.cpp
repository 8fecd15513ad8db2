// Background lookups used at every network right-hand side (time, temperature, scale factor,
// baryon density, weak rates per second), the end-of-run neutrino quantities, and release.
#include <cmath>
#include <cstdlib>

#include "background/bg_internal.hpp"
#include "background/time_table.hpp"
#include "nuvex/constants.h"

namespace {

bool custom(const nvx_background* bg) { return bg->mode == NVX_BG_CUSTOM; }

double lin(const double* x, const double* y, size_t n, double xq) {
    return nvx_interp_linear(x, y, n, 1, xq);
}

// Extrapolating lookup in a custom table, whose sorted columns may hold ties: rows with equal
// keys at a table end would make the end segment zero wide (0/0), so the end segment moves
// inward to the nearest one of non-zero width. Interior queries never land on a tie.
double lin_rows(const double* x, const double* y, size_t n, double xq) {
    if (n < 2) return nvx_interp_linear(x, y, n, 1, xq);
    size_t i = nvx_find_segment(x, n, xq);
    if (i == 0)
        while (i + 2 < n && x[i + 1] == x[i]) ++i;
    else
        while (i > 0 && x[i + 1] == x[i]) --i;
    if (x[i + 1] == x[i]) return y[i];
    return y[i] + (y[i + 1] - y[i]) * (xq - x[i]) / (x[i + 1] - x[i]);
}

double clamped(const double* x, const double* y, size_t n, double xq) {
    return nvx_interp_linear(x, y, n, 0, xq);
}

// A rate normalised to the free-neutron rate; values below 1e-28 are treated as none.
double per_second(const nvx_background* bg, double r) { return r < 1e-28 ? 0.0 : bg->lambda_n * r; }

void free_array(double*& p) {
    std::free(p);
    p = nullptr;
}

}  // namespace

extern "C" {

double nvx_bg_T_of_t(const nvx_background* bg, double t) {
    if (custom(bg)) return lin_rows(bg->by_t_t, bg->by_t_T, bg->n_rows, t);
    return lin(bg->t, bg->T, bg->n, t);
}

double nvx_bg_t_of_T(const nvx_background* bg, double T) {
    if (custom(bg)) return lin_rows(bg->by_T_T, bg->by_T_t, bg->n_rows, T);
    return lin(bg->T_up, bg->t_up, bg->n, T);
}

double nvx_bg_a_of_T(const nvx_background* bg, double T) {
    if (custom(bg)) return lin_rows(bg->by_T_T, bg->by_T_a, bg->n_rows, T);
    if (bg->external_scale_factor) return bg->a_per_x * nvx_nu_x_of_Tg(&bg->history, T);
    return std::exp(lin(bg->lnT_grid, bg->lna_grid, bg->n_grid, std::log(T)));
}

double nvx_bg_T_of_a(const nvx_background* bg, double a) {
    if (custom(bg)) return lin_rows(bg->by_a_a, bg->by_a_T, bg->n_rows, a);
    return lin(bg->a_asc, bg->T_desc, bg->n_grid, a);
}

double nvx_bg_a_of_t(const nvx_background* bg, double t) {
    if (custom(bg)) return lin_rows(bg->by_t_t, bg->by_t_a, bg->n_rows, t);
    return clamped(bg->t, bg->a, bg->n, t);
}

double nvx_bg_t_of_a(const nvx_background* bg, double a) {
    if (custom(bg)) return lin_rows(bg->by_a_a, bg->by_a_t, bg->n_rows, a);
    return clamped(bg->a, bg->t, bg->n, a);
}

int nvx_bg_Tnu_of_t(const nvx_background* bg, double* Tnue_out, double* Tnumu_out,
                    double* Tnutau_out, double t) {
    if (custom(bg)) return 0;
    *Tnue_out = lin(bg->t, bg->Tnue, bg->n, t);
    *Tnumu_out = lin(bg->t, bg->Tnumu, bg->n, t);
    *Tnutau_out = lin(bg->t, bg->Tnutau, bg->n, t);
    return 1;
}

namespace {

// Baryon number is conserved: n_B = eta n_gamma0 / a^3, mass m_u per baryon; g cm^-3.
double baryon_density(const nvx_background* bg, double a) {
    const double rho_MeV4 = nvx_n0CMB() * bg->config->eta0b * g_const[NVX_C_m_u] / (a * a * a);
    return rho_MeV4 * nvx_MeV4_to_gcmm3();
}

}  // namespace

double nvx_bg_rhoB_BBN(const nvx_background* bg, double t) { return baryon_density(bg, nvx_bg_a_of_t(bg, t)); }

void nvx_bg_network_conditions(const nvx_background* bg, double t, double* T_MeV, double* rhoB_gcm3) {
    // Outside the knots (never inside a run) the linear tables extrapolate more safely than cubics.
    const nvx_bg_time_table* tab = bg->time_table;
    if (!tab || !(t >= tab->t.front() && t <= tab->t.back())) {
        if (T_MeV) *T_MeV = nvx_bg_T_of_t(bg, t);
        if (rhoB_gcm3) *rhoB_gcm3 = nvx_bg_rhoB_BBN(bg, t);
        return;
    }
    double T, a;
    tab->eval(t, &T, &a);
    if (T_MeV) *T_MeV = T;
    if (rhoB_gcm3) *rhoB_gcm3 = baryon_density(bg, a);
}

double nvx_bg_weak_nTOp_frwrd(const nvx_background* bg, double T_K) {
    return per_second(bg, nvx_weak_rate_nTOp(&bg->weak, T_K));
}

double nvx_bg_weak_nTOp_bkwrd(const nvx_background* bg, double T_K) {
    return per_second(bg, nvx_weak_rate_pTOn(&bg->weak, T_K));
}

double nvx_bg_N_eff(const nvx_background*, double T, double rho_nu) {
    return rho_nu / nvx_rho_g(T) / nvx::bg::kNeffDivisor;
}

// T_nu/T_gamma today: the last row's, after a relic still present there has annihilated (its entropy
// goes to its own sector, as for Neff).
static double final_Tnu_over_T(const nvx_background* bg) {
    const size_t l = bg->n - 1;
    double ratio = bg->Tnu_avg[l] / bg->T[l];
    if (bg->history.has_relic)
        ratio *= nvx::bg::relic_late_Tnu_factor(bg, bg->T[l], bg->Tnue[l], bg->Tnumu[l], bg->Tnutau[l]);
    return ratio;
}

int nvx_bg_Omeganuh2_relnu(const nvx_background* bg, double* out) {
    if (custom(bg) || !bg->ready || bg->n == 0) return 1;
    const double T0 = g_const[NVX_C_T_CMB] / nvx_MeV_to_Kelvin();
    const double Tnu0 = T0 * final_Tnu_over_T(bg);
    *out = 0.5757269233968791 * std::pow(Tnu0, 4) / nvx_config_rhocOverh2(bg->config);
    return 0;
}

int nvx_bg_Omeganuh2_nrnu(const nvx_background* bg, double* out) {
    if (custom(bg) || !bg->ready || bg->n == 0) return 1;
    const double T0 = g_const[NVX_C_T_CMB] / nvx_MeV_to_Kelvin();
    const double Tnu0 = T0 * final_Tnu_over_T(bg);
    // 3 zeta(3) / (2 pi^2): number density of one flavour (nu + nubar) over T^3.
    *out = 0.18269074235035965 * Tnu0 * Tnu0 * Tnu0 / nvx_config_rhocOverh2(bg->config);
    return 0;
}

void nvx_background_free(nvx_background* bg) {
    if (!bg) return;
    if (bg->history_ready) nvx_neutrino_history_free(&bg->history);
    if (bg->has_extra_rho) nvx_cubic_spline_free(&bg->extra_rho);
    for (double** p : {&bg->t, &bg->T, &bg->Tnue, &bg->Tnumu, &bg->Tnutau, &bg->Tnu_avg, &bg->a,
                       &bg->T_up, &bg->t_up, &bg->lnT_grid, &bg->lna_grid, &bg->a_asc, &bg->T_desc,
                       &bg->by_t_t, &bg->by_t_T, &bg->by_t_a, &bg->by_T_T, &bg->by_T_t, &bg->by_T_a,
                       &bg->by_a_a, &bg->by_a_T, &bg->by_a_t})
        free_array(*p);
    if (bg->weak_ready) nvx_weak_rates_free(&bg->weak);
    delete bg->time_table;
    *bg = nvx_background{};
}

}  // extern "C"
