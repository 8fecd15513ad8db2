// Electron-positron gas against its relativistic and non-relativistic limits, an independent
// momentum-space quadrature, and the thermodynamic identity dp/dT = (rho + p)/T.
#include <cmath>

#include "plasma_test_util.hpp"

using namespace plasma_test;

namespace {

// Fermi-Dirac integrals over momentum k (smooth at k = 0, unlike the energy form) by composite
// Simpson on [0, 80 T + 40 m]: out = {rho, p, drho/dT, dp/dT}.
void reference_electron(double T, double out[4]) {
    const int N = 40000;
    const double kmax = 80.0 * T + 40.0 * kMe;
    const double h = kmax / N;
    double s[4] = {0, 0, 0, 0};
    for (int i = 0; i <= N; ++i) {
        const double k = i * h;
        const double E = std::sqrt(k * k + kMe * kMe);
        const double f = 1.0 / (std::exp(E / T) + 1.0);
        const double ch = std::cosh(E / (2.0 * T));
        const double w = (i == 0 || i == N) ? 1.0 : (i % 2 ? 4.0 : 2.0);
        s[0] += w * k * k * E * f;
        s[1] += w * k * k * k * k / E * f;
        s[2] += w * k * k * E * E / (ch * ch);
        s[3] += w * k * k * k * k / (ch * ch);
    }
    for (double& v : s) v *= h / 3.0;
    const double pi2 = kPi * kPi;
    out[0] = 2.0 / pi2 * s[0];
    out[1] = 2.0 / (3.0 * pi2) * s[1];
    out[2] = s[2] / (2.0 * pi2 * T * T);
    out[3] = s[3] / (6.0 * pi2 * T * T);
}

class ElectronGas : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cfg = new TestConfig(2000);
        plasma = new Plasma(&cfg->c);
        ASSERT_EQ(plasma->rc, 0) << plasma->error;
    }
    static void TearDownTestSuite() {
        delete plasma;
        delete cfg;
    }
    static TestConfig* cfg;
    static Plasma* plasma;
};
TestConfig* ElectronGas::cfg = nullptr;
Plasma* ElectronGas::plasma = nullptr;

}  // namespace

TEST_F(ElectronGas, UltraRelativisticLimit) {
    const nvx_plasma* p = &plasma->p;
    // four fermionic states: (7/8) 4 (pi^2/30) T^4; mass corrections are O((m/T)^2)
    for (double T : {50.0, 100.0, 140.0}) {
        const double rho_rel = 7.0 / 8.0 * 4.0 * kPi * kPi / 30.0 * std::pow(T, 4);
        const double b2 = (kMe / T) * (kMe / T);
        EXPECT_NEAR(nvx_plasma_rho_e(p, T) / rho_rel, 1.0, 0.5 * b2) << T;
        EXPECT_NEAR(nvx_plasma_p_e(p, T) / (rho_rel / 3.0), 1.0, 0.5 * b2) << T;
        EXPECT_LT(nvx_plasma_rho_e(p, T), rho_rel);
    }
}

TEST_F(ElectronGas, NonRelativisticTailAndCutoff) {
    const nvx_plasma* p = &plasma->p;
    // Boltzmann limit: rho ~ m n, n = 4 (m T / 2 pi)^(3/2) exp(-m/T) (1 + 15 T / 8 m)
    for (double ratio : {20.0, 25.0, 29.0}) {
        const double T = kMe / ratio;
        const double n = 4.0 * std::pow(kMe * T / (2.0 * kPi), 1.5) * std::exp(-ratio) *
                         (1.0 + 15.0 / (8.0 * ratio));
        const double rho_nr = (kMe + 1.5 * T) * n;
        EXPECT_NEAR(nvx_plasma_rho_e(p, T) / rho_nr, 1.0, 0.01) << ratio;
        EXPECT_NEAR(nvx_plasma_p_e(p, T) / (n * T), 1.0, 0.05) << ratio;
    }
    // below m_e/30 every electron quantity is exactly 0, without a lookup
    for (double T : {kMe / 30.0 * 0.999, 1e-3, 1e-6}) {
        EXPECT_EQ(nvx_plasma_rho_e(p, T), 0.0);
        EXPECT_EQ(nvx_plasma_p_e(p, T), 0.0);
        EXPECT_EQ(nvx_plasma_drho_e_dT(p, T), 0.0);
        EXPECT_EQ(nvx_plasma_dp_e_dT(p, T), 0.0);
    }
}

TEST_F(ElectronGas, MatchesIndependentQuadrature) {
    const nvx_plasma* p = &plasma->p;
    for (double T : {0.03, 0.1, 0.3, 0.511, 1.0, 3.0, 10.0}) {
        double ref[4], direct[4];
        reference_electron(T, ref);
        nvx_plasma_electron_thermo_point(T, kMe, direct);
        const double table[4] = {nvx_plasma_rho_e(p, T), nvx_plasma_p_e(p, T),
                                 nvx_plasma_drho_e_dT(p, T), nvx_plasma_dp_e_dT(p, T)};
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(direct[k] / ref[k], 1.0, 1e-9) << "T=" << T << " k=" << k;
            EXPECT_NEAR(table[k] / ref[k], 1.0, 1e-7) << "T=" << T << " k=" << k;
        }
    }
}

TEST_F(ElectronGas, ThermodynamicIdentity) {
    // without chemical potential s = (rho + p)/T = dp/dT; and drho/dT = T d2p/dT2 follows
    const nvx_plasma* p = &plasma->p;
    // (near the cut-off the absolute quadrature tolerance limits the relative accuracy)
    for (double T : {0.02, 0.05, 0.1, 0.5, 2.0, 20.0}) {
        const double tol = T < 0.03 ? 1e-5 : 1e-7;
        const double s = (nvx_plasma_rho_e(p, T) + nvx_plasma_p_e(p, T)) / T;
        EXPECT_NEAR(nvx_plasma_dp_e_dT(p, T) / s, 1.0, tol) << T;
        const double h = 1e-4 * T;
        const double num = (nvx_plasma_rho_e(p, T + h) - nvx_plasma_rho_e(p, T - h)) / (2 * h);
        EXPECT_NEAR(nvx_plasma_drho_e_dT(p, T) / num, 1.0, 10 * tol) << T;
    }
}

TEST_F(ElectronGas, GridSpansCutoffToAtLeast150MeV) {
    const nvx_cubic_spline& s = plasma->p.rho_e;
    ASSERT_EQ(s.n, 2000u);
    EXPECT_NEAR(s.x[0], kMe / 30.0, 1e-15);
    EXPECT_NEAR(s.x[s.n - 1], 150.0, 1e-10);
    const double step = std::log(s.x[1] / s.x[0]);
    EXPECT_NEAR(std::log(s.x[1000] / s.x[999]), step, 1e-12);
}
