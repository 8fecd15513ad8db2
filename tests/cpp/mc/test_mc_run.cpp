// nvx_mc_run: a sample is exactly a run of the record with its drawn rate variations and neutron
// lifetime; blocks of sample indices concatenate to the full run bit for bit; refused options and
// unknown quantities are NVX_INVALID with the argument named.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvex/mc.h"
#include "nuvex/network.h"
#include "nuvex/numerics.h"
#include "nuvex/run.h"
#include "test_util.hpp"

namespace {

NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }

struct Record {
    std::string cache = nvx_test::scratch_dir("mc_run_cache");
    NVXConfig c{};
    Record() {
        char* err = nullptr;
        EXPECT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0);
        NVXParam dir{NVX_PARAM_STRING, {}};
        dir.payload.s = cache.c_str();
        NVXParam off{NVX_PARAM_BOOL, {}};
        off.payload.i = 0;
        EXPECT_EQ(nvx_config_set_param(&c, "cache_dir", dir, &err), 0);
        EXPECT_EQ(nvx_config_set_param(&c, "thermal_corrections", off, &err), 0);
        EXPECT_EQ(nvx_config_set_param(&c, "show_progress", off, &err), 0);
        EXPECT_EQ(nvx_config_set_param(&c, "std_tau_n", F(2.0), &err), 0);
        EXPECT_EQ(nvx_config_validate(&c, &err), 0);
    }
    ~Record() { nvx_config_free(&c); }
};

const char* kQ[] = {"YPBBN", "DoH", "Li7oH", "He4"};

