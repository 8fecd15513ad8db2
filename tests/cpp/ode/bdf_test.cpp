// Stiff integrator: Robertson kinetics against published values and an independent Radau IIA
// reference, a stiff linear system against its matrix exponential, backward runs, every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "nuvex/linalg.h"
#include "nuvex/ode.h"
#include "ode/bdf.hpp"
#include "ode/ode_util.hpp"

namespace {

// Independent reference: two-stage Radau IIA (order 3, L-stable) on geometric fixed steps,
// full Newton on the stage equations with the linear solver tested separately.
std::array<double, 3> radau_robertson(double t_end, int n_steps) {
    const double a[2][2] = {{5.0 / 12, -1.0 / 12}, {3.0 / 4, 1.0 / 4}};
    const double c[2] = {1.0 / 3, 1.0};
    std::array<double, 3> y = {1.0, 0.0, 0.0};
    double t = 0.0;
    const double t_first = 1e-7;
    const double ratio = std::pow(t_end / t_first, 1.0 / (n_steps - 1));
    for (int s = 0; s < n_steps; ++s) {
        const double t_next = s == n_steps - 1 ? t_end : t_first * std::pow(ratio, s);
        const double h = t_next - t;
        double Y[6] = {y[0], y[1], y[2], y[0], y[1], y[2]};
        for (int it = 0; it < 30; ++it) {
            double F[2][3], J[2][9], G[6], M[36];
            for (int k = 0; k < 2; ++k) {
                robertson(t + c[k] * h, Y + 3 * k, F[k], nullptr);
                robertson_jac(t + c[k] * h, Y + 3 * k, J[k], nullptr);
            }
            for (int k = 0; k < 2; ++k)
                for (int i = 0; i < 3; ++i)
                    G[3 * k + i] = -(Y[3 * k + i] - y[i] - h * (a[k][0] * F[0][i] + a[k][1] * F[1][i]));
            for (int r = 0; r < 6; ++r)
                for (int q = 0; q < 6; ++q) {
                    const int k = r / 3, i = r % 3, m = q / 3, j = q % 3;
                    M[r * 6 + q] = (r == q ? 1.0 : 0.0) - h * a[k][m] * J[m][i * 3 + j];
                }
            if (nvx_solve_linear(M, 6, G) != 0) return {NAN, NAN, NAN};
            double change = 0.0;
            for (int i = 0; i < 6; ++i) {
                Y[i] += G[i];
                change = std::max(change, std::fabs(G[i]) / (1e-20 + std::fabs(Y[i])));
            }
            if (change < 1e-14) break;
        }
        y = {Y[3], Y[4], Y[5]};
        t = t_next;
    }
    return y;
}

std::array<double, 3> bdf_robertson(double t_end, bool analytic_jac, double rtol, double atol) {
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.rtol = rtol;
    o.atol = atol;
    std::array<double, 3> y = {1.0, 0.0, 0.0};
    ErrText e;
    const int st = nvx_ode_bdf(robertson, analytic_jac ? robertson_jac : nullptr, nullptr, y.data(),
                               3, nullptr, 0.0, t_end, o, nullptr, &e.p);
    EXPECT_EQ(st, 0) << e.str();
    return y;
}

TEST(BdfRobertson, MatchesPublishedValuesAtT40) {
    // Hairer & Wanner, Solving ODEs II: y(40) of the Robertson problem.
    const double ref[3] = {0.7158270687193941, 9.185534764557e-06, 0.2841637457458413};
    for (bool analytic : {true, false}) {
        const auto y = bdf_robertson(40.0, analytic, 1e-8, 1e-14);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(y[i], ref[i], 2e-6 * ref[i]) << i << analytic;
        EXPECT_NEAR(y[0] + y[1] + y[2], 1.0, 1e-10);
    }
}

TEST(BdfRobertson, MatchesIndependentReferenceAtLateTimes) {
    // Radau IIA with 4000 and 8000 steps agree to ~1e-9: its error is far below the tolerance.
    const auto ref = radau_robertson(4e5, 8000);
    const auto ref_coarse = radau_robertson(4e5, 4000);
    for (int i = 0; i < 3; ++i) ASSERT_NEAR(ref[i], ref_coarse[i], 1e-7 * std::fabs(ref[i]));
    const auto y = bdf_robertson(4e5, true, 1e-8, 1e-16);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(y[i], ref[i], 1e-5 * ref[i]) << i;
    EXPECT_NEAR(y[0] + y[1] + y[2], 1.0, 1e-10);
    // looser tolerance: still within what it promises (a few times rtol, relative)
    const auto y_loose = bdf_robertson(4e5, false, 1e-5, 1e-12);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(y_loose[i], ref[i], 1e-2 * ref[i]) << i;
}

TEST(BdfLinear, StiffSymmetricSystemFollowsMatrixExponential) {
    SymmetricSystem sys({-1.0, -10.0, -1e3, -1e5, -1e7});
    const std::vector<double> y0 = {1.0, -0.5, 2.0, 0.25, 1.5};
    for (double t_end : {0.5, 3.0}) {
        for (bool analytic : {true, false}) {
            nvx_ode_bdf_opts o;
            nvx_ode_bdf_default_opts(&o);
            o.rtol = 1e-9;
            o.atol = 1e-13;
            auto y = y0;
            ErrText e;
            nvx::BdfStats st;
            ASSERT_EQ(nvx::ode_bdf(SymmetricSystem::rhs, analytic ? SymmetricSystem::jac : nullptr,
                                   &sys, y.data(), 5, nullptr, 0.0, t_end, o, nullptr, &st, &e.p), 0)
                << e.str();
            const auto ex = sys.exact(y0, t_end);
            for (size_t i = 0; i < 5; ++i) EXPECT_NEAR(y[i], ex[i], 1e-6 * std::fabs(ex[i]) + 1e-11);
            // stiffness handled implicitly: far fewer steps than an explicit method would need
            EXPECT_LT(st.n_steps, 2000);
            EXPECT_LT(st.n_lu, st.n_steps);
            EXPECT_LT(st.n_jac, st.n_steps / 4);
        }
    }
}

TEST(BdfLinear, BackwardIntegrationLandsOnEndTime) {
    SymmetricSystem sys({-0.5, -1.0, -2.0});  // backwards in time the modes grow: not stiff
    const std::vector<double> y0 = {1.0, 2.0, -1.0};
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.rtol = 1e-9;
    o.atol = 1e-12;
    auto y = y0;
    Trace tr;
    ErrText e;
    ASSERT_EQ(nvx_ode_bdf(SymmetricSystem::rhs, nullptr, &sys, y.data(), 3, Trace::record, 2.0, -1.0,
                          o, &tr, &e.p), 0) << e.str();
    const auto ex = sys.exact(y0, -3.0);
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(y[i], ex[i], 1e-6 * std::fabs(ex[i]));
    ASSERT_FALSE(tr.t.empty());
    EXPECT_EQ(tr.t.back(), -1.0);
    EXPECT_EQ(tr.y.back(), y);
    for (size_t k = 1; k < tr.t.size(); ++k) EXPECT_LT(tr.t[k], tr.t[k - 1]);
}

struct Counted {
    int calls = 0;
    int fail_at = -1;      // f fails on this call number (1-based)
    double nan_after = 1e300;  // f returns NaN for t beyond this
    bool fail_perturbed = false;  // fail when y[0] != 0 beyond nan_after (finite differences)
    bool jac_fail_after_t0 = false;
};

int decay(double t, const double* y, double* f, void* u) {
    auto* c = static_cast<Counted*>(u);
    ++c->calls;
    if (c->calls == c->fail_at) return 1;
    if (t > c->nan_after) {
        if (c->fail_perturbed && y[0] != 0.0) return 1;
        f[0] = NAN;
        return 0;
    }
    f[0] = -y[0];
    return 0;
}
int decay_jac(double t, const double*, double* J, void* u) {
    auto* c = static_cast<Counted*>(u);
    if (c->jac_fail_after_t0 && t > 0.0) return 1;
    if (c->fail_at == 0) return 1;
    J[0] = -1.0;
    return 0;
}
int zero_rhs(double t, const double* y, double* f, void* u) {
    auto* c = static_cast<Counted*>(u);
    if (t > c->nan_after && y[0] != 0.0) return 1;
    f[0] = t > c->nan_after ? NAN : 0.0;
    return 0;
}

std::string run_decay(Counted c, nvx_ode_jac_fn jac, nvx_ode_bdf_opts o, double y0 = 1.0,
                      nvx_ode_rhs_fn f = decay, double t0 = 0.0) {
    double y = y0;
    ErrText e;
    const int st = nvx_ode_bdf(f, jac, &c, &y, 1, nullptr, t0, t0 + 1.0, o, nullptr, &e.p);
    if (st == 0) return "ok";
    EXPECT_EQ(st, 1);
    return e.str();
}

TEST(BdfFailures, EveryMessageIsReachable) {
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    nvx_ode_bdf_opts fixed = o;
    fixed.first_step = 0.01;  // no probe evaluation: f call numbers are predictable

    EXPECT_EQ(run_decay({.fail_at = 1}, nullptr, o), "nvx_ode_bdf: f() failed at t0");
    EXPECT_EQ(run_decay({.fail_at = 0}, decay_jac, o), "nvx_ode_bdf: jac() failed at t0");
    EXPECT_EQ(run_decay({.fail_at = 2}, nullptr, fixed),
              "nvx_ode_bdf: f() failed during initial finite-diff Jacobian");
    EXPECT_EQ(run_decay({.fail_at = 2}, decay_jac, o), "ok");  // a failed probe is harmless
    nvx_ode_bdf_opts no_steps = o;
    no_steps.max_steps = 0;
    EXPECT_EQ(run_decay({}, decay_jac, no_steps), "nvx_ode_bdf: max_steps exceeded");
    no_steps.max_steps = -3;
    EXPECT_EQ(run_decay({}, decay_jac, no_steps), "nvx_ode_bdf: max_steps exceeded");
    nvx_ode_bdf_opts few = o;
    few.max_steps = 5;
    EXPECT_EQ(run_decay({}, decay_jac, few), "nvx_ode_bdf: max_steps exceeded");

    EXPECT_EQ(run_decay({.nan_after = 0.5}, decay_jac, o),
              "nvx_ode_bdf: step size underflowed below machine precision");
    nvx_ode_bdf_opts tiny_max = o;
    tiny_max.max_step = 1e-300;
    EXPECT_EQ(run_decay({}, decay_jac, tiny_max, 1.0, decay, 1.0),
              "nvx_ode_bdf: step size underflowed below machine precision");
    nvx_ode_bdf_opts hmin = o;
    hmin.h_min = 1e-4;
    EXPECT_EQ(run_decay({.nan_after = 0.5}, decay_jac, hmin),
              "nvx_ode_bdf: step size underflowed below h_min");
    EXPECT_EQ(run_decay({.fail_at = 40}, decay_jac, o), "nvx_ode_bdf: f() failed");
    EXPECT_EQ(run_decay({.nan_after = 0.5, .jac_fail_after_t0 = true}, decay_jac, o),
              "nvx_ode_bdf: jac() failed");
    EXPECT_EQ(run_decay({.nan_after = 0.5}, nullptr, o, 0.0, zero_rhs),
              "nvx_ode_bdf: f() failed during finite-diff Jacobian");
}

TEST(BdfFailures, LastAcceptedStateIsKeptAndErrUntouchedOnSuccess) {
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    Counted c{.nan_after = 0.5};
    double y = 1.0;
    Trace tr;
    ErrText e;
    ASSERT_EQ(nvx_ode_bdf(decay, decay_jac, &c, &y, 1, Trace::record, 0.0, 1.0, o, &tr, &e.p), 1);
    ASSERT_FALSE(tr.t.empty());
    EXPECT_LE(tr.t.back(), 0.5);
    EXPECT_EQ(y, tr.y.back()[0]);

    char* untouched = reinterpret_cast<char*>(0x1);
    Counted ok{};
    y = 1.0;
    ASSERT_EQ(nvx_ode_bdf(decay, decay_jac, &ok, &y, 1, nullptr, 0.0, 1.0, o, nullptr, &untouched), 0);
    EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1));
}

