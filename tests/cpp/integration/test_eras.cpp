// Era integration: conservation laws along the joined history, its shape, Y(t) lookups, the
// equilibrium start against the Saha equation, failures, repeated solves and the debug trace.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "integration/nn_internal.hpp"
#include "nuvex/constants.h"
#include "run_fixture.hpp"

using nvx_test::NetworkGuard;
using nvx_test::RunContext;
using nvx_test::weighted_sum;

namespace {

// Row index at which each era ends in the joined history.
struct EraEnds {
    size_t ht, mt, lt;
};

EraEnds era_ends(const nvx_nuclear_network& nn) {
    EraEnds e;
    e.ht = nn.stats[NVX_ERA_HT].steps;
    e.mt = e.ht + nn.stats[NVX_ERA_MT].steps;
    e.lt = e.mt + nn.stats[NVX_ERA_LT].steps;
    return e;
}

}  // namespace

TEST(Eras, BaryonNumberIsConservedAtTheEndOfEveryEra) {
    for (const char* network : {"'small'", "'large'"}) {
        RunContext run({{"network", network}});
        ASSERT_TRUE(run.ok()) << run.error;
        NetworkGuard g;
        ASSERT_EQ(run.solve(g.nn), "");
        const EraEnds e = era_ends(g.nn);
        ASSERT_EQ(e.lt, g.nn.n_rows - 1);
        const auto A = run.lt_A();
        for (size_t row : {size_t{0}, e.ht, e.mt, e.lt})
            EXPECT_NEAR(weighted_sum(g.nn.Y_hist + row * g.nn.n_species, A), 1.0, 1e-8) << network << " row " << row;
        EXPECT_NEAR(weighted_sum(g.nn.Y_final, A), 1.0, 1e-8) << network;
    }
}

// Only weak processes change the nuclear charge; with the n<->p conversion made negligibly slow
// (and no decays in the small network) sum Z*Y must stay where the equilibrium start put it.
TEST(Eras, ChargeIsConservedWhenWeakConversionsAreNegligible) {
    RunContext run;
    ASSERT_TRUE(run.ok()) << run.error;
    run.bg.lambda_n = 1e-25;  // s^-1: the equilibrium ratio at 10 MeV does not depend on it
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    const EraEnds e = era_ends(g.nn);
    const auto Z = run.lt_Z();
    const double q0 = weighted_sum(g.nn.Y_hist, Z);
    for (size_t row : {e.ht, e.mt, e.lt})
        EXPECT_NEAR(weighted_sum(g.nn.Y_hist + row * g.nn.n_species, Z), q0, 1e-8) << "row " << row;
    EXPECT_NEAR(weighted_sum(g.nn.Y_hist, run.lt_A()), 1.0, 1e-12);
}

TEST(Eras, JoinedHistoryHasOneRowPerStepAndIncreasingTimes) {
    RunContext run;
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    const nvx_nuclear_network& nn = g.nn;
    const size_t steps = nn.stats[0].steps + nn.stats[1].steps + nn.stats[2].steps;
    EXPECT_EQ(nn.n_rows, steps + 1);  // rows(HT) + rows(MT) + rows(LT) - 2, each era's row 0 included
    for (size_t i = 1; i < nn.n_rows; ++i) ASSERT_GT(nn.t_hist[i], nn.t_hist[i - 1]) << "row " << i;
    const double K = nvx_MeV_to_Kelvin();
    EXPECT_DOUBLE_EQ(nn.t_first, nn.t_hist[0]);
    EXPECT_DOUBLE_EQ(nn.t_first, nvx_bg_t_of_T(&run.bg, nvx_T_start() / K));
    EXPECT_NEAR(nn.t_hist[nn.n_rows - 1], nn.t_end, 1e-12 * nn.t_end);
    EXPECT_NEAR(nn.t_end, nvx_bg_t_of_T(&run.bg, run.config.T_end_MeV), 1e-9 * nn.t_end);
    // The HT/MT boundary row carries n and p only.
    const size_t b = era_ends(nn).ht;
    EXPECT_NEAR(nn.t_hist[b], nvx_bg_t_of_T(&run.bg, nvx_T_weak() / K), 1e-9 * nn.t_hist[b]);
    for (size_t j = 0; j < nn.n_species; ++j) {
        const std::string s = nn.species[j];
        if (s != "n" && s != "p") {
            EXPECT_EQ(nn.Y_hist[b * nn.n_species + j], 0.0) << s;
        }
    }
    // At 1 MeV the neutrons lag behind their falling equilibrium fraction 1/(1 + e^(Q/T)).
    const double Yn_1MeV = nvx_nuclear_network_Y_of_t(&nn, "n", nn.t_hist[b]);
    EXPECT_GT(Yn_1MeV, 1.0 / (1.0 + std::exp(1.29333)));
    EXPECT_LT(Yn_1MeV, 0.3);
    for (int e = 0; e < NVX_N_ERAS; ++e) EXPECT_GT(nn.stats[e].rhs_evals, 0u);
    EXPECT_GT(nn.stats[NVX_ERA_MT].jac_evals, 0u);
    EXPECT_GT(nn.stats[NVX_ERA_LT].jac_evals, 0u);
}

