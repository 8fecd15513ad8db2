// Cost of the weak n<->p rates: cold build of the rate table and of the thermal-correction table
// with the default parameters (1 and 2 threads), and one rate lookup on the network's hot path.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "nuvex/neutrino.h"
#include "nuvex/weak.h"

namespace {

// Default parameters with the decoupling history of the data directory; caches never touched.
struct Setup {
    NVXConfig cfg{};
    nvx_neutrino_history hist{};
    std::vector<double> T, Tnu;
    bool ok = false;

    Setup() {
        char* err = nullptr;
        if (nvx_config_init_defaults(&cfg, NUVEX_DATA_DIR, &err) != 0 ||
            nvx_neutrino_history_init(&hist, &cfg, nullptr, &err) != 0) {
            std::fprintf(stderr, "bench_weak: %s\n", err ? err : "set-up failed");
            nvx_free(err);
            return;
        }
        cfg.verbose = 0;
        cfg.weak_rate_cache = 0;
        cfg.save_nTOp = 0;
        cfg.save_nTOp_thermal = 0;
        std::free(cfg.cache_dir);
        cfg.cache_dir = strdup("/nonexistent/nuvex_bench_weak");
        for (int i = 0; i <= 600; ++i) {
            T.push_back(std::pow(10.0, -3.0 + 5.0 * i / 600.0));
            Tnu.push_back(nvx_nu_Tnue_of_Tg(&hist, T.back()));
        }
        ok = true;
    }
    ~Setup() {
        nvx_neutrino_history_free(&hist);
        nvx_config_free(&cfg);
    }
};

void BM_weak_rate_table_cold(benchmark::State& st) {
    Setup s;
    if (!s.ok) return st.SkipWithError("set-up failed");
    s.cfg.thermal_corrections = 0;
    for (auto _ : st) {
        nvx_weak_rates r{};
        char* err = nullptr;
        if (nvx_weak_rates_init(&r, s.T.data(), s.Tnu.data(), s.T.size(), &s.cfg, &s.hist, &err) != 0)
            st.SkipWithError(err ? err : "init failed");
        nvx_free(err);
        nvx_weak_rates_free(&r);
    }
}
BENCHMARK(BM_weak_rate_table_cold)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Thermal table on its default grid (20 points per decade from 10^8.2 K to 10 MeV).
void BM_weak_thermal_table_cold(benchmark::State& st) {
    Setup s;
    if (!s.ok) return st.SkipWithError("set-up failed");
    nvx_weak_ctx ctx{};
    char* err = nullptr;
    if (nvx_weak_ctx_init(&ctx, s.T.data(), s.Tnu.data(), s.T.size(), &s.cfg, &s.hist, &err) != 0) {
        nvx_free(err);
        return st.SkipWithError("context failed");
    }
    const double lg_hi = std::log10(nvx_T_start());
    const long n = std::lround((lg_hi - 8.2) * s.cfg.sampling_nTOp_thermal_per_decade);
    std::vector<double> T(n), a(n), b(n);
    for (long k = 0; k < n; ++k) T[k] = std::pow(10.0, 8.2 + double(k) / double(n - 1) * (lg_hi - 8.2));
    for (auto _ : st)
        nvx_weak_thermal_table(&ctx, T.data(), size_t(n), int(st.range(0)), 0, a.data(), b.data());
    st.counters["points"] = double(n);
    st.counters["L_nTOp_at_1MeV"] = a[size_t(n * (std::log10(nvx_T_weak()) - 8.2) / (lg_hi - 8.2))];
    nvx_weak_ctx_free(&ctx);
}
BENCHMARK(BM_weak_thermal_table_cold)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_weak_rate_lookup(benchmark::State& st) {
    Setup s;
    if (!s.ok) return st.SkipWithError("set-up failed");
    s.cfg.thermal_corrections = 0;
    nvx_weak_rates r{};
    char* err = nullptr;
    if (nvx_weak_rates_init(&r, s.T.data(), s.Tnu.data(), s.T.size(), &s.cfg, &s.hist, &err) != 0) {
        nvx_free(err);
        return st.SkipWithError("init failed");
    }
    // Thermal-table lookups use a small synthetic table: the point is the cost of the query.
    std::vector<double> Tth(57), L(57, 1e-3);
    for (size_t i = 0; i < Tth.size(); ++i) Tth[i] = std::pow(10.0, 8.2 + 2.86 * double(i) / 56.0);
    if (st.range(0)) {
        r.has_thermal = 1;
        r.T_th = Tth.data();
        r.L_nTOp = L.data();
        r.L_pTOn = L.data();
        r.n_th = Tth.size();
    }
    double T = 1e8, sum = 0.0;
    for (auto _ : st) {
        sum += nvx_weak_rate_nTOp(&r, T);
        T = T > 1.1e11 ? 1e8 : T * 1.0001;
    }
    benchmark::DoNotOptimize(sum);
    r.has_thermal = 0;
    r.T_th = r.L_nTOp = r.L_pTOn = nullptr;
    nvx_weak_rates_free(&r);
}
BENCHMARK(BM_weak_rate_lookup)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