TEST(BdfBehaviour, EqualEndpointsCallNothing) {
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    Counted c{.fail_at = 1};
    double y = 3.0;
    ErrText e;
    EXPECT_EQ(nvx_ode_bdf(decay, decay_jac, &c, &y, 1, nullptr, 2.0, 2.0, o, nullptr, &e.p), 0);
    EXPECT_EQ(c.calls, 0);
    EXPECT_EQ(y, 3.0);
}

TEST(BdfBehaviour, RecoversFromNaNTrialPointsAndOversizedFirstStep) {
    // f is undefined (NaN) for negative y: a first step spanning the whole interval overshoots
    // the predictor below zero, and the integrator must back off.
    struct U {
        static int f(double, const double* y, double* d, void*) {
            d[0] = y[0] < 0 ? NAN : -3.0 * y[0];
            return 0;
        }
    };
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.first_step = 100.0;  // larger than the span
    o.rtol = 1e-8;
    double y = 1.0;
    Trace tr;
    ErrText e;
    ASSERT_EQ(nvx_ode_bdf(U::f, nullptr, nullptr, &y, 1, Trace::record, 0.0, 2.0, o, &tr, &e.p), 0)
        << e.str();
    EXPECT_NEAR(y, std::exp(-6.0), 1e-6 * std::exp(-6.0));
    EXPECT_EQ(tr.t.back(), 2.0);
}

