// Energy-transfer decoupling with an MeV-scale thermal relic (M. Escudero, JCAP 02 (2019) 007;
// M. Escudero Abenza, JCAP 05 (2020) 048) and the relic history built on the standard tables.
#include "neutrino/relic_decoupling.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <mutex>

#include "config/err.hpp"
#include "neutrino/history_rows.hpp"
#include "nuvex/constants.h"
#include "nuvex/ode.h"

namespace nvx::relic {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRhoNu = 0.5757269233968791;  // (7/8) pi^2/15: one flavour with its antiparticles
// Fermi-Dirac corrections of the Maxwell-Boltzmann annihilation and scattering energy-transfer
// rates (Escudero 2020, Eq. 2.14).
constexpr double kFann = 0.884;
constexpr double kFscat = 0.829;
// Weak mixing angle of the neutrino-electron couplings: the MS-bar value at M_Z (PDG), whose
// tree-level couplings reproduce the low-energy nu-e couplings; the decoupling tables use it too.
constexpr double kSin2W = 0.23121;

// Sum of T1^k T2^(8-k), k = 0..8: T1^9 - T2^9 = (T1 - T2) sum9(T1, T2). Horner in T1,
// s_0 = 1, s_(j+1) = s_j T1 + T2^(j+1), with products instead of pow (every right-hand side
// evaluates it three times).
double sum9(double T1, double T2) {
    double sum = 1.0, p2 = 1.0;
    for (int k = 0; k < 8; ++k) {
        p2 *= T2;
        sum = sum * T1 + p2;
    }
    return sum;
}

double pow4(double x) {
    const double x2 = x * x;
    return x2 * x2;
}

// Electron-mass suppression of the Maxwell-Boltzmann rates relative to massless electrons, in
// x = m_e/T. Annihilation e+e- -> nu nubar: the energy-weighted thermal average of the V-A
// cross-section G_F^2 s [(gL^2 + gR^2)(1 + beta^2/3) + 8 gL gR m_e^2/s]/(8 pi beta) (P. Gondolo,
// G. Gelmini, Nucl. Phys. B 360 (1991) 145, the energy weight turning K1 into K2), over its
// massless value (4/3)(gL^2 + gR^2) 3072. Scattering: the electron density x^2 K2(x)/2 over its
// massless value. Built once per process, read-only afterwards.
class MassSuppression {
public:
    static const MassSuppression& get() {
        static const MassSuppression table;  // thread-safe one-time construction
        return table;
    }
    double ann(double x, double gL) const {
        const double gR = kSin2W, c2 = gL * gL + gR * gR;
        return (c2 * interp(j1_, x) + gL * gR * interp(j2_, x)) / (4.0 / 3.0 * c2 * 3072.0);
    }
    double scattering(double x) const { return interp(scat_, x); }

private:
    static constexpr int kN = 600;
    static constexpr double kLnMin = -7.0, kLnMax = 5.3;  // x from 9e-4 to 200
    static constexpr double kStep = (kLnMax - kLnMin) / (kN - 1);

