// Segment search, linear and quadratic interpolation and the interp1d record, checked against
// brute-force searches and exactly representable polynomials.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "nuvex/numerics.h"

namespace {

// Brute-force reference: last i in [0, n-2] with x[i] <= xq (0 below the table).
size_t linear_scan(const std::vector<double>& x, double xq) {
    size_t seg = 0;
    for (size_t i = 0; i + 1 < x.size(); ++i)
        if (xq >= x[i]) seg = i;
    return seg;
}

std::vector<double> random_knots(std::mt19937_64& gen, size_t n) {
    std::uniform_real_distribution<double> step(0.01, 2.0);
    std::vector<double> x(n);
    x[0] = -3.0;
    for (size_t i = 1; i < n; ++i) x[i] = x[i - 1] + step(gen);
    return x;
}

TEST(Segment, KnotsEndsAndOutsideQueries) {
    const std::vector<double> x{0.0, 1.0, 2.0, 4.0, 8.0};
    const size_t n = x.size();
    for (size_t j = 0; j + 1 < n; ++j) EXPECT_EQ(nvx_find_segment(x.data(), n, x[j]), j);
    EXPECT_EQ(nvx_find_segment(x.data(), n, 8.0), 3u);
    EXPECT_EQ(nvx_find_segment(x.data(), n, 1e9), 3u);
    EXPECT_EQ(nvx_find_segment(x.data(), n, -1e9), 0u);
    EXPECT_EQ(nvx_find_segment(x.data(), n, 3.999), 2u);
    EXPECT_EQ(nvx_find_segment(x.data(), 2, 0.5), 0u);
}

TEST(Segment, MonotoneAgreesWithBisectionForAnyHint) {
    std::mt19937_64 gen(7);
    for (size_t n : {2u, 3u, 5u, 12u, 40u, 301u}) {
        const std::vector<double> x = random_knots(gen, n);
        std::uniform_real_distribution<double> q(x.front() - 1.0, x.back() + 1.0);
        std::uniform_int_distribution<size_t> h(0, n + 3);  // includes stale, too-large hints
        size_t walking = 0;
        for (int k = 0; k < 3000; ++k) {
            // mix of jumps, slow drifts and exact knots
            double xq = (k % 3 == 0) ? x[static_cast<size_t>(k) % n] : q(gen);
            if (k % 5 == 1) xq = x[walking % n] + 1e-9;
            const size_t expect = linear_scan(x, xq);
            ASSERT_EQ(nvx_find_segment(x.data(), n, xq), expect);
            size_t hint = h(gen);
            ASSERT_EQ(nvx_find_segment_monotone(x.data(), n, &hint, xq), expect);
            EXPECT_EQ(hint, expect);
            ASSERT_EQ(nvx_find_segment_monotone(x.data(), n, &walking, xq), expect);
            ASSERT_EQ(nvx_find_segment_monotone(x.data(), n, nullptr, xq), expect);
        }
    }
}

TEST(Interp, LinearClampsOrExtrapolates) {
    const std::vector<double> x{1.0, 2.0, 4.0};
    const std::vector<double> y{10.0, 20.0, 0.0};
    EXPECT_EQ(nvx_interp_linear(x.data(), y.data(), 3, 0, 0.0), 10.0);
    EXPECT_EQ(nvx_interp_linear(x.data(), y.data(), 3, 0, 9.0), 0.0);
    EXPECT_DOUBLE_EQ(nvx_interp_linear(x.data(), y.data(), 3, 1, 0.0), 0.0);
    EXPECT_DOUBLE_EQ(nvx_interp_linear(x.data(), y.data(), 3, 1, 6.0), -20.0);
    EXPECT_DOUBLE_EQ(nvx_interp_linear(x.data(), y.data(), 3, 0, 3.0), 10.0);
    EXPECT_EQ(nvx_interp_linear(x.data(), y.data(), 3, 0, 2.0), 20.0);
}

TEST(Interp, QuadraticReproducesParabolasAndExtrapolatesThem) {
    std::mt19937_64 gen(3);
    const std::vector<double> x = random_knots(gen, 9);
    std::vector<double> y;
    auto p = [](double t) { return 0.5 - 1.25 * t + 0.75 * t * t; };
    for (double t : x) y.push_back(p(t));
    for (double t = x.front() - 2.0; t < x.back() + 2.0; t += 0.173)
        EXPECT_NEAR(nvx_interp_quadratic_local(x.data(), y.data(), x.size(), t), p(t),
                    1e-10 * (1.0 + std::fabs(p(t))));
}

TEST(Interp, QuadraticUsesTheLocalStencil) {
    // Data that is a parabola only on the first three points: queries in segment 1 use the
    // stencil 0..2 and match it; queries at the top use the last three points.
    const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0};
    const std::vector<double> y{0.0, 1.0, 4.0, 100.0, 100.0};
    EXPECT_DOUBLE_EQ(nvx_interp_quadratic_local(x.data(), y.data(), 5, 1.5), 2.25);
    EXPECT_DOUBLE_EQ(nvx_interp_quadratic_local(x.data(), y.data(), 5, -1.0), 1.0);
    // stencil 2..4: parabola through (2,4), (3,100), (4,100) at x = 5 (extrapolated)
    const double l0 = (5.0 - 3) * (5.0 - 4) / ((2.0 - 3) * (2.0 - 4));
    const double l1 = (5.0 - 2) * (5.0 - 4) / ((3.0 - 2) * (3.0 - 4));
    const double l2 = (5.0 - 2) * (5.0 - 3) / ((4.0 - 2) * (4.0 - 3));
    EXPECT_DOUBLE_EQ(nvx_interp_quadratic_local(x.data(), y.data(), 5, 5.0),
                     4.0 * l0 + 100.0 * l1 + 100.0 * l2);
}

TEST(Interp1d, LinearAndSplineModesAndDoubleFree) {
    const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 5.0};
    std::vector<double> y;
    for (double t : x) y.push_back(t * t * t - 2.0 * t);
    nvx_interp1d lin{}, spl{};
    char* err = nullptr;
    ASSERT_EQ(nvx_interp1d_init_linear(&lin, x.data(), y.data(), x.size(), &err), 0);
    ASSERT_EQ(nvx_interp1d_init_spline(&spl, x.data(), y.data(), x.size(), &err), 0);
    EXPECT_DOUBLE_EQ(nvx_interp1d_eval(&lin, 6.0), y[4] + (y[4] - y[3]) / 2.0);
    EXPECT_NEAR(nvx_interp1d_eval(&spl, 4.0), 56.0, 1e-10);
    nvx_interp1d_free(&lin);
    nvx_interp1d_free(&lin);
    nvx_interp1d_free(&spl);
    nvx_interp1d_free(&spl);
    EXPECT_EQ(lin.x, nullptr);
    EXPECT_EQ(spl.spline.a, nullptr);
    EXPECT_EQ(spl.use_spline, 0);
    ASSERT_EQ(nvx_interp1d_init_spline(&spl, x.data(), y.data(), 3, &err), 1);
    EXPECT_STREQ(err, "nvx_cubic_spline_fit_notaknot: need at least 4 knots");
    free(err);
}

}  // namespace
