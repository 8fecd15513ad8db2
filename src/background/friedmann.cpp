// Friedmann density terms and the Hubble rate, the neutron decay normalisation of the weak rates,
// and the recorded Runge-Kutta path with its continuous-extension lookup.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "background/bg_internal.hpp"
#include "config/err.hpp"
#include "nuvex/constants.h"
#include "nuvex/ode.h"

namespace nvx::bg {

double rho_plasma(const nvx_background* bg, double T) {
    double rho = nvx_rho_g(T) + nvx_plasma_rho_e(bg->plasma, T);
    if (bg->plasma->qed_enabled) rho += nvx_plasma_qed_rho(bg->plasma, T);
    if (nvx_plasma_relic_in_plasma(bg->plasma)) {
        double r[3];
        nvx_plasma_relic_thermo(bg->plasma, T, r);
        rho += r[0];
    }
    return rho;
}

double Tnu_average(double Tnue, double Tnumu, double Tnutau) {
    const double m4 = (std::pow(Tnue, 4) + std::pow(Tnumu, 4) + std::pow(Tnutau, 4)) / 3.0;
    return std::pow(m4, 0.25);
}

double rho_neutrinos(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau) {
    const NVXConfig* c = bg->config;
    double rho = nvx_rho_nu(Tnue) + nvx_rho_nu_chempot_excess(Tnue, nvx_config_xi_nu_e(c));
    rho += nvx_rho_nu(Tnumu) + nvx_rho_nu_chempot_excess(Tnumu, nvx_config_xi_nu_mu(c));
    rho += nvx_rho_nu(Tnutau) + nvx_rho_nu_chempot_excess(Tnutau, nvx_config_xi_nu_tau(c));
    if (bg->history.analytic)
        rho += nvx_nu_rho_nu_SD(&bg->history, Tnu_average(Tnue, Tnumu, Tnutau));
    rho += nvx_plasma_rho_nu_extra(bg->plasma, T);
    if (bg->history.has_relic && nvx_config_relic_neutrinophilic(c)) {
        double r[3];
        nvx_plasma_relic_thermo(bg->plasma, nvx_nu_T_relic_of_Tg(&bg->history, T), r);
        rho += r[0];
    }
    return rho;
}

double relic_late_Tnu_factor(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau) {
    double r[3];
    if (nvx_config_relic_neutrinophilic(bg->config)) {
        const double T_X = nvx_nu_T_relic_of_Tg(&bg->history, T);
        nvx_plasma_relic_thermo(bg->plasma, T_X, r);
        const double s_X = T_X > 0.0 ? (r[0] + r[1]) / T_X : 0.0;
        const double s_nu = 4.0 / 3.0 * (nvx_rho_nu(Tnue) / Tnue + nvx_rho_nu(Tnumu) / Tnumu + nvx_rho_nu(Tnutau) / Tnutau);
        return std::cbrt(1.0 + s_X / s_nu);
    }
    nvx_plasma_relic_thermo(bg->plasma, T, r);
    const double s_X = (r[0] + r[1]) / T, s_gamma = 4.0 / 3.0 * nvx_rho_g(T) / T;
    return 1.0 / std::cbrt(1.0 + s_X / s_gamma);
}

double relic_late_rho_nu(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau,
                         double rho_nu) {
    double r[3];
    if (nvx_config_relic_neutrinophilic(bg->config)) {
        const double T_X = nvx_nu_T_relic_of_Tg(&bg->history, T);
        nvx_plasma_relic_thermo(bg->plasma, T_X, r);
        rho_nu -= r[0];
        const double s_X = T_X > 0.0 ? (r[0] + r[1]) / T_X : 0.0;
        const double s_nu = 4.0 / 3.0 * (nvx_rho_nu(Tnue) / Tnue + nvx_rho_nu(Tnumu) / Tnumu + nvx_rho_nu(Tnutau) / Tnutau);
        const double rho_flavours = nvx_rho_nu(Tnue) + nvx_rho_nu(Tnumu) + nvx_rho_nu(Tnutau);
        return rho_nu + (std::pow(1.0 + s_X / s_nu, 4.0 / 3.0) - 1.0) * rho_flavours;
    }
    nvx_plasma_relic_thermo(bg->plasma, T, r);
    const double s_X = (r[0] + r[1]) / T, s_gamma = 4.0 / 3.0 * nvx_rho_g(T) / T;
    return rho_nu * std::pow(1.0 + s_X / s_gamma, -4.0 / 3.0);
}

double rho_extra(const nvx_background* bg, double T, double a) {
    double rho = 0.0;
    if (bg->has_matter_lambda) rho += bg->rho_cdm0 / (a * a * a) + bg->rho_Lambda;
    // T_ede / T stands for a / a_c: the fluid switches from constant density to dilution at a_c.
    if (bg->has_ede) rho += 2.0 * bg->rho_ede_c / (std::pow(bg->T_ede / T, bg->ede_power) + 1.0);
    if (bg->has_extra_rho) rho += nvx_cubic_spline_eval(&bg->extra_rho, std::log10(T));
    return rho;
}

double hubble_of_rho(const NVXConfig* config, double rho_MeV4) {
    // H = sqrt(8 pi G rho / 3), G = 1/M_pl^2, converted from MeV to s^-1.
    return std::sqrt(kEightPi * rho_MeV4 * config->G / 3.0) * nvx_MeV_to_secm1();
}

double neutron_decay_rate(const NVXConfig* config) {
    if (config->tau_n_normalization) return 1.0 / config->tau_n;
    const double m_e = g_const[NVX_C_m_e];
    const double GV = g_const[NVX_C_G_F] * g_const[NVX_C_V_ud];
    const double gA = g_const[NVX_C_g_A];
    const double f_n = nvx_compute_fn(config);
    // Free-neutron decay: m_e^5 (G_F V_ud)^2 (1 + 3 g_A^2) f_n / (2 pi^3).
    return std::pow(m_e, 5) * GV * GV * (1.0 + 3.0 * gA * gA) * f_n / 62.01255336059963 *
           nvx_MeV_to_secm1();
}

void DensePath::eval(double X, double* out) const {
    const size_t m = steps();
    if (m == 0) return;
    // Last step whose start does not exceed X (steps run in increasing abscissa).
    size_t lo = 0, hi = m;
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if (start[mid] <= X) lo = mid; else hi = mid;
    }
    const double h = size[lo];
    double theta = h != 0.0 ? (X - start[lo]) / h : 0.0;
    theta = std::clamp(theta, 0.0, 1.0);
    const size_t o = lo * dim;
    nvx_ode_dense_eval(&y0[o], &K1[o], &K3[o], &K4[o], &K5[o], &K6[o], theta, h, &K7[o], dim, out);
}

