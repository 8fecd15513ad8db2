// Nuclear rates per era: initialisation of both networks (fixture and shipped data), variations
// with the cap, evaluation with reverse rates and the per-temperature buffer, and the summary.
#include <gtest/gtest.h>

#include "net_fixture.hpp"

using namespace net_test;

namespace {

struct Rates {
    NVXNuclearRates r{};
    Msg m;
    ~Rates() { nvx_nuclear_rates_free(&r); }
};

TEST(NuclearRates, VariationsAndCap) {
    DataDir dd("net_rates1");
    Config cfg(dd.root, "test");
    Rates R;
    ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0) << R.m.str();
    NVXNetworkDef& lt = R.r.lt;
    const size_t M = lt.n_grid, rows = (lt.n_reactions - 1) * M;
    EXPECT_EQ(std::memcmp(lt.rates_current, lt.rates_base, rows * sizeof(double)), 0);

    const int a = index_of(lt, "d_d__t_p"), b = index_of(lt, "t_d__a_n"), c = index_of(lt, "He3_n__t_p");
    nvx_rxnmap_set(&cfg.c.p_map, "d_d__t_p", 1.0);
    nvx_rxnmap_set(&cfg.c.delta_map, "t_d__a_n", 49.0);   // factor 50
    nvx_rxnmap_set(&cfg.c.delta_map, "He3_n__t_p", -0.99);  // factor 0.01
    cfg.c.mc_rate_rescale_cap = 30;
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    for (size_t j = 0; j < M; j += 97) {
        EXPECT_DOUBLE_EQ(lt.rates_current[(a - 1) * M + j], 1.2 * lt.rates_base[(a - 1) * M + j]);
        EXPECT_DOUBLE_EQ(lt.rates_current[(b - 1) * M + j], 30.0 * lt.rates_base[(b - 1) * M + j]);
        EXPECT_DOUBLE_EQ(lt.rates_current[(c - 1) * M + j], lt.rates_base[(c - 1) * M + j] / 30.0);
    }
    // A cap below 1 (allowed: any positive value) clamps from above, then from below, so every
    // varied factor ends at 1/cap.
    cfg.c.mc_rate_rescale_cap = 0.5;
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    for (size_t j = 0; j < M; j += 97) {
        EXPECT_DOUBLE_EQ(lt.rates_current[(a - 1) * M + j], 2.0 * lt.rates_base[(a - 1) * M + j]);
        EXPECT_DOUBLE_EQ(lt.rates_current[(b - 1) * M + j], 2.0 * lt.rates_base[(b - 1) * M + j]);
        EXPECT_DOUBLE_EQ(lt.rates_current[(c - 1) * M + j], 2.0 * lt.rates_base[(c - 1) * M + j]);
    }
    cfg.c.mc_rate_rescale_cap = 0;  // no cap
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    EXPECT_DOUBLE_EQ(lt.rates_current[(b - 1) * M + 5], 50.0 * lt.rates_base[(b - 1) * M + 5]);
    nvx_rxnmap_free(&cfg.c.p_map);
    nvx_rxnmap_free(&cfg.c.delta_map);
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    EXPECT_EQ(std::memcmp(lt.rates_current, lt.rates_base, rows * sizeof(double)), 0);
}

// Decays take rate and uncertainty factor from the decay table, constant over the grid; a reaction
// varied by both keys gets the factor u^p + delta (uncertainty power plus shift, not their product).
TEST(NuclearRates, DecayRowsAndCombinedVariation) {
    DataDir dd("net_rates_decay");
    Config cfg(dd.root, "test");
    Rates R;
    ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0) << R.m.str();
    NVXNetworkDef& lt = R.r.lt;
    const size_t M = lt.n_grid;
    const int t = index_of(lt, "t__He3_Bm"), a = index_of(lt, "d_d__t_p");
    for (size_t j = 0; j < M; j += 37) {
        EXPECT_EQ(lt.rates_base[(t - 1) * M + j], 1.78e-9);
        EXPECT_EQ(lt.rates_unc[(t - 1) * M + j], 1.0016);
    }
    nvx_rxnmap_set(&cfg.c.p_map, "d_d__t_p", 1.0);
    nvx_rxnmap_set(&cfg.c.delta_map, "d_d__t_p", 0.5);
    cfg.c.mc_rate_rescale_cap = 0;
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    for (size_t j = 0; j < M; j += 97)
        EXPECT_DOUBLE_EQ(lt.rates_current[(a - 1) * M + j], (1.2 + 0.5) * lt.rates_base[(a - 1) * M + j]);
}

