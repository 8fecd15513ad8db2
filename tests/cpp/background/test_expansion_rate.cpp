// The expansion rate tied to the plasma: H^2 = 8 pi G rho / 3 with rho the plasma's own total
// energy density (photons, pairs, the QED correction, neutrinos), and the QED part against T P' - P.
#include <cmath>

#include "bg_fixture.hpp"
#include "nuvex/plasma.h"

using namespace bgtest;

namespace {

// hbar in MeV s from the exact SI definitions of h and of the electron volt (SI 2019).
const double kHbar_MeV_s = 6.62607015e-34 / (2 * M_PI) / 1.602176634e-13;

// QED pressure correction from the direct (untabulated) expressions, and its energy density
// T dP/dT - P by a central difference.
double qed_rho_direct(double T) {
    const double alpha = g_const[NVX_C_alpha_fs], me = g_const[NVX_C_m_e];
    auto P = [&](double t) { return nvx_qed_dPa(t, alpha, me) + nvx_qed_dPe3(t, alpha, me); };
    const double h = 1e-4 * T;
    return T * (P(T + h) - P(T - h)) / (2 * h) - P(T);
}

// QED on or off, caches shared with the other suites' processes (the pair tables are the
// same); without `build` only the plasma is made.
Settings shared_cache(bool qed) {
    static const std::string dir = [] {
        const char* base = std::getenv("NUVEX_TEST_TMP");
        return std::string(base && *base ? base : "/tmp/nuvex_test") + "/integration_cache";
    }();
    Settings s = instantaneous(qed);
    s.push_back({"cache_dir", S(dir.c_str())});
    return s;
}

}  // namespace

// With QED on, the QED part of the density is -0.1 % of the total at 1 MeV (-0.3 % of the pairs and
// photons); the Friedmann rate must carry it exactly: a 1e-10 match resolves a dropped or
// sign-flipped QED term, a dropped neutrino flavour (14 %) or a wrong photon or pair density.
TEST(ExpansionRate, FriedmannSumIsThePlasmaDensityWithQed) {
    BgRun on(shared_cache(true)), off(shared_cache(false), nullptr, false);
    ASSERT_TRUE(on.ok()) << on.error;
    ASSERT_TRUE(off.ok()) << off.error;
    ASSERT_EQ(on.plasma.qed_enabled, 1);
    for (double T : {8.0, 2.0, 1.0, 0.3, 0.05}) {
        const double Tnue = 0.93 * T, Tnumu = 0.92 * T, a = nvx_bg_a_of_T(&on.bg, T);
        const double rho_dark = on.bg.rho_cdm0 / (a * a * a) + on.bg.rho_Lambda;
        // mu and tau share one temperature in the plasma's total; give both the same
        const double rho = nvx_plasma_rho_SM(&on.plasma, T, Tnue, Tnumu) + rho_dark;
        const double H_want = std::sqrt(8 * M_PI * on.c.G * rho / 3) / kHbar_MeV_s;
        EXPECT_NEAR(nvx_bg_Hubble(&on.bg, T, Tnue, Tnumu, Tnumu, a) / H_want, 1.0, 1e-10) << "T " << T;

        // The QED share of the plasma total, against T P' - P of the untabulated correction.
        const double qed = nvx_plasma_rho_SM(&on.plasma, T, Tnue, Tnumu) - nvx_plasma_rho_SM(&off.plasma, T, Tnue, Tnumu);
        const double direct = qed_rho_direct(T);
        EXPECT_LT(direct, 0.0) << "the interaction lowers the plasma's energy density at T " << T;
        // tabulated against direct: 1e-3 while the pairs are abundant, 2e-2 at 50 keV where the
        // correction is 1e-6 of the total
        EXPECT_NEAR(qed / direct, 1.0, T >= 0.3 ? 1e-3 : 2e-2) << "T " << T;
        EXPECT_NEAR(nvx_plasma_qed_rho(&on.plasma, T), qed, 1e-12 * rho) << "T " << T;
    }
}

// The massless limits: P = -(5/288) e^2 T^4 + T m_D^3/(12 pi) with the Debye mass m_D^2 = e^2 T^2/3
// (Kapusta & Gale, Finite-Temperature Field Theory, sect. 5.5 and 6.6; e^2 = 4 pi alpha), so the
// energy density T P' - P is 3 P. At 30 MeV the e^3 term is -8.9 % of the e^2 term and the
// (m_e/T)^2 corrections 1e-4; the whole is -0.26 % of the photon and pair density.
TEST(ExpansionRate, QedEnergyDensityAtHighTemperature) {
    BgRun on(shared_cache(true), nullptr, false);
    ASSERT_TRUE(on.ok()) << on.error;
    const double alpha = g_const[NVX_C_alpha_fs], T = 30.0, e2 = 4 * M_PI * alpha;
    const double P_e2 = -5.0 / 288 * e2 * std::pow(T, 4), P_e3 = T * std::pow(e2 * T * T / 3, 1.5) / (12 * M_PI);
    EXPECT_NEAR(nvx_plasma_qed_rho(&on.plasma, T) / (3 * (P_e2 + P_e3)), 1.0, 5e-4);
    EXPECT_NEAR(3 * (P_e2 + P_e3) / (5.5 * M_PI * M_PI / 30 * std::pow(T, 4)), -0.0024, 1e-4);
}
