// Segment search on strictly increasing abscissae, linear and local quadratic interpolation,
// and the owning nvx_interp1d record (linear with extrapolation, or a cubic spline).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "config/err.hpp"
#include "nuvex/numerics.h"

namespace {

// Plain bisection: the largest lo with x[lo] <= xq, within [0, n-2] (n >= 2).
size_t bisect(const double* x, size_t n, double xq) {
    size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        if (xq >= x[mid]) lo = mid;
        else hi = mid;
    }
    return lo;
}

// Walk of at most 8 segments from hint k; returns n when the walk gives up (bisection needed).
constexpr size_t kWalk = 8;

size_t hunt(const double* x, size_t n, size_t k, double xq) {
    const size_t last = n - 2;
    if (k < last && xq >= x[k + 1]) {
        for (size_t j = k + 1; j <= k + kWalk; ++j) {
            if (j >= last) return last;
            if (xq < x[j + 1]) return j;
        }
        return n;
    }
    if (k == 0) return 0;
    if (xq >= x[k]) return k;
    for (size_t j = k - 1, steps = 0; steps < kWalk; --j, ++steps) {
        if (j == 0) return 0;
        if (xq >= x[j]) return j;
    }
    return n;
}

double* dup_array(const double* src, size_t n) {
    auto* out = static_cast<double*>(std::malloc(n * sizeof(double)));
    if (out) std::memcpy(out, src, n * sizeof(double));
    return out;
}

}  // namespace

size_t nvx_find_segment(const double* x, size_t n, double xq) {
    if (n < 2) return 0;  // no segment at all; never read the table
    if (xq <= x[0]) return 0;
    if (xq >= x[n - 1]) return n - 2;
    return bisect(x, n, xq);
}

size_t nvx_find_segment_monotone(const double* x, size_t n, size_t* hint, double xq) {
    size_t seg;
    if (n < 2) seg = 0;
    else if (xq <= x[0]) seg = 0;
    else if (xq >= x[n - 1]) seg = n - 2;
    else if (!hint || *hint > n - 2) seg = bisect(x, n, xq);
    else {
        seg = hunt(x, n, *hint, xq);
        if (seg == n) seg = bisect(x, n, xq);
    }
    if (hint) *hint = seg;
    return seg;
}

double nvx_interp_linear(const double* x, const double* y, size_t n, int extrapolate, double xq) {
    if (n == 0) return NAN;
    if (n == 1) return y[0];
    if (!extrapolate) {
        if (xq <= x[0]) return y[0];
        if (xq >= x[n - 1]) return y[n - 1];
    }
    size_t i = nvx_find_segment(x, n, xq);
    return y[i] + (y[i + 1] - y[i]) * (xq - x[i]) / (x[i + 1] - x[i]);
}

double nvx_interp_quadratic_local(const double* x, const double* y, size_t n, double xq) {
    if (n < 3) return nvx_interp_linear(x, y, n, 1, xq);
    size_t i = nvx_find_segment(x, n, xq);
    size_t s = i == 0 ? 0 : i - 1;
    if (s > n - 3) s = n - 3;
    const double x0 = x[s], x1 = x[s + 1], x2 = x[s + 2];
    const double l0 = (xq - x1) * (xq - x2) / ((x0 - x1) * (x0 - x2));
    const double l1 = (xq - x0) * (xq - x2) / ((x1 - x0) * (x1 - x2));
    const double l2 = (xq - x0) * (xq - x1) / ((x2 - x0) * (x2 - x1));
    return y[s] * l0 + y[s + 1] * l1 + y[s + 2] * l2;
}

int nvx_interp1d_init_linear(nvx_interp1d* ip, const double* x, const double* y, size_t n,
                             char** err) {
    if (!ip || !x || !y) return nvx::fail(err, "nvx_interp1d_init_linear: null argument");
    if (n < 2) return nvx::fail(err, "nvx_interp1d_init_linear: need at least 2 points");
    double* xc = dup_array(x, n);
    double* yc = dup_array(y, n);
    if (!xc || !yc) {
        std::free(xc);
        std::free(yc);
        return nvx::fail(err, "nvx_interp1d_init_linear: out of memory");
    }
    std::memset(ip, 0, sizeof *ip);
    ip->use_spline = 0;
    ip->x = xc;
    ip->y = yc;
    ip->n = n;
    return 0;
}

int nvx_interp1d_init_spline(nvx_interp1d* ip, const double* x, const double* y, size_t n,
                             char** err) {
    if (!ip || !x || !y) return nvx::fail(err, "nvx_interp1d_init_spline: null argument");
    nvx_cubic_spline sp{};
    if (nvx_cubic_spline_fit_notaknot(x, y, n, &sp, err) != 0) return 1;
    std::memset(ip, 0, sizeof *ip);
    ip->use_spline = 1;
    ip->spline = sp;
    return 0;
}

double nvx_interp1d_eval(const nvx_interp1d* ip, double xq) {
    if (ip->use_spline) return nvx_cubic_spline_eval(&ip->spline, xq);
    return nvx_interp_linear(ip->x, ip->y, ip->n, 1, xq);
}

void nvx_interp1d_free(nvx_interp1d* ip) {
    if (!ip) return;
    // The record owns whatever it holds in either mode; unused members are null.
    nvx_cubic_spline_free(&ip->spline);
    std::free(ip->x);
    std::free(ip->y);
    std::memset(ip, 0, sizeof *ip);
}