    MassSuppression() {
        for (int i = 0; i < kN; ++i) {
            const double x = std::exp(kLnMin + i * kStep);
            integrals(x, j1_[i], j2_[i]);
            scat_[i] = 0.5 * x * x * std::cyl_bessel_k(2.0, x);
        }
    }
    // J1 = int_{2x} w^7 beta (1 + beta^2/3) K2(w) dw, J2 = int_{2x} 8 x^2 w^5 beta K2(w) dw, by
    // Simpson's rule in v with w = 2x + 90 v^2 (which absorbs the square-root threshold).
    static void integrals(double x, double& J1, double& J2) {
        const int n = 400;
        const double w0 = 2.0 * x, span = 90.0;
        J1 = J2 = 0.0;
        for (int i = 1; i <= n; ++i) {
            const double v = double(i) / n, w = w0 + span * v * v;
            const double beta = std::sqrt(std::max(0.0, 1.0 - 4.0 * x * x / (w * w)));
            const double common = std::pow(w, 5) * beta * std::cyl_bessel_k(2.0, w) * 2.0 * span * v;
            const double simpson = (i == n ? 1.0 : (i % 2 ? 4.0 : 2.0)) / (3.0 * n);
            J1 += simpson * common * w * w * (1.0 + beta * beta / 3.0);
            J2 += simpson * common * 8.0 * x * x;
        }
    }
    // 4-point Lagrange interpolation in ln x, held at the ends.
    static double interp(const std::array<double, kN>& t, double x) {
        const double u = (std::log(x) - kLnMin) / kStep;
        if (u <= 0) return t[0];
        if (u >= kN - 1) return t[kN - 1];
        const int i = std::clamp(int(u) - 1, 0, kN - 4);
        const double r = u - i;
        const double w0 = -(r - 1) * (r - 2) * (r - 3) / 6, w1 = r * (r - 2) * (r - 3) / 2;
        const double w2 = -r * (r - 1) * (r - 3) / 2, w3 = r * (r - 1) * (r - 2) / 6;
        return w0 * t[i] + w1 * t[i + 1] + w2 * t[i + 2] + w3 * t[i + 3];
    }
    std::array<double, kN> j1_{}, j2_{}, scat_{};
};

// Plasma-neutrino exchange of one flavour, F(T1, T2) = 32 f_a (T1^9 A(x1) - T2^9 A(x2)) +
// 56 f_s T1^4 T2^4 (T1 - T2) S(x1), with d = T1 - T2 given exactly (the coupled regime is a small
// difference of large terms).
double exchange_plasma(double T1, double T2, double d, double A1, double A2, double S1) {
    const double T1s = T1 * T1, T2s = T2 * T2;
    const double ann = d * sum9(T1, T2) * A1 + pow4(T2) * pow4(T2) * T2 * (A1 - A2);
    return 32.0 * kFann * ann + 56.0 * kFscat * T1s * T1s * T2s * T2s * d * S1;
}

// Neutrino-neutrino exchange between flavours (massless): the same form without suppressions.
double exchange_nu(double T1, double T2, double d) {
    const double T1s = T1 * T1, T2s = T2 * T2;
    return d * (32.0 * kFann * sum9(T1, T2) + 56.0 * kFscat * T1s * T1s * T2s * T2s);
}

struct Rates {
    double nue = 0, numu = 0;  // MeV^5: energy per volume and time into one flavour
};

// Energy-transfer rates (Escudero 2020, Eqs. 2.12-2.13) from ln z of photons and two flavours at
// scale x (T = m_e z / x).
Rates transfer_rates(double x, double lz_g, double lz_e, double lz_m) {
    const double m_e = g_const[NVX_C_m_e], G_F = g_const[NVX_C_G_F];
    const double scale = m_e / x;
    const double zg = std::exp(lz_g), ze = std::exp(lz_e), zm = std::exp(lz_m);
    const double Tg = scale * zg, Te = scale * ze, Tm = scale * zm;
    const double d_ge = scale * ze * std::expm1(lz_g - lz_e);
    const double d_gm = scale * zm * std::expm1(lz_g - lz_m);
    const double d_me = scale * ze * std::expm1(lz_m - lz_e);
    const double geL = 0.5 + kSin2W, gmL = -0.5 + kSin2W, gR = kSin2W;
    const MassSuppression& ms = MassSuppression::get();
    const double xg = m_e / Tg, xe = m_e / Te, xm = m_e / Tm;
    const double S = ms.scattering(xg);
    const double F_ge = exchange_plasma(Tg, Te, d_ge, ms.ann(xg, geL), ms.ann(xe, geL), S);
    const double F_gm = exchange_plasma(Tg, Tm, d_gm, ms.ann(xg, gmL), ms.ann(xm, gmL), S);
    const double F_me = exchange_nu(Tm, Te, d_me);
    const double pref = G_F * G_F / std::pow(kPi, 5);
    Rates r;
    r.nue = pref * (4.0 * (geL * geL + gR * gR) * F_ge + 2.0 * F_me);
    r.numu = pref * (4.0 * (gmL * gmL + gR * gR) * F_gm - F_me);
    return r;
}

struct Model {
    const NVXConfig* config;
    const nvx_plasma* plasma;
    bool relic = false;          // a relic takes part
    bool common_nu = false;      // one neutrino temperature (neutrinophilic layout)
    bool relic_in_nu = false;    // the relic belongs to the neutrino sector
    double m = 0, g = 0;
    int fermion = 0;