void dense_path_push(const double* y_old, const double* K1, const double* K3, const double* K4,
                     const double* K5, const double* K6, double t_old, double h, const double* K7,
                     size_t n, void* user) {
    auto* p = static_cast<DensePath*>(user);
    if (p->start.capacity() == 0) {
        p->start.reserve(64); p->size.reserve(64);
        for (auto* v : {&p->y0, &p->K1, &p->K3, &p->K4, &p->K5, &p->K6, &p->K7}) v->reserve(64 * n);
    }
    p->start.push_back(t_old);
    p->size.push_back(h);
    p->y0.insert(p->y0.end(), y_old, y_old + n);
    p->K1.insert(p->K1.end(), K1, K1 + n);
    p->K3.insert(p->K3.end(), K3, K3 + n);
    p->K4.insert(p->K4.end(), K4, K4 + n);
    p->K5.insert(p->K5.end(), K5, K5 + n);
    p->K6.insert(p->K6.end(), K6, K6 + n);
    p->K7.insert(p->K7.end(), K7, K7 + n);
}

void dense_path_free(DensePath* path) {
    const size_t dim = path->dim;
    *path = DensePath(dim);
}

double* to_c_array(const std::vector<double>& v) {
    auto* p = static_cast<double*>(std::malloc(std::max<size_t>(v.size(), 1) * sizeof(double)));
    if (p && !v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(double));
    return p;
}

int init_weak(nvx_background* bg, const double* T, const double* Tnue, size_t n, char** err) {
    if (nvx_weak_rates_init(&bg->weak, T, Tnue, n, bg->config, &bg->history, err) != 0) return 1;
    bg->weak_ready = 1;
    bg->lambda_n = neutron_decay_rate(bg->config);
    return 0;
}

}  // namespace nvx::bg

extern "C" double nvx_bg_Hubble(const nvx_background* bg, double T, double Tnue, double Tnumu,
                                double Tnutau, double a) {
    using namespace nvx::bg;
    const double rho = rho_plasma(bg, T) + rho_neutrinos(bg, T, Tnue, Tnumu, Tnutau) +
                       rho_extra(bg, T, a);
    return hubble_of_rho(bg->config, rho);
}
