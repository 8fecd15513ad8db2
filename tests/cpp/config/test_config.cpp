// Parameter record, constants and literal parsing: defaults against published values, the kind
// rules of setting by key, home-directory expansion and the nuclide-table reader.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "test_util.hpp"

namespace {

struct Record {
    NVXConfig c{};
    explicit Record(const char* dir = NUVEX_DATA_DIR) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, dir, &err)) {
            ADD_FAILURE() << (err ? err : "init failed");
            std::free(err);
        }
    }
    ~Record() { nvx_config_free(&c); }
    // Sets a parameter; returns the message on failure, "" on success.
    std::string set(const char* key, NVXParam p) {
        char* err = nullptr;
        if (nvx_config_set_param(&c, key, p, &err) == 0) return "";
        std::string m = err ? err : "(null)";
        std::free(err);
        return m;
    }
};

NVXParam B(bool v) { NVXParam p{NVX_PARAM_BOOL, {}}; p.payload.i = v; return p; }
NVXParam I(int64_t v) { NVXParam p{NVX_PARAM_INT, {}}; p.payload.i = v; return p; }
NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }
NVXParam S(const char* v) { NVXParam p{NVX_PARAM_STRING, {}}; p.payload.s = v; return p; }
NVXParam None() { NVXParam p{NVX_PARAM_NONE, {}}; p.payload.i = 0; return p; }

TEST(Constants, ConversionsAgreeWithCodata) {
    nvx_constants_init();
    EXPECT_NEAR(nvx_MeV_to_Kelvin() * g_const[NVX_C_k_B] / g_const[NVX_C_MeV], 1.0, 1e-15);
    EXPECT_NEAR(nvx_MeV_to_Kelvin(), 1.1604518121550083e10, 1e-5);
    EXPECT_NEAR(nvx_MeV4_to_gcmm3() / 232011.5348269848, 1.0, 1e-14);
    EXPECT_NEAR(nvx_sW2(), 0.21215165647076067, 1e-15);
    EXPECT_EQ(nvx_geL() - nvx_gmuL(), 1.0);
    EXPECT_EQ(nvx_geR(), nvx_sW2());
    EXPECT_EQ(nvx_gmuR(), nvx_sW2());
    EXPECT_NEAR(nvx_n0CMB(), 3.155822e-30, 1e-35);
    EXPECT_NEAR(nvx_n0CMB() / nvx_s0CMB(), 0.24358765646714617 / 0.8772981689857207, 1e-15);
    EXPECT_NEAR(nvx_mB(), 937.1324, 1e-3);
    EXPECT_NEAR(nvx_HubbleOverh(), 2.1331197e-39, 1e-45);
    // photon entropy per T^3 is 4 pi^2 / 45
    EXPECT_NEAR(nvx_s0bar(), 4 * M_PI * M_PI / 45, 1e-15);
}

TEST(Config, DefaultsGivePublishedDerivedQuantities) {
    Record r;
    EXPECT_NEAR(r.c.eta0b, 6.137439e-10, 1e-15);
    EXPECT_NEAR(r.c.eta_per_Omegabh2, 2.737484e-8, 1e-13);
    EXPECT_NEAR(nvx_config_Mpl(&r.c) / 1.22089e22, 1.0, 1e-5);
    EXPECT_NEAR(r.c.G, 6.70883e-45, 1e-49);
    EXPECT_NEAR(nvx_config_get_GN(&r.c), 6.6743e-11, 1e-20);
    EXPECT_STREQ(r.c.network, "small");
    EXPECT_EQ(r.c.amax, -1);
    EXPECT_TRUE(std::isnan(r.c.munuOverTnu_e));
    EXPECT_EQ(r.c.mc_rate_rescale_cap, 30.0);
    EXPECT_STREQ(r.c.output_file, "results/output_tables.tsv");
    EXPECT_EQ(nvx_config_is_small(&r.c), 1);
    EXPECT_EQ(nvx_config_is_large(&r.c), 0);
    EXPECT_NEAR(nvx_config_T_start_cosmo(&r.c), 40 * nvx_MeV_to_Kelvin(), 1e-3);
    char* err = nullptr;
    EXPECT_EQ(nvx_config_validate(&r.c, &err), 0);
    EXPECT_EQ(err, nullptr);
}

