// Integrator benchmarks: stiff BDF on Robertson kinetics and on a 60-species decay chain (work
// counters per solve), and the Dormand-Prince step rate on a two-component system.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "nuvex/ode.h"
#include "ode/bdf.hpp"

namespace {

int robertson(double, const double* y, double* f, void*) {
    f[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
    f[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
    f[2] = 3e7 * y[1] * y[1];
    return 0;
}
int robertson_jac(double, const double* y, double* J, void*) {
    const double j[9] = {-0.04, 1e4 * y[2], 1e4 * y[1], 0.04, -1e4 * y[2] - 6e7 * y[1],
                         -1e4 * y[1], 0.0, 6e7 * y[1], 0.0};
    for (int i = 0; i < 9; ++i) J[i] = j[i];
    return 0;
}

// Linear decay chain 0 -> 1 -> ... -> 59 with rates from 1e-3 to 1e6 per unit time (stiff).
struct Chain {
    static constexpr size_t n = 60;
    std::vector<double> k;
    Chain() : k(n) {
        for (size_t i = 0; i < n; ++i) k[i] = i + 1 == n ? 0.0 : std::pow(10.0, -3.0 + 9.0 * double((i * 37) % (n - 1)) / double(n - 2));
    }
    static int rhs(double, const double* y, double* f, void* self) {
        const auto& k = static_cast<Chain*>(self)->k;
        for (size_t i = 0; i < n; ++i) f[i] = -k[i] * y[i] + (i > 0 ? k[i - 1] * y[i - 1] : 0.0);
        return 0;
    }
    static int jac(double, const double*, double* J, void* self) {
        const auto& k = static_cast<Chain*>(self)->k;
        for (size_t i = 0; i < n * n; ++i) J[i] = 0.0;
        for (size_t i = 0; i < n; ++i) {
            J[i * n + i] = -k[i];
            if (i > 0) J[i * n + i - 1] = k[i - 1];
        }
        return 0;
    }
};

void report(benchmark::State& state, const nvx::BdfStats& st) {
    state.counters["steps"] = double(st.n_steps);
    state.counters["rejected"] = double(st.n_rejected);
    state.counters["f_calls"] = double(st.n_f);
    state.counters["jac_calls"] = double(st.n_jac);
    state.counters["lu"] = double(st.n_lu);
}

void BM_BdfRobertson(benchmark::State& state) {
    const bool analytic = state.range(0) != 0;
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    o.atol = 1e-20;
    nvx::BdfStats st;
    for (auto _ : state) {
        double y[3] = {1.0, 0.0, 0.0};
        st = {};
        char* err = nullptr;
        if (nvx::ode_bdf(robertson, analytic ? robertson_jac : nullptr, nullptr, y, 3, nullptr, 0.0,
                         1e10, o, nullptr, &st, &err) != 0) {
            state.SkipWithError(err);
            std::free(err);
            return;
        }
        benchmark::DoNotOptimize(y);
    }
    report(state, st);
}
BENCHMARK(BM_BdfRobertson)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_BdfChain60(benchmark::State& state) {
    const bool analytic = state.range(0) != 0;
    Chain chain;
    nvx_ode_bdf_opts o;
    nvx_ode_bdf_default_opts(&o);
    nvx::BdfStats st;
    for (auto _ : state) {
        std::vector<double> y(Chain::n, 0.0);
        y[0] = 1.0;
        st = {};
        char* err = nullptr;
        if (nvx::ode_bdf(Chain::rhs, analytic ? Chain::jac : nullptr, &chain, y.data(), Chain::n,
                         nullptr, 0.0, 1e4, o, nullptr, &st, &err) != 0) {
            state.SkipWithError(err);
            std::free(err);
            return;
        }
        benchmark::DoNotOptimize(y.data());
    }
    report(state, st);
}
BENCHMARK(BM_BdfChain60)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

int oscillator(double, const double* y, double* f, void*) {
    f[0] = y[1];
    f[1] = -y[0];
    return 0;
}
void count_step(double, const double*, size_t, void* n) { ++*static_cast<long*>(n); }

void BM_Rk45TwoComponent(benchmark::State& state) {
    nvx_ode_rk_opts o;
    nvx_ode_rk_default_opts(&o);
    o.max_steps = 1 << 30;
    long steps = 0;
    for (auto _ : state) {
        double y[2] = {1.0, 0.0};
        char* err = nullptr;
        if (nvx_ode_rk45(oscillator, nullptr, y, 2, count_step, &steps, 0.0, 1000.0, o, &err) != 0) {
            state.SkipWithError(err);
            std::free(err);
            return;
        }
        benchmark::DoNotOptimize(y);
    }
    state.counters["steps_per_s"] = benchmark::Counter(double(steps), benchmark::Counter::kIsRate);
    state.counters["steps"] = double(steps) / double(state.iterations());
}
BENCHMARK(BM_Rk45TwoComponent)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
