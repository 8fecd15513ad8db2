// Dormand-Prince 5(4) explicit Runge-Kutta integrator with step-size control, first-same-as-last
// stages, and dense output (requested times, or a per-step callback with nvx_ode_dense_eval).
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "config/err.hpp"
#include "nuvex/ode.h"

namespace nvx {
namespace {

// Butcher tableau of the pair (nodes 1/5, 3/10, 4/5, 8/9, 1, 1).
constexpr double c2 = 1.0 / 5, c3 = 3.0 / 10, c4 = 4.0 / 5, c5 = 8.0 / 9;
constexpr double a21 = 1.0 / 5;
constexpr double a31 = 3.0 / 40, a32 = 9.0 / 40;
constexpr double a41 = 44.0 / 45, a42 = -56.0 / 15, a43 = 32.0 / 9;
constexpr double a51 = 19372.0 / 6561, a52 = -25360.0 / 2187, a53 = 64448.0 / 6561,
                 a54 = -212.0 / 729;
constexpr double a61 = 9017.0 / 3168, a62 = -355.0 / 33, a63 = 46732.0 / 5247, a64 = 49.0 / 176,
                 a65 = -5103.0 / 18656;
constexpr double b1 = 35.0 / 384, b3 = 500.0 / 1113, b4 = 125.0 / 192, b5 = -2187.0 / 6784,
                 b6 = 11.0 / 84;
constexpr double e1 = 5179.0 / 57600, e3 = 7571.0 / 16695, e4 = 393.0 / 640,
                 e5 = -92097.0 / 339200, e6 = 187.0 / 2100, e7 = 1.0 / 40;

// Continuous extension: coefficients of theta, theta^2, theta^3, theta^4 for K1, K3..K7.
constexpr double kDense[6][4] = {
    {1.0, -2.8535800653862835, 3.0717434641059005, -1.1270175653862835},
    {0.0, 4.023133379230305, -6.249321565289, 2.675424484351598},
    {0.0, -3.7324019615885042, 10.068970589843675, -5.685526961588504},
    {0.0, 2.5548038301849423, -6.399112377351017, 3.5219323679207912},
    {0.0, -1.3744241142186024, 3.272657752246729, -1.7672812570757455},
    {0.0, 1.3824689317781436, -3.764937863556287, 2.382468931778144},
};

struct RkWork {
    explicit RkWork(size_t n)
        : k1(n), k2(n), k3(n), k4(n), k5(n), k6(n), k7(n), arg(n), y5(n), y4(n) {}
    std::vector<double> k1, k2, k3, k4, k5, k6, k7, arg, y5, y4;
};

// Stages 2..7 and both solutions; returns the failing stage number, or 0.
int rk_stages(nvx_ode_rhs_fn f, void* user, double t, const double* y, double hs, size_t n,
              RkWork& w) {
    auto* arg = w.arg.data();
    const double *K1 = w.k1.data(), *K2 = w.k2.data(), *K3 = w.k3.data(), *K4 = w.k4.data(),
                 *K5 = w.k5.data(), *K6 = w.k6.data();
    for (size_t i = 0; i < n; ++i) arg[i] = y[i] + hs * (a21 * K1[i]);
    if (f(t + c2 * hs, arg, w.k2.data(), user) != 0) return 2;
    for (size_t i = 0; i < n; ++i) arg[i] = y[i] + hs * (a31 * K1[i] + a32 * K2[i]);
    if (f(t + c3 * hs, arg, w.k3.data(), user) != 0) return 3;
    for (size_t i = 0; i < n; ++i) arg[i] = y[i] + hs * (a41 * K1[i] + a42 * K2[i] + a43 * K3[i]);
    if (f(t + c4 * hs, arg, w.k4.data(), user) != 0) return 4;
    for (size_t i = 0; i < n; ++i)
        arg[i] = y[i] + hs * (a51 * K1[i] + a52 * K2[i] + a53 * K3[i] + a54 * K4[i]);
    if (f(t + c5 * hs, arg, w.k5.data(), user) != 0) return 5;
    for (size_t i = 0; i < n; ++i)
        arg[i] = y[i] + hs * (a61 * K1[i] + a62 * K2[i] + a63 * K3[i] + a64 * K4[i] + a65 * K5[i]);
    if (f(t + hs, arg, w.k6.data(), user) != 0) return 6;
    for (size_t i = 0; i < n; ++i)
        w.y5[i] = y[i] + hs * (b1 * K1[i] + b3 * K3[i] + b4 * K4[i] + b5 * K5[i] + b6 * K6[i]);
    if (f(t + hs, w.y5.data(), w.k7.data(), user) != 0) return 7;
    const double* K7 = w.k7.data();
    for (size_t i = 0; i < n; ++i)
        w.y4[i] = y[i] + hs * (e1 * K1[i] + e3 * K3[i] + e4 * K4[i] + e5 * K5[i] + e6 * K6[i] +
                               e7 * K7[i]);
    return 0;
}

double rk_error_norm(const double* y, const RkWork& w, size_t n, double atol, double rtol) {
    if (n == 0) return 0.0;
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double sc = atol + rtol * std::max(std::fabs(y[i]), std::fabs(w.y5[i]));
        const double e = (w.y5[i] - w.y4[i]) / sc;
        s += e * e;
    }
    return std::sqrt((1.0 / static_cast<double>(n)) * s);
}

int rk45(nvx_ode_rhs_fn f, void* user, double* y, size_t n, nvx_ode_recorder_fn recorder,
         void* recorder_user, double t0, double t_end, const nvx_ode_rk_opts& opts, char** err) {
    if (t_end == t0) return 0;
    if (opts.n_out > 0 && (opts.t_out == nullptr || opts.y_out == nullptr))
        return fail(err, "nvx_ode_rk45: n_out > 0 without t_out or y_out");
    const double span = std::fabs(t_end - t0);
    double h = opts.first_step > 0 ? opts.first_step : span / 100;
    RkWork w(n);
    if (f(t0, y, w.k1.data(), user) != 0) return fail(err, "nvx_ode_rk45: f() failed at t0");
    const double direction = t_end >= t0 ? 1.0 : -1.0;
    if ((t_end - t0) * direction <= 1e-15 * span) return 0;
    if (opts.max_step > 0) h = std::min(opts.max_step, h);
    const double h_force = opts.h_min > 0 ? 1.0001 * opts.h_min : 0.0;
    const double out_tol = 1e-9 * span;
    const int max_steps = std::max(opts.max_steps, 0);
    size_t next_out = 0;
    double t = t0;

    for (int attempt = 0;; ++attempt) {
        if (attempt == max_steps) return fail(err, "nvx_ode_rk45: max_steps exceeded");
        double hs = h * direction;
        const bool last = (t + hs - t_end) * direction > 0;
        if (last) hs = t_end - t;
        if (const int stage = rk_stages(f, user, t, y, hs, n, w))
            return fail(err, "nvx_ode_rk45: f() failed (stage %d)", stage);
        const double err_norm = rk_error_norm(y, w, n, opts.atol, opts.rtol);

        if (err_norm <= 1.0 || h_force >= std::fabs(hs)) {
            while (next_out < opts.n_out &&
                   (opts.t_out[next_out] - (t + hs)) * direction <= out_tol) {
                const double theta = (opts.t_out[next_out] - t) / hs;
                nvx_ode_dense_eval(y, w.k1.data(), w.k3.data(), w.k4.data(), w.k5.data(),
                                   w.k6.data(), theta, hs, w.k7.data(), n,
                                   opts.y_out + next_out * n);
                ++next_out;
            }
            if (opts.step_cb)
                opts.step_cb(y, w.k1.data(), w.k3.data(), w.k4.data(), w.k5.data(), w.k6.data(), t,
                             hs, w.k7.data(), n, opts.step_cb_user);
            std::copy(w.y5.begin(), w.y5.end(), y);
            std::swap(w.k1, w.k7);
            // A shortened last step lands on t_end exactly (t + (t_end - t) may round off it).
            t = last ? t_end : t + hs;
            if (recorder) recorder(t, y, n, recorder_user);
        }

        // fmax/fmin keep a NaN error estimate from turning the step size into NaN.
        double factor = err_norm == 0.0 ? 5.0 : 0.9 * std::pow(err_norm, -0.2);
        factor = std::fmin(5.0, std::fmax(0.2, factor));
        h = std::fabs(hs) * factor;
        if (opts.max_step > 0) h = std::min(opts.max_step, h);
        if (opts.h_min > 0 && h < opts.h_min) {
            if (err_norm <= 1.0) h = opts.h_min;
            else return fail(err, "nvx_ode_rk45: step size underflowed below h_min");
        }
        if ((t_end - t) * direction <= 1e-15 * span) return 0;
    }
}

}  // namespace
}  // namespace nvx

