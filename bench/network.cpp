// Cost of the network evaluators (right-hand side, Jacobian, rate buffer) for the shipped small
// network and a synthetic 400-reaction, 60-species network, and of assembling the shipped networks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/network.h"

#include "malloc_counter.hpp"

namespace {

struct Shipped {
    NVXConfig cfg{};
    NVXNuclearRates rates{};
    explicit Shipped(const char* network) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&cfg, NUVEX_DATA_DIR, &err) != 0) std::abort();
        NVXParam p{};
        p.kind = NVX_PARAM_STRING;
        p.payload.s = network;
        if (nvx_config_set_param(&cfg, "network", p, &err) != 0) std::abort();
        if (nvx_nuclear_rates_init(&rates, &cfg, nullptr, &err) != 0) std::abort();
    }
    ~Shipped() {
        nvx_nuclear_rates_free(&rates);
        nvx_config_free(&cfg);
    }
};

// Random stoichiometry: 1-3 reactants and products drawn from 60 species.
struct Synthetic {
    NVXCompiledNetwork c{};
    std::vector<double> Y, rates;
    Synthetic(size_t R, size_t S) : Y(S), rates(2 * R) {
        std::mt19937_64 rng(42);
        std::uniform_int_distribution<int> sp(0, static_cast<int>(S) - 1), len(1, 3);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<NVXReactionStoich> st(R);
        for (auto& s : st) {
            auto fill = [&](int64_t* idx, int64_t* mult, size_t& n) {
                for (int k = len(rng); k > 0; --k) {
                    int64_t x = sp(rng);
                    size_t j = 0;
                    while (j < n && idx[j] != x) ++j;
                    if (j == n) idx[n++] = x;
                    ++mult[j];
                }
            };
            fill(s.reactants, s.reactant_mult, s.n_reactants);
            fill(s.products, s.product_mult, s.n_products);
        }
        if (nvx_compile_network(st.data(), R, S, &c, nullptr) != 0) std::abort();
        for (double& y : Y) y = std::pow(10.0, -10.0 * u(rng));
        for (double& r : rates) r = std::pow(10.0, 8.0 * u(rng) - 4.0);
    }
    ~Synthetic() { nvx_compiled_network_free(&c); }
};

template <typename Fn>
void count_allocs(benchmark::State& st, Fn fn) {
    long before = g_mallocs.load();
    for (auto _ : st) fn();
    st.counters["mallocs"] = static_cast<double>(g_mallocs.load() - before);
}

void BM_rhs_small(benchmark::State& st) {
    Shipped s("small");
    std::vector<double> Y(s.rates.lt.n_species, 1e-6), dY(Y.size());
    const double* buf = nvx_network_fill_buffer(&s.rates.lt, 1, 5e8, 1.0, 0.1);
    count_allocs(st, [&] {
        nvx_network_rhs(&s.rates.lt_compiled, Y.data(), buf, dY.data(), 1e-4);
        benchmark::DoNotOptimize(dY.data());
    });
}
BENCHMARK(BM_rhs_small);

void BM_jac_small(benchmark::State& st) {
    Shipped s("small");
    const size_t S = s.rates.lt.n_species;
    std::vector<double> Y(S, 1e-6), J(S * S);
    const double* buf = nvx_network_fill_buffer(&s.rates.lt, 1, 5e8, 1.0, 0.1);
    count_allocs(st, [&] {
        nvx_network_jacobian(&s.rates.lt_compiled, Y.data(), buf, J.data(), 1e-4);
        benchmark::DoNotOptimize(J.data());
    });
}
BENCHMARK(BM_jac_small);

// Rate buffer at a slowly moving temperature (new T every call: no reuse).
void BM_fill_buffer(benchmark::State& st) {
    Shipped s(st.range(0) ? "large" : "small");
    double T = 1e9;
    count_allocs(st, [&] {
        T = T > 1e7 ? T * 0.9999 : 1e9;
        benchmark::DoNotOptimize(nvx_network_fill_buffer(&s.rates.lt, 1, T, 1.0, 0.1));
    });
    st.SetLabel(st.range(0) ? "large" : "small");
}
BENCHMARK(BM_fill_buffer)->Arg(0)->Arg(1);

void BM_rhs_400x60(benchmark::State& st) {
    Synthetic n(400, 60);
    std::vector<double> dY(60);
    count_allocs(st, [&] {
        nvx_network_rhs(&n.c, n.Y.data(), n.rates.data(), dY.data(), 1e-4);
        benchmark::DoNotOptimize(dY.data());
    });
}
BENCHMARK(BM_rhs_400x60);

void BM_jac_400x60(benchmark::State& st) {
    Synthetic n(400, 60);
    std::vector<double> J(60 * 60);
    count_allocs(st, [&] {
        nvx_network_jacobian(&n.c, n.Y.data(), n.rates.data(), J.data(), 1e-4);
        benchmark::DoNotOptimize(J.data());
    });
}
BENCHMARK(BM_jac_400x60);

// Whole assembly of both eras: file reading, resampling onto 1000 points, compilation, checks.
void BM_assembly(benchmark::State& st) {
    const char* network = st.range(0) ? "large" : "small";
    for (auto _ : st) {
        Shipped s(network);
        benchmark::DoNotOptimize(s.rates.lt.n_reactions);
    }
    st.SetLabel(network);
}
BENCHMARK(BM_assembly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