int mc(const NVXConfig& c, int num_mc, int64_t first, int n_jobs, NVXMCResult* r, std::string* msg = nullptr,
       const char* const* q = kQ, size_t nq = 4) {
    NVXMCOptions o;
    nvx_mc_default_options(&o);
    o.num_mc = num_mc;
    o.first = first;
    o.n_jobs = n_jobs;
    o.quantities = q;
    o.n_quantities = nq;
    o.seed = 42;
    char* err = nullptr;
    const int rc = nvx_mc_run(&c, nullptr, &o, r, &err);
    if (msg) *msg = err ? err : "";
    std::free(err);
    return rc;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(MonteCarloRun, ASampleIsARunWithItsDrawnVariations) {
    Record rec;
    NVXMCResult r{};
    ASSERT_EQ(mc(rec.c, 2, 5, 1, &r), NVX_OK);
    ASSERT_EQ(r.first, 5);
    // sample 6 by hand: the LT reactions after n<->p in network order, then the lifetime
    NVXNuclearRates rates{};
    char* err = nullptr;
    ASSERT_EQ(nvx_nuclear_rates_init(&rates, &rec.c, nullptr, &err), 0) << err;
    NVXConfig c;
    ASSERT_EQ(nvx_config_copy(&c, &rec.c, &err), 0);
    nvx_rng rng;
    nvx_rng_seed(&rng, 42 + 6);
    for (size_t i = 1; i < rates.lt.n_reactions; ++i)
        nvx_rxnmap_set(&c.p_map, rates.lt.reaction_names[i], nvx_rng_normal(&rng));
    c.tau_n = 878.4 + 2.0 * nvx_rng_normal(&rng);
    nvx_nuclear_rates_free(&rates);
    NVXResults res{};
    ASSERT_EQ(didiva_run(&c, nullptr, &res, &err), NVX_OK) << err;
    for (size_t q = 0; q < 4; ++q) {
        int found = 0;
        const double v = nvx_results_get_quantity(&res, kQ[q], &found);
        ASSERT_TRUE(found);
        EXPECT_TRUE(same_bits(r.entries[q].values[1], v)) << kQ[q] << ": " << r.entries[q].values[1] << " vs " << v;
    }
    // the central value is the unperturbed run
    NVXResults central{};
    ASSERT_EQ(didiva_run(&rec.c, nullptr, &central, &err), NVX_OK);
    EXPECT_TRUE(same_bits(r.entries[0].central, central.YPBBN));
    EXPECT_NE(r.entries[0].values[1], central.YPBBN);
    didiva_results_free(&res);
    didiva_results_free(&central);
    nvx_config_free(&c);
    nvx_mc_result_free(&r);
}

TEST(MonteCarloRun, BlocksConcatenateToTheFullRun) {
    Record rec;
    NVXMCResult full{}, a{}, b{}, c{};
    ASSERT_EQ(mc(rec.c, 7, 0, 2, &full), NVX_OK);
    ASSERT_EQ(mc(rec.c, 3, 0, 1, &a), NVX_OK);
    ASSERT_EQ(mc(rec.c, 2, 3, 2, &b), NVX_OK);
    ASSERT_EQ(mc(rec.c, 2, 5, 8, &c), NVX_OK);  // more jobs than samples
    for (size_t q = 0; q < 4; ++q) {
        std::vector<double> joined;
        for (const NVXMCResult* blk : {&a, &b, &c})
            joined.insert(joined.end(), blk->entries[q].values, blk->entries[q].values + blk->num_mc);
        ASSERT_EQ(joined.size(), 7u);
        for (size_t k = 0; k < 7; ++k) EXPECT_TRUE(same_bits(joined[k], full.entries[q].values[k])) << kQ[q] << k;
        EXPECT_TRUE(same_bits(a.entries[q].central, full.entries[q].central));
    }
    // statistics of a block are its own: mean of its values, unbiased spread
    const double* v = b.entries[1].values;
    EXPECT_DOUBLE_EQ(b.entries[1].mean, (v[0] + v[1]) / 2);
    EXPECT_NEAR(b.entries[1].std, std::fabs(v[0] - v[1]) / std::sqrt(2.0), 1e-15 * b.entries[1].mean);
    for (NVXMCResult* r : {&full, &a, &b, &c}) nvx_mc_result_free(r);
}

TEST(MonteCarloRun, RefusedArgumentsAreInvalidAndNamed) {
    Record rec;
    NVXMCResult r{};
    std::string msg;
    EXPECT_EQ(mc(rec.c, 0, 0, 1, &r, &msg), NVX_INVALID);
    EXPECT_NE(msg.find("num_mc=0"), std::string::npos) << msg;
    EXPECT_EQ(mc(rec.c, 2, -1, 1, &r, &msg), NVX_INVALID);
    EXPECT_NE(msg.find("first=-1"), std::string::npos) << msg;
    const char* unknown[] = {"DoH", "Li6oLi7"};  // the small network holds no Li6
    EXPECT_EQ(mc(rec.c, 2, 0, 1, &r, &msg, unknown, 2), NVX_INVALID);
    EXPECT_NE(msg.find("'Li6oLi7'"), std::string::npos) << msg;
    EXPECT_EQ(r.entries, nullptr);
    // no quantity at all once ran the central computation and reported an empty result as success
    EXPECT_EQ(mc(rec.c, 2, 0, 1, &r, &msg, kQ, 0), NVX_INVALID);
    EXPECT_EQ(msg, "nvx_mc_run: no quantities requested: name at least one (for example YPBBN, DoH)");
    EXPECT_EQ(r.entries, nullptr);
    rec.c.tau_n = -5;  // records are validated on their copy
    EXPECT_EQ(mc(rec.c, 2, 0, 1, &r, &msg), NVX_INVALID);
    EXPECT_NE(msg.find("tau_n"), std::string::npos) << msg;
}

TEST(MonteCarloRun, NegativeLifetimeDrawsAreDrawnAgain) {
    // Sample 3671626 of seed 42 draws z = -5.06 for the lifetime of the small network (15 rate
    // draws before it): with a spread of 175 s, near the largest accepted (tau_n/5), that is a
    // negative lifetime, so the sample's lifetime is the next positive draw of the same generator.
    Record rec;
    char* err = nullptr;
    rec.c.std_tau_n = 175.0;
    ASSERT_EQ(nvx_config_validate(&rec.c, &err), 0) << err;
    const int64_t k = 3671626;
    NVXNuclearRates rates{};
    ASSERT_EQ(nvx_nuclear_rates_init(&rates, &rec.c, nullptr, &err), 0) << err;
    ASSERT_EQ(rates.lt.n_reactions - 1, 15u);
    NVXConfig c;
    ASSERT_EQ(nvx_config_copy(&c, &rec.c, &err), 0);
    nvx_rng rng;
    nvx_rng_seed(&rng, 42 + uint64_t(k));
    for (size_t i = 1; i < rates.lt.n_reactions; ++i)
        nvx_rxnmap_set(&c.p_map, rates.lt.reaction_names[i], nvx_rng_normal(&rng));
    nvx_nuclear_rates_free(&rates);
    ASSERT_LT(878.4 + 175.0 * nvx_rng_normal(&rng), 0.0);
    do c.tau_n = 878.4 + 175.0 * nvx_rng_normal(&rng);
    while (!(c.tau_n > 0.0));
    NVXMCResult r{};
    std::string msg;
    ASSERT_EQ(mc(rec.c, 1, k, 1, &r, &msg), NVX_OK) << msg;
    NVXResults res{};
    ASSERT_EQ(didiva_run(&c, nullptr, &res, &err), NVX_OK) << err;
    EXPECT_TRUE(same_bits(r.entries[0].values[0], res.YPBBN)) << r.entries[0].values[0] << " vs " << res.YPBBN;
    didiva_results_free(&res);
    nvx_config_free(&c);
    nvx_mc_result_free(&r);
}

}  // namespace
