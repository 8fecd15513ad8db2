// Neutrino spectral distortions: the analytic shapes and their moments in closed form, the
// bilinear lookup of tabulated relative distortions, and the extra energy density.
#include "neutrino/distortion.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kTwoPi2 = 19.739208802178716;       // 2 pi^2
constexpr double kSevenPi4Over15 = 45.45757581586779; // 7 pi^4/15
constexpr double kSevenPi4Over120 = 5.682196976983474;

// Quantities shared by the closed forms of the moments.
struct MomentTerms {
    double Y, g, u, U, V, h, X, W, GB;
};

MomentTerms moment_terms(const nvx_neutrino_history* hist, double a, double z_nu, double sigma) {
    MomentTerms m{};
    m.Y = hist->y_SZ;
    m.h = 1.0 + hist->y_gray;
    m.u = a * z_nu;
    m.U = m.u * m.u;
    m.V = m.U * m.u;
    m.g = nvx::fermi(m.u - sigma);
    const double l = nvx::fermi(m.u);
    const double f = nvx::fermi(m.u / m.h);
    const double h4 = m.h * m.h * m.h * m.h;
    m.X = (l - 1.0) * l * h4 - (f - 1.0) * f;
    // m (m-1)^2 + m^2 (m-1) factorised, so that an undistorted spectrum (m = l, h = 1) gives
    // exactly 0 instead of a rounding residue
    m.W = f * (f - 1.0) * (2.0 * f - 1.0) - l * (l - 1.0) * (2.0 * l - 1.0) * (h4 * m.h);
    m.GB = m.h * m.h * m.h * l - f;  // grey-body excess of the occupation
    return m;
}

double S_poly(const MomentTerms& m, double c_g, double c_u) {
    const double g = m.g, u = m.u, U = m.U;
    return -12 * U * g * g + c_g * g + 7 * U * g + 6 * U * g * g * g + c_u * u - 3 * c_u * u * g +
           2 * c_u * u * g * g - U - c_g;
}

double T_poly(const MomentTerms& m, double cU, double cu, double cg) {
    const double g = m.g, u = m.u, U = m.U, V = m.V;
    const double g2 = g * g, g3 = g2 * g, g4 = g3 * g;
    return -cU * U + 6 * cU * U * g3 - 12 * cU * U * g2 + 7 * cU * U * g - 60 * V * g3 +
           50 * V * g2 - 15 * V * g + 24 * V * g4 + V + cu * u - 3 * cu * u * g + 2 * cu * u * g2 +
           cg * g - cg;
}

// Bilinear relative distortion on the (ln x, comoving momentum) grid; 0 outside it.
double tabulated_delta(const nvx_neutrino_history* h, double lnx, double y) {
    const double* L = h->lnx_spec;
    const double* G = h->grid;
    const size_t ns = h->n_spec, nm = h->n_mom;
    if (!(lnx >= L[0] && lnx <= L[ns - 1] && y >= G[0] && y <= G[nm - 1])) return 0.0;
    // first segment whose upper knot is not below the point
    size_t i = size_t(std::lower_bound(L + 1, L + ns - 1, lnx) - (L + 1));
    size_t j = size_t(std::lower_bound(G + 1, G + nm - 1, y) - (G + 1));
    i = std::min(i, ns - 2);
    j = std::min(j, nm - 2);
    const double wx = L[i + 1] > L[i] ? (lnx - L[i]) / (L[i + 1] - L[i]) : 0.0;
    const double wy = G[j + 1] > G[j] ? (y - G[j]) / (G[j + 1] - G[j]) : 0.0;
    const double* D = h->dfnu;
    return (1 - wx) * (1 - wy) * D[i * nm + j] + wx * (1 - wy) * D[(i + 1) * nm + j] +
           (1 - wx) * wy * D[i * nm + j + 1] + wx * wy * D[(i + 1) * nm + j + 1];
}

// x(w) by linear interpolation with extrapolation; repeated w values keep the left value.
double x_of_w(const nvx_neutrino_history* h, double w) {
    const double* W = h->w_sorted;
    const double* X = h->x_by_w;
    const size_t i = nvx_find_segment(W, h->n_spec, w);
    const double dw = W[i + 1] - W[i];
    return dw > 0 ? X[i] + (X[i + 1] - X[i]) * (w - W[i]) / dw : X[i];
}

double tabulated_dfdneu(const nvx_neutrino_history* h, double t, double z, double z_nu) {
    const double x = x_of_w(h, z);
    const double y = std::fabs(t) * x;
    if (y < h->grid_min || y > h->grid_max) return 0.0;
    const double delta = x > 0 ? tabulated_delta(h, std::log(x), y) : 0.0;
    const double distorted = (1.0 + delta) * nvx::fermi(y);
    const double reference = nvx::fermi(std::fabs(t) * z_nu);
    const double r = distorted - reference;
    return t < 0 ? -r : r;
}

}  // namespace