TEST(Config, KindRulesAndMessages) {
    Record r;
    EXPECT_EQ(r.set("amax", None()), "");
    EXPECT_EQ(r.c.amax, -1);
    EXPECT_EQ(r.set("amax", B(true)), "amax expects an int or None");
    EXPECT_EQ(r.set("tau_n", I(880)), "");
    EXPECT_EQ(r.c.tau_n, 880.0);
    EXPECT_EQ(r.set("tau_n", B(true)), "tau_n expects a number");
    EXPECT_EQ(r.c.tau_n, 880.0) << "a rejected value leaves the field as it was";
    EXPECT_EQ(r.set("verbose", I(2)), "");
    EXPECT_NE(r.c.verbose, 0);
    EXPECT_EQ(r.set("verbose", F(1.0)), "verbose expects a bool");
    EXPECT_EQ(r.set("n_electron_table", S("x")), "n_electron_table expects an int");
    EXPECT_EQ(r.set("munuOverTnu", F(0.1)), "");
    EXPECT_EQ(r.set("munuOverTnu_mu", F(0.3)), "");
    EXPECT_EQ(nvx_config_xi_nu_mu(&r.c), 0.3);
    EXPECT_EQ(r.set("munuOverTnu_mu", None()), "");
    EXPECT_TRUE(std::isnan(r.c.munuOverTnu_mu));
    EXPECT_EQ(nvx_config_xi_nu_mu(&r.c), 0.1);
    EXPECT_EQ(r.set("mc_rate_rescale_cap", None()), "");
    EXPECT_EQ(r.c.mc_rate_rescale_cap, 0.0);
    EXPECT_EQ(r.set("mc_rate_rescale_cap", S("x")), "mc_rate_rescale_cap expects a number or None");
    EXPECT_EQ(r.set("network", I(3)), "network expects a string or None");
    EXPECT_EQ(r.set("network", None()), "");
    EXPECT_EQ(r.c.network, nullptr);
    EXPECT_EQ(nvx_config_is_small(&r.c), 0);
    EXPECT_EQ(r.set("no_such_key", I(1)), "unknown parameter key: no_such_key");
    EXPECT_EQ(r.set("Omegabh2", F(NAN)), "Omegabh2 requires a numeric value");
    EXPECT_EQ(r.set("Omegabh2", S("0.02")), "Omegabh2 requires a numeric value");
    EXPECT_EQ(r.set("GN", B(true)), "GN requires a numeric value");
}

TEST(Config, OmegabSetsEtaWithCurrentG) {
    Record r;
    EXPECT_EQ(r.set("Omegabh2", F(0.02242 * 2)), "");
    EXPECT_NEAR(r.c.eta0b, 2 * 6.137439e-10, 1e-15);
    // GN does not recompute eta; a later Omegabh2 uses the new G (eta scales as 1/G)
    double eta = r.c.eta0b;
    EXPECT_EQ(r.set("GN", F(2 * 6.6743e-11)), "");
    EXPECT_EQ(r.c.eta0b, eta);
    EXPECT_EQ(r.set("Omegabh2", I(1)), "");
    EXPECT_NEAR(r.c.eta0b, 6.137439e-10 / 0.02242 / 2, 1e-14);
}

TEST(Config, ReactionMapsOverwriteAndCut) {
    Record r;
    EXPECT_EQ(r.set("p_d_p__He3_g", I(1)), "");
    EXPECT_EQ(r.set("p_d_p__He3_g", F(2)), "");
    EXPECT_EQ(r.c.p_map.count, 1u);
    EXPECT_EQ(nvx_rxnmap_get(&r.c.p_map, "d_p__He3_g"), 2.0);
    EXPECT_EQ(r.set("delta_n_p__d_g", B(true)), "");
    EXPECT_EQ(nvx_rxnmap_get(&r.c.delta_map, "n_p__d_g"), 1.0);
    // a text or None would act as 0: refused, naming the key
    EXPECT_EQ(r.set("p_x", S("text")), "p_x expects a number");
    EXPECT_EQ(r.set("delta_x", None()), "delta_x expects a number");
    EXPECT_EQ(r.set("p_", I(1)), "p_: missing reaction name after the prefix");
    EXPECT_EQ(r.c.p_map.count, 1u);
    EXPECT_EQ(nvx_rxnmap_get(&r.c.p_map, "absent"), 0.0);
    // a name the map would cut could never match its reaction
    std::string longname(60, 'r');
    EXPECT_EQ(r.set(("p_" + longname).c_str(), I(3)), "p_" + longname + ": reaction name longer than 39 characters");
    EXPECT_EQ(r.set(("p_" + longname.substr(0, 39)).c_str(), I(3)), "");
    EXPECT_EQ(nvx_rxnmap_get(&r.c.p_map, longname.substr(0, 39).c_str()), 3.0);
    for (int i = 0; i < 200; ++i) r.set(("p_r" + std::to_string(i)).c_str(), I(i));
    EXPECT_EQ(nvx_rxnmap_get(&r.c.p_map, "r199"), 199.0);
}

