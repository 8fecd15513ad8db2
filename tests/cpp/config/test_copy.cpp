// Deep copy of a parameter record: the copy keeps every value after its source is released, and
// changing one record never shows in the other (run under ASan this also catches any aliasing).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nuvex/config.h"

namespace {

NVXParam S(const char* v) { NVXParam p{NVX_PARAM_STRING, {}}; p.payload.s = v; return p; }
NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }

void set(NVXConfig* c, const char* key, NVXParam p) {
    char* err = nullptr;
    ASSERT_EQ(nvx_config_set_param(c, key, p, &err), 0) << (err ? err : "");
}

// A record with every kind of owned storage filled: strings, both maps, extra density table.
void make_full(NVXConfig* c) {
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(c, NUVEX_DATA_DIR, &err), 0) << (err ? err : "");
    set(c, "network", S("large"));
    set(c, "cache_dir", S("/tmp/some/cache"));
    set(c, "p_d_p__He3_g", F(1.5));
    set(c, "delta_d_d__t_p", F(-0.25));
    set(c, "Omegabh2", F(0.0231));
    set(c, "munuOverTnu_mu", F(0.05));
    c->extra_rho_n = 4;
    c->extra_rho_T = static_cast<double*>(std::malloc(4 * sizeof(double)));
    c->extra_rho_val = static_cast<double*>(std::malloc(4 * sizeof(double)));
    for (int i = 0; i < 4; ++i) c->extra_rho_T[i] = 0.1 * (i + 1), c->extra_rho_val[i] = 1e-3 * i;
}

TEST(ConfigCopy, CopyOutlivesItsSourceAndHoldsEveryValue) {
    NVXConfig src, ref, dst;
    make_full(&src);
    make_full(&ref);
    char* err = nullptr;
    ASSERT_EQ(nvx_config_copy(&dst, &src, &err), 0);
    EXPECT_NE(dst.network, src.network);
    EXPECT_NE(dst.nuclides, src.nuclides);
    EXPECT_NE(dst.p_map.entries, src.p_map.entries);
    EXPECT_NE(dst.extra_rho_T, src.extra_rho_T);
    nvx_config_free(&src);  // everything the copy shows below must be its own

    EXPECT_STREQ(dst.network, "large");
    EXPECT_STREQ(dst.cache_dir, "/tmp/some/cache");
    EXPECT_STREQ(dst.output_file, ref.output_file);
    EXPECT_EQ(dst.solan_file, nullptr);
    EXPECT_STREQ(dst.data_dir, ref.data_dir);
    EXPECT_EQ(dst.Omegabh2, 0.0231);
    EXPECT_EQ(dst.eta0b, ref.eta0b);
    EXPECT_EQ(dst.G, ref.G);
    EXPECT_EQ(dst.munuOverTnu_mu, 0.05);
    EXPECT_TRUE(std::isnan(dst.munuOverTnu_e));
    EXPECT_EQ(nvx_rxnmap_get(&dst.p_map, "d_p__He3_g"), 1.5);
    EXPECT_EQ(nvx_rxnmap_get(&dst.delta_map, "d_d__t_p"), -0.25);
    ASSERT_EQ(dst.n_nuclides, ref.n_nuclides);
    for (size_t i = 0; i < ref.n_nuclides; ++i) {
        EXPECT_STREQ(dst.nuclides[i].name, ref.nuclides[i].name);
        EXPECT_EQ(dst.nuclides[i].N, ref.nuclides[i].N);
        EXPECT_EQ(dst.nuclides[i].Z, ref.nuclides[i].Z);
        EXPECT_EQ(dst.nuclides[i].mass_excess_keV, ref.nuclides[i].mass_excess_keV);
        EXPECT_EQ(dst.nuclides[i].spin, ref.nuclides[i].spin);
    }
    ASSERT_EQ(dst.extra_rho_n, 4u);
    EXPECT_EQ(dst.extra_rho_val[3], 3e-3);
    EXPECT_NE(nvx_config_find_nuclide(&dst, "He4"), nullptr);

    // the copy grows and changes on its own
    set(&dst, "p_He3_a__Be7_g", F(2.0));
    set(&dst, "network", S("small"));
    EXPECT_EQ(nvx_rxnmap_get(&ref.p_map, "He3_a__Be7_g"), 0.0);
    EXPECT_STREQ(ref.network, "large");
    nvx_config_free(&dst);
    nvx_config_free(&ref);
}

TEST(ConfigCopy, RefusesMissingRecords) {
    NVXConfig c{};
    char* err = nullptr;
    EXPECT_EQ(nvx_config_copy(&c, nullptr, &err), 1);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(std::string(err).rfind("nvx_config_copy:", 0), 0u);
    std::free(err);
}

}  // namespace
