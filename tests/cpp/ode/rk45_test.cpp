// Dormand-Prince integrator: convergence with tolerance on analytic problems, dense output at
// requested times and through the per-step callback, landing on t_end, and every failure.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "nuvex/ode.h"
#include "ode/ode_util.hpp"

namespace {

int decay(double, const double* y, double* f, void*) {
    f[0] = -y[0];
    return 0;
}
// y0'' = -w^2 y0 with w = 2: y0 = cos(2t), y1 = y0' = -2 sin(2t)
int oscillator(double, const double* y, double* f, void*) {
    f[0] = y[1];
    f[1] = -4.0 * y[0];
    return 0;
}

nvx_ode_rk_opts opts_with(double rtol, double atol) {
    nvx_ode_rk_opts o;
    nvx_ode_rk_default_opts(&o);
    o.rtol = rtol;
    o.atol = atol;
    return o;
}

TEST(Rk45, GlobalErrorShrinksWithTolerance) {
    double prev_decay = 1.0, prev_osc = 1.0;
    for (double tol : {1e-4, 1e-6, 1e-8, 1e-10}) {
        double y = 1.0;
        ErrText e;
        ASSERT_EQ(nvx_ode_rk45(decay, nullptr, &y, 1, nullptr, nullptr, 0.0, 5.0, opts_with(tol, 1e-14), &e.p), 0);
        const double err_decay = std::fabs(y - std::exp(-5.0)) / std::exp(-5.0);
        double z[2] = {1.0, 0.0};
        ASSERT_EQ(nvx_ode_rk45(oscillator, nullptr, z, 2, nullptr, nullptr, 0.0, 10.0, opts_with(tol, tol), &e.p), 0);
        const double err_osc = std::hypot(z[0] - std::cos(20.0), z[1] + 2.0 * std::sin(20.0));
        EXPECT_LT(err_decay, 20 * tol) << tol;
        EXPECT_LT(err_osc, 200 * tol) << tol;
        EXPECT_LT(err_decay, prev_decay);
        EXPECT_LT(err_osc, prev_osc);
        prev_decay = err_decay;
        prev_osc = err_osc;
    }
}

TEST(Rk45, RequestedOutputTimesIncludingTheEnd) {
    std::vector<double> t_out;
    for (int k = 0; k <= 40; ++k) t_out.push_back(0.25 * k);  // the last one is t_end
    std::vector<double> y_out(2 * t_out.size(), NAN);
    auto o = opts_with(1e-9, 1e-12);
    o.t_out = t_out.data();
    o.n_out = t_out.size();
    o.y_out = y_out.data();
    double z[2] = {1.0, 0.0};
    ErrText e;
    ASSERT_EQ(nvx_ode_rk45(oscillator, nullptr, z, 2, nullptr, nullptr, 0.0, 10.0, o, &e.p), 0);
    for (size_t k = 0; k < t_out.size(); ++k) {
        EXPECT_NEAR(y_out[2 * k], std::cos(2 * t_out[k]), 1e-7) << t_out[k];
        EXPECT_NEAR(y_out[2 * k + 1], -2 * std::sin(2 * t_out[k]), 2e-7) << t_out[k];
    }
    EXPECT_EQ(y_out[80], z[0]);  // the end time comes from the last step at theta = 1 ...
    EXPECT_NEAR(y_out[81], z[1], 1e-15);
}

struct StepLog {
    struct Step {
        std::vector<double> y_old, k1, k3, k4, k5, k6, k7;
        double t_old, h;
    };
    std::vector<Step> steps;
    static void cb(const double* y_old, const double* K1, const double* K3, const double* K4,
                   const double* K5, const double* K6, double t_old, double h, const double* K7,
                   size_t n, void* self) {
        auto v = [n](const double* p) { return std::vector<double>(p, p + n); };
        static_cast<StepLog*>(self)->steps.push_back(
            {v(y_old), v(K1), v(K3), v(K4), v(K5), v(K6), v(K7), t_old, h});
    }
};

TEST(Rk45, StepCallbackDenseOutputBetweenSteps) {
    auto o = opts_with(1e-8, 1e-12);
    StepLog log;
    Trace tr;
    o.step_cb = StepLog::cb;
    o.step_cb_user = &log;
    double z[2] = {1.0, 0.0};
    ErrText e;
    ASSERT_EQ(nvx_ode_rk45(oscillator, nullptr, z, 2, Trace::record, &tr, 0.0, 6.0, o, &e.p), 0);
    ASSERT_EQ(log.steps.size(), tr.t.size());
    ASSERT_GT(log.steps.size(), 10u);
    for (size_t s = 0; s < log.steps.size(); ++s) {
        const auto& st = log.steps[s];
        double out[2];
        auto eval = [&](double theta) {
            nvx_ode_dense_eval(st.y_old.data(), st.k1.data(), st.k3.data(), st.k4.data(), st.k5.data(),
                               st.k6.data(), theta, st.h, st.k7.data(), 2, out);
        };
        eval(0.0);
        EXPECT_EQ(out[0], st.y_old[0]);
        EXPECT_EQ(out[1], st.y_old[1]);
        eval(1.0);
        EXPECT_NEAR(out[0], tr.y[s][0], 1e-14);
        EXPECT_NEAR(out[1], tr.y[s][1], 1e-14);
        EXPECT_NEAR(st.t_old + st.h, tr.t[s], 1e-14);
        for (double theta : {0.2, 0.5, 0.8}) {
            eval(theta);
            const double t = st.t_old + theta * st.h;
            EXPECT_NEAR(out[0], std::cos(2 * t), 1e-6) << t;
            EXPECT_NEAR(out[1], -2 * std::sin(2 * t), 2e-6) << t;
        }
    }
    EXPECT_EQ(tr.t.back(), 6.0);
    double none = 7.0;
    nvx_ode_dense_eval(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0.5, 1.0, nullptr, 0, &none);
    EXPECT_EQ(none, 7.0);
}

TEST(Rk45, BackwardRunLandsExactlyOnEndTime) {
    // end points chosen so that t + (t_end - t) is not t_end in floating point
    double y = 1.0;
    Trace tr;
    auto o = opts_with(1e-10, 1e-14);
    ErrText e;
    const double t0 = 0.7, t_end = -0.1;
    ASSERT_EQ(nvx_ode_rk45(decay, nullptr, &y, 1, Trace::record, &tr, t0, t_end, o, &e.p), 0);
    EXPECT_NEAR(y, std::exp(t0 - t_end), 1e-8);
    EXPECT_EQ(tr.t.back(), t_end);
    for (size_t k = 1; k < tr.t.size(); ++k) EXPECT_LT(tr.t[k], tr.t[k - 1]);
}

struct FailAt {
    int calls = 0;
    int fail_call = -1;
    static int f(double, const double* y, double* d, void* self) {
        auto* s = static_cast<FailAt*>(self);
        if (++s->calls == s->fail_call) return 1;
        d[0] = -50.0 * y[0];
        return 0;
    }
};

std::string run_fail(FailAt fa, nvx_ode_rk_opts o, double t0 = 0.0, double t_end = 10.0) {
    double y = 1.0;
    ErrText e;
    const int st = nvx_ode_rk45(FailAt::f, &fa, &y, 1, nullptr, nullptr, t0, t_end, o, &e.p);
    if (st == 0) return "ok";
    EXPECT_EQ(st, 1);
    return e.str();
}

TEST(Rk45Failures, EveryMessageIsReachable) {
    const auto o = opts_with(1e-6, 1e-12);
    EXPECT_EQ(run_fail({.fail_call = 1}, o), "nvx_ode_rk45: f() failed at t0");
    for (int stage = 2; stage <= 7; ++stage)
        EXPECT_EQ(run_fail({.fail_call = stage}, o),
                  "nvx_ode_rk45: f() failed (stage " + std::to_string(stage) + ")");
    auto none = o;
    none.max_steps = 0;
    EXPECT_EQ(run_fail({}, none), "nvx_ode_rk45: max_steps exceeded");
    none.max_steps = -1;
    EXPECT_EQ(run_fail({}, none), "nvx_ode_rk45: max_steps exceeded");
    auto hmin = o;
    hmin.first_step = 1.0;
    hmin.h_min = 0.5;
    EXPECT_EQ(run_fail({}, hmin), "nvx_ode_rk45: step size underflowed below h_min");
    auto no_rows = o;
    no_rows.n_out = 3;
    EXPECT_EQ(run_fail({}, no_rows), "nvx_ode_rk45: n_out > 0 without t_out or y_out");
    FailAt untouched{.fail_call = 1};
    double y = 2.0;
    EXPECT_EQ(nvx_ode_rk45(FailAt::f, &untouched, &y, 1, nullptr, nullptr, 3.0, 3.0, o, nullptr), 0);
    EXPECT_EQ(untouched.calls, 0);
    EXPECT_EQ(y, 2.0);
}

TEST(Rk45, StepLimitsAreHonoured) {
    Trace tr;
    auto o = opts_with(1e-3, 1e-6);
    o.max_step = 0.1;
    double y = 1.0;
    ErrText e;
    ASSERT_EQ(nvx_ode_rk45(decay, nullptr, &y, 1, Trace::record, &tr, 0.0, 2.0, o, &e.p), 0);
    double prev = 0.0;
    for (double t : tr.t) {
        EXPECT_LE(t - prev, 0.1 + 1e-15);
        prev = t;
    }
    EXPECT_GE(tr.t.size(), 20u);
}

}  // namespace