TEST(Eras, AbundanceAtTimeFollowsTheHistory) {
    RunContext run;
    ASSERT_TRUE(run.ok()) << run.error;
    NetworkGuard g;
    ASSERT_EQ(run.solve(g.nn), "");
    const nvx_nuclear_network& nn = g.nn;
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "p", nn.t_first), 0.0);
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "p", 0.5 * nn.t_first), 0.0);
    const double last = nn.t_hist[nn.n_rows - 1];
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "He4", last), nvx_nuclear_network_get(&nn, "He4"));
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "He4", 10 * last), nvx_nuclear_network_get(&nn, "He4"));
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "Xx99", last), 0.0);
    EXPECT_EQ(nvx_nuclear_network_get(&nn, "Xx99"), 0.0);
    const size_t r = nn.n_rows / 2, k = size_t(nvx::find_name(nn.species, nn.n_species, "H2"));
    const double mid = 0.5 * (nn.t_hist[r] + nn.t_hist[r + 1]);
    const double expect = 0.5 * (nn.Y_hist[r * nn.n_species + k] + nn.Y_hist[(r + 1) * nn.n_species + k]);
    EXPECT_NEAR(nvx_nuclear_network_Y_of_t(&nn, "H2", mid), expect, 1e-12 * std::fabs(expect));
    EXPECT_EQ(nvx_nuclear_network_Y_of_t(&nn, "H2", nn.t_hist[r]), nn.Y_hist[r * nn.n_species + k]);
}

// The equilibrium start written as the Saha equation with the baryon number density in cm^-3 and
// thermal wavelengths in CGS: Y_A = g_A 2^-A (M/(m_p^Z m_n^N))^(3/2) (n_b lambda^3)^(A-1) Yp^Z Yn^N e^(B/kT).
TEST(Eras, EquilibriumStartAgreesWithTheSahaEquation) {
    NVXConfig c{};
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << (err ? err : "");
    nvx_constants_init();
    const double MeV_g = nvx_MeV_to_g(), keV_erg = g_const[NVX_C_keV], kB = g_const[NVX_C_k_B];
    const double hbar = g_const[NVX_C_hbar], pi = 3.141592653589793;
    const NVXNuclide* n = nvx_config_find_nuclide(&c, "n");
    const NVXNuclide* p = nvx_config_find_nuclide(&c, "p");
    const double T_K = 0.3 * nvx_MeV_to_Kelvin(), rho = 2e-5, Yn = 0.12, Yp = 0.7;
    for (const char* name : {"H2", "H3", "He3", "He4", "Li7"}) {
        const NVXNuclide* x = nvx_config_find_nuclide(&c, name);
        ASSERT_NE(x, nullptr) << name;
        const int Z = x->Z, N = x->N, A = Z + N;
        const double M_g = (A * g_const[NVX_C_m_u] - Z * g_const[NVX_C_m_e]) * MeV_g + x->mass_excess_keV * keV_erg * MeV_g / g_const[NVX_C_MeV];
        const double mp = g_const[NVX_C_m_p] * MeV_g, mn = g_const[NVX_C_m_n] * MeV_g;
        const double kT = kB * T_K;
        const double n_b = rho / (g_const[NVX_C_m_u] * MeV_g);
        const double lam3 = std::pow(2 * pi * hbar * hbar / kT, 1.5);  // per unit mass^(3/2)
        const double B = (Z * p->mass_excess_keV + N * n->mass_excess_keV - x->mass_excess_keV) * keV_erg;
        const double lnY = std::log(2 * x->spin + 1) - A * std::log(2.0) + 1.5 * (std::log(M_g) - Z * std::log(mp) - N * std::log(mn)) +
                           (A - 1) * std::log(n_b * lam3) + Z * std::log(Yp) + N * std::log(Yn) + B / kT;
        const double got = nvx_nuclear_network_nse_abundance(&c, x, T_K, rho, Yn, Yp);
        EXPECT_NEAR(std::log(got), lnY, 1e-9) << name;
    }
    nvx_config_free(&c);
}