// Setting and reading many rate-variation keys is linear in their number (20,000 keys once took
// 4.5 s, 200,000 minutes): every key keeps its value, a repeated key overwrites, and a copy of the
// record has a map of its own.
TEST(Config, ReactionMapsHoldManyKeys) {
    Record r;
    const size_t n = 200000;
    for (size_t i = 0; i < n; ++i) nvx_rxnmap_set(&r.c.delta_map, ("r" + std::to_string(i)).c_str(), double(i));
    for (size_t i = 0; i < n; i += 2) nvx_rxnmap_set(&r.c.delta_map, ("r" + std::to_string(i)).c_str(), -double(i));
    ASSERT_EQ(r.c.delta_map.count, n);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(nvx_rxnmap_get(&r.c.delta_map, ("r" + std::to_string(i)).c_str()), i % 2 ? double(i) : -double(i));
    EXPECT_EQ(nvx_rxnmap_get(&r.c.delta_map, "r200000"), 0.0);
    for (size_t i = 0; i < n; ++i) ASSERT_STREQ(r.c.delta_map.entries[i].name, ("r" + std::to_string(i)).c_str());
    NVXConfig copy;
    char* err = nullptr;
    ASSERT_EQ(nvx_config_copy(&copy, &r.c, &err), 0);
    nvx_rxnmap_set(&r.c.delta_map, "r7", 1.5);
    nvx_rxnmap_set(&copy.delta_map, "new", 2.5);
    EXPECT_EQ(nvx_rxnmap_get(&copy.delta_map, "r7"), 7.0);
    EXPECT_EQ(nvx_rxnmap_get(&copy.delta_map, "r199999"), 199999.0);
    EXPECT_EQ(nvx_rxnmap_get(&copy.delta_map, "new"), 2.5);
    EXPECT_EQ(nvx_rxnmap_get(&r.c.delta_map, "new"), 0.0);
    EXPECT_EQ(copy.delta_map.count, n + 1);
    nvx_config_free(&copy);
    nvx_rxnmap_free(&r.c.delta_map);
    EXPECT_EQ(nvx_rxnmap_get(&r.c.delta_map, "r1"), 0.0);
    nvx_rxnmap_set(&r.c.delta_map, "r1", 3.0);  // usable again after a free
    EXPECT_EQ(nvx_rxnmap_get(&r.c.delta_map, "r1"), 3.0);
}

TEST(Config, HomeExpansionOnlyForPathKeys) {
    Record r;
    const char* old = std::getenv("HOME");
    std::string saved = old ? old : "";
    setenv("HOME", "/home/tester", 1);
    EXPECT_EQ(r.set("cache_dir", S("~/cache")), "");
    EXPECT_STREQ(r.c.cache_dir, "/home/tester/cache");
    EXPECT_EQ(r.set("output_file", S("~")), "");
    EXPECT_STREQ(r.c.output_file, "/home/tester");
    EXPECT_EQ(r.set("network", S("~/cache")), "");
    EXPECT_STREQ(r.c.network, "~/cache");
    struct passwd* pw = getpwuid(getuid());
    if (pw && pw->pw_name && pw->pw_dir && *pw->pw_dir) {
        std::string v = std::string("~") + pw->pw_name + "/x";
        EXPECT_EQ(r.set("user_nuclear_dir", S(v.c_str())), "");
        EXPECT_EQ(std::string(r.c.user_nuclear_dir), std::string(pw->pw_dir) + "/x");
    }
    EXPECT_EQ(r.set("cache_dir", S("~no_such_user_xyz/a")), "");
    EXPECT_STREQ(r.c.cache_dir, "~no_such_user_xyz/a");
    if (old) setenv("HOME", saved.c_str(), 1); else unsetenv("HOME");
}

