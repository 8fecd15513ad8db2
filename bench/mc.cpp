// Monte Carlo throughput: samples per second with 1 and 2 workers (small network, defaults, warm
// caches), and the per-sample cost against one plain one-shot run timed in the same process.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "nuvex/mc.h"
#include "nuvex/run.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kCache = "/tmp/nuvex_bench_cache";

bool make_record(NVXConfig& c) {
    char* err = nullptr;
    NVXParam dir{NVX_PARAM_STRING, {}};
    dir.payload.s = kCache.c_str();
    NVXParam off{NVX_PARAM_BOOL, {}};
    off.payload.i = 0;
    const bool ok = nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) == 0 &&
                    nvx_config_set_param(&c, "cache_dir", dir, &err) == 0 &&
                    nvx_config_set_param(&c, "show_progress", off, &err) == 0 && nvx_config_validate(&c, &err) == 0;
    std::free(err);
    return ok;
}

void run_mc(int num_mc, int n_jobs) {
    NVXConfig c;
    if (!make_record(c)) std::abort();
    const char* q[] = {"YPBBN", "DoH", "Li7oH"};
    NVXMCOptions o;
    nvx_mc_default_options(&o);
    o.num_mc = num_mc;
    o.n_jobs = n_jobs;
    o.quantities = q;
    o.n_quantities = 3;
    o.seed = 1;
    NVXMCResult r{};
    char* err = nullptr;
    if (nvx_mc_run(&c, nullptr, &o, &r, &err)) std::abort();
    nvx_mc_result_free(&r);
    nvx_config_free(&c);
}

double one_shot_seconds() {
    NVXConfig c;
    if (!make_record(c)) std::abort();
    const auto t0 = Clock::now();
    NVXResults r{};
    char* err = nullptr;
    if (didiva_run(&c, nullptr, &r, &err)) std::abort();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    didiva_results_free(&r);
    nvx_config_free(&c);
    return s;
}

// Whole calls (central run, worker set-up, samples): items are samples. "sample_vs_run" is the
// wall time per sample times the workers over one one-shot run.
void BM_McSamples(benchmark::State& state) {
    const int n_jobs = static_cast<int>(state.range(0));
    const int num_mc = static_cast<int>(state.range(1));
    run_mc(1, 1);  // warm the caches outside the timing
    double plain = 0;
    for (int i = 0; i < 5; ++i) plain += one_shot_seconds() / 5;
    double t = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        run_mc(num_mc, n_jobs);
        t += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    state.SetItemsProcessed(state.iterations() * num_mc);
    state.counters["run_bbn_ms"] = 1e3 * plain;
    state.counters["sample_vs_run"] = t / double(state.iterations()) / num_mc * n_jobs / plain;
}
BENCHMARK(BM_McSamples)->Args({1, 100})->Args({2, 100})->Args({2, 1000})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