    size_t dim() const { return common_nu ? 2 : 3; }

    // Photon-plasma entropy and d rho/dT at T (the plasma record adds a relic coupled to electrons
    // only when the run has one; the standard reference must leave it out).
    void em(double T, double& rho, double& s, double& drho) const {
        double sp = 0.0, dsp = 0.0;
        nvx_plasma_spl_and_dspl_dT(plasma, &sp, &dsp, T);
        rho = nvx_rho_g(T) + nvx_plasma_rho_e(plasma, T);
        if (plasma->qed_enabled) rho += nvx_plasma_qed_rho(plasma, T);
        double r[3] = {0, 0, 0};
        const bool in_plasma = nvx_plasma_relic_in_plasma(plasma);
        if (in_plasma) nvx_plasma_relic_thermo(plasma, T, r);
        if (in_plasma && !relic) {  // reference run: take the plasma's relic out again
            sp -= (r[0] + r[1]) / T;
            dsp -= r[2] / T;
        } else if (in_plasma) {
            rho += r[0];
        }
        s = sp;
        drho = T * dsp;
    }

    // d/d ln x of the state and the heating term at that point.
    void rhs(double lnx, const double* y, double* dy, double* heating) const {
        const double m_e = g_const[NVX_C_m_e];
        const double x = std::exp(lnx);
        const double Tg = m_e * std::exp(y[0]) / x;
        const double lz_m = common_nu ? y[1] : y[2];
        const double Te = m_e * std::exp(y[1]) / x, Tm = m_e * std::exp(lz_m) / x;
        double rho_em, s_em, drho_em;
        em(Tg, rho_em, s_em, drho_em);
        const double rho_e1 = kRhoNu * pow4(Te), rho_m1 = kRhoNu * pow4(Tm);
        double rho = rho_em + rho_e1 + 2.0 * rho_m1;
        double rX[3] = {0, 0, 0};
        if (relic && relic_in_nu) {
            nvx_relic_thermo_table(m, g, fermion, Te, rX);
            rho += rX[0];
        }
        const double H = std::sqrt(8.0 * kPi * rho * config->G / 3.0);  // MeV
        const Rates r = transfer_rates(x, y[0], y[1], lz_m);
        const double Q = r.nue + 2.0 * r.numu;
        dy[0] = 1.0 - (3.0 * s_em + Q / (H * Tg)) / drho_em;
        if (common_nu) {
            // neutrinos and (neutrinophilic) relic: d(s a^3)/dt = Q a^3 / T_nu
            const double s_nu = 4.0 * rho_e1 + rX[0] + rX[1];  // times 1/T_nu below
            const double drho_nu = 12.0 * rho_e1 / Te + rX[2];
            dy[1] = 1.0 + (Q / H - 3.0 * s_nu) / (Te * drho_nu);
        } else {
            dy[1] = r.nue / (4.0 * H * rho_e1);
            dy[2] = r.numu / (4.0 * H * rho_m1);
        }
        if (heating) *heating = Q / (H * pow4(Tg));
    }
};

// The relic's solution and its standard reference integrated as one system, so that both share
// every step: where the relic no longer matters the two agree to rounding, and the correction they
// give the standard tables vanishes with it.
struct Pair {
    Model relic, reference;
    ThermalSolution *out_relic, *out_reference;
    size_t dim() const { return relic.dim(); }
};

int pair_rhs(double lnx, const double* y, double* dy, void* user) {
    const auto* p = static_cast<const Pair*>(user);
    if (nvx_run_cancelled(p->relic.config)) return 1;
    const size_t d = p->dim();
    p->relic.rhs(lnx, y, dy, nullptr);
    p->reference.rhs(lnx, y + d, dy + d, nullptr);
    for (size_t i = 0; i < 2 * d; ++i)
        if (!std::isfinite(dy[i])) return 1;
    return 0;
}

void record_one(const Model& m, double lnx, const double* y, ThermalSolution& s) {
    const double m_e = g_const[NVX_C_m_e];
    const double x = std::exp(lnx);
    double dy[3], N = 0.0;
    m.rhs(lnx, y, dy, &N);
    s.lnx.push_back(lnx);
    s.T.push_back(m_e * std::exp(y[0]) / x);
    s.Tnue.push_back(m_e * std::exp(y[1]) / x);
    s.Tnumu.push_back(m_e * std::exp(m.common_nu ? y[1] : y[2]) / x);
    s.T_relic.push_back(!m.relic ? 0.0 : m.relic_in_nu ? s.Tnue.back() : s.T.back());
    s.N.push_back(N);
}

void record_pair(double lnx, const double* y, size_t, void* user) {
    auto* p = static_cast<Pair*>(user);
    record_one(p->relic, lnx, y, *p->out_relic);
    record_one(p->reference, lnx, y + p->dim(), *p->out_reference);
}

// Linear interpolation in ln T of a column of a solution (rows in decreasing T), held at the ends.
struct ByLnT {
    std::vector<double> lnT;  // ascending
    explicit ByLnT(const ThermalSolution& s) : lnT(s.T.size()) {
        for (size_t i = 0; i < s.T.size(); ++i) lnT[i] = std::log(s.T[s.T.size() - 1 - i]);
    }
    double at(const std::vector<double>& col, double T) const {
        const size_t n = lnT.size();
        const double l = std::log(T);
        if (l <= lnT.front()) return col[n - 1];
        if (l >= lnT.back()) return col[0];
        const size_t i = size_t(std::upper_bound(lnT.begin(), lnT.end(), l) - lnT.begin()) - 1;
        const double w = (l - lnT[i]) / (lnT[i + 1] - lnT[i]);
        // ascending index i is row n-1-i of the solution
        return (1.0 - w) * col[n - 1 - i] + w * col[n - 2 - i];
    }
};

}  // namespace

