// Monte Carlo driver: samples depend only on seed and index (any thread count), reuse of earlier
// samples, statistics, and the documented failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "nuvex/mc.h"
#include "test_util.hpp"

namespace {

// Cheap, cache-friendly configuration: no thermal corrections, caches in a scratch directory.
struct McCall {
    std::string cache = nvx_test::scratch_dir("mc_cache");
    std::vector<NVXKeyParam> params;
    std::vector<const char*> quantities = {"YPBBN", "DoH", "Li7oH"};
    McCall() {
        NVXKeyParam thermal{"thermal_corrections", {NVX_PARAM_BOOL, {}}};
        thermal.value.payload.i = 0;
        NVXKeyParam dir{"cache_dir", {NVX_PARAM_STRING, {}}};
        dir.value.payload.s = cache.c_str();
        params = {thermal, dir};
    }
    int run(int num_mc, int n_jobs, NVXMCResult* out, std::string* message = nullptr, const double* centrals = nullptr,
            const double* const* prev = nullptr, size_t n_prev = 0) {
        char* err = nullptr;
        int rc = nvx_mc_uncertainty(num_mc, quantities.data(), quantities.size(), NUVEX_DATA_DIR, params.data(),
                                    params.size(), 7, n_jobs, nullptr, centrals, prev, n_prev, 0, out, &err);
        if (message) *message = err ? err : "";
        std::free(err);
        return rc;
    }
};

std::vector<double> values(const NVXMCResult& r, size_t q) {
    return std::vector<double>(r.entries[q].values, r.entries[q].values + r.num_mc);
}

// Mean and standard deviation recomputed from the returned samples, the deviation with the
// documented divisor num_mc - 1 (with 9 samples the divisor N would be 5.7 % smaller).
void expect_sample_statistics(const NVXMCResult& r) {
    for (size_t q = 0; q < r.count; ++q) {
        const std::vector<double> x = values(r, q);
        double mean = 0.0, ss = 0.0;
        for (double v : x) mean += v / double(x.size());
        for (double v : x) ss += (v - mean) * (v - mean);
        const double sd = std::sqrt(ss / double(x.size() - 1));
        EXPECT_NEAR(r.entries[q].mean, mean, 1e-12 * std::fabs(mean)) << r.entries[q].name;
        EXPECT_NEAR(r.entries[q].std, sd, 1e-9 * sd) << r.entries[q].name;
    }
}

TEST(MonteCarlo, SamplesDoNotDependOnThreadCount) {
    McCall call;
    NVXMCResult one{}, two{}, eight{};
    ASSERT_EQ(call.run(9, 1, &one), 0);
    ASSERT_EQ(call.run(9, 2, &two), 0);
    ASSERT_EQ(call.run(9, 8, &eight), 0);
    for (size_t q = 0; q < call.quantities.size(); ++q) {
        EXPECT_EQ(values(one, q), values(two, q));
        EXPECT_EQ(values(one, q), values(eight, q));
        EXPECT_EQ(one.entries[q].central, two.entries[q].central);
    }
    // samples are perturbed: not all equal to the central value, spread around it
    double c = one.entries[1].central, m = one.entries[1].mean, s = one.entries[1].std;
    EXPECT_GT(s, 0.0);
    EXPECT_LT(s / c, 0.1);
    EXPECT_LT(std::fabs(m - c), 4 * s / 3.0 + 0.02 * c);
    expect_sample_statistics(one);
    expect_sample_statistics(eight);
    nvx_mc_result_free(&one);
    nvx_mc_result_free(&two);
    nvx_mc_result_free(&eight);
}

TEST(MonteCarlo, ExtendingEarlierSamplesGivesTheSameValues) {
    McCall call;
    NVXMCResult six{}, ten{}, extended{};
    ASSERT_EQ(call.run(6, 2, &six), 0);
    ASSERT_EQ(call.run(10, 2, &ten), 0);
    std::vector<double> centrals;
    std::vector<const double*> prev;
    for (size_t q = 0; q < six.count; ++q) {
        centrals.push_back(six.entries[q].central);
        prev.push_back(six.entries[q].values);
    }
    ASSERT_EQ(call.run(10, 2, &extended, nullptr, centrals.data(), prev.data(), 6), 0);
    for (size_t q = 0; q < call.quantities.size(); ++q) {
        EXPECT_EQ(values(ten, q), values(extended, q));
        EXPECT_EQ(ten.entries[q].mean, extended.entries[q].mean);
    }
    // more previous samples than requested: nothing computed, statistics of the first ones
    NVXMCResult reused{};
    ASSERT_EQ(call.run(4, 2, &reused, nullptr, centrals.data(), prev.data(), 6), 0);
    std::vector<double> first4(six.entries[0].values, six.entries[0].values + 4);
    EXPECT_EQ(values(reused, 0), first4);
    double mean = (first4[0] + first4[1] + first4[2] + first4[3]) / 4;
    EXPECT_DOUBLE_EQ(reused.entries[0].mean, mean);
    for (NVXMCResult* r : {&six, &ten, &extended, &reused}) nvx_mc_result_free(r);
}

TEST(MonteCarlo, SingleSampleHasNoSpreadEstimate) {
    McCall call;
    NVXMCResult r{};
    ASSERT_EQ(call.run(1, 1, &r), 0);
    EXPECT_TRUE(std::isnan(r.entries[0].std));
    EXPECT_EQ(r.entries[0].mean, r.entries[0].values[0]);
    EXPECT_EQ(nvx_mc_result_index(&r, "DoH"), 1u);
    EXPECT_EQ(nvx_mc_result_index(&r, "absent"), r.count);
    nvx_mc_result_free(&r);
}

TEST(MonteCarlo, UnknownQuantitiesFailAfterTheCentralRun) {
    McCall call;
    std::string msg;
    NVXMCResult r{};
    call.quantities = {"DoH", "NoSuchThing"};
    EXPECT_EQ(call.run(2, 1, &r, &msg), 1);
    EXPECT_EQ(msg, "nvx_mc_uncertainty: unknown quantity name");
    call.quantities = {"Li6oLi7"};  // the small network holds no Li6
    EXPECT_EQ(call.run(2, 1, &r, &msg), 1);
    EXPECT_EQ(msg, "nvx_mc_uncertainty: unknown quantity name");
    EXPECT_EQ(r.count, 0u);
}

TEST(MonteCarlo, NoSamplesIsRefused) {
    McCall call;
    NVXMCResult r{};
    std::string msg;
    EXPECT_EQ(call.run(0, 1, &r, &msg), 1);
    EXPECT_NE(msg.find("num_mc=0"), std::string::npos) << msg;
    EXPECT_EQ(r.entries, nullptr);
}

TEST(MonteCarlo, SampleCovariance) {
    const double x[4] = {1, 2, 3, 4}, y[4] = {2, 4, 6, 8};
    EXPECT_DOUBLE_EQ(nvx_mc_sample_cov(x, y, 4), 2.0 * 5.0 / 3.0);
    EXPECT_TRUE(std::isnan(nvx_mc_sample_cov(x, y, 1)));
}

}  // namespace
