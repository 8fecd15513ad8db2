// Smooth T(t), a(t) lookups of the network integration: accuracy on the radiation-era law, the
// bucketed segment search on uneven knots, continuity of the slope on a real background, failures.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "background/time_table.hpp"
#include "bg_fixture.hpp"

using namespace bgtest;

namespace {

struct Table {
    char* err = nullptr;  // before tab: the builder writes it
    nvx_bg_time_table* tab = nullptr;
    Table(const std::vector<double>& t, const std::vector<double>& T, const std::vector<double>& a)
        : tab(nvx::bg::build_time_table(t, T, a, &err)) {}
    ~Table() {
        delete tab;
        std::free(err);
    }
};

// Radiation era: T = 1 MeV (t / 1 s)^-1/2 and a proportional to t^1/2, on knots spaced as the
// background's (600 per decade of T). A cubic spline is good to ~3e-10 between knots there, where
// linear interpolation would be off by ~5e-6.
TEST(TimeTable, FollowsTheRadiationLawBetweenKnots) {
    const double ratio = std::exp(2.0 * std::log(10.0) / 600.0);
    std::vector<double> t, T, a;
    for (double ti = 1e-3; ti < 1e5; ti *= ratio) {
        t.push_back(ti);
        T.push_back(1.0 / std::sqrt(ti));
        a.push_back(1e-10 * std::sqrt(ti));
    }
    Table tb(t, T, a);
    ASSERT_NE(tb.tab, nullptr) << tb.err;
    double worst_T = 0.0, worst_a = 0.0;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        for (double theta : {0.0, 0.25, 0.5, 0.9}) {
            const double tq = t[i] + theta * (t[i + 1] - t[i]);
            double Tq, aq;
            tb.tab->eval(tq, &Tq, &aq);
            worst_T = std::max(worst_T, std::fabs(Tq * std::sqrt(tq) - 1.0));
            worst_a = std::max(worst_a, std::fabs(aq / (1e-10 * std::sqrt(tq)) - 1.0));
        }
    }
    EXPECT_LT(worst_T, 2e-9);
    EXPECT_LT(worst_a, 2e-9);
}

// The bucket guess and the walk after it find the segment of std::upper_bound on knots with
// gaps of very different widths, at the knots themselves, just below them, and outside.
TEST(TimeTable, SegmentSearchAgreesWithBisection) {
    std::vector<double> t, T, a;
    double ti = 1e-4;
    for (int i = 0; i < 400; ++i) {
        t.push_back(ti);
        T.push_back(1.0 / ti);
        a.push_back(ti);
        ti *= (i % 37 == 0) ? 40.0 : (i % 5 == 0 ? 1.0000001 : 1.03);
    }
    Table tb(t, T, a);
    ASSERT_NE(tb.tab, nullptr) << tb.err;
    const size_t last = t.size() - 2;
    auto expected = [&](double tq) {
        const size_t k = size_t(std::upper_bound(t.begin(), t.end(), tq) - t.begin());
        return k == 0 ? size_t(0) : std::min(k - 1, last);
    };
    for (size_t i = 0; i < t.size(); ++i) {
        for (double tq : {t[i], std::nextafter(t[i], 0.0), std::nextafter(t[i], 1e300)}) {
            ASSERT_EQ(tb.tab->segment(tq), expected(tq)) << "knot " << i << " t=" << tq;
        }
        if (i + 1 < t.size()) {
            ASSERT_EQ(tb.tab->segment(0.5 * (t[i] + t[i + 1])), i) << i;
        }
    }
    EXPECT_EQ(tb.tab->segment(0.5 * t.front()), 0u);
    EXPECT_EQ(tb.tab->segment(2.0 * t.back()), last);
    EXPECT_EQ(tb.tab->segment(std::numeric_limits<double>::quiet_NaN()), 0u);
}

TEST(TimeTable, RefusesTooFewOrUnorderedKnots) {
    Table few({1, 2, 3}, {3, 2, 1}, {1, 2, 3});
    EXPECT_EQ(few.tab, nullptr);
    ASSERT_NE(few.err, nullptr);
    EXPECT_NE(std::string(few.err).find("at least 4"), std::string::npos) << few.err;
    Table tie({1, 2, 2, 3}, {4, 3, 2, 1}, {1, 2, 3, 4});
    EXPECT_EQ(tie.tab, nullptr);
    ASSERT_NE(tie.err, nullptr);
    EXPECT_NE(std::string(tie.err).find("node 2"), std::string::npos) << tie.err;
}

// On a real background the network's T(t) and rho_B(t) agree with the linear tables to their
// interpolation error, while their slope is continuous across a knot (the linear lookups' slope
// jumps there, which the stiff integrator would resolve with short steps).
TEST(TimeTable, NetworkConditionsAreSmoothAndFollowTheTables) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    ASSERT_NE(bg.time_table, nullptr);
    const std::vector<double>& knots = bg.time_table->t;
    for (size_t i = 50; i + 50 < knots.size(); i += 211) {
        const double t = 0.5 * (knots[i] + knots[i + 1]);
        double T, rho;
        nvx_bg_network_conditions(&bg, t, &T, &rho);
        EXPECT_NEAR(T / nvx_bg_T_of_t(&bg, t), 1.0, 2e-5) << "t=" << t;
        EXPECT_NEAR(rho / nvx_bg_rhoB_BBN(&bg, t), 1.0, 6e-5) << "t=" << t;

        const double tk = knots[i], d = 1e-3 * (knots[i + 1] - tk);
        auto T_at = [&](double tq) {
            double v;
            nvx_bg_network_conditions(&bg, tq, &v, nullptr);
            return v;
        };
        const double left = (T_at(tk) - T_at(tk - d)) / d, right = (T_at(tk + d) - T_at(tk)) / d;
        EXPECT_NEAR(right / left, 1.0, 2e-4) << "knot " << i;
    }
    // Outside the knots the linear tables answer.
    double T_out;
    nvx_bg_network_conditions(&bg, 2.0 * knots.back(), &T_out, nullptr);
    EXPECT_EQ(T_out, nvx_bg_T_of_t(&bg, 2.0 * knots.back()));
}

// Ending at 1 eV puts t_end near 1e12 s, whose rounding (1e-4 s) reaches the early times: the smooth
// table starts where times are resolved to about 1e-4 and the linear tables answer before.
TEST(TimeTable, LateEndKeepsOnlyResolvedTimes) {
    Settings s = instantaneous(false);
    s.push_back({"T_end_MeV", F(1e-6)});
    BgRun r(s);
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    ASSERT_NE(bg.time_table, nullptr);
    const double t_end = bg.t[bg.n - 1], first = bg.time_table->t.front();
    EXPECT_GT(first, 2e4 * t_end * 0x1p-52);  // 1e4 times four units in the last place of t_end
    EXPECT_LT(first, 4.1e4 * t_end * 0x1p-52);
    double T;
    nvx_bg_network_conditions(&bg, 0.5 * first, &T, nullptr);
    EXPECT_EQ(T, nvx_bg_T_of_t(&bg, 0.5 * first));
    nvx_bg_network_conditions(&bg, 2.0 * first, &T, nullptr);
    EXPECT_NEAR(T / nvx_bg_T_of_t(&bg, 2.0 * first), 1.0, 1e-4);
}

}  // namespace
