// Cubic splines against exact truths: not-a-knot reproduces any cubic, the 3-knot natural spline
// has a closed form, and failed fits leave the record alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "nuvex/numerics.h"

namespace {

double cubic(double t) { return 1.5 - 0.5 * t + 2.0 * t * t - 0.25 * t * t * t; }
double dcubic(double t) { return -0.5 + 4.0 * t - 0.75 * t * t; }
double d2cubic(double t) { return 4.0 - 1.5 * t; }

TEST(Spline, NotAKnotReproducesCubicsIncludingExtrapolation) {
    for (std::vector<double> x : {std::vector<double>{0.0, 0.7, 1.1, 3.0},
                                  std::vector<double>{-2.0, -1.9, 0.3, 0.4, 1.7, 2.5, 4.0}}) {
        std::vector<double> y;
        for (double t : x) y.push_back(cubic(t));
        nvx_cubic_spline sp{};
        char* err = nullptr;
        ASSERT_EQ(nvx_cubic_spline_fit_notaknot(x.data(), y.data(), x.size(), &sp, &err), 0);
        ASSERT_EQ(sp.n, x.size());
        for (double t = x.front() - 1.0; t <= x.back() + 1.0; t += 0.0625) {
            EXPECT_NEAR(nvx_cubic_spline_eval(&sp, t), cubic(t), 1e-11) << t;
            EXPECT_NEAR(nvx_cubic_spline_deriv(&sp, t), dcubic(t), 1e-10) << t;
            EXPECT_NEAR(nvx_cubic_spline_deriv2(&sp, t), d2cubic(t), 1e-9) << t;
        }
        nvx_cubic_spline_free(&sp);
        nvx_cubic_spline_free(&sp);
        EXPECT_EQ(sp.x, nullptr);
        EXPECT_EQ(sp.n, 0u);
    }
}

TEST(Spline, NaturalThreeKnotsMatchesClosedForm) {
    const double x[3] = {0.0, 1.0, 3.0}, y[3] = {1.0, 3.0, 2.0};
    const double h0 = 1.0, h1 = 2.0;
    const double M1 = 6.0 * ((2.0 - 3.0) / h1 - (3.0 - 1.0) / h0) / (2.0 * (h0 + h1));
    nvx_cubic_spline sp{};
    ASSERT_EQ(nvx_cubic_spline_fit_natural(x, y, 3, &sp, nullptr), 0);
    EXPECT_DOUBLE_EQ(sp.c[1], M1 / 2.0);
    EXPECT_EQ(sp.c[0], 0.0);
    EXPECT_NEAR(nvx_cubic_spline_deriv2(&sp, 3.0), 0.0, 1e-12);
    EXPECT_DOUBLE_EQ(nvx_cubic_spline_deriv2(&sp, 1.0), M1);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(nvx_cubic_spline_eval(&sp, x[i]), y[i], 1e-14);
    // first derivative continuous at the interior knot
    EXPECT_NEAR(nvx_cubic_spline_deriv(&sp, 1.0 - 1e-9), nvx_cubic_spline_deriv(&sp, 1.0), 1e-7);
    nvx_cubic_spline_free(&sp);
}

TEST(Spline, NaturalDoesNotReproduceACubicButKeepsLines) {
    std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0}, yc, yl;
    for (double t : x) {
        yc.push_back(cubic(t));
        yl.push_back(3.0 * t - 1.0);
    }
    nvx_cubic_spline c{}, l{};
    ASSERT_EQ(nvx_cubic_spline_fit_natural(x.data(), yc.data(), 5, &c, nullptr), 0);
    ASSERT_EQ(nvx_cubic_spline_fit_natural(x.data(), yl.data(), 5, &l, nullptr), 0);
    EXPECT_GT(std::fabs(nvx_cubic_spline_eval(&c, 0.5) - cubic(0.5)), 1e-3);
    for (double t = -1.0; t < 5.0; t += 0.3)
        EXPECT_NEAR(nvx_cubic_spline_eval(&l, t), 3.0 * t - 1.0, 1e-12);
    nvx_cubic_spline_free(&c);
    nvx_cubic_spline_free(&l);
}

TEST(Spline, TooFewKnotsFailAndLeaveTheRecordUntouched) {
    const double x[3] = {0.0, 1.0, 2.0}, y[3] = {0.0, 1.0, 0.0};
    nvx_cubic_spline sp{};
    sp.n = 77;  // sentinel
    char* err = nullptr;
    EXPECT_EQ(nvx_cubic_spline_fit_notaknot(x, y, 3, &sp, &err), 1);
    EXPECT_STREQ(err, "nvx_cubic_spline_fit_notaknot: need at least 4 knots");
    free(err);
    err = nullptr;
    EXPECT_EQ(nvx_cubic_spline_fit_natural(x, y, 2, &sp, &err), 1);
    EXPECT_STREQ(err, "nvx_cubic_spline_fit_natural: need at least 3 knots");
    free(err);
    EXPECT_EQ(sp.n, 77u);
    EXPECT_EQ(sp.x, nullptr);
}

}  // namespace
