// Reproducible random numbers: xoshiro256** seeded through the SplitMix64 finaliser, uniform
// doubles with 53 random bits and standard normal deviates by Box-Muller.
#include <cmath>

#include "nuvex/numerics.h"

namespace {

constexpr uint64_t rotl(uint64_t v, int k) { return (v << k) | (v >> (64 - k)); }

}  // namespace

void nvx_rng_seed(nvx_rng* rng, uint64_t seed) {
    for (uint64_t k = 0; k < 4; ++k) {
        uint64_t z = seed + (k + 1) * 0x9E3779B97F4A7C15ULL;
        z ^= z >> 30;
        z *= 0xBF58476D1CE4E5B9ULL;
        z ^= z >> 27;
        z *= 0x94D049BB133111EBULL;
        z ^= z >> 31;
        rng->s[k] = z;
    }
}

uint64_t nvx_rng_next(nvx_rng* rng) {
    uint64_t* s = rng->s;
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

double nvx_rng_uniform(nvx_rng* rng) {
    return static_cast<double>(nvx_rng_next(rng) >> 11) * 0x1.0p-53;
}

double nvx_rng_normal(nvx_rng* rng) {
    double u1;
    do {
        u1 = nvx_rng_uniform(rng);
    } while (!(u1 > 0.0));
    const double u2 = nvx_rng_uniform(rng);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}
