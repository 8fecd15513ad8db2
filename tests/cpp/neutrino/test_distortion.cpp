// Analytic spectral distortions: vanishing without distortion, parity, moments 0 and 1, overflow
// guards and the extra energy density against a direct integration of the distortion.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "neutrino/distortion.hpp"
#include "neutrino/tabulated_history.hpp"
#include "nuvex/neutrino.h"

namespace {

constexpr double kPi = 3.141592653589793;

nvx_neutrino_history analytic(double y_SZ, double y_gray, double xi) {
    nvx_neutrino_history h{};
    h.mode = NVX_NU_MODE_INSTANTANEOUS;
    h.analytic = 1;
    h.y_SZ = y_SZ;
    h.y_gray = y_gray;
    h.xi_nue = xi;
    return h;
}

// Simpson over u in [0, 60] of u^3 (D(sigma = +xi) + D(sigma = -xi)): the energy of both branches.
double energy_integral(const nvx_neutrino_history& h) {
    const int N = 20000;
    const double hstep = 60.0 / N;
    double s = 0;
    for (int i = 0; i <= N; ++i) {
        const double u = i * hstep;
        const double w = (i == 0 || i == N) ? 1 : (i % 2 ? 4 : 2);
        const double D = nvx::dfdneu_analytic(&h, u, 1.0, 1.0) + nvx::dfdneu_analytic(&h, u, 1.0, -1.0);
        s += w * u * u * u * D;
    }
    return s * hstep / 3;
}

}  // namespace

TEST(NeutrinoDistortion, NoDistortionGivesExactZeros) {
    nvx_neutrino_history none{};
    nvx_neutrino_history flat = analytic(0.0, 0.0, 0.3);
    for (double t : {-2.0, -0.1, 0.0, 0.4, 3.0}) {
        EXPECT_EQ(nvx_nu_dFDneu(&none, t, 2.0, 2.5, 1.0), 0.0);
        EXPECT_EQ(nvx_nu_dFDneu(&flat, t, 2.0, 2.5, -1.0), 0.0);
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(nvx_nu_dFDneu_moment(&none, k, t, 2.0, 2.5, 1.0), 0.0);
            EXPECT_EQ(nvx_nu_dFDneu_moment(&flat, k, t, 2.0, 2.5, 1.0), 0.0) << k << " " << t;
        }
    }
    EXPECT_EQ(nvx_nu_rho_nu_SD(&none, 1.0), 0.0);
    EXPECT_EQ(nvx_nu_rho_nu_SD(&flat, 1.0), 0.0);
}

TEST(NeutrinoDistortion, ParityAndLowMoments) {
    const nvx_neutrino_history h0 = analytic(0.02, 0.05, 0.0);
    const nvx_neutrino_history hx = analytic(0.02, 0.05, 0.4);
    for (double t : {0.1, 0.7, 2.5}) {
        const double zn = 1.7;
        EXPECT_EQ(nvx_nu_dFDneu(&h0, -t, 0, zn, 1.0), -nvx_nu_dFDneu(&h0, t, 0, zn, 1.0));
        EXPECT_NE(nvx_nu_dFDneu(&h0, t, 0, zn, 1.0), 0.0);
        // with a chemical potential the negative branch is the opposite-sign value at |t|
        EXPECT_EQ(nvx_nu_dFDneu(&hx, -t, 0, zn, 1.0), -nvx_nu_dFDneu(&hx, t, 0, zn, -1.0));
        EXPECT_NE(nvx_nu_dFDneu(&hx, -t, 0, zn, 1.0), -nvx_nu_dFDneu(&hx, t, 0, zn, 1.0));
        for (double tt : {t, -t}) {
            const double D = nvx_nu_dFDneu(&hx, tt, 0, zn, 1.0);
            EXPECT_DOUBLE_EQ(nvx_nu_dFDneu_moment(&hx, 0, tt, 0, zn, 1.0), tt * tt * D);
            EXPECT_DOUBLE_EQ(nvx_nu_dFDneu_moment(&hx, 1, tt, 0, zn, 1.0), tt * tt * tt * D);
        }
        // even moments keep their value for either sign of t, odd ones flip (xi = 0)
        for (int k = 2; k < 8; ++k) {
            const double sgn = (k % 2) ? -1.0 : 1.0;
            EXPECT_EQ(nvx_nu_dFDneu_moment(&h0, k, -t, 0, zn, 1.0),
                      sgn * nvx_nu_dFDneu_moment(&h0, k, t, 0, zn, 1.0));
            EXPECT_TRUE(std::isfinite(nvx_nu_dFDneu_moment(&hx, k, t, 0, zn, 1.0)));
        }
        EXPECT_EQ(nvx_nu_dFDneu_moment(&hx, 8, t, 0, zn, 1.0), 0.0);
        EXPECT_EQ(nvx_nu_dFDneu_moment(&hx, -1, t, 0, zn, 1.0), 0.0);
    }
}