int solve_thermal(const NVXConfig* c, const nvx_plasma* plasma, ThermalSolution& relic, ThermalSolution& reference,
                  char** err) {
    Model m{c, plasma};
    m.relic = nvx_config_has_relic(c);
    m.common_nu = nvx_config_relic_neutrinophilic(c);
    m.relic_in_nu = m.common_nu;
    m.m = c->relic_mass_MeV;
    m.g = c->relic_g;
    m.fermion = nvx_config_relic_is_fermion(c);
    Model ref = m;
    ref.relic = false;
    const double m_e = g_const[NVX_C_m_e];
    // From the start temperature, where every species shares one temperature, to a scale factor at
    // which the photons are below the run's end temperature even after the strongest heating.
    const double lnx0 = std::log(m_e / c->T_start_cosmo_MeV);
    const double lnx1 = std::log(4.0 * m_e / c->T_end_MeV);
    relic = ThermalSolution{};
    reference = ThermalSolution{};
    Pair pair{m, ref, &relic, &reference};
    double y[6] = {0, 0, 0, 0, 0, 0};
    record_pair(lnx0, y, 2 * pair.dim(), &pair);
    nvx_ode_bdf_opts opts;
    nvx_ode_bdf_default_opts(&opts);
    opts.rtol = 1e-9;
    opts.atol = 1e-12;
    opts.max_step = 0.005;  // rows dense enough for linear interpolation in T
    opts.max_steps = 100000;
    char* msg = nullptr;
    if (nvx_ode_bdf(pair_rhs, nullptr, &pair, y, 2 * pair.dim(), record_pair, lnx0, lnx1, opts, &pair, &msg) != 0) {
        const std::string text = msg ? msg : "integration failed";
        std::free(msg);
        return fail(err, "nvx_neutrino_history_init: energy-transfer decoupling with relic_mass_MeV=%g: %s",
                    c->relic_mass_MeV, text.c_str());
    }
    for (const ThermalSolution* s : {&relic, &reference})
        for (size_t i = 1; i < s->T.size(); ++i)
            if (!(s->T[i] < s->T[i - 1]))
                return fail(err, "nvx_neutrino_history_init: energy-transfer decoupling with relic_mass_MeV=%g: "
                                 "photon temperature not decreasing", c->relic_mass_MeV);
    return 0;
}

