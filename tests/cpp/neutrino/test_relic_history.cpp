// The decoupling history with a thermal relic: its heavy limit is the standard table, a light
// electrophilic relic cools the neutrinos relative to the photons, a neutrinophilic one heats them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "nuvex/neutrino.h"
#include "plasma/plasma_test_util.hpp"

namespace {

const std::string& suite_dir() {
    static const std::string dir = plasma_test::scratch_dir();
    return dir;
}

struct RelicSetup {
    NVXConfig c{};
    nvx_plasma p{};
    nvx_neutrino_history h{};
    const std::string dir = suite_dir();  // one cache folder: the plasma tables are built once
    RelicSetup(double mass, const char* sector) {
        char* err = nullptr;
        EXPECT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << err;
        const std::string cache = dir + "/cache";  // outlives the call that copies it
        NVXParam s{};
        s.kind = NVX_PARAM_STRING;
        s.payload.s = cache.c_str();
        EXPECT_EQ(nvx_config_set_param(&c, "cache_dir", s, &err), 0) << err;
        s.payload.s = sector;
        EXPECT_EQ(nvx_config_set_param(&c, "relic_couples_to", s, &err), 0) << err;
        c.relic_mass_MeV = mass;
        c.show_progress = 0;
        EXPECT_EQ(nvx_plasma_init(&p, &c, &err), 0) << err;
        EXPECT_EQ(nvx_neutrino_history_init(&h, &c, &p, &err), 0) << err;
        std::free(err);
    }
    ~RelicSetup() {
        nvx_neutrino_history_free(&h);
        nvx_plasma_free(&p);
        nvx_config_free(&c);
    }
};

}  // namespace

// The relic's table samples the standard one on the energy-transfer steps (at most 0.005 in ln a),
// so linear interpolation of the two differs by at most a few 1e-7 where T_nu/T_gamma bends most.
TEST(RelicHistory, HeavyRelicGivesTheStandardTable) {
    RelicSetup sm(std::nan(""), "electrons");
    ASSERT_EQ(sm.h.has_relic, 0);
    for (const char* sector : {"electrons", "neutrinos"}) {
        RelicSetup heavy(1000.0, sector);
        ASSERT_EQ(heavy.h.has_relic, 1);
        for (double T : {30.0, 5.0, 1.0, 0.3, 0.1, 0.01, 0.002}) {
            EXPECT_NEAR(nvx_nu_Tnue_of_Tg(&heavy.h, T) / nvx_nu_Tnue_of_Tg(&sm.h, T), 1.0, 1e-6) << sector << T;
            EXPECT_NEAR(nvx_nu_Tnumu_of_Tg(&heavy.h, T) / nvx_nu_Tnumu_of_Tg(&sm.h, T), 1.0, 1e-6) << sector << T;
            EXPECT_NEAR(nvx_nu_N_SOLAN_of_Tg(&heavy.h, T), nvx_nu_N_SOLAN_of_Tg(&sm.h, T), 2e-7) << sector << T;
        }
    }
}

// A 0.5 MeV relic annihilates after neutrino decoupling: into photons it lowers T_nu/T_gamma at
// late times, into neutrinos it raises it, each by roughly the entropy ratio of the limits.
TEST(RelicHistory, AnnihilationHeatsItsOwnSector) {
    RelicSetup sm(std::nan(""), "electrons");
    RelicSetup el(0.5, "electrons"), nu(0.5, "neutrinos");
    const double T = 0.002;
    const double r_sm = nvx_nu_Tnue_of_Tg(&sm.h, T) / T;
    const double r_el = nvx_nu_Tnue_of_Tg(&el.h, T) / T, r_nu = nvx_nu_Tnue_of_Tg(&nu.h, T) / T;
    EXPECT_LT(r_el, 0.97 * r_sm);
    EXPECT_GT(r_nu, 1.03 * r_sm);
    // the relic shares its sector's temperature
    EXPECT_NEAR(nvx_nu_T_relic_of_Tg(&el.h, 0.3), 0.3, 1e-12);
    EXPECT_NEAR(nvx_nu_T_relic_of_Tg(&nu.h, 0.3) / nvx_nu_Tnue_of_Tg(&nu.h, 0.3), 1.0, 1e-3);
    EXPECT_EQ(nvx_nu_T_relic_of_Tg(&sm.h, 0.3), 0.0);
}