extern "C" nvx_ode_rk_opts* nvx_ode_rk_default_opts(nvx_ode_rk_opts* opts) {
    opts->rtol = 1e-7;
    opts->atol = 1e-12;
    opts->first_step = 0.0;
    opts->h_min = 0.0;
    opts->max_step = 0.0;
    opts->max_steps = 100000;
    opts->t_out = nullptr;
    opts->n_out = 0;
    opts->y_out = nullptr;
    opts->step_cb = nullptr;
    opts->step_cb_user = nullptr;
    return opts;
}

extern "C" int nvx_ode_rk45(nvx_ode_rhs_fn f, void* user, double* y, size_t n,
                            nvx_ode_recorder_fn recorder, void* recorder_user, double t0,
                            double t_end, nvx_ode_rk_opts opts, char** err) {
    try {
        return nvx::rk45(f, user, y, n, recorder, recorder_user, t0, t_end, opts, err);
    } catch (const std::bad_alloc&) {
        return nvx::fail(err, "nvx_ode_rk45: out of memory");
    }
}

extern "C" void nvx_ode_dense_eval(const double* y_old, const double* K1, const double* K3,
                                   const double* K4, const double* K5, const double* K6,
                                   double theta, double h, const double* K7, size_t n,
                                   double* out) {
    const double p[4] = {theta, theta * theta, theta * theta * theta, theta * theta * theta * theta};
    double b[6];
    for (int k = 0; k < 6; ++k)
        b[k] = nvx::kDense[k][0] * p[0] + nvx::kDense[k][1] * p[1] + nvx::kDense[k][2] * p[2] +
               nvx::kDense[k][3] * p[3];
    for (size_t i = 0; i < n; ++i)
        out[i] = y_old[i] + h * (b[0] * K1[i] + b[1] * K3[i] + b[2] * K4[i] + b[3] * K5[i] +
                                 b[4] * K6[i] + b[5] * K7[i]);
}