TEST(Literal, ParsesTheDocumentedForms) {
    NVXParam p = nvx_parse_literal("  'True'  ");
    EXPECT_EQ(p.kind, NVX_PARAM_STRING);
    EXPECT_STREQ(p.payload.s, "True");
    EXPECT_EQ(nvx_parse_literal("TRUE").kind, NVX_PARAM_BOOL);
    EXPECT_EQ(nvx_parse_literal("TRUE").payload.i, 1);
    EXPECT_EQ(nvx_parse_literal("false").payload.i, 0);
    EXPECT_EQ(nvx_parse_literal("None").kind, NVX_PARAM_NONE);
    p = nvx_parse_literal("12");
    EXPECT_EQ(p.kind, NVX_PARAM_INT);
    EXPECT_EQ(p.payload.i, 12);
    p = nvx_parse_literal("1e3");
    EXPECT_EQ(p.kind, NVX_PARAM_FLOAT);
    EXPECT_EQ(p.payload.d, 1000.0);
    p = nvx_parse_literal("12abc");
    EXPECT_EQ(p.kind, NVX_PARAM_STRING);
    EXPECT_STREQ(p.payload.s, "12abc");
    p = nvx_parse_literal("");
    EXPECT_EQ(p.kind, NVX_PARAM_STRING);
    EXPECT_STREQ(p.payload.s, "");
    p = nvx_parse_literal("\"x\"");
    EXPECT_STREQ(p.payload.s, "x");
    EXPECT_EQ(nvx_parse_literal("'").kind, NVX_PARAM_STRING);
    std::string huge(5000, '7');
    p = nvx_parse_literal(huge.c_str());
    EXPECT_NE(p.kind, NVX_PARAM_INT) << "an integer longer than 255 digits is not read as an int";
}

TEST(Nuclides, ReaderFindsColumnsInAnyOrder) {
    std::string dir = nvx_test::scratch_dir("nuclides");
    ::mkdir((dir + "/csv").c_str(), 0755);
    nvx_test::write_file(dir + "/csv/nuclides.csv",
                         "extra,spin,Z,name,mass_excess_keV,N\r\n"
                         "x,0.5,1,p,7288.97,0\r\n"
                         "\n"
                         "z,0,2,He4,2424.9,2\n");
    Record r(dir.c_str());
    ASSERT_EQ(r.c.n_nuclides, 2u);
    const NVXNuclide* he4 = nvx_config_find_nuclide(&r.c, "He4");
    ASSERT_NE(he4, nullptr);
    EXPECT_EQ(he4->N, 2);
    EXPECT_EQ(he4->Z, 2);
    EXPECT_NEAR(he4->mass_excess_keV, 2424.9, 1e-12);
    EXPECT_EQ(nvx_config_find_nuclide(&r.c, "p")->spin, 0.5);
}

// Every malformed row is an error naming the file and line: a short row (a file cut in half), a
// number that does not parse (once read as 0), a duplicate, an impossible nucleus.
TEST(Nuclides, MalformedRowsNameFileAndLine) {
    std::string dir = nvx_test::scratch_dir("nuclides_rows");
    ::mkdir((dir + "/csv").c_str(), 0755);
    const std::string path = dir + "/csv/nuclides.csv";
    const std::string head = "name,N,Z,mass_excess_keV,spin\np,0,1,7288.97,0.5\n";
    auto message = [&](const std::string& row) {
        nvx_test::write_file(path, head + row);
        NVXConfig c;
        char* err = nullptr;
        int rc = nvx_config_init_defaults(&c, dir.c_str(), &err);
        std::string m = err ? err : "";
        std::free(err);
        if (rc == 0) nvx_config_free(&c);
        return m;
    };
    EXPECT_EQ(message("H2,1,1,13135.7"), path + ":3: expected at least 5 fields, found 4 (file cut short?)");
    EXPECT_EQ(message("H2,abc,1,13135.7,1"), path + ":3: cannot parse N 'abc' as an integer");
    EXPECT_EQ(message("H2,1,1,13135.7,one"), path + ":3: cannot parse spin 'one' as a finite number");
    EXPECT_EQ(message("H2,1,1,1e999,1"), path + ":3: cannot parse mass_excess_keV '1e999' as a finite number");
    EXPECT_EQ(message("H2,1,4294967297,1,1"), path + ":3: cannot parse Z '4294967297' as an integer");
    EXPECT_EQ(message("\np,0,1,7288.97,0.5\n"), path + ":4: duplicate nuclide 'p'");
    EXPECT_EQ(message("H2,-1,1,1,1"), path + ":3: nuclide 'H2' has N=-1, Z=1 (need N, Z >= 0 and N + Z >= 1)");
    EXPECT_EQ(message(std::string(20, 'X') + ",1,1,1,1"),
              path + ":3: nuclide name '" + std::string(20, 'X') + "' is longer than 15 characters");
    EXPECT_EQ(message(""), "");
}

