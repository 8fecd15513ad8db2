// Time to read the shipped numeric tables (decoupling tables and every nuclear rate table) with
// the table reader, as a run reads them; the CRC-like digest printed at the end shows the values.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "nuvex/numerics.h"

namespace {

struct Shipped {
    std::vector<std::string> paths;
    std::vector<size_t> columns;
};

const Shipped& shipped() {
    static const Shipped s = [] {
        Shipped out;
        const std::string data = NUVEX_DATA_DIR;
        for (const char* f : {"SOLANNUVEX_col_1_7.csv", "SOLANNUVEX_NoQED_col_1_7.csv"}) {
            out.paths.push_back(data + "/SOLAN/" + f);
            out.columns.push_back(7);
        }
        for (const char* f : {"SOLANNUVEX.csv", "SOLANNUVEX_NoQED.csv"}) {
            out.paths.push_back(data + "/SOLAN/" + f);
            out.columns.push_back(86);
        }
        out.paths.push_back(data + "/SOLAN/SOLANGrid.csv");
        out.columns.push_back(1);
        namespace fs = std::filesystem;
        for (const auto& e : fs::recursive_directory_iterator(data + "/nuclear/tables")) {
            const std::string p = e.path().string();
            if (e.is_regular_file() && p.size() > 10 && p.compare(p.size() - 10, 10, "_nuvex.txt") == 0) {
                out.paths.push_back(p);
                out.columns.push_back(3);
            }
        }
        return out;
    }();
    return s;
}

uint64_t digest(const NVXTable& t, uint64_t h) {
    for (size_t j = 0; j < t.ncols; ++j)
        for (size_t i = 0; i < t.nrows; ++i) {
            uint64_t b;
            std::memcpy(&b, &t.columns[j][i], sizeof b);
            h = (h ^ b) * 0x100000001b3ULL;
        }
    return h;
}

void read_set(benchmark::State& st, size_t first, size_t last) {
    const Shipped& s = shipped();
    uint64_t h = 0;
    size_t bytes = 0;
    for (auto _ : st) {
        h = 0xcbf29ce484222325ULL;
        for (size_t k = first; k < last; ++k) {
            NVXTable t{};
            char* err = nullptr;
            if (nvx_table_read(s.paths[k].c_str(), s.columns[k], &t, &err) != 0) {
                st.SkipWithError(err ? err : "read failed");
                std::free(err);
                return;
            }
            h = digest(t, h);
            nvx_table_free(&t);
        }
    }
    for (size_t k = first; k < last; ++k) bytes += std::filesystem::file_size(s.paths[k]);
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(bytes));
    st.counters["digest_lo32"] = double(h & 0xffffffffu);
}

void BM_read_decoupling_tables(benchmark::State& st) { read_set(st, 0, 5); }
BENCHMARK(BM_read_decoupling_tables)->Unit(benchmark::kMillisecond);

void BM_read_nuclear_rate_tables(benchmark::State& st) { read_set(st, 5, shipped().paths.size()); }
BENCHMARK(BM_read_nuclear_rate_tables)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
