// Unit conversions and era boundaries recomputed from the exact SI definitions (2019) of the
// electron volt, the Boltzmann and Planck constants and the speed of light, not from the table.
#include <gtest/gtest.h>

#include <cmath>

#include "nuvex/constants.h"

namespace {

constexpr double kElectronVolt_J = 1.602176634e-19;  // exact
constexpr double kBoltzmann_J_per_K = 1.380649e-23;  // exact
constexpr double kPlanck_J_s = 6.62607015e-34;       // exact
constexpr double kLight_m_per_s = 299792458.0;       // exact

double rel(double got, double want) { return std::fabs(got / want - 1.0); }

}  // namespace

TEST(ConstantsFromDefinitions, KelvinPerMeVAndEraBoundaries) {
    nvx_constants_init();
    const double K_per_MeV = 1e6 * kElectronVolt_J / kBoltzmann_J_per_K;  // 1.16045e10 K
    EXPECT_LT(rel(nvx_MeV_to_Kelvin(), K_per_MeV), 1e-14);
    // Network eras: neutrons and protons alone from 10 MeV, the mid-temperature network from 1 MeV,
    // the low-temperature network from 0.11 MeV (1.28e9 K).
    EXPECT_LT(rel(nvx_T_start(), 10 * K_per_MeV), 1e-14);
    EXPECT_LT(rel(nvx_T_weak(), 1 * K_per_MeV), 1e-14);
    EXPECT_LT(rel(nvx_T_nucl(), 0.11 * K_per_MeV), 1e-14);
    EXPECT_NEAR(nvx_T_nucl() * 1e-9, 1.2764969933705, 1e-12);
}

TEST(ConstantsFromDefinitions, NaturalUnitConversions) {
    nvx_constants_init();
    const double hbar_MeV_s = kPlanck_J_s / (2 * M_PI) / (1e6 * kElectronVolt_J);  // 6.582e-22
    const double hbar_c_MeV_cm = hbar_MeV_s * kLight_m_per_s * 100;                  // 1.973e-11
    const double MeV_g = 1e6 * kElectronVolt_J / (kLight_m_per_s * kLight_m_per_s) * 1000;
    EXPECT_LT(rel(nvx_MeV_to_secm1(), 1 / hbar_MeV_s), 1e-14);
    EXPECT_LT(rel(nvx_MeV_to_cmm1(), 1 / hbar_c_MeV_cm), 1e-14);
    EXPECT_LT(rel(nvx_MeV_to_g(), MeV_g), 1e-14);
    EXPECT_LT(rel(nvx_MeV4_to_gcmm3(), MeV_g / std::pow(hbar_c_MeV_cm, 3)), 1e-14);
    // 100 km/s/Mpc as an energy, with the IAU parsec (648000/pi au, au = 149597870700 m).
    const double Mpc_cm = 1e6 * 648000 / M_PI * 149597870700.0 * 100;
    EXPECT_LT(rel(g_const[NVX_C_Mpc], Mpc_cm), 1e-11);
    EXPECT_LT(rel(nvx_HubbleOverh(), 1e7 / Mpc_cm * hbar_MeV_s), 1e-11);
}

TEST(ConstantsFromDefinitions, DerivedPhysicalNumbers) {
    nvx_constants_init();
    // Photon number density today: 2 zeta(3)/pi^2 T^3.
    const double zeta3 = 1.2020569031595942;
    const double T0 = g_const[NVX_C_T_CMB] * kBoltzmann_J_per_K / (1e6 * kElectronVolt_J);
    EXPECT_LT(rel(nvx_n0CMB(), 2 * zeta3 / (M_PI * M_PI) * T0 * T0 * T0), 1e-14);
    // kappa_p - kappa_n from the magnetic moments in nuclear magnetons (CODATA 2018:
    // mu_p = 2.79284734463, mu_n = -1.91304273): 3.706.
    EXPECT_LT(rel(nvx_deltakappa(), (2.79284734463 - 1) - (-1.91304273)), 1e-12);
    // Neutron-proton mass difference 1.29333236 MeV (CODATA 2018) against the two masses.
    EXPECT_NEAR(g_const[NVX_C_m_n] - g_const[NVX_C_m_p], 1.29333236, 1e-8);
}