TEST(BdfBehaviour, LowerMaxOrderNeedsMoreStepsButStaysAccurate) {
    SymmetricSystem sys({-1.0, -50.0, -2e3});
    const std::vector<double> y0 = {1.0, 1.0, 1.0};
    const auto ex = sys.exact(y0, 2.0);
    long steps[2] = {0, 0};
    int idx = 0;
    for (int max_order : {1, 5}) {
        nvx_ode_bdf_opts o;
        nvx_ode_bdf_default_opts(&o);
        o.max_order = max_order;
        o.rtol = 1e-6;
        o.atol = 1e-12;
        auto y = y0;
        nvx::BdfStats st;
        ErrText e;
        ASSERT_EQ(nvx::ode_bdf(SymmetricSystem::rhs, SymmetricSystem::jac, &sys, y.data(), 3, nullptr,
                               0.0, 2.0, o, nullptr, &st, &e.p), 0);
        // backward Euler's global error scales like sqrt(rtol) (about 1e-3 here), order 5 like rtol
        const double tol = max_order == 1 ? 2e-3 : 1e-5;
        for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(y[i], ex[i], tol * std::fabs(ex[i]));
        steps[idx++] = st.n_steps;
    }
    EXPECT_GT(steps[0], 3 * steps[1]);  // order 1 only: many more steps for the same tolerance
}

