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

void nvx_nu_spectrum_slice_at(const nvx_neutrino_history* h, double z, nvx_nu_spectrum_slice* out) {
    out->valid = 0;
    out->n = 0;
    if (!h || h->analytic || !h->spectral_loaded || !(z >= h->w_min && z <= h->w_max)) return;
    const size_t n = h->n_mom;
    if (n < 2 || n > NVX_NU_MAX_MOMENTA) return;
    for (size_t j = 0; j + 1 < n; ++j)
        if (!(h->grid[j + 1] > h->grid[j])) return;
    const double x = x_of_w(h, z);
    if (!(x > 0.0)) return;
    // the two rows around ln x, with the weights of the bilinear lookup
    const double lnx = std::log(x), *L = h->lnx_spec;
    const size_t ns = h->n_spec;
    if (!(lnx >= L[0] && lnx <= L[ns - 1])) return;
    const size_t i = std::min(size_t(std::lower_bound(L + 1, L + ns - 1, lnx) - (L + 1)), ns - 2);
    const double wx = L[i + 1] > L[i] ? (lnx - L[i]) / (L[i + 1] - L[i]) : 0.0;
    out->x = x;
    out->n = n;
    for (size_t j = 0; j < n; ++j) {
        out->y[j] = h->grid[j];
        out->d[j] = (1 - wx) * h->dfnu[i * n + j] + wx * h->dfnu[(i + 1) * n + j];
    }
    // natural cubic spline: tridiagonal system for the second derivatives (Thomas algorithm)
    double c[NVX_NU_MAX_MOMENTA], r[NVX_NU_MAX_MOMENTA];
    out->d2[0] = out->d2[n - 1] = 0.0;
    c[0] = r[0] = 0.0;
    for (size_t j = 1; j + 1 < n; ++j) {
        const double h0 = out->y[j] - out->y[j - 1], h1 = out->y[j + 1] - out->y[j];
        const double rhs = 6.0 * ((out->d[j + 1] - out->d[j]) / h1 - (out->d[j] - out->d[j - 1]) / h0);
        const double diag = 2.0 * (h0 + h1) - h0 * c[j - 1];
        c[j] = h1 / diag;
        r[j] = (rhs - h0 * r[j - 1]) / diag;
    }
    for (size_t j = n - 1; j-- > 1;) out->d2[j] = r[j] - c[j] * out->d2[j + 1];
    out->valid = 1;
}

void nvx_nu_dFDneu_moments_tabulated(const nvx_nu_spectrum_slice* sl, double t, double z_nu, double m[8]) {
    for (int k = 0; k < 8; ++k) m[k] = 0.0;
    if (!sl || !sl->valid) return;
    const double a = std::fabs(t), x = sl->x, y = a * x, u = a * z_nu;
    if (y > 300.0 && u > 300.0) return;
    // spline value and derivatives in y, linear beyond the grid (the natural ends have d'' = 0)
    const size_t n = sl->n;
    const double* Y = sl->y;
    double d, d1, d2;
    if (y <= Y[0] || y >= Y[n - 1]) {
        const size_t j = y <= Y[0] ? 0 : n - 2, e = y <= Y[0] ? 0 : n - 1;
        const double hj = Y[j + 1] - Y[j];
        d1 = (sl->d[j + 1] - sl->d[j]) / hj + (y <= Y[0] ? -(2.0 * sl->d2[j] + sl->d2[j + 1]) : sl->d2[j] + 2.0 * sl->d2[j + 1]) * hj / 6.0;
        d = sl->d[e] + d1 * (y - Y[e]);
        d2 = 0.0;
    } else {
        const size_t j = std::min(size_t(std::upper_bound(Y, Y + n, y) - Y) - 1, n - 2);
        const double hj = Y[j + 1] - Y[j], A = (Y[j + 1] - y) / hj, B = (y - Y[j]) / hj;
        const double M0 = sl->d2[j], M1 = sl->d2[j + 1];
        d = A * sl->d[j] + B * sl->d[j + 1] + ((A * A * A - A) * M0 + (B * B * B - B) * M1) * hj * hj / 6.0;
        d1 = (sl->d[j + 1] - sl->d[j]) / hj + ((1.0 - 3.0 * A * A) * M0 + (3.0 * B * B - 1.0) * M1) * hj / 6.0;
        d2 = A * M0 + B * M1;
    }
    // occupation (1 + d) F(y) of the table minus the reference F(u), and their t-derivatives
    const double F = nvx::fermi(y), F1 = -F * (1.0 - F), F2 = F * (1.0 - F) * (1.0 - 2.0 * F);
    const double R = nvx::fermi(u), R1 = -R * (1.0 - R), R2 = R * (1.0 - R) * (1.0 - 2.0 * R);
    const double f0 = (1.0 + d) * F - R;
    const double f1 = x * (d1 * F + (1.0 + d) * F1) - z_nu * R1;
    const double f2 = x * x * (d2 * F + 2.0 * d1 * F1 + (1.0 + d) * F2) - z_nu * z_nu * R2;
    const double a2 = a * a, a3 = a2 * a, a4 = a3 * a;
    // moments at |t|; Delta f is odd, so k = 0, 3, 5, 7 change sign with t (the parities of the
    // analytic closed forms)
    const double odd = t < 0 ? -1.0 : 1.0;
    m[0] = odd * a2 * f0;
    m[1] = a3 * f0;
    m[2] = 2.0 * a * f0 + a2 * f1;
    m[3] = odd * (3.0 * a2 * f0 + a3 * f1);
    m[4] = 4.0 * a3 * f0 + a4 * f1;
    m[5] = odd * (2.0 * f0 + 4.0 * a * f1 + a2 * f2);
    m[6] = 6.0 * a * f0 + 6.0 * a2 * f1 + a3 * f2;
    m[7] = odd * (12.0 * a2 * f0 + 8.0 * a3 * f1 + a4 * f2);
}

double nvx_nu_rho_nu_SD(const nvx_neutrino_history* h, double T) {
    if (!h->analytic) return 0.0;
    const double xi = h->xi_nue, xi2 = xi * xi;
    const double T4 = T * T * T * T;
    return 3.0 * T4 / kTwoPi2 *
           (h->y_SZ * (xi2 * xi2 + kTwoPi2 * xi2 + kSevenPi4Over15) + 2.0 * h->y_gray * kSevenPi4Over120);
}

}  // extern "C"
