// Complete runs with a thermal relic: entropy-conservation limits of Neff for light relics, the
// standard results for heavy ones, and the parameter checks of the relic keys.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "nuvex/config.h"
#include "nuvex/results.h"
#include "run_fixture.hpp"

namespace {

double neff_of(std::initializer_list<std::pair<const char*, std::string>> literals) {
    NVXResults r = nvx_test::run_defaults_with(literals);
    const double v = r.Neff;
    didiva_results_free(&r);
    return v;
}

// Instantaneous decoupling and entropy conservation in each sector, for a relic that is
// relativistic when the neutrinos decouple and gone long before recombination: its entropy,
// g_s = g (boson) or 7g/8 (fermion) in units of a bosonic degree of freedom, goes to photons,
// (T_nu/T_gamma)^3 = (4/11) 2/(2 + 7/2 + g_s), or to neutrinos, (T_nu/T_gamma)^3 = (4/11)(1 + 4 g_s/21).
double neff_electrophilic(double g_s) { return 3.0 * std::pow(11.0 / (11.0 + 2.0 * g_s), 4.0 / 3.0); }
double neff_neutrinophilic(double g_s) { return 3.0 * std::pow(1.0 + 4.0 * g_s / 21.0, 4.0 / 3.0); }

}  // namespace

// Light relics (10 keV: relativistic through neutrino decoupling, annihilated long before
// recombination) against the analytic limit scaled by the standard Neff/3: the non-instantaneous
// decoupling shifts the standard Neff by +1.5%, and the relic's value by a fraction of that.
TEST(RelicRuns, LightRelicsReachTheEntropyLimits) {
    const double sm = neff_of({});
    EXPECT_NEAR(neff_electrophilic(7.0 / 4.0), 2.0757, 1e-4);   // Majorana: 2.07
    EXPECT_NEAR(neff_neutrinophilic(7.0 / 4.0), 4.4026, 1e-4);  // and 4.40
    struct Case {
        const char* spin;
        double g;
        const char* sector;
        double limit;
        double tol;  // on Neff/Neff_SM against limit/3
    } cases[] = {
        {"'fermion'", 2.0, "'electrons'", neff_electrophilic(7.0 / 4.0), 7e-3},
        {"'boson'", 1.0, "'electrons'", neff_electrophilic(1.0), 5e-3},
        {"'fermion'", 2.0, "'neutrinos'", neff_neutrinophilic(7.0 / 4.0), 3e-3},
        {"'boson'", 1.0, "'neutrinos'", neff_neutrinophilic(1.0), 3e-3},
    };
    for (const Case& c : cases) {
        const double neff = neff_of({{"relic_mass_MeV", "0.01"}, {"relic_g", std::to_string(c.g)},
                                     {"relic_spin", c.spin}, {"relic_couples_to", c.sector}});
        EXPECT_NEAR((neff / sm) / (c.limit / 3.0), 1.0, c.tol) << c.spin << " g=" << c.g << " " << c.sector
                                                               << ": Neff " << neff;
    }
}

// A relic far heavier than the start temperature changes nothing; one of 50 MeV annihilates while
// the neutrinos are still coupled and leaves Neff within 2e-4 of the standard value.
TEST(RelicRuns, HeavyRelicsLeaveTheStandardResult) {
    NVXResults sm = nvx_test::run_defaults_with({});
    NVXResults heavy = nvx_test::run_defaults_with({{"relic_mass_MeV", "1000"}, {"relic_couples_to", "'neutrinos'"}});
    // the relic's history resamples the standard table (a few 1e-7 in T_nu/T_gamma at most)
    EXPECT_NEAR(heavy.Neff, sm.Neff, 1e-7);
    EXPECT_NEAR(heavy.YPBBN, sm.YPBBN, 1e-6);
    EXPECT_NEAR(heavy.DoH / sm.DoH, 1.0, 1e-6);
    for (const char* sector : {"'electrons'", "'neutrinos'"}) {
        const double neff = neff_of({{"relic_mass_MeV", "50"}, {"relic_couples_to", sector}});
        EXPECT_NEAR(neff, sm.Neff, 2e-4) << sector;
    }
    didiva_results_free(&sm);
    didiva_results_free(&heavy);
}

TEST(RelicRuns, RelicKeysAreChecked) {
    struct Bad {
        const char* key;
        const char* literal;
        const char* says;
    } bad[] = {
        {"relic_spin", "'scalar'", "relic_spin=scalar is not accepted"},
        {"relic_couples_to", "'photons'", "relic_couples_to=photons is not accepted"},
        {"relic_g", "0", "relic_g=0 is out of range"},
        {"relic_mass_MeV", "-1", "relic_mass_MeV=-1 is out of range"},
        {"incomplete_decoupling", "False", "relic_mass_MeV requires incomplete_decoupling=True"},
    };
    for (const Bad& b : bad) {
        NVXConfig c{};
        char* err = nullptr;
        ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << err;
        c.spectral_distortions = 0;
        ASSERT_EQ(nvx_config_set_param(&c, "relic_mass_MeV", nvx_parse_literal("0.1"), &err), 0) << err;
        ASSERT_EQ(nvx_config_set_param(&c, b.key, nvx_parse_literal(b.literal), &err), 0) << err;
        EXPECT_EQ(nvx_config_validate(&c, &err), 1) << b.key;
        EXPECT_NE(std::string(err ? err : "").find(b.says), std::string::npos) << (err ? err : "no message");
        std::free(err);
        nvx_config_free(&c);
    }
}