// The step limit counts the steps of this call only: statistics that add up several calls (or a
// caller that did not zero them) must not end a run early.
TEST(BdfBehaviour, StepLimitIgnoresCarriedStatistics) {
    SymmetricSystem sys({-1.0, -50.0, -2e3});
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.max_steps = 1000;
    std::vector<double> y = {1.0, 1.0, 1.0};
    nvx::BdfStats st;
    st.n_steps = 5000;  // totals of earlier runs
    ErrText e;
    ASSERT_EQ(nvx::ode_bdf(SymmetricSystem::rhs, SymmetricSystem::jac, &sys, y.data(), 3, nullptr, 0.0,
                           2.0, o, nullptr, &st, &e.p), 0)
        << (e.p ? e.p : "");
    EXPECT_GT(st.n_steps, 5000);
    EXPECT_LT(st.n_steps, 6000);
}

// After a Jacobian refresh the Newton iteration restarts from the same predictor at the same
// time: f there is already known and must not be evaluated again (the network's f is costly).
TEST(BdfBehaviour, RetryAfterJacobianRefreshDoesNotRepeatAnEvaluation) {
    struct Recorder {
        double t = -1.0;
        std::vector<std::array<double, 3>> seen;  // states evaluated at time t
        int repeats = 0;
        static int rhs(double t, const double* y, double* f, void* u) {
            auto* r = static_cast<Recorder*>(u);
            if (t != r->t) r->seen.clear();
            r->t = t;
            const std::array<double, 3> state = {y[0], y[1], y[2]};
            if (std::find(r->seen.begin(), r->seen.end(), state) != r->seen.end()) ++r->repeats;
            r->seen.push_back(state);
            return robertson(t, y, f, nullptr);
        }
        static int jac(double t, const double* y, double* J, void*) { return robertson_jac(t, y, J, nullptr); }
    } rec;
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.rtol = 1e-8;
    o.atol = 1e-14;
    std::array<double, 3> y = {1.0, 0.0, 0.0};
    nvx::BdfStats st;
    ErrText e;
    ASSERT_EQ(nvx::ode_bdf(Recorder::rhs, Recorder::jac, &rec, y.data(), 3, nullptr, 0.0, 4e5, o, nullptr, &st,
                           &e.p), 0);
    EXPECT_GT(st.n_jac, 5);  // refreshes happened
    EXPECT_EQ(rec.repeats, 0);
}

}  // namespace
