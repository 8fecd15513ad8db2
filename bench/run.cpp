// Whole-run benchmarks: a default run with warm caches (small and large network), the same run
// split by stage with the integrators' work per era, and (NUVEX_BENCH_COLD=1) a cold first run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/plasma.h"
#include "nuvex/results.h"
#include "nuvex/run.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

bool make_config(NVXConfig& c, const char* network, const char* cache_dir, const char* data_dir = NUVEX_DATA_DIR) {
    char* err = nullptr;
    bool ok = nvx_config_init_defaults(&c, data_dir, &err) == 0 &&
              nvx_config_set_param(&c, "network", nvx_parse_literal(network), &err) == 0 &&
              nvx_config_set_param(&c, "show_progress", nvx_parse_literal("False"), &err) == 0 &&
              (!cache_dir || nvx_config_set_param(&c, "cache_dir", NVXParam{NVX_PARAM_STRING, {.s = cache_dir}}, &err) == 0) &&
              nvx_config_validate(&c, &err) == 0;
    if (!ok) std::fprintf(stderr, "bench_run: %s\n", err ? err : "configuration failed");
    std::free(err);
    return ok;
}

bool one_run(const NVXConfig& c, benchmark::State& state) {
    NVXResults r{};
    char* err = nullptr;
    int rc = didiva_run(&c, nullptr, &r, &err);
    if (rc) state.SkipWithError(err ? err : "run failed");
    std::free(err);
    didiva_results_free(&r);
    return rc == 0;
}

// Cache folder of the "qed_saved" variants: a first run there with recompute_qed_corrections
// saves the QED pressure tables, which later runs load instead of computing them every time.
const char* kSavedCache = "/tmp/nuvex_bench_cache";

struct Variant {
    const char* network;
    bool qed_saved;
};

// Configuration with the defaults; caches warm after the first (unmeasured) run.
bool warm_config(NVXConfig& c, const Variant& v, benchmark::State& state) {
    if (v.qed_saved) {
        NVXConfig first;
        if (!make_config(first, v.network, kSavedCache)) return false;
        char* err = nullptr;
        nvx_config_set_param(&first, "recompute_qed_corrections", nvx_parse_literal("True"), &err);
        std::free(err);
        bool ok = one_run(first, state);
        nvx_config_free(&first);
        if (!ok) return false;
    }
    if (!make_config(c, v.network, v.qed_saved ? kSavedCache : nullptr)) return false;
    if (one_run(c, state)) return true;
    nvx_config_free(&c);
    return false;
}

// Whole default run.
void BM_DefaultRun(benchmark::State& state, Variant v) {
    NVXConfig c;
    if (!warm_config(c, v, state)) return;
    for (auto _ : state)
        if (!one_run(c, state)) break;
    nvx_config_free(&c);
}
BENCHMARK_CAPTURE(BM_DefaultRun, small, Variant{"'small'", false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DefaultRun, large, Variant{"'large'", false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DefaultRun, small_qed_saved, Variant{"'small'", true})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DefaultRun, large_qed_saved, Variant{"'large'", true})->Unit(benchmark::kMillisecond);

// The stages of one run timed separately (ms), with steps and Jacobian evaluations per era.
void BM_RunStages(benchmark::State& state, Variant v) {
    NVXConfig c;
    if (!warm_config(c, v, state)) return;
    double t_plasma = 0, t_rates = 0, t_bg = 0, t_era[NVX_N_ERAS] = {0, 0, 0};
    nvx_nuclear_era_stats last[NVX_N_ERAS] = {};
    for (auto _ : state) {
        nvx_plasma plasma{};
        NVXNuclearRates rates{};
        nvx_background bg{};
        nvx_nuclear_network nn{};
        char* err = nullptr;
        auto t0 = Clock::now();
        if (nvx_plasma_init(&plasma, &c, &err)) break;
        t_plasma += ms_since(t0);
        t0 = Clock::now();
        if (nvx_nuclear_rates_init(&rates, &c, nullptr, &err)) break;
        t_rates += ms_since(t0);
        t0 = Clock::now();
        if (nvx_bg_init_standard(&bg, &c, &plasma, &err)) break;
        t_bg += ms_since(t0);
        if (nvx_nuclear_network_solve(&nn, &c, &rates, &bg, &err)) break;
        for (int e = 0; e < NVX_N_ERAS; ++e) {
            t_era[e] += 1e3 * nn.stats[e].seconds;
            last[e] = nn.stats[e];
        }
        nvx_nuclear_network_free(&nn);
        nvx_background_free(&bg);
        nvx_nuclear_rates_free(&rates);
        nvx_plasma_free(&plasma);
        std::free(err);
    }
    const double n = double(state.iterations() ? state.iterations() : 1);
    state.counters["plasma_ms"] = t_plasma / n;
    state.counters["rates_ms"] = t_rates / n;
    state.counters["bg_ms"] = t_bg / n;
    const char* era[NVX_N_ERAS] = {"HT", "MT", "LT"};
    for (int e = 0; e < NVX_N_ERAS; ++e) {
        state.counters[std::string(era[e]) + "_ms"] = t_era[e] / n;
        state.counters[std::string(era[e]) + "_steps"] = double(last[e].steps);
        state.counters[std::string(era[e]) + "_jac"] = double(last[e].jac_evals);
        state.counters[std::string(era[e]) + "_rhs"] = double(last[e].rhs_evals);
    }
    nvx_config_free(&c);
}
BENCHMARK_CAPTURE(BM_RunStages, small, Variant{"'small'", false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunStages, large, Variant{"'large'", false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunStages, small_qed_saved, Variant{"'small'", true})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RunStages, large_qed_saved, Variant{"'large'", true})->Unit(benchmark::kMillisecond);

// A first run without any cache (electron-positron, QED, weak and thermal-correction tables): a copy
// of the data directory without its cache folder, and an empty cache directory.
void BM_ColdFirstRun(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        char dir[] = "/tmp/nuvex_bench_cold_XXXXXX";
        if (!mkdtemp(dir)) return state.SkipWithError("mkdtemp");
        const std::string data = std::string(dir) + "/data", cache = std::string(dir) + "/cache";
        const std::string copy = "mkdir -p " + data + " && cp -r " NUVEX_DATA_DIR "/csv " NUVEX_DATA_DIR "/nuclear " NUVEX_DATA_DIR "/SOLAN " + data;
        if (std::system(copy.c_str()) != 0) return state.SkipWithError("cannot copy the data directory");
        NVXConfig c;
        if (!make_config(c, "'small'", cache.c_str(), data.c_str())) return state.SkipWithError("config");
        state.ResumeTiming();
        one_run(c, state);
        state.PauseTiming();
        nvx_config_free(&c);
        std::system((std::string("rm -rf ") + dir).c_str());
        state.ResumeTiming();
    }
}

const bool g_cold = [] {
    if (std::getenv("NUVEX_BENCH_COLD"))
        benchmark::RegisterBenchmark("BM_ColdFirstRun", BM_ColdFirstRun)->Iterations(1)->Unit(benchmark::kSecond);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
