// The matrix exponential against closed forms, the decay matrix and decay era against
// conservation and complete decays, and the evolution and final-abundance files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "integration/nn_internal.hpp"
#include "nuvex/constants.h"
#include "run_fixture.hpp"
#include "test_util.hpp"

using nvx_test::NetworkGuard;
using nvx_test::RunContext;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) out.push_back(f);
    return out;
}

// strtod accepts values below the normal range (stod throws on them).
double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

std::vector<double> expm(const std::vector<double>& A, size_t n) {
    std::vector<double> E(n * n);
    char* err = nullptr;
    EXPECT_EQ(nvx::dt_expm(A.data(), n, E.data(), &err), 0) << (err ? err : "");
    std::free(err);
    return E;
}

}  // namespace

TEST(MatrixExponential, MatchesClosedForms) {
    // Two-member decay chain (Bateman), small and large norms (the latter scaled and squared).
    for (double t : {0.3, 50.0, 4000.0}) {
        const double a = 0.7, b = 0.2;
        auto E = expm({-a * t, 0.0, a * t, -b * t}, 2);
        EXPECT_NEAR(E[0], std::exp(-a * t), 1e-13);
        EXPECT_NEAR(E[2], a / (b - a) * (std::exp(-a * t) - std::exp(-b * t)), 1e-13);
        EXPECT_NEAR(E[3], std::exp(-b * t), 1e-13);
        EXPECT_EQ(E[1], 0.0);
    }
    // Rotation generator: exp = [[cos, -sin], [sin, cos]], norm well above the Pade threshold.
    const double w = 37.0;
    auto R = expm({0.0, -w, w, 0.0}, 2);
    EXPECT_NEAR(R[0], std::cos(w), 1e-11);
    EXPECT_NEAR(R[1], -std::sin(w), 1e-11);
    EXPECT_NEAR(R[2], std::sin(w), 1e-11);
    // The zero matrix gives the identity.
    auto I = expm(std::vector<double>(9, 0.0), 3);
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j) EXPECT_EQ(I[i * 3 + j], i == j ? 1.0 : 0.0);
}

TEST(DecayEra, DecaysConserveBaryonNumber) {
    RunContext run({{"network", "'large'"}});
    ASSERT_TRUE(run.ok()) << run.error;
    const size_t n = run.rates.lt.n_species;
    const auto M = nvx::decay_matrix(run.rates.lt, run.config.tau_n);
    const auto A = run.lt_A();
    size_t decaying = 0;
    for (size_t h = 0; h < n; ++h) {
        double column = 0.0, scale = std::fabs(M[h * n + h]);
        for (size_t u = 0; u < n; ++u) column += A[u] * M[u * n + h];
        EXPECT_NEAR(column, 0.0, 1e-12 * scale) << run.rates.lt.species[h];
        if (M[h * n + h] < 0) ++decaying;
    }
    EXPECT_GT(decaying, 10u);
    const long in = nvx::find_name(run.rates.lt.species, n, "n");
    ASSERT_GE(in, 0);
    EXPECT_DOUBLE_EQ(-M[in * n + in], 1.0 / run.config.tau_n);
}

