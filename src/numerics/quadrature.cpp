// One-dimensional quadrature: adaptive Simpson with Richardson extrapolation and an absolute
// error budget, and Gauss-Legendre nodes and weights on [-1, 1] by Newton iteration.
#include <cmath>

#include "nuvex/numerics.h"

namespace {

struct Simpson {
    nvx_quad_fn f;
    void* user;
    double err_sum;  // accumulated Richardson corrections

    double step(double a, double b, double fa, double fm, double fb, double whole, double tol,
                int depth) {
        const double m = (a + b) / 2;
        const double lm = (a + m) / 2, rm = (m + b) / 2;
        const double flm = f(lm, user);
        const double frm = f(rm, user);
        const double left = (m - a) / 6 * (fa + 4 * flm + fm);
        const double right = (b - m) / 6 * (fm + 4 * frm + fb);
        const double delta = left + right - whole;
        // A non-finite delta can never meet the tolerance; subdividing further would only burn
        // 2^depth evaluations to return the same non-finite value.
        if (depth < 1 || std::fabs(delta) <= 15 * tol || !std::isfinite(delta)) {
            err_sum += delta / 15;
            return left + right + delta / 15;
        }
        const double l = step(a, m, fa, flm, fm, left, tol / 2, depth - 1);
        const double r = step(m, b, fm, frm, fb, right, tol / 2, depth - 1);
        return l + r;
    }
};

}  // namespace

double nvx_quad_adaptive(nvx_quad_fn f, void* user, int max_depth, double* err_out, double a,
                         double b, double tol) {
    Simpson s{f, user, 0.0};
    const double m = (a + b) / 2;
    const double fa = f(a, user);
    const double fm = f(m, user);
    const double fb = f(b, user);
    const double whole = (b - a) / 6 * (fa + 4 * fm + fb);
    const double result = s.step(a, b, fa, fm, fb, whole, tol, max_depth);
    if (err_out) *err_out = std::fabs(s.err_sum);
    return result;
}

void nvx_gauss_legendre(int n, double* nodes, double* weights) {
    if (n <= 0) return;
    const double pi = 3.141592653589793;
    const int half = (n + 1) / 2;
    for (int i = 0; i < half; ++i) {
        double z = std::cos(pi * (i + 0.75) / (n + 0.5));
        double z1 = z, dp = 0.0;
        for (int it = 0; it < 100; ++it) {
            double p1 = 1.0, p2 = 0.0;
            for (int k = 1; k <= n; ++k) {
                const double p3 = p2;
                p2 = p1;
                p1 = ((2.0 * k - 1.0) * z * p2 - (k - 1.0) * p3) / k;
            }
            dp = n * (z * p1 - p2) / (z * z - 1.0);
            z1 = z - p1 / dp;
            if (std::fabs(z1 - z) < 1e-15) break;
            z = z1;
        }
        nodes[i] = -z1;
        nodes[n - 1 - i] = z1;
        weights[i] = weights[n - 1 - i] = 2.0 / ((1.0 - z1 * z1) * dp * dp);
    }
}
