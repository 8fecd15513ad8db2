// Random numbers against the published reference algorithms (SplitMix64, xoshiro256**), written
// here from their definitions, plus the sampling statistics of uniform and normal deviates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "nuvex/numerics.h"

namespace {

// Reference SplitMix64 generator: state advances by the golden gamma, output is the finaliser.
struct RefSplitMix64 {
    uint64_t x;
    uint64_t next() {
        uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Reference xoshiro256** generator.
struct RefXoshiro {
    uint64_t s[4];
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
};

TEST(Rng, SplitMix64KnownAnswers) {
    // Published test sequence for seed 1234567.
    RefSplitMix64 ref{1234567};
    const uint64_t expect[5] = {6457827717110365317ULL, 3203168211198807973ULL,
                                9817491932198370423ULL, 4593380528125082431ULL,
                                16408922859458223821ULL};
    for (uint64_t e : expect) EXPECT_EQ(ref.next(), e);
    nvx_rng r;
    nvx_rng_seed(&r, 1234567);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r.s[k], expect[k]);
}

TEST(Rng, XoshiroKnownAnswersFromStateOneToFour) {
    nvx_rng r{{1, 2, 3, 4}};
    EXPECT_EQ(nvx_rng_next(&r), 11520u);
    EXPECT_EQ(nvx_rng_next(&r), 0u);
    EXPECT_EQ(nvx_rng_next(&r), 1509978240u);
    EXPECT_EQ(nvx_rng_next(&r), 1215971899390074240ULL);
}

TEST(Rng, StreamsMatchTheReferenceForSeveralSeeds) {
    for (uint64_t seed : {0ULL, 1ULL, 42ULL, 0xFFFFFFFFFFFFFFFFULL, 0x9E3779B97F4A7C15ULL}) {
        RefSplitMix64 sm{seed};
        RefXoshiro ref{{sm.next(), sm.next(), sm.next(), sm.next()}};
        nvx_rng r, r2;
        nvx_rng_seed(&r, seed);
        nvx_rng_seed(&r2, seed);
        for (int i = 0; i < 10000; ++i) {
            const uint64_t v = ref.next();
            ASSERT_EQ(nvx_rng_next(&r), v) << seed << " " << i;
            ASSERT_EQ(nvx_rng_uniform(&r2), static_cast<double>(v >> 11) / 9007199254740992.0);
        }
    }
}

TEST(Rng, UniformAndNormalSampleStatistics) {
    nvx_rng r;
    nvx_rng_seed(&r, 2024);
    const int N = 200000;
    double su = 0.0, sn = 0.0, sn2 = 0.0, sn4 = 0.0;
    for (int i = 0; i < N; ++i) {
        const double u = nvx_rng_uniform(&r);
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        su += u;
        const double z = nvx_rng_normal(&r);
        sn += z;
        sn2 += z * z;
        sn4 += z * z * z * z;
    }
    EXPECT_NEAR(su / N, 0.5, 5.0 * std::sqrt(1.0 / 12.0 / N));
    const double mean = sn / N, var = sn2 / N - mean * mean;
    EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(N));
    EXPECT_NEAR(var, 1.0, 5.0 * std::sqrt(2.0 / N));
    EXPECT_NEAR(sn4 / N, 3.0, 5.0 * std::sqrt(96.0 / N));  // Gaussian kurtosis
}

TEST(Rng, NormalRejectsAZeroFirstDrawOnly) {
    // s[1] == 0 makes the next output exactly 0.
    nvx_rng r{{0x1234, 0, 0x5678, 0x9abc}};
    nvx_rng ref = r;
    EXPECT_EQ(nvx_rng_uniform(&ref), 0.0);
    const double u1 = nvx_rng_uniform(&ref);
    const double u2 = nvx_rng_uniform(&ref);
    const double z = nvx_rng_normal(&r);
    EXPECT_EQ(z, std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2));
    EXPECT_EQ(0, memcmp(&r, &ref, sizeof r));
    // a zero second draw is used as it is
    nvx_rng p{{1, 2, 3, 4}};  // second output is 0 (known-answer sequence above)
    const double first = nvx_rng_uniform(&p);
    ASSERT_GT(first, 0.0);
    EXPECT_EQ(nvx_rng_uniform(&p), 0.0);
    nvx_rng s{{1, 2, 3, 4}};
    EXPECT_EQ(nvx_rng_normal(&s), std::sqrt(-2.0 * std::log(first)));
}

}  // namespace
