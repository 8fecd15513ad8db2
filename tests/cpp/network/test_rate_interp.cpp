// Interpolation of the tabulated rates in ln T9: accuracy of the splines on a power law, rows
// that must stay linear, the linear continuation beyond the grid, and refresh after variations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "net_fixture.hpp"
#include "network/network_internal.hpp"

using namespace net_test;

namespace {

// A definition holding only what the interpolation reads: rows of rates on a grid uniform in ln T9.
struct Grid {
    NVXNetworkDef d{};
    std::vector<double> T9, rates, curv;
    Grid(size_t M, double lo, double hi, const std::vector<double (*)(double)>& rows) : T9(M) {
        for (size_t j = 0; j < M; ++j) T9[j] = lo * std::pow(hi / lo, double(j) / double(M - 1));
        for (auto f : rows)
            for (double x : T9) rates.push_back(f(x));
        curv.assign(rates.size(), -1.0);
        d.n_grid = M;
        d.n_reactions = rows.size() + 1;
        d.grid_T9 = T9.data();
        d.rates_current = rates.data();
        d.rates_curv = curv.data();
        d.grid_lnT9_0 = std::log(lo);
        d.grid_inv_dlnT9 = double(M - 1) / std::log(hi / lo);
        nvx::net::refresh_curvature(&d);
    }
    double at(size_t row, double x) const {
        const size_t M = d.n_grid;
        return nvx::net::interpolate(rates.data() + row * M, curv.data() + row * M, nvx::net::grid_point(d, x));
    }
};

double cubic_law(double T9) { return 3.0 * T9 * T9 * T9; }
double with_zero(double T9) { return T9 < 0.1 ? 0.0 : T9; }
double constant(double) { return 7.5; }

// T9^3 is exp(3 ln T9): between interior nodes the spline is good to the fourth power of the
// spacing (~1e-3 here), linear interpolation only to its square (~3e-2); the nodes are exact.
TEST(RateInterpolation, SplinesFollowAPowerLaw) {
    Grid g(41, 0.01, 10.0, {cubic_law});
    EXPECT_EQ(g.d.curv_valid, 1);
    double worst = 0.0;
    for (size_t j = 8; j + 8 < g.T9.size(); ++j) {
        EXPECT_NEAR(g.at(0, g.T9[j]) / g.rates[j], 1.0, 1e-14) << j;
        const double mid = std::sqrt(g.T9[j] * g.T9[j + 1]);
        worst = std::max(worst, std::fabs(g.at(0, mid) / cubic_law(mid) - 1.0));
    }
    EXPECT_LT(worst, 1.5e-3);
}

// Rows holding a zero are interpolated linearly in ln T9 (a cubic could turn negative next to it);
// constant rows stay constant everywhere, also beyond the grid.
TEST(RateInterpolation, LinearRowsAndConstants) {
    Grid g(41, 0.01, 10.0, {with_zero, constant});
    const size_t M = g.d.n_grid;
    for (size_t j = 0; j < M; ++j) EXPECT_EQ(g.curv[j], 0.0) << j;
    const double x = std::sqrt(g.T9[30] * g.T9[31]);  // halfway in ln T9
    EXPECT_NEAR(g.at(0, x), 0.5 * (g.T9[30] + g.T9[31]), 1e-14);
    for (double T9 : {1e-4, 0.01, 0.3, 10.0, 30.0}) EXPECT_NEAR(g.at(1, T9), 7.5, 1e-13) << T9;
}

// Beyond the grid the rate continues along a line in ln T9 that starts at the end value with the
// spline's end slope: continuous at both ends, and straight.
TEST(RateInterpolation, ContinuesLinearlyBeyondTheGrid) {
    Grid g(41, 0.01, 10.0, {cubic_law});
    const double eps = 1e-9;
    for (double end : {0.01, 10.0}) {
        const double inside = g.at(0, end * (end < 1 ? 1 + eps : 1 - eps)), outside = g.at(0, end * (end < 1 ? 1 - eps : 1 + eps));
        EXPECT_NEAR(outside / inside, 1.0, 1e-7) << end;
    }
    const double f1 = g.at(0, 20.0), f2 = g.at(0, 40.0), f3 = g.at(0, 80.0);  // equal steps in ln T9
    EXPECT_NEAR(f3 - f2, f2 - f1, 1e-9 * f3);
    EXPECT_GT(f2, f1);
}

// The splines follow the rates after a variation: doubling a rate doubles its value between the
// nodes exactly (stale curvatures would leave the old correction in place).
TEST(RateInterpolation, RefreshedAfterVariations) {
    DataDir dd("net_rate_interp");
    Config cfg(dd.root, "test");
    NVXNuclearRates R{};
    Msg m;
    ASSERT_EQ(nvx_nuclear_rates_init(&R, &cfg.c, nullptr, &m.p), 0) << m.str();
    NVXNetworkDef& lt = R.lt;
    const int a = index_of(lt, "d_d__t_p");
    const double T_K = 0.4321e9;
    const double before = nvx_network_fill_buffer(&lt, 1, T_K, 0, 0)[2 * a];
    // The fixture's tables sample rate_of on 161 points: the splines reproduce it to ~1e-8.
    EXPECT_NEAR(before / rate_of(0.4321, 1.0), 1.0, 2e-8);
    nvx_rxnmap_set(&cfg.c.delta_map, "d_d__t_p", 1.0);  // factor 2
    cfg.c.mc_rate_rescale_cap = 0;
    nvx_nuclear_rates_apply_variations(&R, &cfg.c);
    EXPECT_EQ(nvx_network_fill_buffer(&lt, 1, T_K, 0, 0)[2 * a], 2.0 * before);
    nvx_rxnmap_free(&cfg.c.delta_map);
    nvx_nuclear_rates_free(&R);
}

}  // namespace
