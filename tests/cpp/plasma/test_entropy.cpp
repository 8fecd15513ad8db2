// Plasma entropy, its derivative, the decoupled-species temperature and the summed densities.
#include <cmath>

#include "plasma_test_util.hpp"

using namespace plasma_test;

TEST(PlasmaEntropy, DecouplingTemperatureLimitsWithoutQED) {
    TestConfig cfg(400);
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0) << pl.error;
    const nvx_plasma* p = &pl.p;
    // fully relativistic pairs: the species shares the photon temperature (mass corrections ~ b^2)
    double prev = 1.0;
    for (double T : {10.0, 50.0, 140.0}) {
        const double r = nvx_plasma_T_nu_decoupling(p, T) / T;
        EXPECT_LT(r, 1.0);
        EXPECT_LT(1.0 - r, 0.1 * (kMe / T) * (kMe / T)) << T;
        EXPECT_LT(1.0 - r, prev);
        prev = 1.0 - r;
    }
    // after annihilation the photons alone carry the entropy: (4/11)^(1/3)
    const double four_elevenths = std::cbrt(4.0 / 11.0);
    for (double T : {0.015, 1e-3, 1e-5})
        EXPECT_NEAR(nvx_plasma_T_nu_decoupling(p, T) / T, four_elevenths, 1e-6) << T;
    // at m_e/25 a trace of pairs is left
    EXPECT_GT(nvx_plasma_T_nu_decoupling(p, kMe / 25.0) / (kMe / 25.0), four_elevenths);
}

TEST(PlasmaEntropy, DerivativeMatchesFiniteDifference) {
    for (int qed : {0, 1}) {
        TestConfig cfg(400);
        cfg.c.QED_corrections = qed;
        Plasma pl(&cfg.c);
        ASSERT_EQ(pl.rc, 0) << pl.error;
        for (double T : {0.05, 0.2, 0.7, 2.0, 8.0, 30.0}) {
            double s, ds;
            nvx_plasma_spl_and_dspl_dT(&pl.p, &s, &ds, T);
            EXPECT_DOUBLE_EQ(s, nvx_plasma_spl(&pl.p, T));
            EXPECT_DOUBLE_EQ(ds, nvx_plasma_dspl_dT(&pl.p, T));
            const double h = 1e-5 * T;
            const double num = (nvx_plasma_spl(&pl.p, T + h) - nvx_plasma_spl(&pl.p, T - h)) / (2 * h);
            EXPECT_NEAR(ds / num, 1.0, 1e-6) << "qed=" << qed << " T=" << T;
        }
    }
}

TEST(PlasmaEntropy, QEDHighTemperatureCoefficient) {
    TestConfig cfg(400);
    cfg.c.QED_corrections = 1;
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0) << pl.error;
    // s/T^3 -> (4 pi^2/45)(11/4 - 25 alpha/(8 pi) + 10 sqrt(pi/3) alpha^(3/2)/pi^2)
    const double S = 2.406768858148473;
    const double T = 90.0;
    const double mass_corr = 0.1 * (kMe / T) * (kMe / T);
    EXPECT_NEAR(nvx_plasma_spl(&pl.p, T) / (T * T * T) / S, 1.0, mass_corr);
    // the QED term lowers the entropy by about 0.25 %
    TestConfig plain(400);
    Plasma p0(&plain.c);
    ASSERT_EQ(p0.rc, 0) << p0.error;
    const double ratio = nvx_plasma_spl(&pl.p, T) / nvx_plasma_spl(&p0.p, T);
    EXPECT_NEAR(ratio, S / 2.4125699647107317, 1e-6);
}

TEST(PlasmaRecord, DensitiesAndPressures) {
    TestConfig cfg(100);
    cfg.c.QED_corrections = 1;
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0) << pl.error;
    const nvx_plasma* p = &pl.p;
    const double T = 2.0, Te = 1.9, Tm = 1.8;
    const double rho = nvx_plasma_rho_SM(p, T, Te, Tm);
    const double expect = nvx_rho_g(T) + nvx_plasma_rho_e(p, T) + nvx_plasma_qed_rho(p, T) +
                          nvx_rho_nu(Te) + 2 * nvx_rho_nu(Tm);
    EXPECT_DOUBLE_EQ(rho, expect);
    EXPECT_DOUBLE_EQ(nvx_plasma_qed_rho(p, T),
                     T * nvx_plasma_qed_dP_dT(p, T) - nvx_plasma_qed_P(p, T));
    const double pres = nvx_plasma_p_SM(p, T, Te, Tm);
    EXPECT_DOUBLE_EQ(pres, nvx_rho_g(T) / 3 + nvx_plasma_p_e(p, T) + nvx_plasma_qed_P(p, T) +
                               (nvx_rho_nu(Te) + 2 * nvx_rho_nu(Tm)) / 3);
    // below m_e/30 with no neutrinos: photons alone (QED vanishes below m_e/50 in its table)
    const double Tl = 1e-3;
    EXPECT_EQ(nvx_plasma_rho_SM(p, Tl, 0, 0), nvx_rho_g(Tl));
    EXPECT_EQ(nvx_plasma_spl(p, Tl), (nvx_rho_g(Tl) + nvx_rho_g(Tl) / 3) / Tl);
    // photon and neutrino radiation constants
    EXPECT_DOUBLE_EQ(nvx_rho_g(1.0), kPi * kPi / 15);
    EXPECT_DOUBLE_EQ(nvx_rho_nu(1.0), 7.0 / 8.0 * kPi * kPi / 15);
    EXPECT_DOUBLE_EQ(nvx_drho_g_dT(2.0), 4 * nvx_rho_g(2.0) / 2.0);
    EXPECT_DOUBLE_EQ(nvx_rho_nu_chempot_excess(2.0, 0.5),
                     16.0 * (std::pow(0.5, 4) / (8 * kPi * kPi) + 0.25 / 4));
}

TEST(PlasmaRecord, ExtraSpecies) {
    TestConfig cfg(100);
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0) << pl.error;
    EXPECT_EQ(nvx_plasma_rho_nu_extra(&pl.p, 3.0), 0.0);
    cfg.c.DeltaNeff = 1.0;
    const double T = 3.0, Td = nvx_plasma_T_nu_decoupling(&pl.p, T);
    EXPECT_DOUBLE_EQ(nvx_plasma_rho_nu_extra(&pl.p, T), nvx_rho_nu(Td));
    cfg.c.DeltaNeff = -0.5;
    EXPECT_LT(nvx_plasma_rho_nu_extra(&pl.p, T), 0.0);
    EXPECT_DOUBLE_EQ(nvx_plasma_p_SM(&pl.p, 1e-3, 0, 0) - nvx_rho_g(1e-3) / 3,
                     nvx_plasma_rho_nu_extra(&pl.p, 1e-3) / 3);
}

TEST(PlasmaRecord, FreeTwiceAndTooFewPoints) {
    for (int n : {1, 3}) {
        TestConfig cfg(n);
        Plasma pl(&cfg.c);
        EXPECT_EQ(pl.rc, 1);
        EXPECT_EQ(pl.error, "nvx_cubic_spline_fit_notaknot: need at least 4 knots");
        EXPECT_EQ(pl.p.rho_e.n, 0u);
        EXPECT_EQ(pl.p.P_int.n, 0u);
    }
    TestConfig cfg(50);
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0);
    nvx_plasma_free(&pl.p);
    nvx_plasma_free(&pl.p);
    EXPECT_EQ(pl.p.rho_e.x, nullptr);
}
