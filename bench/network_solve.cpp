// The network integration alone (HT, MT and LT eras) with every other stage built once: the part
// of a run that a change of Omega_b h^2 or of the rates repeats. Small and large shipped networks.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/plasma.h"

namespace {

// Parameter record, plasma, rates and background of a default run (caches in the usual place).
struct Context {
    NVXConfig c{};
    nvx_plasma plasma{};
    NVXNuclearRates rates{};
    nvx_background bg{};
    bool ok = false;

    explicit Context(const char* network) {
        char* err = nullptr;
        ok = nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) == 0 &&
             nvx_config_set_param(&c, "network", nvx_parse_literal(network), &err) == 0 &&
             nvx_config_set_param(&c, "show_progress", nvx_parse_literal("False"), &err) == 0 &&
             nvx_config_validate(&c, &err) == 0 && nvx_plasma_init(&plasma, &c, &err) == 0 &&
             nvx_nuclear_rates_init(&rates, &c, nullptr, &err) == 0 &&
             nvx_bg_init_standard(&bg, &c, &plasma, &err) == 0;
        if (!ok) std::fprintf(stderr, "bench_network_solve: %s\n", err ? err : "setup failed");
        std::free(err);
    }
    ~Context() {
        nvx_background_free(&bg);
        nvx_nuclear_rates_free(&rates);
        nvx_plasma_free(&plasma);
        nvx_config_free(&c);
    }
};

void BM_NetworkSolve(benchmark::State& state, const char* network) {
    Context ctx(network);
    if (!ctx.ok) return state.SkipWithError("setup failed");
    nvx_nuclear_era_stats last[NVX_N_ERAS] = {};
    for (auto _ : state) {
        nvx_nuclear_network nn{};
        char* err = nullptr;
        if (nvx_nuclear_network_solve(&nn, &ctx.c, &ctx.rates, &ctx.bg, &err)) {
            state.SkipWithError(err ? err : "solve failed");
            std::free(err);
            break;
        }
        for (int e = 0; e < NVX_N_ERAS; ++e) last[e] = nn.stats[e];
        nvx_nuclear_network_free(&nn);
    }
    const char* era[NVX_N_ERAS] = {"HT", "MT", "LT"};
    for (int e = 0; e < NVX_N_ERAS; ++e) {
        state.counters[std::string(era[e]) + "_steps"] = double(last[e].steps);
        state.counters[std::string(era[e]) + "_rhs"] = double(last[e].rhs_evals);
        state.counters[std::string(era[e]) + "_jac"] = double(last[e].jac_evals);
        state.counters[std::string(era[e]) + "_rejected"] = double(last[e].rejected);
        state.counters[std::string(era[e]) + "_lu"] = double(last[e].lu_factorisations);
    }
}
BENCHMARK_CAPTURE(BM_NetworkSolve, small, "'small'")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkSolve, large, "'large'")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
