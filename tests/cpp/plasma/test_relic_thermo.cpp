// Thermal relic thermodynamics against closed forms (relativistic Stefan-Boltzmann values, the
// non-relativistic Bessel-function sums) and thermodynamic identities, and its place in the plasma.
#include <gtest/gtest.h>

#include <cmath>

#include "nuvex/plasma.h"
#include "plasma/plasma_test_util.hpp"

using namespace plasma_test;

namespace {

constexpr double kPi2 = 9.869604401089358;

double rel(double a, double b) { return std::fabs(a / b - 1.0); }

}  // namespace

TEST(RelicThermo, RelativisticLimitsAreStefanBoltzmann) {
    const double T = 2.0, m = 1e-6;
    double b[3], f[3];
    nvx_relic_thermo(m, 3.0, 0, T, b);
    nvx_relic_thermo(m, 3.0, 1, T, f);
    const double sb = 3.0 * kPi2 / 30.0 * std::pow(T, 4);
    EXPECT_LT(rel(b[0], sb), 1e-10);
    EXPECT_LT(rel(f[0], 7.0 / 8.0 * sb), 1e-10);
    EXPECT_LT(rel(b[1], sb / 3.0), 1e-10);
    EXPECT_LT(rel(f[1], 7.0 / 8.0 * sb / 3.0), 1e-10);
    EXPECT_LT(rel(b[2], 4.0 * sb / T), 1e-9);
    EXPECT_LT(rel(f[2], 4.0 * 7.0 / 8.0 * sb / T), 1e-9);
}

// m/T = 20: the occupations are Maxwell-Boltzmann up to e^-40, where n = g m^2 T K2(x)/(2 pi^2),
// p = n T and rho = g m^2 T (m K1(x) + 3 T K2(x))/(2 pi^2).
TEST(RelicThermo, NonRelativisticLimitIsBesselForm) {
    const double T = 0.05, m = 1.0, g = 2.0, x = m / T;
    for (int fermion : {0, 1}) {
        double v[3];
        nvx_relic_thermo(m, g, fermion, T, v);
        const double n = g * m * m * T * std::cyl_bessel_k(2.0, x) / (2.0 * kPi2);
        const double rho = g * m * m * T * (m * std::cyl_bessel_k(1.0, x) + 3.0 * T * std::cyl_bessel_k(2.0, x)) /
                           (2.0 * kPi2);
        EXPECT_LT(rel(v[1], n * T), 1e-9) << fermion;
        EXPECT_LT(rel(v[0], rho), 1e-9) << fermion;
    }
}

// d rho/dT against a central difference of rho, and dp/dT = s = (rho + p)/T, across the transition.
TEST(RelicThermo, DerivativeAndEntropyAreConsistent) {
    for (int fermion : {0, 1})
        for (double x : {0.01, 0.3, 1.0, 3.0, 10.0, 40.0}) {
            const double m = 0.5, T = m / x, h = 1e-5 * T;
            double v[3], up[3], dn[3];
            nvx_relic_thermo(m, 1.0, fermion, T, v);
            nvx_relic_thermo(m, 1.0, fermion, T + h, up);
            nvx_relic_thermo(m, 1.0, fermion, T - h, dn);
            EXPECT_LT(rel(v[2], (up[0] - dn[0]) / (2 * h)), 1e-7) << x << " " << fermion;
            EXPECT_LT(rel((v[0] + v[1]) / T, (up[1] - dn[1]) / (2 * h)), 1e-7) << x << " " << fermion;
        }
    double none[3] = {1, 1, 1};
    nvx_relic_thermo(800.0, 1.0, 0, 1.0, none);
    EXPECT_EQ(none[0], 0.0);
    EXPECT_EQ(none[2], 0.0);
}

// A relic coupled to electrons is part of the plasma entropy, a neutrinophilic one is not, and
// the DeltaNeff species keeps the temperature of the relic-free plasma.
TEST(RelicThermo, PlasmaEntropyHoldsAnElectrophilicRelicOnly) {
    TestConfig cfg;
    Plasma ref(&cfg.c);
    ASSERT_EQ(ref.rc, 0) << ref.error;
    const double T = 0.3;
    const double s0 = nvx_plasma_spl(&ref.p, T), Tdec0 = nvx_plasma_T_nu_decoupling(&ref.p, T);
    double s_sm = 0, ds_sm = 0;
    nvx_plasma_spl_and_dspl_dT(&ref.p, &s_sm, &ds_sm, T);
    cfg.c.relic_mass_MeV = 0.2;
    cfg.c.relic_g = 2.0;
    const double sX = nvx_relic_entropy(0.2, 2.0, 0, T);
    double s = 0, ds = 0;
    nvx_plasma_spl_and_dspl_dT(&ref.p, &s, &ds, T);
    EXPECT_TRUE(nvx_plasma_relic_in_plasma(&ref.p));
    EXPECT_LT(rel(s, s0 + sX), 1e-14);
    EXPECT_LT(rel(nvx_plasma_spl(&ref.p, T), s0 + sX), 1e-14);
    EXPECT_EQ(nvx_plasma_T_nu_decoupling(&ref.p, T), Tdec0);
    // the relic adds T ds_X/dT = d rho_X/dT, checked by a central difference of its entropy
    const double h = 1e-5 * T;
    EXPECT_LT(rel(ds - ds_sm, (nvx_relic_entropy(0.2, 2.0, 0, T + h) - nvx_relic_entropy(0.2, 2.0, 0, T - h)) / (2 * h)),
              1e-7);
    cfg.set_string("relic_couples_to", "neutrinos");
    EXPECT_FALSE(nvx_plasma_relic_in_plasma(&ref.p));
    EXPECT_EQ(nvx_plasma_spl(&ref.p, T), s0);
}
