// "Did you mean": the closest valid names to a misspelt one, as every front end reports them, and
// the unknown-key message of setting by name that carries them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/config.h"

namespace {

std::vector<std::string> suggest(const char* name, const std::vector<const char*>& pool, size_t max_out = 3) {
    std::vector<size_t> idx(max_out);
    const size_t n = nvx_suggest(name, pool.data(), pool.size(), idx.data(), idx.size());
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) out.emplace_back(pool[idx[i]]);
    return out;
}

const std::vector<const char*> kKeys = {"tau_n", "std_tau_n", "Omegabh2", "DeltaNeff", "numerical_precision",
                                        "network", "h", "y_SZ", "Yp", "Yp_mass", "DoH"};

TEST(Suggest, TyposFindTheIntendedName) {
    using V = std::vector<std::string>;
    EXPECT_EQ(suggest("tua_n", kKeys), V{"tau_n"});                              // swapped neighbours count 1
    EXPECT_EQ(suggest("omegabh2", kKeys), V{"Omegabh2"});                        // case is ignored
    EXPECT_EQ(suggest("DeltaNEff", kKeys), V{"DeltaNeff"});
    EXPECT_EQ(suggest("numerical_presicion", kKeys), V{"numerical_precision"});  // two edits in a long name
    EXPECT_EQ(suggest("Ypp", kKeys), V{"Yp"});
    EXPECT_EQ(suggest("Yp_mas", kKeys), V{"Yp_mass"});
    // a name cut short finds the names it begins, the shortest completion first
    EXPECT_EQ(suggest("tau", kKeys), V{"tau_n"});
    EXPECT_EQ(suggest("numerical", kKeys), V{"numerical_precision"});
    EXPECT_EQ(suggest("Omega", kKeys), V{"Omegabh2"});
}

TEST(Suggest, FarNamesGetNothingAndLongNamesCostNothing) {
    EXPECT_TRUE(suggest("zzzzqqq", kKeys).empty());
    EXPECT_TRUE(suggest("tua", kKeys).empty()) << "3 letters allow one edit, tau_n is three away";
    EXPECT_TRUE(suggest("", kKeys).empty());
    const std::string huge(1000000, 'k');
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(suggest(huge.c_str(), kKeys).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(Suggest, BestFirstTiesInOrderNoRepeatsAtMostMaxOut) {
    const std::vector<const char*> pool = {"abcfgh", "abcdfh", "abcdeg", "abcdeg", "abcdef", "abcdefx"};
    // abcdef and abcdefx are one edit away, the others two: best first, ties in the pool's order,
    // the repeated name once, and no more than asked for
    EXPECT_EQ(suggest("abcdeF_", pool), (std::vector<std::string>{"abcdef", "abcdefx", "abcdfh"}));
    EXPECT_EQ(suggest("abcdeF_", pool, 1), (std::vector<std::string>{"abcdef"}));
    // a name equal but for case is the only answer
    EXPECT_EQ(suggest("ABCDEG", pool), (std::vector<std::string>{"abcdeg"}));
    std::vector<size_t> none;
    EXPECT_EQ(nvx_suggest("abcdeg", pool.data(), pool.size(), none.data(), 0), 0u);
}

TEST(Suggest, UnknownParameterKeysCarryTheSuggestion) {
    NVXConfig c{};
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0);
    NVXParamPayload v{};
    v.i = 880;
    ASSERT_EQ(nvx_config_set_by_name(&c, "tua_n", NVX_PARAM_INT, v, &err), 1);
    EXPECT_STREQ(err, "unknown parameter key: tua_n; did you mean 'tau_n'?");
    std::free(err);
    ASSERT_EQ(nvx_config_set_by_name(&c, "omegabh2", NVX_PARAM_INT, v, &err), 1);
    EXPECT_STREQ(err, "unknown parameter key: omegabh2; did you mean 'Omegabh2'?") << "the special keys count too";
    std::free(err);
    ASSERT_EQ(nvx_config_set_by_name(&c, "no_such_key", NVX_PARAM_INT, v, &err), 1);
    EXPECT_STREQ(err, "unknown parameter key: no_such_key");
    std::free(err);
    nvx_config_free(&c);
}

}  // namespace
