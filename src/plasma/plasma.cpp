// The plasma record: initialisation, radiation densities of photons and neutrinos, electron-positron
// lookups, entropy density and its derivative, and the standard-model density and pressure.
#include <cmath>
#include <cstring>

#include "nuvex/constants.h"
#include "nuvex/plasma.h"
#include "plasma/electron_thermo.hpp"
#include "plasma/qed_pressure.hpp"

namespace {

constexpr double kRhoGamma = 0.6579736267392905;   // pi^2/15
constexpr double kRhoNu = 0.5757269233968791;      // (7/8) pi^2/15
constexpr double kEightPi2 = 78.95683520871486;    // 8 pi^2
constexpr double kSRel = 2.4125699647107317;       // (11/2)(2 pi^2/45)
constexpr double kRhoPerDof = 0.32898681336964525; // pi^2/30

struct Elec {
    double rho = 0, p = 0, drho = 0, dp = 0;
};

struct Qed {
    double P = 0, dP = 0, d2P = 0;
};

double electron_cutoff() { return g_const[NVX_C_m_e] / 30.0; }

double spline_at(const nvx_cubic_spline& s, size_t i, double t) {
    return s.a[i] + t * (s.b[i] + t * (s.c[i] + t * s.d[i]));
}

// The four electron splines share their knots: one segment search serves all of them.
Elec electron_values(const nvx_plasma* p, double T) {
    Elec e;
    if (T < electron_cutoff() || p->rho_e.n < 2) return e;
    const size_t i = nvx_find_segment(p->rho_e.x, p->rho_e.n, T);
    const double t = T - p->rho_e.x[i];
    e.rho = spline_at(p->rho_e, i, t);
    e.p = spline_at(p->p_e, i, t);
    e.drho = spline_at(p->drho_e_dT, i, t);
    e.dp = spline_at(p->dp_e_dT, i, t);
    return e;
}

Qed qed_values(const nvx_plasma* p, double T) {
    Qed q;
    if (!p->qed_enabled) return q;
    const nvx_cubic_spline& s = p->P_int.spline;
    if (p->P_int.use_spline && p->dP_intdT.use_spline && p->d2P_intdT2.use_spline &&
        s.n == p->dP_intdT.spline.n && s.n == p->d2P_intdT2.spline.n && s.n >= 2) {
        // computed tables: three splines on one grid
        const size_t i = nvx_find_segment(s.x, s.n, T);
        const double t = T - s.x[i];
        q.P = spline_at(s, i, t);
        q.dP = spline_at(p->dP_intdT.spline, i, t);
        q.d2P = spline_at(p->d2P_intdT2.spline, i, t);
        return q;
    }
    q.P = nvx_interp1d_eval(&p->P_int, T);
    q.dP = nvx_interp1d_eval(&p->dP_intdT, T);
    q.d2P = nvx_interp1d_eval(&p->d2P_intdT2, T);
    return q;
}

// Photons, pairs and the QED correction (energy density T P' - P plus pressure P), over T.
double spl_standard(const nvx_plasma* p, double T) {
    const double rho_g = nvx_rho_g(T);
    const Elec e = electron_values(p, T);
    const Qed q = qed_values(p, T);
    return (rho_g + rho_g / 3.0 + e.rho + e.p + T * q.dP) / T;
}

void free_qed(nvx_plasma* p) {
    nvx_interp1d_free(&p->P_int);
    nvx_interp1d_free(&p->dP_intdT);
    nvx_interp1d_free(&p->d2P_intdT2);
}

}  // namespace