TEST(DecayEra, WritesTheEvolutionOfCompleteDecays) {
    const std::string dir = nvx_test::scratch_dir("decay_era");
    const std::string path = dir + "/sub/decay.tsv";
    RunContext run({{"network", "'large'"}, {"decay_era", "True"}, {"output_decay_evolution", "True"},
                    {"decay_n_points", "5"}, {"output_decay_file", "'" + path + "'"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    char* err = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nvx_nuclear_network_decay_era(&g.nn, &err), 0) << (err ? err : "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[output] Decay-era evolution (5 rows) written to " + path + "\n");
    auto lines = lines_of(nvx_test::read_file(path));
    ASSERT_EQ(lines.size(), 6u);
    auto head = split_tabs(lines[0]);
    ASSERT_EQ(head.size(), g.nn.n_species + 1);
    EXPECT_EQ(head[0], "t");
    EXPECT_EQ(head[1], std::string("Y") + g.nn.species[0]);
    const auto A = run.lt_A();
    std::vector<double> last;
    for (size_t k = 1; k <= 5; ++k) {
        auto f = split_tabs(lines[k]);
        ASSERT_EQ(f.size(), g.nn.n_species + 1);
        std::vector<double> y;
        for (size_t j = 1; j < f.size(); ++j) y.push_back(num(f[j]));
        EXPECT_NEAR(nvx_test::weighted_sum(y.data(), A), 1.0, 1e-8) << "row " << k;
        if (k == 1) {
            EXPECT_NEAR(num(f[0]), g.nn.t_end + 1.0, 1e-6 * g.nn.t_end);
        }
        if (k == 5) {
            EXPECT_NEAR(num(f[0]), g.nn.t_end + run.config.t_decay_end, 1e-9 * run.config.t_decay_end);
        }
        last = y;
    }
    // After 1e9 years tritium (12 y) and beryllium-7 (53 d) have become helium-3 and lithium-7.
    auto col = [&](const char* s) { return size_t(nvx::find_name(g.nn.species, g.nn.n_species, s)); };
    EXPECT_LT(last[col("H3")], 1e-12 * nvx_nuclear_network_get(&g.nn, "H3"));
    EXPECT_LT(last[col("Be7")], 1e-12 * nvx_nuclear_network_get(&g.nn, "Be7"));
    const double he3 = nvx_nuclear_network_get(&g.nn, "He3") + nvx_nuclear_network_get(&g.nn, "H3");
    const double li7 = nvx_nuclear_network_get(&g.nn, "Li7") + nvx_nuclear_network_get(&g.nn, "Be7");
    EXPECT_NEAR(last[col("He3")] / he3, 1.0, 1e-6);
    EXPECT_NEAR(last[col("Li7")] / li7, 1.0, 1e-3);  // a little lithium-7 comes from heavier decays
    EXPECT_EQ(last[col("n")], 0.0);
    for (double v : last) EXPECT_GE(v, 0.0);
}

TEST(DecayEra, OnePointLiesOneSecondAfterTheEndAndConditionsGateTheEra) {
    const std::string dir = nvx_test::scratch_dir("decay_one");
    const std::string path = dir + "/decay.tsv";
    RunContext run({{"network", "'large'"}, {"decay_era", "True"}, {"output_decay_evolution", "True"},
                    {"decay_n_points", "1"}, {"output_decay_file", "'" + path + "'"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    char* err = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nvx_nuclear_network_decay_era(&g.nn, &err), 0);
    testing::internal::GetCapturedStdout();
    auto lines = lines_of(nvx_test::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_DOUBLE_EQ(num(split_tabs(lines[1])[0]), g.nn.t_end + 1.0);

    // Any condition false: nothing written, success.
    std::remove(path.c_str());
    run.config.output_decay_evolution = 0;
    EXPECT_EQ(nvx_nuclear_network_decay_era(&g.nn, &err), 0);
    run.config.output_decay_evolution = 1;
    char small[] = "small";
    char* large = run.config.network;
    run.config.network = small;
    EXPECT_EQ(nvx_nuclear_network_decay_era(&g.nn, &err), 0);
    run.config.network = large;
    EXPECT_FALSE(nvx_test::file_exists(path));

    // An unopenable path fails with its name.
    char bad[] = "/proc/no/such/dir/decay.tsv";
    char* saved = run.config.output_decay_file;
    run.config.output_decay_file = bad;
    EXPECT_EQ(nvx_nuclear_network_decay_era(&g.nn, &err), 1);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "nvx_nuclear_network_decay_era: cannot open /proc/no/such/dir/decay.tsv");
    std::free(err);
    run.config.output_decay_file = saved;
}

TEST(Outputs, EvolutionFileHasTheDocumentedColumns) {
    const std::string dir = nvx_test::scratch_dir("evolution");
    const std::string path = dir + "/a/b/evo.tsv", final_path = dir + "/final.dat";
    RunContext run({{"output_time_evolution", "True"}, {"output_rates_time_evolution", "True"},
                    {"output_n_points", "7"}, {"output_file", "'" + path + "'"},
                    {"output_final_result", "True"}, {"output_final_file", "'" + final_path + "'"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    testing::internal::CaptureStdout();
    ASSERT_EQ(run.solve(g.nn), "");
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("[output] Time-evolution data (7 rows) written to " + path + "\n"), std::string::npos);
    EXPECT_NE(said.find("[output] Final abundances (" + std::to_string(g.nn.n_species) + " nuclides) written to " +
                        final_path + "\n"),
              std::string::npos);

    const size_t R = run.rates.lt.n_reactions;
    auto lines = lines_of(nvx_test::read_file(path));
    ASSERT_EQ(lines.size(), 8u);
    auto head = split_tabs(lines[0]);
    ASSERT_EQ(head.size(), 6 + g.nn.n_species + R - 1);
    EXPECT_EQ(head[0], "t_s");
    EXPECT_EQ(head[5], "T_nutau_MeV");
    EXPECT_EQ(head[6], std::string("Y_") + g.nn.species[0]);
    for (size_t j = 6 + g.nn.n_species + 1; j < head.size(); ++j) EXPECT_LT(head[j - 1], head[j]);
    EXPECT_EQ(head.back().substr(head.back().size() - 6), "_frwrd");
    // First row at t(T_start_cosmo) = 40 MeV, before the network starts: zero abundances.
    auto first = split_tabs(lines[1]);
    EXPECT_NEAR(num(first[2]), run.config.T_start_cosmo_MeV, 1e-6 * run.config.T_start_cosmo_MeV);
    EXPECT_EQ(num(first[6]), 0.0);
    auto last = split_tabs(lines[7]);
    EXPECT_NEAR(num(last[0]), g.nn.t_end, 1e-7 * g.nn.t_end);
    EXPECT_NEAR(num(last[2]), run.config.T_end_MeV, 1e-5 * run.config.T_end_MeV);
    const long he4 = nvx::find_name(g.nn.species, g.nn.n_species, "He4");
    EXPECT_NEAR(num(last[6 + he4]), g.nn.Y_final[he4], 1e-8 * g.nn.Y_final[he4]);

    auto fin = lines_of(nvx_test::read_file(final_path));
    ASSERT_EQ(fin.size(), g.nn.n_species + 1);
    EXPECT_EQ(fin[0], "# nuclide     Y");
    char expect[64];
    std::snprintf(expect, sizeof expect, "%-14s%.6e", g.nn.species[0], g.nn.Y_final[0]);
    EXPECT_EQ(fin[1], expect);
}

TEST(Outputs, SamplesAndRateColumns) {
    RunContext run({{"output_rates_time_evolution", "True"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    const size_t m = nvx_nuclear_network_rate_columns(&g.nn, nullptr);
    ASSERT_EQ(m, run.rates.lt.n_reactions - 1);
    std::vector<char> buf(m * NVX_RXN_NAME_LEN);
    auto* names = reinterpret_cast<char(*)[NVX_RXN_NAME_LEN]>(buf.data());
    nvx_nuclear_network_rate_columns(&g.nn, names);
    // One sample at a grid temperature reproduces the tabulated rate of that column.
    const NVXNetworkDef& lt = run.rates.lt;
    const size_t k = lt.n_grid / 2;
    const double T_MeV = lt.grid_T9[k] * 1e9 / nvx_MeV_to_Kelvin();
    std::vector<double> values(m);
    nvx_nuclear_network_sample_rates(&g.nn, &T_MeV, 1, values.data());
    for (size_t j = 0; j < m; ++j) {
        std::string name = names[j];
        name.resize(name.size() - 6);
        size_t r = 1;
        while (r < lt.n_reactions && name != lt.reaction_names[r]) ++r;
        ASSERT_LT(r, lt.n_reactions) << name;
        EXPECT_NEAR(values[j], lt.rates_current[(r - 1) * lt.n_grid + k], 1e-9 * std::fabs(values[j])) << name;
    }
    // Without the rate request there are no columns, and a single sample lies at t(T_start_cosmo).
    run.config.output_rates_time_evolution = 0;
    EXPECT_EQ(nvx_nuclear_network_rate_columns(&g.nn, nullptr), 0u);
    double t, Tg, a, Te, Tm, Tt;
    std::vector<double> Y(g.nn.n_species, -1.0);
    nvx_nuclear_network_sample_time_evolution(&g.nn, 1, &t, &Tg, &a, &Te, &Tm, &Tt, Y.data());
    EXPECT_NEAR(t, nvx_bg_t_of_T(&run.bg, run.config.T_start_cosmo_MeV), 1e-9 * t);
    EXPECT_GT(a, 0.0);
    EXPECT_GT(Te, 0.0);
    for (double y : Y) EXPECT_EQ(y, 0.0);
}

// A file that was asked for and cannot be written fails the solve: results without their file
// would report a failure as success.
TEST(Outputs, AnUnwritableFileFailsTheSolve) {
    RunContext run({{"output_final_result", "True"}, {"output_final_file", "'/proc/nope/final.dat'"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    EXPECT_EQ(run.solve(g.nn), "nvx_nuclear_network_write_final_result: cannot open /proc/nope/final.dat");
    const std::string dir = nvx_test::scratch_dir("output_is_dir");
    RunContext as_dir({{"output_time_evolution", "True"}, {"output_file", "'" + dir + "'"}});
    NetworkGuard h;
    EXPECT_EQ(as_dir.solve(h.nn), "nvx_nuclear_network_write_time_evolution: cannot open " + dir);
}

TEST(Outputs, AFailedWriteKeepsADeviceNamedAsTheOutput) {
    const std::string full = nvx_test::make_device(nvx_test::scratch_dir("output_full"), "full", 7);
    if (full.empty()) GTEST_SKIP() << "cannot make a device node (not root?)";
    RunContext run({{"output_time_evolution", "True"}, {"output_file", "'" + full + "'"}, {"output_n_points", "3000"}});
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    EXPECT_EQ(run.solve(g.nn), "nvx_nuclear_network_write_time_evolution: cannot write " + full);
    EXPECT_TRUE(nvx_test::is_char_device(full));
}
