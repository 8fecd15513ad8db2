// Thermal radiative corrections to the n<->p rates: the photon-emission (two VEGAS variants),
// one-dimensional and pair integrals at one temperature, and the threaded table over temperatures.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "config/stderr_lines.hpp"
#include "nuvex/constants.h"
#include "weak/weak_internal.hpp"

namespace nvx::weak {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

struct ThermalArgs {
    Point pt;
    int variant;  // photon-emission integral: 0 thermal photons, 1 vacuum-subtracted
    double alpha;
};

// y^2 f_nu(y), 0 once the exponent magnitude reaches the cap.
double n_nu(const Point& pt, double y) {
    const double x = pt.z_nu * y - pt.s * pt.xi;
    if (std::fabs(x) >= kExpCap) return 0.0;
    return y * y / (std::exp(x) + 1.0);
}

// Occupation without chemical potential, 0 once the exponent reaches the cap.
double fd_plain(double x) { return x >= kExpCap ? 0.0 : 1.0 / (std::exp(x) + 1.0); }

double TH(const double* v, void* user) {
    const auto* a = static_cast<const ThermalArgs*>(user);
    const Point& pt = a->pt;
    const double x = v[0], k = v[1], sq = pt.s * pt.q;
    const double p = std::sqrt(x * x - 1.0), beta = p / x;
    const double lam = std::log((x + p) / (x - p));
    const double W1 = (2.0 * x * x + k * k) * lam - 4.0 * x * p;
    const double W2 = (2.0 * x * lam - 4.0 * p) * k;
    const double F = fermi(beta);
    const double A_plus = pt.s > 0 ? F : 1.0, A_minus = pt.s < 0 ? F : 1.0;
    const double gm = g_minus(pt.z, x), gp = g_plus(pt.z, x);
    if (a->variant == 0) {
        const double zk = pt.z * k;
        const double nB = std::fabs(zk) >= kExpCap ? 0.0 : 1.0 / (std::exp(zk) - 1.0);
        if (nB == 0.0) return 0.0;
        const double e1 = n_nu(pt, x - k - sq), e2 = n_nu(pt, x + k - sq), e0 = n_nu(pt, x - sq);
        const double p1 = n_nu(pt, k - x - sq), p2 = n_nu(pt, -x - k - sq), p0 = n_nu(pt, -x - sq);
        const double sum1 = W1 * ((e1 + e2 - 2.0 * e0) * gm * A_plus + (p1 + p2 - 2.0 * p0) * gp * A_minus);
        const double sum2 = W2 * ((e1 - e2) * gm * A_plus + (p1 - p2) * gp * A_minus);
        return a->alpha / (2.0 * kPi) * nB / k * (sum1 - sum2);
    }
    const double G = W1 + W2;
    double H1 = n_nu(pt, x + k - sq) * G;
    const double de = std::fabs(x - sq);
    if (de > std::fabs(k)) H1 -= G * (de - k) * (de - k) * fd_plain(pt.z_nu * (x - sq));
    double H2 = n_nu(pt, k - x - sq) * (W1 - W2);
    const double dp = std::fabs(x + sq);
    if (dp > std::fabs(k)) H2 -= G * (dp - k) * (dp - k) * fd_plain(pt.z_nu * (-x - sq));
    return a->alpha / (2.0 * kPi * k) * (gm * A_plus * H1 + gp * A_minus * H2);
}

double C1(double p, void* user) {
    const auto* a = static_cast<const ThermalArgs*>(user);
    const Point& pt = a->pt;
    const double E = std::sqrt(p * p + 1.0), sq = pt.s * pt.q;
    const double em = E - sq, ep = E + sq;
    return -(kPi * a->alpha / (3.0 * pt.z * pt.z)) *
           (em * em * f_nu(pt, em) * g_minus(pt.z, E) + ep * ep * f_nu(pt, -ep) * g_plus(pt.z, E));
}

double C23(const double* v, void* user) {
    const auto* a = static_cast<const ThermalArgs*>(user);
    const Point& pt = a->pt;
    const double ya = v[0], yb = v[1], z = pt.z, sq = pt.s * pt.q;
    const double N = std::max(15.0 / z, 10.0);
    if (!(ya > 2.0 + std::fabs(yb)) || !(ya < N + 2.0 + std::fabs(yb))) return 0.0;
    const double c = 0.5 * (ya + yb), ah = 0.5 * (ya - yb);
    const double m = std::sqrt(c * c - 1.0), r = std::sqrt(ah * ah - 1.0), t = m * r;
    const double u = std::log((c * ah + t + 1.0) / (c * ah - t + 1.0));
    // ln(((m + r)/(m - r))^2): m < r when yb < 0, so the square (the absolute value) matters.
    const double G = 2.0 * std::log(std::fabs((m + r) / (m - r)));
    const double H = ah * z;
    const double J = H >= kExpCap ? 0.0 : 1.0 / (std::exp(H) + 1.0);
    double I = 0.0;
    if (std::fabs(H) < kExpCap) {
        const double eH = std::exp(H);
        I = -z * eH / ((eH + 1.0) * (eH + 1.0));
    }
    const double c2 = c * c, a2 = ah * ah, m2 = m * m;
    const double K =
        ((-c2 * r * u / m + (1.0 / m2 + 2.0) * r * r * c / ah) * I +
         (-c2 * ah * u / t + (2.0 * m2 + a2 + 1.0) * c / (m2 * a2) - (c2 + a2) / ya) * J) * G -
        (G * G / 4.0) * (r * I * c2 * ya / (m * ah) + (c / a2 + ah) * c2 * J / t) -
        (2.0 * ah * u + 4.0 * c * r / m) * J;
    const double em = c - sq, ep = c + sq;
    return 0.5 * a->alpha / (2.0 * kPi) * K *
           (em * em * f_nu(pt, em) * g_minus(z, c) + ep * ep * f_nu(pt, -ep) * g_plus(z, c));
}

uint64_t double_bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

}  // namespace

