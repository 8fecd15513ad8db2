// Analytic spectral distortions: vanishing without distortion, parity, moments 0 and 1, overflow
// guards and the extra energy density against a direct integration of the distortion.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "neutrino/distortion.hpp"
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
