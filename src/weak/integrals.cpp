// Weak n<->p rate integrals at one temperature: Fermi function, resummed radiative factor,
// finite-nucleon-mass and distortion terms, the eight integral kinds and the decay normalisation f_n.
#include <array>
#include <cmath>
#include <mutex>
#include <complex>
#include <cstdlib>
#include <cstring>

#include "config/err.hpp"
#include "nuvex/constants.h"
#include "weak/weak_internal.hpp"

namespace nvx::weak {
namespace {

constexpr double kPi = 3.141592653589793;

inline double C(int slot) { return g_const[slot]; }

// ln Gamma(w) for complex w: Lanczos, g = 7, nine coefficients; reflection below Re w = 0.5.
std::complex<double> lngamma(std::complex<double> w) {
    static constexpr double coef[9] = {0.99999999999980993,  676.5203681218851,
                                       -1259.1392167224028,  771.32342877765313,
                                       -176.61502916214059,  12.507343278686905,
                                       -0.13857109526572012, 9.9843695780195716e-6,
                                       1.5056327351493116e-7};
    if (w.real() < 0.5)
        return 1.1447298858494002 - std::log(std::sin(kPi * w)) - lngamma(1.0 - w);
    w -= 1.0;
    std::complex<double> x = coef[0];
    for (int i = 1; i < 9; ++i) x += coef[i] / (w + double(i));
    const std::complex<double> t = w + 7.5;
    return 0.9189385332046727 + (w + 0.5) * std::log(t) - t + std::log(x);
}

// 1/k^2 for the dilogarithm series, k = 1..200.
struct InvSquares {
    std::array<double, 201> v{};
    InvSquares() {
        for (int k = 1; k <= 200; ++k) v[k] = 1.0 / (double(k) * double(k));
    }
};
const InvSquares kInvSq;

double li2_series(double u) {
    double sum = 0.0, uk = 1.0;
    for (int k = 1; k <= 200; ++k) {
        uk *= u;
        sum += uk * kInvSq.v[k];
    }
    return sum;
}

double li2(double u) {
    if (u <= 0.5) return li2_series(u);
    return 1.6449340668482264 - std::log(u) * std::log(1.0 - u) - li2_series(1.0 - u);
}

// Constants of the finite-nucleon-mass terms for one direction.
struct FMConst {
    double c0, c_plus, c_minus, O, P, M_f, rho;
};

FMConst fm_const(const nvx_weak_ctx* ctx, double s) {
    const double gA = ctx->g_A, dk = ctx->delta_kappa;
    const double norm = 1.0 + 3.0 * gA * gA;
    FMConst k{};
    k.c0 = (gA * gA - 1.0) / norm;
    k.c_plus = ((1.0 + s * gA) * (1.0 + s * gA) + 2.0 * s * dk * gA) / norm;
    k.c_minus = ((1.0 - s * gA) * (1.0 - s * gA) - 2.0 * s * dk * gA) / norm;
    k.O = k.c_plus + k.c_minus;
    k.P = k.c0 + k.O;
    k.M_f = (ctx->m_n_erg + ctx->m_p_erg - s * ctx->Delta_erg) / (2.0 * ctx->m_e_erg);
    k.rho = std::pow(ctx->m_n_erg / ctx->m_p_erg, s);
    return k;
}

// The eight Fermi-Dirac occupation functions of the finite-mass terms at t: with f(t) = 1/(e + 1),
// e = exp(z_nu t - sigma), they are t^2 f, t^3 f, (t^2 f)', (t^3 f)', (t^4 f)', (t^2 f)'', (t^3 f)'',
// (t^4 f)'', written with u = z_nu t. sigma = s xi is the chemical potential of the neutrinos the
// Born term uses: the finite-mass terms act on the same occupation.
void fd_moments(double t, double z_nu, double sigma, double m[8]) {
    const double u = z_nu * t, arg = u - sigma;
    if (arg >= kExpCap) {
        for (int k = 0; k < 8; ++k) m[k] = 0.0;
        return;
    }
    const double e = std::exp(arg), e1 = e + 1.0, e2 = e1 * e1;
    m[0] = t * t / e1;
    m[1] = t * t * t / e1;
    m[2] = t * ((2.0 - u) * e + 2.0) / e2;
    m[3] = t * t * ((3.0 - u) * e + 3.0) / e2;
    m[4] = t * t * t * ((4.0 - u) * e + 4.0) / e2;
    if (2.0 * arg >= kExpCap) {
        m[5] = m[6] = m[7] = 0.0;
        return;
    }
    const double e3 = e2 * e1, ee = e * e, U = u * u;
    m[5] = (ee * (U - 4.0 * u + 2.0) + e * (4.0 - U - 4.0 * u) + 2.0) / e3;
    m[6] = t * (ee * (U - 6.0 * u + 6.0) + e * (12.0 - U - 6.0 * u) + 6.0) / e3;
    m[7] = t * t * ((u - 2.0) * (u - 6.0) * ee + (24.0 - (8.0 + u) * u) * e + 12.0) / e3;
}

// Finite-mass combination of the occupation functions m[] at signed electron energy eps.
double chi_combine(const FMConst& k, double z, double eps, double p, const double m[8]) {
    const double p2 = p * p, zM = z * k.M_f;
    return -1.5 * k.P / z * (1.0 - k.rho) * m[2] + k.c0 * p2 * m[6] / (3.0 * zM * eps) -
           3.0 * k.c0 * m[0] / zM - k.c_minus * m[1] / k.M_f + k.c_plus * m[0] * p2 / (k.M_f * eps) +
           k.P * (m[7] + m[5] * p2) / (2.0 * zM) + k.P * (m[4] + m[2] * p2) / (2.0 * k.M_f) -
           k.O * (m[3] - m[2] * p2 / eps) / zM + k.c0 * p2 * m[3] / (3.0 * k.M_f * eps);
}

double chi_FM(const Point& pt, const FMConst& k, double eps, double p) {
    const double g = g_minus(pt.z, eps);
    if (g == 0.0) return 0.0;
    double m[8];
    fd_moments(eps - pt.s * pt.q, pt.z_nu, pt.s * pt.xi, m);
    return g * chi_combine(k, pt.z, eps, p, m);
}

// The finite-mass terms are linear in the neutrino occupation: applied to the distortion alone
// (its moments, from the closed forms of the analytic shapes or from the smoothed tabulated spectrum)
// they give the cross term of the finite-mass and distortion corrections.
double chi_SDFM(const Point& pt, const FMConst& k, double eps, double p) {
    const double g = g_minus(pt.z, eps);
    if (g == 0.0 || !pt.ctx->history) return 0.0;
    const double t = eps - pt.s * pt.q;
    double m[8];
    if (pt.ctx->history->analytic) {
        for (int j = 0; j < 8; ++j) m[j] = nvx_nu_dFDneu_moment(pt.ctx->history, j, t, pt.z, pt.z_nu, pt.s);
    } else if (pt.slice) {
        nvx_nu_dFDneu_moments_tabulated(pt.slice, t, pt.z_nu, m);
    } else {
        return 0.0;
    }
    return g * chi_combine(k, pt.z, eps, p, m);
}

double dist(const Point& pt, double y) {
    return pt.ctx->history ? nvx_nu_dFDneu(pt.ctx->history, y, pt.z, pt.z_nu, pt.s) : 0.0;
}

// Integrand of one kind at electron momentum p (the p^2 factor included).
double kind_integrand(const Point& pt, const FMConst& k, int kind, double p) {
    const double E = std::sqrt(p * p + 1.0), beta = p / E, s = pt.s, q = pt.q;
    const double em = E - s * q, ep = E + s * q;  // neutrino energies of the two branches
    const bool ccr = kind == NVX_WEAK_CCR || kind == NVX_WEAK_FM_CCR || kind == NVX_WEAK_SD_CCR ||
                     kind == NVX_WEAK_SDFM_CCR;
    double w_minus = 1.0, w_plus = 1.0;  // correction factors of the electron / positron branch
    if (ccr) {
        const double F = fermi(beta);
        w_minus = (s > 0 ? F : 1.0) * nvx_rad_corr_resum(beta, std::fabs(s * q - E), E);
        w_plus = (s < 0 ? F : 1.0) * nvx_rad_corr_resum(beta, std::fabs(s * q + E), E);
    }
    double a = 0.0, b = 0.0;
    switch (kind) {
        case NVX_WEAK_BORN:
        case NVX_WEAK_CCR:
            a = f_nu(pt, em) * g_minus(pt.z, E) * em * em;
            b = f_nu(pt, -ep) * g_plus(pt.z, E) * ep * ep;
            break;
        case NVX_WEAK_FM_CCR:
        case NVX_WEAK_FM:
            a = chi_FM(pt, k, E, p);
            b = chi_FM(pt, k, -E, p);
            break;
        case NVX_WEAK_SD:
        case NVX_WEAK_SD_CCR:
            a = dist(pt, em) * g_minus(pt.z, E) * em * em;
            b = dist(pt, -ep) * g_plus(pt.z, E) * ep * ep;
            break;
        default:
            a = chi_SDFM(pt, k, E, p);
            b = chi_SDFM(pt, k, -E, p);
            break;
    }
    return p * p * (w_minus * a + w_plus * b);
}

// Finite-mass kernel of free neutron decay at electron momentum p.
double decay_fm_kernel(const FMConst& k, double p, double q) {
    const double E = std::sqrt(p * p + 1.0), t = E - q, p2 = p * p;
    return p2 * ((k.c0 / k.M_f) * t * t * p2 / E +
                 (4.0 * t * t * t + 2.0 * t * p2) * (k.c_plus + k.c_minus + k.c0) / (2.0 * k.M_f) +
                 (p2 / (E * k.M_f)) * k.c_plus * t * t - (k.c_minus / k.M_f) * t * t * t);
}

struct FnArgs {
    double q;
    FMConst k;
    bool rad;
};

double fn_born(double x, void* user) {
    const double q = static_cast<FnArgs*>(user)->q;
    if (std::fabs(x) < 1.0) return 0.0;
    return x * std::sqrt(x * x - 1.0) * (x - q) * (x - q);
}

double fn_ccr(double x, void* user) {
    const double q = static_cast<FnArgs*>(user)->q;
    const double beta = std::max(std::sqrt(std::max(x * x - 1.0, 0.0)) / x, 1e-12);
    return x * x * beta * (x - q) * (x - q) * fermi(beta) * nvx_rad_corr_resum(beta, q - x, x);
}

double fn_fm(double p, void* user) {
    const auto* a = static_cast<FnArgs*>(user);
    double v = decay_fm_kernel(a->k, p, a->q);
    if (a->rad) {
        const double E = std::sqrt(p * p + 1.0), beta = std::max(p / E, 1e-12);
        v *= fermi(beta) * nvx_rad_corr_resum(beta, std::fabs(E - a->q), E);
    }
    return v;
}

// Context-free constants of the decay kinematics (the defaults of the constants table).
nvx_weak_ctx decay_ctx() {
    nvx_weak_ctx c{};
    const double MeV = C(NVX_C_MeV);
    c.m_e_erg = C(NVX_C_m_e) * MeV;
    c.m_n_erg = C(NVX_C_m_n) * MeV;
    c.m_p_erg = C(NVX_C_m_p) * MeV;
    c.Delta_erg = c.m_n_erg - c.m_p_erg;
    c.g_A = C(NVX_C_g_A);
    c.delta_kappa = nvx_deltakappa();
    return c;
}

}  // namespace

double q_ratio() { return (C(NVX_C_m_n) - C(NVX_C_m_p)) / C(NVX_C_m_e); }

double g_minus(double z, double E) {
    const double x = -z * E;
    return x >= kExpCap ? 0.0 : 1.0 / (std::exp(x) + 1.0);
}

double g_plus(double z, double E) {
    const double x = z * E;
    return x >= kExpCap ? 0.0 : 1.0 / (std::exp(x) + 1.0);
}

double f_nu(const Point& pt, double y) {
    const double x = pt.z_nu * y - pt.s * pt.xi;
    return x >= kExpCap ? 0.0 : 1.0 / (std::exp(x) + 1.0);
}

double fermi(double beta) {
    const double alpha = C(NVX_C_alpha_fs);
    const double b = std::max(beta, 1e-12);
    const double gamma = std::sqrt(1.0 - alpha * alpha);
    const double eta = alpha / b;
    const double lambda_e = C(NVX_C_hbar) * C(NVX_C_c_light) / (C(NVX_C_m_e) * C(NVX_C_MeV));
    const double g2 = std::tgamma(2.0 * gamma + 1.0);
    const double lg = lngamma({gamma, eta}).real();
    return 2.0 * (1.0 + gamma) * std::pow(2.0 * b * C(NVX_C_R_p) / lambda_e, 2.0 * gamma - 2.0) /
           std::pow(1.0 - b * b, gamma - 1.0) * std::exp(2.0 * lg + kPi * eta) / (g2 * g2);
}

GaussRule gauss160() {
    // Function-local static: built by the first caller, every concurrent caller waits for it.
    struct Rule {
        std::array<double, 160> x{}, w{};
        Rule() { nvx_gauss_legendre(160, x.data(), w.data()); }
    };
    static const Rule rule;
    return {std::span<const double>(rule.x), std::span<const double>(rule.w)};
}

Point make_point(const nvx_weak_ctx* ctx, double T_K, int s) {
    const double kT = C(NVX_C_k_B) * T_K;
    Point pt{};
    pt.ctx = ctx;
    pt.z = ctx->m_e_erg / kT;
    pt.z_nu = ctx->m_e_erg / (C(NVX_C_k_B) * nvx_weak_ctx_Tnu(ctx, T_K));
    pt.s = s > 0 ? 1.0 : -1.0;
    pt.q = ctx->Delta_erg / ctx->m_e_erg;
    pt.xi = ctx->xi;
    return pt;
}

}  // namespace nvx::weak