TEST(Eras, IntegratorFailureEndsTheSolveWithItsMessage) {
    EXPECT_EQ(RunContext({{"numerical_precision", "10.0"}}).error,
              "numerical_precision=10 is out of range: must lie in (0, 0.01]");
    RunContext run;
    ASSERT_TRUE(run.ok()) << run.error;
    run.config.numerical_precision = 10.0;  // past validation, the integrator must still fail cleanly
    NetworkGuard g;
    const std::string msg = run.solve(g.nn);
    EXPECT_EQ(msg.rfind("nvx_ode_bdf: ", 0), 0u) << msg;
    EXPECT_EQ(g.nn.config, &run.config);
    EXPECT_EQ(g.nn.rates, &run.rates);
    EXPECT_EQ(g.nn.bg, &run.bg);
    EXPECT_GT(g.nn.t_end, 0.0);
    EXPECT_EQ(g.nn.species, nullptr);
    EXPECT_EQ(g.nn.t_hist, nullptr);
    EXPECT_EQ(g.nn.n_rows, 0u);
    nvx_nuclear_network_free(&g.nn);
    nvx_nuclear_network_free(&g.nn);
}

// What the Monte Carlo workers do: vary the rates and the lifetime, solve, free, and solve again.
TEST(Eras, RepeatedSolvesDependOnlyOnTheCurrentParameters) {
    RunContext run;
    ASSERT_TRUE(run.ok()) << run.error;
    auto solve_He4_D = [&](double* he4, double* d) {
        NetworkGuard g;
        ASSERT_EQ(run.solve(g.nn), "");
        *he4 = nvx_nuclear_network_get(&g.nn, "He4");
        *d = nvx_nuclear_network_get(&g.nn, "H2");
    };
    double he4_0, d_0, he4_1, d_1, he4_2, d_2, he4_3, d_3;
    solve_He4_D(&he4_0, &d_0);
    nvx_rxnmap_set(&run.config.p_map, "d_p__He3_g", 2.0);  // raise d(p,g) by two sigma
    nvx_nuclear_rates_apply_variations(&run.rates, &run.config);
    solve_He4_D(&he4_1, &d_1);
    EXPECT_LT(d_1, d_0);
    const double lambda0 = run.bg.lambda_n;
    run.bg.lambda_n = lambda0 * 878.4 / 888.4;  // a longer lifetime leaves more neutrons
    solve_He4_D(&he4_2, &d_2);
    EXPECT_GT(he4_2, he4_1);
    nvx_rxnmap_free(&run.config.p_map);
    run.bg.lambda_n = lambda0;
    solve_He4_D(&he4_3, &d_3);  // the solve reapplies the (now empty) variations itself
    EXPECT_EQ(he4_3, he4_0);
    EXPECT_EQ(d_3, d_0);
}

TEST(Eras, DebugTraceMarksEveryTwoThousandRows) {
    const double y0[2] = {0.5, 0.5};
    ::setenv("NVX_NN_DEBUG", "1", 1);  // read when the era's recorder is made
    nvx::EraRecorder rec(2, 0.0, y0);
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 4100; ++i) nvx::recorder_cb(double(i), y0, 2, &rec);
    const std::string out = testing::internal::GetCapturedStderr();
    ::unsetenv("NVX_NN_DEBUG");
    EXPECT_EQ(out, "[nn debug] step=2000 t=2.000000e+03\n[nn debug] step=4000 t=4.000000e+03\n");
    EXPECT_EQ(rec.count(), 4101u);
    EXPECT_EQ(rec.rows.size(), 2u * 4101u);
    EXPECT_EQ(rec.t[4100], 4100.0);

    testing::internal::CaptureStderr();
    nvx::EraRecorder quiet(2, 0.0, y0);
    for (int i = 1; i <= 2100; ++i) nvx::recorder_cb(double(i), y0, 2, &quiet);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Eras, SmallAndLargeNetworksAgree) {
    double he4[2], d[2];
    int i = 0;
    for (const char* network : {"'small'", "'large'"}) {
        RunContext run({{"network", network}});
        ASSERT_TRUE(run.ok()) << run.error;
        NetworkGuard g;
        ASSERT_EQ(run.solve(g.nn), "");
        he4[i] = nvx_nuclear_network_get(&g.nn, "He4");
        d[i] = nvx_nuclear_network_get(&g.nn, "H2") / nvx_nuclear_network_get(&g.nn, "p");
        ++i;
    }
    EXPECT_NEAR(4 * he4[0], 4 * he4[1], 1e-4);
    EXPECT_NEAR(d[0] / d[1], 1.0, 0.01);
}
