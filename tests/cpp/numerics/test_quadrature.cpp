// Quadrature against exact integrals: Simpson on cubics, a narrow Gaussian peak within its
// tolerance, and Gauss-Legendre rules exact for polynomials of degree 2n-1.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "nuvex/numerics.h"

namespace {

struct Counted {
    int calls = 0;
};

double cubic(double x, void* u) {
    ++static_cast<Counted*>(u)->calls;
    return 2.0 - x + 3.0 * x * x - 0.5 * x * x * x;
}
double cubic_integral(double a, double b) {
    auto F = [](double x) { return 2.0 * x - x * x / 2.0 + x * x * x - x * x * x * x / 8.0; };
    return F(b) - F(a);
}

// Lorentzian of half-width 0.002 centred at 0.3: a sharp peak with a closed-form integral.
constexpr double kWidth = 0.002;
double peak(double x, void*) {
    const double u = (x - 0.3) / kWidth;
    return 1.0 / (1.0 + u * u);
}
double peak_integral(double a, double b) {
    return kWidth * (std::atan((b - 0.3) / kWidth) - std::atan((a - 0.3) / kWidth));
}

TEST(Simpson, ExactForCubicsAtTheFirstLevel) {
    Counted c;
    double e = -1.0;
    const double v = nvx_quad_adaptive(cubic, &c, 40, &e, -1.0, 2.5, 1e-12);
    EXPECT_NEAR(v, cubic_integral(-1.0, 2.5), 1e-12);
    EXPECT_LT(e, 1e-13);
    EXPECT_EQ(c.calls, 5);  // three points, then the two quarter points: no subdivision
}

TEST(Simpson, DepthZeroGivesTheOneLevelRichardsonValue) {
    auto f = [](double x, void*) { return std::exp(x); };
    double e = 0.0;
    const double v = nvx_quad_adaptive(f, nullptr, 0, &e, 0.0, 1.0, 1e-300);
    const double whole = 1.0 / 6 * (1.0 + 4 * std::exp(0.5) + std::exp(1.0));
    const double left = 0.5 / 6 * (1.0 + 4 * std::exp(0.25) + std::exp(0.5));
    const double right = 0.5 / 6 * (std::exp(0.5) + 4 * std::exp(0.75) + std::exp(1.0));
    const double delta = left + right - whole;
    EXPECT_DOUBLE_EQ(v, left + right + delta / 15);
    EXPECT_DOUBLE_EQ(e, std::fabs(delta / 15));
}

TEST(Simpson, NarrowPeakReachesItsTolerance) {
    const double truth = peak_integral(0.0, 1.0);
    for (double tol : {1e-6, 1e-9, 1e-12}) {
        double e = 0.0;
        const double v = nvx_quad_adaptive(peak, nullptr, 50, &e, 0.0, 1.0, tol);
        EXPECT_NEAR(v, truth, tol) << tol;
        EXPECT_LE(e, tol);
    }
}

TEST(Simpson, NonFiniteIntegrandDoesNotExhaustTheDepth) {
    Counted c;
    auto f = [](double x, void* u) {
        ++static_cast<Counted*>(u)->calls;
        return x > 0.5 ? NAN : 1.0;
    };
    const double v = nvx_quad_adaptive(f, &c, 60, nullptr, 0.0, 1.0, 1e-12);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_LT(c.calls, 100);
}

TEST(GaussLegendre, IntegratesDegree2nMinus1Exactly) {
    for (int n = 1; n <= 40; ++n) {
        std::vector<double> x(n), w(n);
        nvx_gauss_legendre(n, x.data(), w.data());
        double wsum = 0.0;
        for (int i = 0; i < n; ++i) {
            wsum += w[i];
            EXPECT_GT(w[i], 0.0);
            EXPECT_NEAR(x[i], -x[n - 1 - i], 1e-15);
            if (i > 0) {
                EXPECT_LT(x[i - 1], x[i]);
            }
        }
        EXPECT_NEAR(wsum, 2.0, 1e-13) << n;
        for (int k = 0; k <= 2 * n - 1; ++k) {
            double q = 0.0;
            for (int i = 0; i < n; ++i) q += w[i] * std::pow(x[i], k);
            const double exact = (k % 2) ? 0.0 : 2.0 / (k + 1);
            EXPECT_NEAR(q, exact, 2e-14) << "n=" << n << " k=" << k;
        }
        if (n % 2) {
            EXPECT_NEAR(x[n / 2], 0.0, 1e-16);
        }
    }
    double x0 = 7.0, w0 = 7.0;
    nvx_gauss_legendre(1, &x0, &w0);
    EXPECT_EQ(x0, 0.0);
    EXPECT_EQ(w0, 2.0);
    nvx_gauss_legendre(0, &x0, &w0);  // nothing written
    nvx_gauss_legendre(-3, nullptr, nullptr);
    EXPECT_EQ(w0, 2.0);
}

TEST(GaussLegendre, DegreeTwoNIsNotExact) {
    // The rule is no better than promised: x^(2n) is off by a known positive amount.
    const int n = 4;
    std::vector<double> x(n), w(n);
    nvx_gauss_legendre(n, x.data(), w.data());
    double q = 0.0;
    for (int i = 0; i < n; ++i) q += w[i] * std::pow(x[i], 2 * n);
    EXPECT_GT(2.0 / (2 * n + 1) - q, 1e-3);
}

}  // namespace