// A factor u^p + delta that is zero or negative has no meaning: an error naming the key, whatever
// the cap would make of it (delta_n_p__d_g=-1 once ran silently as 1/30 of the rate, and with the
// cap removed a negative rate was used). A factor the cap clamps is reported.
TEST(NuclearRates, ImpossibleFactorsAreErrorsAndClampsAreReported) {
    DataDir dd("net_rates_factor");
    Config cfg(dd.root, "test");
    auto init = [&](std::string& warnings) {
        Rates R;
        testing::internal::CaptureStderr();
        const int rc = nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p);
        warnings = testing::internal::GetCapturedStderr();
        return rc == 0 ? std::string() : R.m.str();
    };
    std::string warnings;
    nvx_rxnmap_set(&cfg.c.delta_map, "d_d__t_p", -1.0);
    EXPECT_EQ(init(warnings).rfind("delta_d_d__t_p=-1: the rate factor u^p + delta is 0 at T9=", 0), 0u)
        << init(warnings);
    cfg.c.mc_rate_rescale_cap = 0;  // no cap: a negative factor is refused as well
    nvx_rxnmap_set(&cfg.c.delta_map, "d_d__t_p", -1.5);
    EXPECT_NE(init(warnings).find("delta_d_d__t_p=-1.5: the rate factor u^p + delta is -0.5 at T9="), std::string::npos);
    // u^p with p = -1 is 1/1.2: a shift of -0.81 leaves 0.0233 > 0, accepted and not clamped without a cap
    nvx_rxnmap_set(&cfg.c.p_map, "d_d__t_p", -1.0);
    nvx_rxnmap_set(&cfg.c.delta_map, "d_d__t_p", -0.81);
    EXPECT_EQ(init(warnings), "");
    EXPECT_EQ(warnings, "");
    // with the default cap of 30 the same factor is clamped to 1/30, and the run says so
    cfg.c.mc_rate_rescale_cap = 30;
    EXPECT_EQ(init(warnings), "");
    EXPECT_NE(warnings.find("p_d_d__t_p=-1 with delta_d_d__t_p=-0.81: the rate factor u^p + delta reaches 0.0233333 "
                            "at T9="),
              std::string::npos)
        << warnings;
    EXPECT_NE(warnings.find("is clamped to 0.0333333 there (mc_rate_rescale_cap=30; None removes the clamp)"),
              std::string::npos)
        << warnings;
    nvx_rxnmap_free(&cfg.c.p_map);
    nvx_rxnmap_free(&cfg.c.delta_map);
}

TEST(NuclearRates, EvaluationReverseRatesAndBuffer) {
    DataDir dd("net_rates2");
    Config cfg(dd.root, "test");
    Rates R;
    ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0) << R.m.str();
    NVXNetworkDef& lt = R.r.lt;
    const size_t M = lt.n_grid;
    const double T_K = 0.5e9;
    const double* buf = nvx_network_fill_buffer(&lt, 1, T_K, 0.3, 0.1);
    EXPECT_EQ(buf[0], 0.3);
    EXPECT_EQ(buf[1], 0.1);
    const int a = index_of(lt, "d_d__t_p");
    const double fwd = buf[2 * a];
    EXPECT_NEAR(fwd / rate_of(0.5, 1.0), 1.0, 1e-4);  // interpolation on a fine grid
    EXPECT_NEAR(buf[2 * a + 1], std::min(1.5e10 * std::pow(0.5, 1.5) * std::exp(-20 / 0.5) * fwd, lt.reverse_caps[a - 1]),
                1e-12 * buf[2 * a + 1]);
    const int dec = index_of(lt, "t__He3_Bm");  // no coefficients: no reverse rate
    EXPECT_EQ(buf[2 * dec + 1], 0.0);
    // Same temperature and era: the buffer is reused without recomputation.
    lt.rates_current[(a - 1) * M + 0] *= 1.0;
    const double saved = buf[2 * a];
    for (size_t j = 0; j < M; ++j) lt.rates_current[(a - 1) * M + j] *= 2.0;
    EXPECT_EQ(nvx_network_fill_buffer(&lt, 1, T_K, 0.3, 0.1)[2 * a], saved);
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);  // restores and invalidates
    for (size_t j = 0; j < M; ++j) lt.rates_current[(a - 1) * M + j] = 1e-40;
    buf = nvx_network_fill_buffer(&lt, 1, T_K, 0.3, 0.1);
    EXPECT_EQ(buf[2 * a], 1e-40);
    EXPECT_EQ(buf[2 * a + 1], 0.0);  // forward too small: no reverse rate
    // Far below the nuclear era the uncapped MT law would overflow; the LT cap bounds it.
    nvx_nuclear_rates_apply_variations(&R.r, &cfg.c);
    buf = nvx_network_fill_buffer(&lt, 1, 2e6, 0, 0);
    EXPECT_TRUE(std::isfinite(buf[2 * a + 1]));
    EXPECT_LE(buf[2 * a + 1], lt.reverse_caps[a - 1]);
    // At T9 = 0.02 the reverse law exp(-20/T9) = exp(-1000) underflows: exactly no reverse rate.
    buf = nvx_network_fill_buffer(&lt, 0, 2e7, 0, 0);
    ASSERT_GT(buf[2 * a], 1.0001e-35);
    EXPECT_EQ(buf[2 * a + 1], 0.0);
}