extern "C" {

double nvx_rho_g(double T) { return kRhoGamma * T * T * T * T; }
double nvx_drho_g_dT(double T) { return 4.0 * kRhoGamma * T * T * T * T / T; }
double nvx_rho_nu(double T) { return kRhoNu * T * T * T * T; }
double nvx_drho_nu_dT(double T) { return 4.0 * kRhoNu * T * T * T * T / T; }

double nvx_rho_nu_chempot_excess(double T, double xi) {
    const double x2 = xi * xi;
    return T * T * T * T * (x2 * x2 / kEightPi2 + x2 / 4.0);
}

int nvx_plasma_init(nvx_plasma* p, const NVXConfig* config, char** err) {
    std::memset(p, 0, sizeof *p);
    p->config = config;
    nvx_constants_init();
    if (config->QED_corrections) {
        p->qed_enabled = 1;
        if (nvx::qed_acquire_interpolants(p, config, err) != 0) {
            std::memset(p, 0, sizeof *p);
            return 1;
        }
    }
    if (nvx::electron_tables_acquire(p, config, err) != 0) {
        free_qed(p);
        std::memset(p, 0, sizeof *p);
        return 1;
    }
    nvx_log(config, "init", "QED pressure corrections tables loaded.");
    return 0;
}

void nvx_plasma_free(nvx_plasma* p) {
    if (!p) return;
    free_qed(p);  // zeroed records when QED is off: freeing them is a no-op
    nvx_cubic_spline_free(&p->rho_e);
    nvx_cubic_spline_free(&p->p_e);
    nvx_cubic_spline_free(&p->drho_e_dT);
    nvx_cubic_spline_free(&p->dp_e_dT);
    std::memset(p, 0, sizeof *p);
}

double nvx_plasma_rho_e(const nvx_plasma* p, double T) {
    return T < electron_cutoff() ? 0.0 : nvx_cubic_spline_eval(&p->rho_e, T);
}
double nvx_plasma_p_e(const nvx_plasma* p, double T) {
    return T < electron_cutoff() ? 0.0 : nvx_cubic_spline_eval(&p->p_e, T);
}
double nvx_plasma_drho_e_dT(const nvx_plasma* p, double T) {
    return T < electron_cutoff() ? 0.0 : nvx_cubic_spline_eval(&p->drho_e_dT, T);
}
double nvx_plasma_dp_e_dT(const nvx_plasma* p, double T) {
    return T < electron_cutoff() ? 0.0 : nvx_cubic_spline_eval(&p->dp_e_dT, T);
}

double nvx_plasma_qed_P(const nvx_plasma* p, double T) { return qed_values(p, T).P; }
double nvx_plasma_qed_dP_dT(const nvx_plasma* p, double T) { return qed_values(p, T).dP; }
double nvx_plasma_qed_d2P_dT2(const nvx_plasma* p, double T) { return qed_values(p, T).d2P; }
double nvx_plasma_qed_rho(const nvx_plasma* p, double T) {
    const Qed q = qed_values(p, T);
    return T * q.dP - q.P;
}

double nvx_plasma_spl(const nvx_plasma* p, double T) {
    double s = spl_standard(p, T);
    if (nvx_plasma_relic_in_plasma(p)) {
        double r[3];
        nvx_plasma_relic_thermo(p, T, r);
        s += (r[0] + r[1]) / T;
    }
    return s;
}

void nvx_plasma_spl_and_dspl_dT(const nvx_plasma* p, double* s_out, double* ds_out, double T) {
    const double rho_g = nvx_rho_g(T);
    const double drho_g = 4.0 * rho_g / T;
    const Elec e = electron_values(p, T);
    const Qed q = qed_values(p, T);
    double s = (rho_g + rho_g / 3.0 + e.rho + e.p + T * q.dP) / T;
    double ds = (q.dP + T * q.d2P + drho_g + drho_g / 3.0 + e.drho + e.dp) / T - s / T;
    if (nvx_plasma_relic_in_plasma(p)) {
        // a relic in equilibrium with the plasma: s_X = (rho + p)/T, ds_X/dT = (drho/dT)/T
        double r[3];
        nvx_plasma_relic_thermo(p, T, r);
        s += (r[0] + r[1]) / T;
        ds += r[2] / T;
    }
    if (s_out) *s_out = s;
    if (ds_out) *ds_out = ds;
}

double nvx_plasma_dspl_dT(const nvx_plasma* p, double T) {
    double s, ds;
    nvx_plasma_spl_and_dspl_dT(p, &s, &ds, T);
    return ds;
}

double nvx_plasma_T_nu_decoupling(const nvx_plasma* p, double T) {
    return T * std::cbrt(spl_standard(p, T) / (kSRel * T * T * T));
}

double nvx_plasma_rho_nu_extra(const nvx_plasma* p, double T) {
    const double dN = p->config ? p->config->DeltaNeff : 0.0;
    if (dN == 0.0) return 0.0;
    const double T_dec = nvx_plasma_T_nu_decoupling(p, T);
    return dN * 2.0 * 0.875 * kRhoPerDof * T_dec * T_dec * T_dec * T_dec;
}

double nvx_plasma_rho_SM(const nvx_plasma* p, double T, double T_nue, double T_numu) {
    const Elec e = electron_values(p, T);
    const Qed q = qed_values(p, T);
    return nvx_rho_g(T) + e.rho + (T * q.dP - q.P) + nvx_rho_nu(T_nue) + 2.0 * nvx_rho_nu(T_numu) +
           nvx_plasma_rho_nu_extra(p, T);
}

double nvx_plasma_p_SM(const nvx_plasma* p, double T, double T_nue, double T_numu) {
    const Elec e = electron_values(p, T);
    const Qed q = qed_values(p, T);
    return nvx_rho_g(T) / 3.0 + e.p + q.P + (nvx_rho_nu(T_nue) + 2.0 * nvx_rho_nu(T_numu)) / 3.0 +
           nvx_plasma_rho_nu_extra(p, T) / 3.0;
}

}  // extern "C"
