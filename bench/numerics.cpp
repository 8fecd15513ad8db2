// Throughput of the numerical library's hot paths: segment search (bisection and hunting),
// spline evaluation, one VEGAS iteration set and reading a rate-table-sized file.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/numerics.h"

namespace {

std::vector<double> grid(size_t n) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = std::log10(1e-3) + 6.0 * static_cast<double>(i) / (n - 1);
    return x;
}

void BM_find_segment(benchmark::State& st) {
    const auto x = grid(static_cast<size_t>(st.range(0)));
    double q = x.front();
    const double dq = (x.back() - x.front()) / 1e5;
    for (auto _ : st) {
        benchmark::DoNotOptimize(nvx_find_segment(x.data(), x.size(), q));
        q = q + dq > x.back() ? x.front() : q + dq;
    }
}
BENCHMARK(BM_find_segment)->Arg(60)->Arg(1000);

void BM_find_segment_monotone(benchmark::State& st) {
    const auto x = grid(static_cast<size_t>(st.range(0)));
    double q = x.front();
    const double dq = (x.back() - x.front()) / 1e5;
    size_t hint = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(nvx_find_segment_monotone(x.data(), x.size(), &hint, q));
        q = q + dq > x.back() ? x.front() : q + dq;
    }
}
BENCHMARK(BM_find_segment_monotone)->Arg(60)->Arg(1000);

void BM_spline_eval(benchmark::State& st) {
    const auto x = grid(1000);
    std::vector<double> y;
    for (double t : x) y.push_back(std::sin(t));
    nvx_cubic_spline sp{};
    nvx_cubic_spline_fit_notaknot(x.data(), y.data(), x.size(), &sp, nullptr);
    double q = x.front();
    for (auto _ : st) {
        benchmark::DoNotOptimize(nvx_cubic_spline_eval(&sp, q));
        q = q + 1e-4 > x.back() ? x.front() : q + 1e-4;
    }
    nvx_cubic_spline_free(&sp);
}
BENCHMARK(BM_spline_eval);

double peak(const double* x, void*) {
    const double dx = x[0] - 0.4, dy = x[1] - 0.6;
    return std::exp(-(dx * dx + dy * dy) / 2e-4);
}

void BM_vegas_20000x2x20(benchmark::State& st) {
    const double lo[2] = {0, 0}, hi[2] = {1, 1};
    for (auto _ : st) benchmark::DoNotOptimize(nvx_vegas_integrate(peak, nullptr, lo, hi, 20000, 20, 20, 1));
}
BENCHMARK(BM_vegas_20000x2x20)->Unit(benchmark::kMillisecond);

void BM_table_read_3x1000(benchmark::State& st) {
    const std::string path = "/tmp/nuvex_bench_table.txt";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fputs("# T9 rate err\n", f);
        for (int i = 0; i < 1000; ++i) std::fprintf(f, "%.6e %.6e %.3f\n", 1e-3 * (i + 1), 1e3 / (i + 1), 1.1);
        std::fclose(f);
    }
    for (auto _ : st) {
        NVXTable t{};
        nvx_table_read(path.c_str(), 3, &t, nullptr);
        benchmark::DoNotOptimize(t.nrows);
        nvx_table_free(&t);
    }
    std::remove(path.c_str());
}
BENCHMARK(BM_table_read_3x1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
