// Cost of building the standard background with the default parameters once its caches are warm,
// and of the four lookups the network makes at every right-hand side (shown not to allocate).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/background.h"
#include "nuvex/constants.h"

#include "malloc_counter.hpp"

namespace {

// Defaults, with the caches in a directory of their own (filled by the first construction).
struct Setup {
    NVXConfig cfg{};
    nvx_plasma plasma{};
    bool ok = false;
    Setup() {
        char* err = nullptr;
        if (nvx_config_init_defaults(&cfg, NUVEX_DATA_DIR, &err) != 0) return;
        const char* env = std::getenv("NUVEX_BENCH_CACHE");
        const std::string dir = env && *env ? env : "/tmp/nuvex_bench_cache";
        NVXParam p{};
        p.kind = NVX_PARAM_STRING;
        p.payload.s = dir.c_str();
        if (nvx_config_set_param(&cfg, "cache_dir", p, &err) != 0) return;
        if (nvx_config_validate(&cfg, &err) != 0 || nvx_plasma_init(&plasma, &cfg, &err) != 0) {
            nvx_free(err);
            return;
        }
        nvx_background warm{};
        ok = nvx_bg_init_standard(&warm, &cfg, &plasma, &err) == 0;
        nvx_free(err);
        nvx_background_free(&warm);
    }
    ~Setup() {
        nvx_plasma_free(&plasma);
        nvx_config_free(&cfg);
    }
};

Setup& shared_setup() {
    static Setup s;
    return s;
}

void BM_background_construction_warm(benchmark::State& st) {
    Setup& s = shared_setup();
    if (!s.ok) return st.SkipWithError("set-up failed");
    for (auto _ : st) {
        nvx_background bg{};
        char* err = nullptr;
        if (nvx_bg_init_standard(&bg, &s.cfg, &s.plasma, &err) != 0) st.SkipWithError("init failed");
        nvx_free(err);
        st.counters["grid_points"] = double(bg.n);
        nvx_background_free(&bg);
    }
}
BENCHMARK(BM_background_construction_warm)->Unit(benchmark::kMillisecond)->UseRealTime();

// The four queries of one network right-hand side, at times spread over the whole run.
void BM_background_rhs_queries(benchmark::State& st) {
    Setup& s = shared_setup();
    if (!s.ok) return st.SkipWithError("set-up failed");
    nvx_background bg{};
    char* err = nullptr;
    if (nvx_bg_init_standard(&bg, &s.cfg, &s.plasma, &err) != 0) {
        nvx_free(err);
        return st.SkipWithError("init failed");
    }
    std::vector<double> t(4096);
    const double l0 = std::log(bg.t[0]), l1 = std::log(bg.t[bg.n - 1]);
    for (size_t i = 0; i < t.size(); ++i) t[i] = std::exp(l0 + (l1 - l0) * double((i * 2654435761u) % t.size()) / double(t.size()));
    const double K_per_MeV = nvx_MeV_to_Kelvin();
    double sum = 0.0;
    size_t i = 0;
    const long mallocs0 = g_mallocs.load();
    for (auto _ : st) {
        const double ti = t[i++ & 4095];
        const double T_K = nvx_bg_T_of_t(&bg, ti) * K_per_MeV;
        sum += nvx_bg_rhoB_BBN(&bg, ti) + nvx_bg_weak_nTOp_frwrd(&bg, T_K) +
               nvx_bg_weak_nTOp_bkwrd(&bg, T_K);
    }
    st.counters["mallocs_per_call"] = double(g_mallocs.load() - mallocs0) / double(st.iterations());
    benchmark::DoNotOptimize(sum);
    nvx_background_free(&bg);
}
BENCHMARK(BM_background_rhs_queries);

}  // namespace

BENCHMARK_MAIN();