TEST(NuclearRates, RhsAndJacobianEntryPointsAgree) {
    DataDir dd("net_rates3");
    Config cfg(dd.root, "test");
    Rates R;
    ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0) << R.m.str();
    const size_t S = R.r.mt.n_species;
    std::vector<double> Y(S, 1e-5), dY(S), J(S * S), J2(S * S);
    Y[0] = 0.15, Y[1] = 0.75;
    nvx_nuclear_rates_rhs_mt(&R.r, Y.data(), dY.data(), 8e9, 1e-5, 1.0, 0.2);
    nvx_nuclear_rates_jac_mt(&R.r, Y.data(), J.data(), 8e9, 1e-5, 1.0, 0.2);
    double sumA = 0, scale = 0;
    for (size_t k = 0; k < S; ++k) {
        sumA += (R.r.mt.species_N[k] + R.r.mt.species_Z[k]) * dY[k];
        scale += std::fabs(dY[k]);
    }
    EXPECT_LE(std::fabs(sumA), 1e-12 * scale);
    nvx_network_jacobian(&R.r.mt_compiled, Y.data(), nvx_network_fill_buffer(&R.r.mt, 0, 8e9, 1.0, 0.2), J2.data(), 1e-5);
    EXPECT_EQ(J, J2);
}

TEST(NuclearRates, ConservationFailureFreesEverything) {
    DataDir dd("net_rates4");
    dd.write_list("lossy", {"n_p__d_g", "n_lost__p"});
    Config cfg(dd.root, "lossy");
    Rates R;
    EXPECT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 1);
    EXPECT_EQ(R.m.str(), "network violates N/Z conservation in 1 reaction(s) (index, dN, dZ): (2: dN=-1, dZ=0)");
    EXPECT_EQ(R.r.lt.n_reactions, 0u);
    EXPECT_EQ(R.r.mt.n_reactions, 0u);
    EXPECT_EQ(R.r.mt_compiled.n_reactions, 0u);
}

// A network that never makes helium-4 cannot give Yp: refused by name, where its ratios to He4 once
// became NaN and the result check blamed the integration tolerances.
TEST(NuclearRates, NetworkWithoutHeliumIsRefused) {
    DataDir dd("net_rates_no_he4");
    dd.write_list("deuterium", {"n_p__d_g", "d_p__He3_g"});
    Config cfg(dd.root, "deuterium");
    Rates R;
    EXPECT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 1);
    EXPECT_EQ(R.m.str(), "nvx_nuclear_rates_init: the network 'deuterium' holds no helium-4 (He4), whose abundance "
                         "Yp every run reports");
    EXPECT_EQ(R.r.lt.n_reactions, 0u);
    dd.write_list("nothing", {});
    Config none(dd.root, "nothing");
    Rates E;
    EXPECT_EQ(nvx_nuclear_rates_init(&E.r, &none.c, nullptr, &E.m.p), 1);
    EXPECT_EQ(E.m.str(), dd.root + "/nuclear/networks/nothing.txt: the network list 'nothing' names no reaction");
}

TEST(NuclearRates, SummaryLog) {
    DataDir dd("net_rates5");
    Config cfg(dd.root, "test");
    Rates R;
    ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0);
    cfg.c.verbose = 1;
    testing::internal::CaptureStdout();
    nvx_nuclear_rates_log_summary(&R.r, &cfg.c);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[rates-c] MT network: 9 reactions over 8 nuclides.\n"), std::string::npos);
    EXPECT_NE(out.find("[rates-c] LT network: 10 reactions over 8 nuclides.\n"), std::string::npos);
    EXPECT_NE(out.find("[rates-c] LT nuclides: n, p, H2, H3, He3, He4, Li7, Be7\n"), std::string::npos);
    EXPECT_NE(out.find("Loaded 11 reactions (LT network):\n"), std::string::npos);
    EXPECT_NE(out.find("  Li7 + p <-> He4 + He4   [TestRef2024]\n"), std::string::npos);
    EXPECT_NE(out.find("  n <-> p" + std::string(14, ' ') + "\n"), std::string::npos);
}

// The shipped data directory: both networks assemble, compile and conserve N and Z.
TEST(ShippedData, SmallAndLargeNetworksLoadAndConserve) {
    for (const char* network : {"small", "large"}) {
        Config cfg(NUVEX_DATA_DIR, network);
        ASSERT_TRUE(cfg.ok) << network;
        Rates R;
        ASSERT_EQ(nvx_nuclear_rates_init(&R.r, &cfg.c, nullptr, &R.m.p), 0) << network << ": " << R.m.str();
        EXPECT_GE(R.r.mt.n_reactions, 12u) << network;
        EXPECT_GE(R.r.lt.n_reactions, R.r.mt.n_reactions) << network;
        for (size_t r = 1; r < R.r.lt.n_reactions; ++r) {
            EXPECT_STRNE(R.r.lt.sources[r], "?") << R.r.lt.reaction_names[r];
            for (size_t j = 0; j < R.r.lt.n_grid; j += 50) {
                const double v = R.r.lt.rates_base[(r - 1) * R.r.lt.n_grid + j];
                ASSERT_TRUE(std::isfinite(v) && v >= 0) << R.r.lt.reaction_names[r] << " j=" << j << " v=" << v;
            }
        }
    }
}

}  // namespace