// An empty field keeps its column: the fields after it are not shifted onto the wrong columns (He3
// was once read with its spin as mass excess); an empty field the reader needs is an error naming
// file, line and column, one in a column it does not read is harmless.
TEST(Nuclides, EmptyFieldsKeepTheirColumns) {
    std::string dir = nvx_test::scratch_dir("nuclides_empty");
    ::mkdir((dir + "/csv").c_str(), 0755);
    const std::string path = dir + "/csv/nuclides.csv";
    auto load = [&](const std::string& text, NVXNuclide* out) {
        nvx_test::write_file(path, text);
        NVXConfig c;
        char* err = nullptr;
        const int rc = nvx_config_init_defaults(&c, dir.c_str(), &err);
        std::string m = err ? err : "";
        std::free(err);
        if (rc == 0) {
            if (out) *out = *nvx_config_find_nuclide(&c, "He3");
            nvx_config_free(&c);
        }
        return m;
    };
    const std::string head = "name,N,Z,mass_excess_keV,spin,half_life_s,note\np,0,1,7288.97,0.5,inf,\n";
    EXPECT_EQ(load(head + "He3,1,2,,0.5,inf,x\n", nullptr), path + ":3:4: empty mass_excess_keV field (column 4)");
    EXPECT_EQ(load(head + "He3,1,,14931.2,0.5,inf,x\n", nullptr), path + ":3:3: empty Z field (column 3)");
    EXPECT_EQ(load(head + ",1,2,14931.2,0.5,inf,x\n", nullptr), path + ":3:1: empty name field (column 1)");
    NVXNuclide he3{};
    EXPECT_EQ(load(head + "He3,1,2,14931.2,0.5,,\r\n", &he3), "");
    EXPECT_EQ(he3.mass_excess_keV, 14931.2);
    EXPECT_EQ(he3.spin, 0.5);
    // a header with an empty title keeps the positions of the titles after it
    EXPECT_EQ(load("name,,N,Z,mass_excess_keV,spin\nHe3,,1,2,14931.2,0.5\n", &he3), "");
    EXPECT_EQ(he3.N, 1);
    EXPECT_EQ(he3.Z, 2);
    EXPECT_EQ(he3.spin, 0.5);
}

TEST(Nuclides, ShippedTableHoldsTheLightNuclides) {
    Record r;
    ASSERT_GE(r.c.n_nuclides, 100u);
    const NVXNuclide* d = nvx_config_find_nuclide(&r.c, "H2");
    ASSERT_NE(d, nullptr);
    EXPECT_NEAR(d->mass_excess_keV, 13135.72, 0.01);  // AME2020
    EXPECT_EQ(d->spin, 1.0);
}

TEST(Nuclides, InitialisationFailures) {
    auto message = [](const std::string& dir) {
        NVXConfig c;
        char* err = nullptr;
        int rc = nvx_config_init_defaults(&c, dir.c_str(), &err);
        std::string m = err ? err : "";
        std::free(err);
        if (rc == 0) nvx_config_free(&c);
        return m;
    };
    std::string dir = nvx_test::scratch_dir("nuclides_bad");
    EXPECT_EQ(message(dir), "nuclides.csv not found (data_dir misconfigured?)");
    ::mkdir((dir + "/csv").c_str(), 0755);
    nvx_test::write_file(dir + "/csv/nuclides.csv", "");
    EXPECT_EQ(message(dir), "nuclides.csv is empty");
    nvx_test::write_file(dir + "/csv/nuclides.csv", "name,N,Z,spin\n");
    EXPECT_EQ(message(dir), "nuclides.csv header missing one of name,N,Z,mass_excess_keV,spin");
    // a table that is there but cannot be read is not "not found"
    std::string odd = nvx_test::scratch_dir("nuclides_dir");
    ASSERT_EQ(::mkdir((odd + "/csv").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((odd + "/csv/nuclides.csv").c_str(), 0755), 0);
    EXPECT_EQ(message(odd), "cannot read " + odd + "/csv/nuclides.csv: Is a directory");
}

TEST(Config, FreeTwiceIsHarmless) {
    NVXConfig c;
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0);
    nvx_config_free(&c);
    nvx_config_free(&c);
    EXPECT_EQ(c.network, nullptr);
    EXPECT_EQ(c.n_nuclides, 0u);
}

}  // namespace
