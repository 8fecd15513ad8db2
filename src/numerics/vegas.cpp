// Two-dimensional VEGAS importance sampling: a separable grid of 50 bins per axis, refined after
// every iteration from the squared weighted samples, and a variance-weighted mean of iterations.
#include <algorithm>
#include <array>
#include <cmath>

#include "nuvex/numerics.h"

namespace {

constexpr int kBins = 50;

using Edges = std::array<double, kBins + 1>;
using Accum = std::array<double, kBins>;

struct Estimate {
    double I, V;
};

void uniform_grid(Edges& e, double lo, double hi) {
    for (int j = 0; j < kBins; ++j) e[j] = lo + static_cast<double>(j) / kBins * (hi - lo);
    e[kBins] = hi;
}

// Smoothed, normalised importance weights of the bins; false when the axis must keep its grid.
bool importance(const Accum& d, Accum& r, double& R) {
    Accum s;
    s[0] = (d[0] + d[1]) / 2;
    for (int j = 1; j < kBins - 1; ++j) s[j] = (d[j - 1] + d[j] + d[j + 1]) / 3;
    s[kBins - 1] = (d[kBins - 2] + d[kBins - 1]) / 2;
    double sum = 0.0;
    for (double v : s) sum += v;
    // A non-finite sum (overflowing or NaN samples) carries no usable shape either.
    if (!(sum > 0.0) || !std::isfinite(sum)) return false;
    R = 0.0;
    for (int j = 0; j < kBins; ++j) {
        const double dn = s[j] / sum;
        if (dn < 1e-300) r[j] = 1e-300;
        else if (dn == 1.0) r[j] = 1.0;
        else r[j] = std::pow((dn - 1.0) / std::log(dn), 1.5);
        R += r[j];
    }
    return true;
}

// Moves the interior edges so that every new bin holds an equal share of the weight.
void refine(Edges& e, const Accum& d) {
    Accum r;
    double R = 0.0;
    if (!importance(d, r, R)) return;
    Edges out = e;
    int j = 0;
    double before = 0.0;  // weight of the old bins below bin j
    for (int k = 1; k < kBins; ++k) {
        const double target = k * R / kBins;
        while (j < kBins - 1 && before + r[j] < target) before += r[j++];
        const double frac = r[j] <= 0.0 ? 1.0 : std::min(1.0, (target - before) / r[j]);
        out[k] = e[j] + frac * (e[j + 1] - e[j]);
    }
    e = out;
}

Estimate iteration(nvx_vegas_fn f, void* user, std::array<Edges, 2>& edge, int n_eval,
                   nvx_rng& rng) {
    std::array<Accum, 2> d{};
    double S1 = 0.0, S2 = 0.0;
    for (int s = 0; s < n_eval; ++s) {
        double x[2];
        int bin[2];
        double jac = 1.0;
        for (int ax = 0; ax < 2; ++ax) {
            const double u = kBins * nvx_rng_uniform(&rng);
            const int j = std::min(static_cast<int>(u), kBins - 1);
            const double w = edge[ax][j + 1] - edge[ax][j];
            x[ax] = edge[ax][j] + (u - j) * w;
            jac *= kBins * w;
            bin[ax] = j;
        }
        const double v = f(x, user) * jac;
        d[0][bin[0]] += v * v;
        d[1][bin[1]] += v * v;
        S1 += v;
        S2 += v * v;
    }
    refine(edge[0], d[0]);
    refine(edge[1], d[1]);
    const double I = S1 / n_eval;
    double V = (S2 / n_eval - I * I) / n_eval;
    if (V < 0.0) V = 0.0;
    return {I, V};
}

}  // namespace

nvx_vegas_result nvx_vegas_integrate(nvx_vegas_fn f, void* user, const double lo[2],
                                     const double hi[2], int n_eval, int n_warmup, int n_iter,
                                     uint64_t seed) {
    // Without samples there is no estimate; say so rather than invent a zero.
    if (n_eval <= 0) return {NAN, NAN};
    nvx_rng rng;
    nvx_rng_seed(&rng, seed);
    std::array<Edges, 2> edge;
    uniform_grid(edge[0], lo[0], hi[0]);
    uniform_grid(edge[1], lo[1], hi[1]);
    for (int it = 0; it < n_warmup; ++it) iteration(f, user, edge, n_eval, rng);
    double W = 0.0, WI = 0.0;
    for (int it = 0; it < n_iter; ++it) {
        const Estimate e = iteration(f, user, edge, n_eval, rng);
        const double w = 1.0 / std::max(e.V, 1e-300);
        W += w;
        WI += w * e.I;
    }
    if (W > 0.0) return {WI / W, std::sqrt(1.0 / W)};
    return {0.0, 0.0};
}