TEST(NeutrinoDistortion, ColdNeutrinosDoNotOverflow) {
    const nvx_neutrino_history h = analytic(0.1, 0.2, 1.0);
    for (double t : {1.0, -1.0, 50.0}) {
        EXPECT_EQ(nvx_nu_dFDneu(&h, t, 0, 1e4, 1.0), 0.0);
        for (int k = 0; k < 8; ++k) EXPECT_EQ(nvx_nu_dFDneu_moment(&h, k, t, 0, 1e4, 1.0), 0.0);
    }
    EXPECT_EQ(nvx::fermi(300.5), 0.0);
    EXPECT_GT(nvx::fermi(299.0), 0.0);
}

TEST(NeutrinoDistortion, EnergyDensity) {
    // grey body: three flavours, particle plus antiparticle, rho = 3 T^4/(2 pi^2) \int u^3 (D+ + D-)
    const double T = 1.3, pre = 3 * std::pow(T, 4) / (2 * kPi * kPi);
    for (double g : {0.07, -0.03}) {
        const nvx_neutrino_history h = analytic(0.0, g, 0.0);
        EXPECT_NEAR(nvx_nu_rho_nu_SD(&h, T) / (pre * energy_integral(h)), 1.0, 1e-8) << g;
    }
    const nvx_neutrino_history gray = analytic(0, 0.07, 0);
    EXPECT_DOUBLE_EQ(nvx_nu_rho_nu_SD(&gray, T),
                     3 * std::pow(T, 4) * 2 * 0.07 * 7 * std::pow(kPi, 4) / 120 / (2 * kPi * kPi));
    // Compton-like term: y (xi^4 + 2 pi^2 xi^2 + 7 pi^4/15), the energy a y-distortion adds to
    // a Fermi-Dirac pair of chemical potentials +-xi
    const nvx_neutrino_history sz = analytic(0.03, 0, 0.6);
    const double xi2 = 0.36;
    EXPECT_DOUBLE_EQ(nvx_nu_rho_nu_SD(&sz, T),
                     pre * 0.03 * (xi2 * xi2 + 2 * kPi * kPi * xi2 + 7 * std::pow(kPi, 4) / 15));
}

TEST(NeutrinoDistortion, MomentsAreDerivativesOfTheWeightedShape) {
    // The moments replace the Fermi-Dirac occupation functions of the finite-mass terms, which are
    // t^2 f, t^3 f, d/dt(t^n f) for n = 2, 3, 4 and d2/dt2(t^n f) for n = 2, 3, 4; the closed
    // forms must be those of the distortion itself. Checked against central differences.
    const double e = 1e-4;
    for (const auto& [Y, yg, xi] : {std::tuple{0.05, 0.0, 0.0}, std::tuple{0.0, 0.1, 0.0},
                                    std::tuple{0.03, -0.06, 0.4}})
        for (double zn : {1.0, 1.7})
            for (double s : {1.0, -1.0})
                for (double t : {0.4, 1.3, -0.9, -2.2}) {
                    const nvx_neutrino_history h = analytic(Y, yg, xi);
                    auto w = [&](int n, double x) {
                        return std::pow(x, n) * nvx::dfdneu_analytic(&h, x, zn, s);
                    };
                    for (int k = 2; k < 8; ++k) {
                        const int n = k < 5 ? k : k - 3;
                        const double ref =
                            k < 5 ? (w(n, t + e) - w(n, t - e)) / (2 * e)
                                  : (w(n, t + e) - 2 * w(n, t) + w(n, t - e)) / (e * e);
                        EXPECT_NEAR(nvx_nu_dFDneu_moment(&h, k, t, 0, zn, s), ref, 2e-6)
                            << "k=" << k << " t=" << t << " s=" << s << " zn=" << zn;
                    }
                }
}

