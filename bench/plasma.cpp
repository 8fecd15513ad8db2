// Plasma benchmarks: one entropy-and-derivative lookup (called at every background right-hand
// side) and the cold builds of the electron-positron and QED tables.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nuvex/config.h"
#include "nuvex/plasma.h"

namespace {

struct Cfg {
    NVXConfig c{};
    Cfg(int qed, int n_electron) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) != 0) std::abort();
        char templ[] = "/tmp/bench_plasmaXXXXXX";
        const char* dir = mkdtemp(templ);
        std::snprintf(c.data_dir, sizeof c.data_dir, "%s/data", dir);
        const std::string cache = std::string(dir) + "/cache";
        NVXParam p{};
        p.kind = NVX_PARAM_STRING;
        p.payload.s = cache.c_str();
        nvx_config_set_param(&c, "cache_dir", p, nullptr);
        c.QED_corrections = qed;
        c.n_electron_table = n_electron;
        c.recompute_electron_thermo = 1;  // every build is a cold one
    }
    ~Cfg() { nvx_config_free(&c); }
};

void BM_spl_and_dspl_dT(benchmark::State& state) {
    Cfg cfg(int(state.range(0)), 2000);
    nvx_plasma p{};
    if (nvx_plasma_init(&p, &cfg.c, nullptr) != 0) std::abort();
    double T = 0.02;
    for (auto _ : state) {
        double s, ds;
        nvx_plasma_spl_and_dspl_dT(&p, &s, &ds, T);
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(ds);
        T = T > 40.0 ? 0.02 : T * 1.0007;  // sweep the table like an integration does
    }
    nvx_plasma_free(&p);
}
BENCHMARK(BM_spl_and_dspl_dT)->Arg(0)->Arg(1);

void BM_electron_tables_cold(benchmark::State& state) {
    Cfg cfg(0, int(state.range(0)));
    for (auto _ : state) {
        nvx_plasma p{};
        if (nvx_plasma_init(&p, &cfg.c, nullptr) != 0) std::abort();
        nvx_plasma_free(&p);
    }
}
BENCHMARK(BM_electron_tables_cold)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_qed_tables_cold(benchmark::State& state) {
    for (auto _ : state) {
        nvx_qed_tables t{};
        if (nvx_qed_compute_tables(500, &t, nullptr, 0.001, 100.0, 0.0072973525692838015,
                                   0.51099895) != 0)
            std::abort();
        nvx_qed_tables_free(&t);
    }
}
BENCHMARK(BM_qed_tables_cold)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
