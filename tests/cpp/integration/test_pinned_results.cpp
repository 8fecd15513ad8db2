// Default results of both shipped networks pinned at 1e-6 relative: the integrator's speed work
// (rate buffers, linear algebra, matrix reuse) must not move what users get.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "nuvex/config.h"
#include "nuvex/results.h"
#include "nuvex/run.h"
#include "run_fixture.hpp"

namespace {

struct Pinned {
    const char* name;
    double value;
};

// Values of the default configuration (thermal radiative corrections off, as everywhere in these
// tests, to spare the Monte Carlo table), measured before the solver was made faster.
// small network
const Pinned kSmall[] = {
    {"YPBBN", 0.2467358050807568},
    {"DoH", 2.5025610829798128e-05},
    {"He3oH", 1.0347539316039597e-05},
    {"Li7oH", 5.288163336175608e-10},
    {"n", 4.0636716557305617e-16},
    {"p", 0.7532031120003982},
    {"H2", 1.884936795671482e-05},
    {"H3", 6.035854921586503e-08},
    {"He3", 7.733440265171632e-06},
    {"He4", 0.0616839512701892},
    {"Li7", 2.1747005152471875e-11},
    {"Be7", 3.765591030049157e-10},
};
// large network
const Pinned kLarge[] = {
    {"YPBBN", 0.246751322817361},
    {"DoH", 2.503225855834014e-05},
    {"He3oH", 1.034555678758677e-05},
    {"Li7oH", 5.283385167186373e-10},
    {"Li6oLi7", 2.1836129683169543e-05},
    {"YCNO", 7.596591211229669e-15},
    {"n", 4.062349757356772e-16},
    {"p", 0.7531875899907157},
    {"H2", 1.8853986495580676e-05},
    {"H3", 6.022376009356739e-08},
    {"He3", 7.731921223861001e-06},
    {"He4", 0.06168783070434025},
    {"Li7", 8.923724811927127e-11},
    {"Be7", 3.0870076598730854e-10},
    {"Li6", 8.689426081894228e-15},
    {"Be9", 3.868627701125096e-18},
    {"B11", 3.271999221760845e-16},
    {"C12", 4.817943908904321e-16},
    {"C13", 9.085878235894918e-17},
    {"C14", 8.947132368882402e-18},
    {"N14", 3.6273027985257826e-17},
    {"N15", 1.1768358428816554e-20},
    {"O16", 3.9720271023182115e-20},
};

// Every pinned quantity and abundance of one default run, within 1e-6 relative.
template <size_t N>
void expect_pinned(const char* network, const Pinned (&pins)[N]) {
    NVXConfig c{};
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << err;
    const std::string cache = "'" + nvx_test::shared_cache_dir() + "'";
    for (auto [key, literal] : {std::pair<const char*, std::string>{"cache_dir", cache},
                                {"thermal_corrections", "False"}, {"show_progress", "False"},
                                {"network", network}})
        ASSERT_EQ(nvx_config_set_param(&c, key, nvx_parse_literal(literal.c_str()), &err), 0) << err;
    ASSERT_EQ(nvx_config_validate(&c, &err), 0) << err;
    NVXResults r{};
    ASSERT_EQ(didiva_run(&c, nullptr, &r, &err), 0) << err;
    for (const Pinned& p : pins) {
        int found = 0;
        const double v = nvx_results_get_quantity(&r, p.name, &found);
        EXPECT_TRUE(found) << network << " " << p.name;
        EXPECT_NEAR(v / p.value, 1.0, 1e-6) << network << " " << p.name << " = " << v;
    }
    didiva_results_free(&r);
    nvx_config_free(&c);
}

}  // namespace

TEST(PinnedResults, SmallNetworkDefaultsAreUnchanged) { expect_pinned("'small'", kSmall); }

TEST(PinnedResults, LargeNetworkDefaultsAreUnchanged) { expect_pinned("'large'", kLarge); }
