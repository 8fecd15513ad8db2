// Interpolating cubic splines with natural or not-a-knot end conditions: the second derivatives
// at the knots come from one tridiagonal solve, then become per-segment polynomial coefficients.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/err.hpp"
#include "nuvex/numerics.h"

namespace {

// Tridiagonal system for the interior second derivatives M[1..n-2], row i for M[i+1].
struct Tridiag {
    std::vector<double> sub, diag, sup, rhs;
};

Tridiag interior_system(const std::vector<double>& h, const double* y, size_t n) {
    const size_t m = n - 2;
    Tridiag s{std::vector<double>(m), std::vector<double>(m), std::vector<double>(m),
              std::vector<double>(m)};
    for (size_t i = 0; i < m; ++i) {
        s.sub[i] = h[i];
        s.diag[i] = 2.0 * (h[i] + h[i + 1]);
        s.sup[i] = h[i + 1];
        s.rhs[i] = 6.0 * ((y[i + 2] - y[i + 1]) / h[i + 1] - (y[i + 1] - y[i]) / h[i]);
    }
    return s;
}

// Thomas algorithm (no pivoting): normalised forward sweep, then back substitution.
std::vector<double> solve_thomas(const Tridiag& s) {
    const size_t m = s.diag.size();
    std::vector<double> cp(m), dp(m), out(m);
    cp[0] = s.sup[0] / s.diag[0];
    dp[0] = s.rhs[0] / s.diag[0];
    for (size_t i = 1; i < m; ++i) {
        const double den = s.diag[i] - s.sub[i] * cp[i - 1];
        cp[i] = s.sup[i] / den;
        dp[i] = (s.rhs[i] - s.sub[i] * dp[i - 1]) / den;
    }
    out[m - 1] = dp[m - 1];
    for (size_t i = m - 1; i-- > 0;) out[i] = dp[i] - cp[i] * out[i + 1];
    return out;
}

std::vector<double> steps(const double* x, size_t n) {
    std::vector<double> h(n - 1);
    for (size_t i = 0; i + 1 < n; ++i) h[i] = x[i + 1] - x[i];
    return h;
}

// Turns knot second derivatives M into the record's coefficients; the record is only written
// once every allocation has succeeded.
int build_record(const char* who, const double* x, const double* y, size_t n,
                 const std::vector<double>& h, const std::vector<double>& M,
                 nvx_cubic_spline* sp, char** err) {
    const size_t ns = n - 1;
    auto* xs = static_cast<double*>(std::malloc(n * sizeof(double)));
    auto* a = static_cast<double*>(std::malloc(ns * sizeof(double)));
    auto* b = static_cast<double*>(std::malloc(ns * sizeof(double)));
    auto* c = static_cast<double*>(std::malloc(ns * sizeof(double)));
    auto* d = static_cast<double*>(std::malloc(ns * sizeof(double)));
    if (!xs || !a || !b || !c || !d) {
        std::free(xs), std::free(a), std::free(b), std::free(c), std::free(d);
        return nvx::fail(err, "%s: out of memory", who);
    }
    std::memcpy(xs, x, n * sizeof(double));
    for (size_t i = 0; i < ns; ++i) {
        a[i] = y[i];
        b[i] = (y[i + 1] - y[i]) / h[i] - h[i] * (2.0 * M[i] + M[i + 1]) / 6.0;
        c[i] = M[i] / 2.0;
        d[i] = (M[i + 1] - M[i]) / (6.0 * h[i]);
    }
    *sp = nvx_cubic_spline{xs, a, b, c, d, n};
    return 0;
}

// Segment index and offset of xq; the end cubics extend beyond the knots.
size_t locate(const nvx_cubic_spline* sp, double xq, double* t) {
    size_t i = nvx_find_segment(sp->x, sp->n, xq);
    *t = xq - sp->x[i];
    return i;
}

}  // namespace

int nvx_cubic_spline_fit_natural(const double* x, const double* y, size_t n,
                                 nvx_cubic_spline* spline, char** err) {
    const char* who = "nvx_cubic_spline_fit_natural";
    if (n <= 2) return nvx::fail(err, "%s: need at least 3 knots", who);
    if (!x || !y || !spline) return nvx::fail(err, "%s: null argument", who);
    const std::vector<double> h = steps(x, n);
    const std::vector<double> inner = solve_thomas(interior_system(h, y, n));
    std::vector<double> M(n, 0.0);
    for (size_t i = 0; i < n - 2; ++i) M[i + 1] = inner[i];
    return build_record(who, x, y, n, h, M, spline, err);
}

int nvx_cubic_spline_fit_notaknot(const double* x, const double* y, size_t n,
                                  nvx_cubic_spline* spline, char** err) {
    const char* who = "nvx_cubic_spline_fit_notaknot";
    if (n <= 3) return nvx::fail(err, "%s: need at least 4 knots", who);
    if (!x || !y || !spline) return nvx::fail(err, "%s: null argument", who);
    const std::vector<double> h = steps(x, n);
    Tridiag s = interior_system(h, y, n);
    // Eliminate M[0] and M[n-1] through continuity of the third derivative.
    const double h0 = h[0], h1 = h[1];
    s.diag[0] = 2.0 * (h0 + h1) + h0 * (h0 + h1) / h1;
    s.sup[0] = h1 - h0 * h0 / h1;
    const size_t l = n - 3;
    const double hA = h[n - 3], hB = h[n - 2];
    s.sub[l] = hA - hB * hB / hA;
    s.diag[l] = 2.0 * (hA + hB) + hB * (hA + hB) / hA;
    const std::vector<double> inner = solve_thomas(s);
    std::vector<double> M(n, 0.0);
    for (size_t i = 0; i < n - 2; ++i) M[i + 1] = inner[i];
    M[0] = ((h0 + h1) * M[1] - h0 * M[2]) / h1;
    M[n - 1] = ((hA + hB) * M[n - 2] - hB * M[n - 3]) / hA;
    return build_record(who, x, y, n, h, M, spline, err);
}

double nvx_cubic_spline_eval(const nvx_cubic_spline* sp, double xq) {
    if (!sp || sp->n < 2) return NAN;
    double t;
    const size_t i = locate(sp, xq, &t);
    return sp->a[i] + t * (sp->b[i] + t * (sp->c[i] + t * sp->d[i]));
}

double nvx_cubic_spline_deriv(const nvx_cubic_spline* sp, double xq) {
    if (!sp || sp->n < 2) return NAN;
    double t;
    const size_t i = locate(sp, xq, &t);
    return sp->b[i] + 2.0 * sp->c[i] * t + 3.0 * sp->d[i] * t * t;
}

double nvx_cubic_spline_deriv2(const nvx_cubic_spline* sp, double xq) {
    if (!sp || sp->n < 2) return NAN;
    double t;
    const size_t i = locate(sp, xq, &t);
    return 2.0 * sp->c[i] + 6.0 * sp->d[i] * t;
}

void nvx_cubic_spline_free(nvx_cubic_spline* sp) {
    if (!sp) return;
    std::free(sp->x);
    std::free(sp->a);
    std::free(sp->b);
    std::free(sp->c);
    std::free(sp->d);
    std::memset(sp, 0, sizeof *sp);
}