namespace nvx {

double fermi(double v) { return v > 300.0 ? 0.0 : 1.0 / (std::exp(v) + 1.0); }

double dfdneu_analytic(const nvx_neutrino_history* h, double t, double z_nu, double s) {
    const double u = std::fabs(t) * z_nu;
    const double sigma = t >= 0 ? s * h->xi_nue : -s * h->xi_nue;
    const double g = fermi(u - sigma);
    double D = 0.0;
    if (h->y_SZ != 0.0) D += h->y_SZ * g * (1.0 - g) * (4.0 - (1.0 - 2.0 * g) * u);
    if (h->y_gray != 0.0) {
        const double hh = 1.0 + h->y_gray;
        D += fermi(u / hh) / (hh * hh * hh) - fermi(u);
    }
    return t >= 0 ? D : -D;
}

double raw_M2p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h4 = m.h * m.h * m.h * m.h;
    return -a * (m.Y * m.g * S_poly(m, 8, 7) + (m.X * m.u + 2 * m.h * m.GB) / h4);
}

double raw_M3p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h4 = m.h * m.h * m.h * m.h;
    return -a * a * (m.Y * m.g * S_poly(m, 12, 8) + (m.X * m.u + 3 * m.h * m.GB) / h4);
}

double raw_M4p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h4 = m.h * m.h * m.h * m.h;
    return -a * a * a * (m.Y * m.g * S_poly(m, 16, 9) + (m.X * m.u + 4 * m.h * m.GB) / h4);
}

double raw_M2p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    (void)a;
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h2 = m.h * m.h, h5 = h2 * h2 * m.h;
    return -(m.Y * m.g * T_poly(m, 10, 22, 8) +
             (4 * m.h * m.u * m.X + 2 * h2 * m.GB - m.W * m.U) / h5);
}

double raw_M3p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h2 = m.h * m.h, h5 = h2 * h2 * m.h;
    return -a * (m.Y * m.g * T_poly(m, 12, 36, 24) +
                 (6 * m.h * m.u * m.X + 6 * h2 * m.GB - m.W * m.U) / h5);
}

double raw_M4p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma) {
    const MomentTerms m = moment_terms(h, a, z_nu, sigma);
    const double h2 = m.h * m.h, h5 = h2 * h2 * m.h;
    return -a * a * (m.Y * m.g * T_poly(m, 14, 52, 48) +
                     (8 * m.h * m.u * m.X + 12 * h2 * m.GB - m.W * m.U) / h5);
}

}  // namespace nvx

extern "C" {

double nvx_nu_dFDneu(const nvx_neutrino_history* h, double t, double z, double z_nu, double s) {
    if (h->analytic) return nvx::dfdneu_analytic(h, t, z_nu, s);
    if (h->spectral_loaded && z >= h->w_min && z <= h->w_max)
        return tabulated_dfdneu(h, t, z, z_nu);
    return 0.0;
}

double nvx_nu_dFDneu_moment(const nvx_neutrino_history* h, int k, double t, double z, double z_nu,
                            double s) {
    (void)z;
    if (!h->analytic) return 0.0;
    if (k == 0) return t * t * nvx::dfdneu_analytic(h, t, z_nu, s);
    if (k == 1) return t * t * t * nvx::dfdneu_analytic(h, t, z_nu, s);
    const double a = std::fabs(t);
    const double sigma = t >= 0 ? s * h->xi_nue : -s * h->xi_nue;
    const double odd_sign = t < 0 ? -1.0 : 1.0;
    switch (k) {
        case 2: return nvx::raw_M2p1(h, a, z_nu, sigma);
        case 3: return odd_sign * nvx::raw_M3p1(h, a, z_nu, sigma);
        case 4: return nvx::raw_M4p1(h, a, z_nu, sigma);
        case 5: return odd_sign * nvx::raw_M2p2(h, a, z_nu, sigma);
        case 6: return nvx::raw_M3p2(h, a, z_nu, sigma);
        case 7: return odd_sign * nvx::raw_M4p2(h, a, z_nu, sigma);
        default: return 0.0;
    }
}

double nvx_nu_rho_nu_SD(const nvx_neutrino_history* h, double T) {
    if (!h->analytic) return 0.0;
    const double xi = h->xi_nue, xi2 = xi * xi;
    const double T4 = T * T * T * T;
    return 3.0 * T4 / kTwoPi2 *
           (h->y_SZ * (xi2 * xi2 + kTwoPi2 * xi2 + kSevenPi4Over15) + 2.0 * h->y_gray * kSevenPi4Over120);
}

}  // extern "C"