using namespace nvx::weak;

extern "C" {

double nvx_fermi_coulomb(double beta) {
    nvx_constants_init();
    return fermi(beta);
}

double nvx_rad_corr_resum(double beta, double y, double E) {
    nvx_constants_init();
    const double alpha = C(NVX_C_alpha_fs);
    const double m_e = C(NVX_C_m_e), m_p = C(NVX_C_m_p), Delta = C(NVX_C_m_n) - C(NVX_C_m_p);
    const double L = beta == 0.0 ? 1.0 : std::atanh(beta) / beta;
    y = std::max(y, 1e-12);
    // Li2(2 beta/(1 + beta)) / beta tends to 2 as beta -> 0.
    const double li2_over_beta = beta == 0.0 ? 2.0 : li2(2.0 * beta / (1.0 + beta)) / beta;
    const double Cg = 3.0 * std::log(m_p / m_e) - 0.75 +
                      4.0 * (L - 1.0) * (std::log(2.0 * y) + y / (3.0 * E) - 1.5) +
                      L * (2.0 * (1.0 + beta * beta) + y * y / (6.0 * E * E) - 4.0 * beta * L) -
                      4.0 * li2_over_beta - 3.0 * std::log(m_p / (2.0 * Delta));
    return (1.0 + alpha / (2.0 * kPi) * Cg) * (1.02094 + 0.891 * alpha / kPi - 4.3e-4) *
           (1.02248 - 1e-4 + 0.0011877234559096667 * (std::log(m_p / 1200.0) - 0.34));
}

double nvx_compute_fn(const NVXConfig* config) {
    // A constant of the two switches below, which are all it reads: computed once per process for
    // each of their combinations (the quadratures take milliseconds, every run needs the value).
    // A new input of f_n must join this key.
    const bool rad = config && config->radiative_corrections, fm = config && config->finite_mass_corrections;
    static std::once_flag once[4];
    static double value[4];
    const int k = (rad ? 2 : 0) + (fm ? 1 : 0);
    std::call_once(once[k], [&] {
        nvx_constants_init();
        const nvx_weak_ctx dc = decay_ctx();
        FnArgs a{q_ratio(), fm_const(&dc, 1.0), rad};
        double fn = nvx_quad_adaptive(a.rad ? fn_ccr : fn_born, &a, 40, nullptr, 1.0, a.q, 1e-12);
        if (fm) {
            const double Q = std::sqrt(a.q * a.q - 1.0);
            fn += nvx_quad_adaptive(fn_fm, &a, 40, nullptr, 0.0, Q, 1e-12);
        }
        value[k] = fn;
    });
    return value[k];
}

int nvx_weak_ctx_init(nvx_weak_ctx* ctx, const double* Tnu_T, const double* Tnu, size_t n_nu,
                      const NVXConfig* config, const nvx_neutrino_history* nu_history, char** err) {
    if (!ctx) return nvx::fail(err, "nvx_weak_ctx_init: null record");
    std::memset(ctx, 0, sizeof *ctx);
    if (!config || !Tnu_T || !Tnu || n_nu == 0)
        return nvx::fail(err, "nvx_weak_ctx_init: missing configuration or neutrino temperatures");
    nvx_constants_init();
    const double K_per_MeV = nvx_MeV_to_Kelvin();
    auto* TK = static_cast<double*>(std::malloc(n_nu * sizeof(double)));
    auto* r = static_cast<double*>(std::malloc(n_nu * sizeof(double)));
    if (!TK || !r) {
        std::free(TK);
        std::free(r);
        return nvx::fail(err, "nvx_weak_ctx_init: out of memory");
    }
    const bool reverse = n_nu > 1 && Tnu_T[0] > Tnu_T[n_nu - 1];
    for (size_t i = 0; i < n_nu; ++i) {
        const size_t j = reverse ? n_nu - 1 - i : i;
        if (!(Tnu_T[j] > 0.0) || !(Tnu[j] > 0.0) || !std::isfinite(Tnu_T[j]) ||
            !std::isfinite(Tnu[j])) {
            std::free(TK);
            std::free(r);
            return nvx::fail(err, "nvx_weak_ctx_init: neutrino temperature table entry %zu is not "
                                  "a positive number", j);
        }
        TK[i] = Tnu_T[j] * K_per_MeV;
        r[i] = Tnu[j] / Tnu_T[j];
    }
    const nvx_weak_ctx dc = decay_ctx();
    *ctx = dc;
    ctx->config = config;
    ctx->history = nu_history;
    ctx->xi = nvx_config_xi_nu_e(config);
    ctx->ratio_T_K = TK;
    ctx->ratio = r;
    ctx->n_ratio = n_nu;
    return 0;
}

void nvx_weak_ctx_free(nvx_weak_ctx* ctx) {
    if (!ctx) return;
    std::free(ctx->ratio_T_K);
    std::free(ctx->ratio);
    std::memset(ctx, 0, sizeof *ctx);
}

double nvx_weak_ctx_Tnu(const nvx_weak_ctx* ctx, double T_K) {
    return T_K * nvx_interp_linear(ctx->ratio_T_K, ctx->ratio, ctx->n_ratio, 1, T_K);
}

double nvx_weak_rate_integral(const nvx_weak_ctx* ctx, int kind, double T_K, int s) {
    if (!ctx || kind < 0 || kind >= NVX_WEAK_N_KINDS) return 0.0;
    Point pt = make_point(ctx, T_K, s);
    nvx_nu_spectrum_slice slice;
    if ((kind == NVX_WEAK_SDFM || kind == NVX_WEAK_SDFM_CCR) && ctx->history && !ctx->history->analytic) {
        nvx_nu_spectrum_slice_at(ctx->history, pt.z, &slice);
        if (slice.valid) pt.slice = &slice;
    }
    const FMConst k = fm_const(ctx, pt.s);
    const GaussRule rule = gauss160();
    const double Q = std::sqrt(pt.q * pt.q - 1.0);
    const double ranges[2][2] = {{0.0, Q}, {Q, std::max(30.0 / pt.z, 7.0)}};
    double sum = 0.0;
    for (const auto& rg : ranges) {
        const double h = 0.5 * (rg[1] - rg[0]);
        for (size_t i = 0; i < rule.nodes.size(); ++i)
            sum += rule.weights[i] * h * kind_integrand(pt, k, kind, (rule.nodes[i] + 1.0) * h + rg[0]);
    }
    return sum;
}

double nvx_weak_rate_term(const nvx_weak_ctx* ctx, double T_K, int s) {
    const NVXConfig* c = ctx->config;
    const bool rad = c->radiative_corrections, fm = c->finite_mass_corrections, sd = c->spectral_distortions;
    double v = nvx_weak_rate_integral(ctx, rad ? NVX_WEAK_CCR : NVX_WEAK_BORN, T_K, s);
    if (fm) v += nvx_weak_rate_integral(ctx, rad ? NVX_WEAK_FM_CCR : NVX_WEAK_FM, T_K, s);
    if (sd) v += nvx_weak_rate_integral(ctx, rad ? NVX_WEAK_SD_CCR : NVX_WEAK_SD, T_K, s);
    // the finite-mass terms of the distortion, for analytic shapes and tabulated spectra alike
    if (sd && fm) v += nvx_weak_rate_integral(ctx, rad ? NVX_WEAK_SDFM_CCR : NVX_WEAK_SDFM, T_K, s);
    return v;
}

}  // extern "C"
