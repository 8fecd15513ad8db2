// Interpolation of the tabulated reaction rates in ln T9: natural cubic splines through the grid
// values (linear rows where a cubic could undershoot), extended linearly beyond the grid.
#include <algorithm>
#include <cmath>
#include <vector>

#include "network/network_internal.hpp"

namespace nvx::net {
namespace {

// A cubic through positive values that jump by more than this between neighbours can dip below
// zero; such rows (and rows holding a zero or negative rate) are interpolated linearly.
constexpr double kMaxNeighbourRatio = 100.0;

bool spline_row(const double* y, size_t M) {
    if (M < 3) return false;
    for (size_t j = 0; j < M; ++j)
        if (!(y[j] > 0.0) || !std::isfinite(y[j])) return false;
    for (size_t j = 1; j < M; ++j) {
        const double q = y[j] / y[j - 1];
        if (q > kMaxNeighbourRatio || q < 1.0 / kMaxNeighbourRatio) return false;
    }
    return true;
}

}  // namespace

// Natural spline on a uniform grid, in units where the spacing is 1: m = h^2 M / 6 solves
// m[j-1] + 4 m[j] + m[j+1] = y[j+1] - 2 y[j] + y[j-1] with m[0] = m[M-1] = 0 (Thomas algorithm;
// the elimination factors are those of the constant matrix, shared by every row).
void refresh_curvature(NVXNetworkDef* d) {
    const size_t M = d->n_grid, rows = d->n_reactions ? d->n_reactions - 1 : 0;
    std::vector<double> w(M > 2 ? M - 1 : 1, 0.0);
    for (size_t j = 1; j + 1 < M; ++j) w[j] = 1.0 / (4.0 - w[j - 1]);
    for (size_t r = 0; r < rows; ++r) {
        const double* y = d->rates_current + r * M;
        double* m = d->rates_curv + r * M;
        std::fill(m, m + M, 0.0);
        if (!spline_row(y, M)) continue;
        for (size_t j = 1; j + 1 < M; ++j) m[j] = (y[j + 1] - 2.0 * y[j] + y[j - 1] - m[j - 1]) * w[j];
        for (size_t j = M - 2; j-- > 1;) m[j] -= w[j] * m[j + 1];
    }
    d->curv_valid = 1;
}

GridPoint grid_point(const NVXNetworkDef& d, double T9) {
    const size_t M = d.n_grid;
    GridPoint p{};
    if (M < 2) return p;
    const double s = (std::log(T9) - d.grid_lnT9_0) * d.grid_inv_dlnT9;
    const double last = static_cast<double>(M - 1);
    if (!(s > 0.0)) {  // below the grid (or NaN): the first segment's line, slope of the spline there
        p.theta = s, p.c_lo = -2.0 * s, p.c_hi = -s;
    } else if (s >= last) {  // above: the line of the spline's end slope (its curvature is 0 there)
        const double sigma = s - last;
        p.i = M - 2, p.theta = 1.0 + sigma, p.c_lo = sigma, p.c_hi = 2.0 * sigma;
    } else {
        p.i = std::min(static_cast<size_t>(s), M - 2);
        p.theta = s - static_cast<double>(p.i);
        const double A = 1.0 - p.theta;
        p.c_lo = A * (A * A - 1.0);
        p.c_hi = p.theta * (p.theta * p.theta - 1.0);
    }
    return p;
}

}  // namespace nvx::net