namespace {

// A tabulated spectrum built by hand: every row holds delta(y) on the momenta 0.25 ... 20, and the
// rows map plasma z to x = z / r.
struct Table : TabulatedHistory {
    // rows differ (a slow drift with x), so that the interpolation between rows is checked too
    Table(double r, double (*delta)(double))
        : TabulatedHistory(r, 31, -1.0, 1.0,
                           [delta](double y, double z) { return delta(y) * (1.0 + 0.1 * std::log(z)); }) {}
};

double shape(double y) { return 0.004 * (y * y / 4 - y) * std::exp(-y / 10); }

}  // namespace

TEST(NeutrinoDistortion, TabulatedMomentsFollowTheTableSmoothly) {
    // The finite-mass terms of a tabulated spectrum use its moments: the spline of the interpolated
    // rows goes through the values the bilinear lookup gives at the grid momenta (moment 0 is
    // t^2 times the distortion there), the higher moments are its derivatives (central differences
    // of the lower ones), and the parities are those of an odd distortion.
    const Table tab(1.05, shape);
    const double zn = 1.7, z = 0.8;  // plasma z between rows; x = z / 1.05
    nvx_nu_spectrum_slice sl;
    nvx_nu_spectrum_slice_at(&tab.h, z, &sl);
    ASSERT_EQ(sl.valid, 1);
    EXPECT_NEAR(sl.x, z / 1.05, 1e-12);
    double m[8];
    for (int j : {3, 10, 40, 79}) {
        const double t = tab.grid[j] / sl.x;
        nvx_nu_dFDneu_moments_tabulated(&sl, t, zn, m);
        EXPECT_NEAR(m[0], t * t * nvx_nu_dFDneu(&tab.h, t, z, zn, 1.0), 1e-14) << "grid " << j;
        nvx_nu_dFDneu_moments_tabulated(&sl, -t, zn, m);
        EXPECT_NEAR(m[0], -t * t * nvx_nu_dFDneu(&tab.h, t, z, zn, 1.0), 1e-14);
    }
    const double e = 1e-4;
    for (double t : {0.1, 0.9, 3.3, 7.0, -0.6, -4.1}) {
        double mp[8], mm[8], m0[8];
        nvx_nu_dFDneu_moments_tabulated(&sl, t + e, zn, mp);
        nvx_nu_dFDneu_moments_tabulated(&sl, t - e, zn, mm);
        nvx_nu_dFDneu_moments_tabulated(&sl, t, zn, m0);
        const auto w = [](const double* mo, double tt, int n) { return std::pow(tt, n - 2) * mo[0]; };  // t^n Df
        for (int k = 2; k < 8; ++k) {
            const int n = k < 5 ? k : k - 3;
            const double ref = k < 5 ? (w(mp, t + e, n) - w(mm, t - e, n)) / (2 * e)
                                     : (w(mp, t + e, n) - 2 * w(m0, t, n) + w(mm, t - e, n)) / (e * e);
            EXPECT_NEAR(m0[k], ref, 2e-6 * (1 + std::fabs(ref))) << "k=" << k << " t=" << t;
        }
        EXPECT_NEAR(m0[1], t * m0[0], 1e-15);
    }
    // Outside the table's plasma range, or a grid that does not increase: no moments.
    nvx_nu_spectrum_slice_at(&tab.h, 50.0, &sl);
    EXPECT_EQ(sl.valid, 0);
    nvx_nu_dFDneu_moments_tabulated(&sl, 1.0, zn, m);
    for (double v : m) EXPECT_EQ(v, 0.0);
    Table bad(1.0, shape);
    bad.grid[5] = bad.grid[4];
    nvx_nu_spectrum_slice_at(&bad.h, z, &sl);
    EXPECT_EQ(sl.valid, 0);
}
