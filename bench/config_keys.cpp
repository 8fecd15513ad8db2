// Cost of setting many rate-variation keys (p_<reaction>) on a parameter record and of reading an
// INI file of them: both must grow linearly with the number of keys (20,000 and 200,000 keys).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nuvex/config.h"

namespace {

std::vector<std::string> keys(size_t n) {
    std::vector<std::string> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = "p_reaction_" + std::to_string(i);
    return out;
}

void BM_set_p_keys(benchmark::State& st) {
    const auto k = keys(static_cast<size_t>(st.range(0)));
    for (auto _ : st) {
        NVXConfig c;
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err)) {
            st.SkipWithError(err ? err : "init failed");
            return;
        }
        NVXParamPayload p{};
        p.d = 0.5;
        for (const auto& key : k) nvx_config_set_by_name(&c, key.c_str(), NVX_PARAM_FLOAT, p, &err);
        NVXConfig copy;
        nvx_config_copy(&copy, &c, &err);
        nvx_config_free(&copy);
        nvx_config_free(&c);
    }
    st.SetComplexityN(st.range(0));
}
BENCHMARK(BM_set_p_keys)->Arg(2000)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond)->Complexity();

void BM_ini_p_keys(benchmark::State& st) {
    const std::string path = "/tmp/nuvex_bench_keys.ini";
    {
        FILE* f = std::fopen(path.c_str(), "w");
        for (const auto& key : keys(static_cast<size_t>(st.range(0)))) std::fprintf(f, "%s = 0.5\n", key.c_str());
        std::fclose(f);
    }
    for (auto _ : st) {
        NVXConfig c;
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) || nvx_ini_load(&c, path.c_str(), &err)) {
            st.SkipWithError(err ? err : "INI failed");
            return;
        }
        nvx_config_free(&c);
    }
    std::remove(path.c_str());
    st.SetComplexityN(st.range(0));
}
BENCHMARK(BM_ini_p_keys)->Arg(20000)->Arg(200000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
