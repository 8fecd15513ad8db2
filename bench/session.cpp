// Solver sessions against the plain one-shot path (didiva_run, what run_bbn calls): each benchmark
// times its own baseline in the same process and reports the ratio, so machine load cancels out.
// Warm caches (a first unmeasured run writes them).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/results.h"
#include "nuvex/run.h"
#include "nuvex/session.h"

namespace {

using Clock = std::chrono::steady_clock;

NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }
NVXParam S(const char* v) { NVXParam p{NVX_PARAM_STRING, {}}; p.payload.s = v; return p; }
NVXParam B(bool v) { NVXParam p{NVX_PARAM_BOOL, {}}; p.payload.i = v; return p; }

bool make_record(NVXConfig& c, const char* network, double Omegabh2) {
    char* err = nullptr;
    bool ok = nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) == 0 &&
              nvx_config_set_param(&c, "network", S(network), &err) == 0 &&
              nvx_config_set_param(&c, "show_progress", B(false), &err) == 0 &&
              nvx_config_set_param(&c, "Omegabh2", F(Omegabh2), &err) == 0 && nvx_config_validate(&c, &err) == 0;
    if (!ok) std::fprintf(stderr, "bench_session: %s\n", err ? err : "configuration failed");
    std::free(err);
    return ok;
}

// One fresh one-shot run (as run_bbn does: a record from the defaults, then didiva_run); seconds.
double one_shot(const char* network, double Omegabh2) {
    const auto t0 = Clock::now();
    NVXConfig c;
    if (!make_record(c, network, Omegabh2)) std::abort();
    NVXResults r{};
    char* err = nullptr;
    if (didiva_run(&c, nullptr, &r, &err) != 0) std::abort();
    didiva_results_free(&r);
    nvx_config_free(&c);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Session runs that change one parameter every time (so nothing is merely repeated), against
// one-shot runs of the same parameters, interleaved.
void BM_SessionChange(benchmark::State& state, const char* network, const char* key, double base, double step) {
    NVXConfig c;
    if (!make_record(c, network, 0.02242)) return state.SkipWithError("config");
    NVXSession* s = nvx_session_create(&c, nullptr);
    nvx_config_free(&c);
    NVXResults r{};
    char* err = nullptr;
    if (nvx_session_run(s, nullptr, 0, &r, &err) != 0) return state.SkipWithError(err ? err : "run");
    didiva_results_free(&r);
    one_shot(network, 0.02242);  // caches warm
    double t_session = 0, t_plain = 0;
    int i = 0;
    for (auto _ : state) {
        const double value = base + step * (i++ % 7);
        const NVXKeyParam change[] = {{key, F(value)}};
        const auto t0 = Clock::now();
        if (nvx_session_run(s, change, 1, &r, &err) != 0) return state.SkipWithError(err ? err : "run");
        t_session += std::chrono::duration<double>(Clock::now() - t0).count();
        didiva_results_free(&r);
        state.PauseTiming();
        t_plain += one_shot(network, key[0] == 'O' && key[1] == 'm' && key[5] == 'b' ? value : 0.02242);
        state.ResumeTiming();
    }
    state.counters["session_ms"] = 1e3 * t_session / double(state.iterations());
    state.counters["run_bbn_ms"] = 1e3 * t_plain / double(state.iterations());
    state.counters["ratio"] = t_session / t_plain;
    nvx_session_free(s);
}
BENCHMARK_CAPTURE(BM_SessionChange, small_Omegabh2, "small", "Omegabh2", 0.0220, 1e-4)
    ->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK_CAPTURE(BM_SessionChange, large_Omegabh2, "large", "Omegabh2", 0.0220, 1e-4)
    ->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK_CAPTURE(BM_SessionChange, small_tau_n, "small", "tau_n", 877.0, 0.5)
    ->Unit(benchmark::kMillisecond)->Iterations(30);
// a background parameter: the background is rebuilt every run
BENCHMARK_CAPTURE(BM_SessionChange, small_DeltaNeff, "small", "DeltaNeff", 0.0, 0.05)
    ->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