double L_CCRTh_compute(const nvx_weak_ctx* ctx, double T_K, int s) {
    if (T_K < kThermalT_K) return 0.0;
    const NVXConfig* cfg = ctx->config;
    const int n_eval = cfg->vegas_n_eval, n_itn = cfg->vegas_n_itn;
    const uint64_t b = double_bits(T_K) ^ (s > 0 ? 2u : 0u);
    ThermalArgs args{make_point(ctx, T_K, s), 0, g_const[NVX_C_alpha_fs]};
    const double z = args.pt.z;

    const double h = std::max(20.0 / z, 10.0);
    const double lo2[2] = {1.001, 0.001}, hi2[2] = {h, h};
    args.variant = 0;
    // Each integral takes a fraction of a second: a cancelled call stops between them.
    const auto stop = [&] { return nvx_run_cancelled(cfg) != 0; };
    const double I_A = nvx_vegas_integrate(TH, &args, lo2, hi2, n_eval, n_itn, n_itn, (b ^ 4) * kGolden).value;
    if (stop()) return std::nan("");
    args.variant = 1;
    const double I_B = nvx_vegas_integrate(TH, &args, lo2, hi2, n_eval, n_itn, n_itn, (b ^ 8) * kGolden).value;

    const double A = std::max(150.0 / z, 25.0), P = std::sqrt(A * A - 1.0);
    double I_C = 0.0;
    for (int j = 0; j < 8; ++j)
        I_C += nvx_quad_adaptive(C1, &args, 15, nullptr, j * P / 8.0, (j + 1) * P / 8.0, 1.25e-9);

    const double N = std::max(15.0 / z, 10.0);
    const double loD[2] = {2.002, -N}, hiD[2] = {2.0 + N, -0.001};
    if (stop()) return std::nan("");
    const double I_D = nvx_vegas_integrate(C23, &args, loD, hiD, n_eval, n_itn, n_itn, (b ^ 12) * kGolden).value;
    if (stop()) return std::nan("");
    const double loE[2] = {2.002, 0.001}, hiE[2] = {2.0 + N, N};
    const double I_E = nvx_vegas_integrate(C23, &args, loE, hiE, n_eval, n_itn, n_itn, (b ^ 16) * kGolden).value;
    return I_A + I_B + I_C + I_D + I_E;
}

bool parallel_for(size_t n, int n_threads, void (*body)(size_t, void*), void* user, const NVXConfig* run,
                  const char* stage, const char* progress_label) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) online = 1;
    size_t threads = n_threads > 0 ? size_t(n_threads) : size_t(online);
    threads = std::min({threads, size_t(online), std::max<size_t>(n, 1)});
    const bool hooked = run && run->hooks && run->hooks->progress;
    if (hooked) progress_label = nullptr;
    std::atomic<size_t> next{0}, done{0};
    std::atomic<bool> stopped{false};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            if (nvx_run_cancelled(run)) {
                stopped.store(true);
                return;
            }
            body(i, user);
            const size_t d = done.fetch_add(1) + 1;
            if (hooked) nvx_progress(run, stage, double(d), double(n));
            if (progress_label) {
                char line[160];
                std::snprintf(line, sizeof line, "[weak-c] %s: %zu/%zu", progress_label, d, n);
                nvx::stderr_progress(line);
            }
        }
    };
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto& th : pool) th.join();
    if (progress_label && n > 0) nvx::stderr_progress_end();
    return !stopped.load() && !nvx_run_cancelled(run);
}

}  // namespace nvx::weak

using namespace nvx::weak;

namespace {

struct TableJob {
    const nvx_weak_ctx* ctx;
    const double* T_K;
    double* L_nTOp;
    double* L_pTOn;
};

// Task i: temperature i/2, direction n->p for even i and p->n for odd i.
void thermal_task(size_t i, void* user) {
    auto* job = static_cast<TableJob*>(user);
    const size_t k = i / 2;
    if (i % 2 == 0)
        job->L_nTOp[k] = L_CCRTh_compute(job->ctx, job->T_K[k], +1);
    else
        job->L_pTOn[k] = L_CCRTh_compute(job->ctx, job->T_K[k], -1);
}

}  // namespace

extern "C" {

double nvx_weak_thermal_correction(const nvx_weak_ctx* ctx, double T_K, int s) {
    return ctx ? L_CCRTh_compute(ctx, T_K, s) : 0.0;
}

void nvx_weak_thermal_table(const nvx_weak_ctx* ctx, const double* T_K, size_t n, int n_threads,
                            int show_progress, double* L_nTOp, double* L_pTOn) {
    if (!ctx || n == 0) return;
    TableJob job{ctx, T_K, L_nTOp, L_pTOn};
    parallel_for(2 * n, n_threads, thermal_task, &job, ctx->config, "thermal",
                 show_progress ? "thermal corrections (temperature points x 2)" : nullptr);
}

}  // extern "C"
