// Monte Carlo throughput: samples per second with 1 and 2 workers (small network, defaults, warm
// caches), to compare with the cost of one network solve and to read the speed-up.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/mc.h"

namespace {

const std::string kCache = "/tmp/nuvex_bench_cache";

void run_mc(int num_mc, int n_jobs) {
    NVXKeyParam dir{"cache_dir", {NVX_PARAM_STRING, {}}};
    dir.value.payload.s = kCache.c_str();
    const char* q[] = {"YPBBN", "DoH", "Li7oH"};
    NVXMCResult r{};
    char* err = nullptr;
    if (nvx_mc_uncertainty(num_mc, q, 3, NUVEX_DATA_DIR, &dir, 1, 1, n_jobs, nullptr, nullptr, nullptr, 0, 0, &r,
                           &err))
        std::abort();
    nvx_mc_result_free(&r);
}

// Whole calls (central run, worker set-up, samples): items are samples.
void BM_McSamples(benchmark::State& state) {
    const int n_jobs = static_cast<int>(state.range(0));
    const int num_mc = static_cast<int>(state.range(1));
    run_mc(1, 1);  // warm the caches outside the timing
    for (auto _ : state) run_mc(num_mc, n_jobs);
    state.SetItemsProcessed(state.iterations() * num_mc);
}
BENCHMARK(BM_McSamples)->Args({1, 1})->Args({1, 100})->Args({2, 100})->Args({2, 1000})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