// The relic enters differentially: the energy-transfer method alone misses the standard Neff of the
// momentum-resolved tables by 1.6e-4 (3.04378 against 3.04394) and has no spectral distortions, so
// it supplies only the ratio (and, for the heating term, the difference) of its solutions with and
// without the relic, which multiplies the tables. Nothing is fitted; where the relic no longer
// matters the ratio is 1 to rounding and the tables come back unchanged.
int apply_relic(nvx_neutrino_history* h, const NVXConfig* c, const nvx_plasma* plasma, char** err) {
    ThermalSolution R, S;
    if (solve_thermal(c, plasma, R, S, err)) return 1;
    const ByLnT ref(S);
    const size_t n = R.T.size();
    // rows in ascending photon temperature, as the history keeps them
    nvx::history_rows::ThermalRows rows(n);
    auto &Tg = rows.Tg, &re = rows.nue, &rm = rows.numu, &rt = rows.nutau, &N = rows.N, &lnT = rows.lnT,
         &lnx = rows.lnx;
    std::vector<double> rX(n);
    for (size_t k = 0; k < n; ++k) {
        const size_t i = n - 1 - k;
        const double T = R.T[i];
        // the momentum-resolved standard history, and the relic's change of the thermal one
        const double tab_e = nvx_interp_linear(h->Tg, h->ratio_nue, h->n, 0, T);
        const double tab_m = nvx_interp_linear(h->Tg, h->ratio_numu, h->n, 0, T);
        const double tab_t = nvx_interp_linear(h->Tg, h->ratio_nutau, h->n, 0, T);
        const double tab_N = (T >= h->Tg_min && T <= h->Tg_max) ? nvx_interp_linear(h->Tg, h->Nheating, h->n, 0, T)
                                                                : 0.0;
        const double ref_e = ref.at(S.Tnue, T) / T, ref_m = ref.at(S.Tnumu, T) / T;
        Tg[k] = T;
        re[k] = tab_e * (R.Tnue[i] / T) / ref_e;
        rm[k] = tab_m * (R.Tnumu[i] / T) / ref_m;
        rt[k] = tab_t * (R.Tnumu[i] / T) / ref_m;
        rX[k] = R.T_relic[i] / T;
        N[k] = tab_N + R.N[i] - ref.at(S.N, T);
        lnT[k] = std::log(T);
        lnx[k] = R.lnx[i];
    }
    double* arrays[] = {h->Tg, h->ratio_nue, h->ratio_numu, h->ratio_nutau, h->Nheating, h->lnTg, h->lnx};
    for (double* a : arrays) std::free(a);
    const bool rows_set = nvx::history_rows::set(h, rows);
    h->ratio_relic = nvx::history_rows::copy_out(rX);
    if (!rows_set || !h->ratio_relic) return fail(err, "nvx_neutrino_history_init: out of memory");
    h->x_at_Tg_min = std::exp(lnx.front());
    h->x_at_Tg_max = std::exp(lnx.back());
    h->has_relic = 1;
    return 0;
}

}  // namespace nvx::relic
