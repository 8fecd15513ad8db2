// Result record and custom-network text: abundance ratios computed by hand from chosen final
// abundances, lookup by name, and the rate-table text parser of the host's network override.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/results.h"
#include "nuvex/run.h"
#include "run/driver_internal.hpp"

namespace {

struct Record {
    NVXConfig c{};
    Record() {
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err)) {
            ADD_FAILURE() << (err ? err : "init failed");
            std::free(err);
        }
    }
    ~Record() { nvx_config_free(&c); }
};

struct Abundances {
    std::vector<std::array<char, NVX_NAME_LEN>> names;
    std::vector<double> Y;
    void add(const char* name, double y) {
        std::array<char, NVX_NAME_LEN> n{};
        std::strncpy(n.data(), name, NVX_NAME_LEN - 1);
        names.push_back(n);
        Y.push_back(y);
    }
    int fill(NVXResults* r, const NVXConfig* c) const {
        return nvx_results_fill_abundances(r, c, reinterpret_cast<const char(*)[NVX_NAME_LEN]>(names.data()),
                                           Y.data(), Y.size());
    }
};

double quantity(const NVXResults& r, const char* name, int* found) { return nvx_results_get_quantity(&r, name, found); }

TEST(Results, RatiosFromTheFinalAbundances) {
    Record rec;
    Abundances a;
    a.add("n", 1e-16);
    a.add("p", 0.75);
    a.add("H2", 2.0e-5);
    a.add("H3", 1.0e-7);
    a.add("He3", 7.5e-6);
    a.add("He4", 0.0625);
    a.add("Li7", 1.0e-10);
    a.add("Be7", 3.0e-10);
    a.add("Li6", 4.0e-14);
    a.add("C12", 1.0e-15);
    a.add("N14", 2.0e-16);
    a.add("O", 5.0e-16);     // no digits: not an isotope name
    a.add("C12x", 5.0e-16);  // trailing letter: not counted
    NVXResults r;
    std::memset(&r, 0xAB, sizeof r);  // never filled: must be cleared, not released
    ASSERT_EQ(a.fill(&r, &rec.c), 0);

    EXPECT_DOUBLE_EQ(r.YPBBN, 0.25);
    const double mHe = 4.0026032541, mH = 1.00782503223;
    EXPECT_NEAR(r.YPCMB, (mHe / 4 * 0.25) / (0.75 * mH + mHe / 4 * 0.25), 1e-15);
    EXPECT_DOUBLE_EQ(r.DoH, 2.0e-5 / 0.75);
    EXPECT_DOUBLE_EQ(r.He3oH, (1.0e-7 + 7.5e-6) / 0.75);
    EXPECT_DOUBLE_EQ(r.He3oHe4, (1.0e-7 + 7.5e-6) / 0.0625);
    EXPECT_DOUBLE_EQ(r.Li7oH, 4.0e-10 / 0.75);
    ASSERT_TRUE(r.has_Li6oLi7);
    EXPECT_DOUBLE_EQ(r.Li6oLi7, 4.0e-14 / 4.0e-10);
    ASSERT_TRUE(r.has_YCNO);
    EXPECT_DOUBLE_EQ(r.YCNO, 12 * 1.0e-15 + 14 * 2.0e-16);
    EXPECT_FALSE(r.has_Neff || r.has_Omeganurel || r.has_OneOverOmeganunr || r.has_evolution);
    EXPECT_EQ(r.n_nuclides, a.Y.size());
    EXPECT_STREQ(r.nuclide_names[5], "He4");

    int found = -1;
    EXPECT_DOUBLE_EQ(quantity(r, "He4", &found), 0.0625);
    EXPECT_EQ(found, 1);
    EXPECT_DOUBLE_EQ(quantity(r, "DoH", &found), r.DoH);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(quantity(r, "Neff", &found), 0.0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(quantity(r, "Xx99", &found), 0.0);
    EXPECT_EQ(found, 0);
    didiva_results_free(&r);
    didiva_results_free(&r);  // harmless twice
    EXPECT_EQ(r.n_nuclides, 0u);
}

TEST(Results, ZeroDenominatorsAndAbsentNuclides) {
    Record rec;
    Abundances a;
    a.add("p", 0.0);
    a.add("H2", 1e-5);
    a.add("He4", 0.0);
    NVXResults r{};
    ASSERT_EQ(a.fill(&r, &rec.c), 0);
    EXPECT_TRUE(std::isinf(r.DoH) && r.DoH > 0);  // numerator non-zero
    EXPECT_TRUE(std::isnan(r.He3oH));             // 0/0
    EXPECT_TRUE(std::isnan(r.He3oHe4));
    EXPECT_TRUE(std::isnan(r.Li7oH));
    EXPECT_FALSE(r.has_Li6oLi7);
    EXPECT_FALSE(r.has_YCNO);
    int found = -1;
    nvx_results_get_quantity(&r, "Li6oLi7", &found);
    EXPECT_EQ(found, 0);
    didiva_results_free(&r);
}

// The result check against a hand-made record: baryon number sum(A Y) = 1 is the independent truth;
// a Yp above 1, a negative or non-finite abundance, or a broken sum fails with the quantity named.
TEST(ResultCheck, PhysicalRangesAndBaryonNumber) {
    Record rec;
    auto check = [&](double Yp, double YD, double YHe4, double YLi7) {
        Abundances a;
        a.add("n", 0.0);
        a.add("p", Yp);
        a.add("H2", YD);
        a.add("He4", YHe4);
        a.add("Li7", YLi7);
        NVXResults r{};
        EXPECT_EQ(a.fill(&r, &rec.c), 0);
        char* err = nullptr;
        std::string m;
        if (nvx_results_check(&r, &rec.c, &err)) m = err ? err : "(null)";
        std::free(err);
        didiva_results_free(&r);
        return m;
    };
    // hydrogen, deuterium, helium and lithium holding all baryons: 0.75 + 2*1e-5 + 4*Y4 + 7*Y7 = 1
    const double YLi7 = 2e-11, YD = 2.5e-5, YHe4 = (1.0 - 0.75 - 2 * YD - 7 * YLi7) / 4;
    EXPECT_EQ(check(0.75, YD, YHe4, YLi7), "");
    // round-off below zero, small against the largest abundance, passes
    EXPECT_EQ(check(0.75, YD, YHe4 + 7 * YLi7 / 4 + 1e-14, -1e-14), "");
    EXPECT_EQ(check(0.75, -3.3e-10, YHe4, YLi7).rfind("result check: Y_final[H2]=-3.3e-10 is outside [0, inf); the "
                                                      "integration did not converge: numerical_precision=1e-07",
                                                      0),
              0u);
    EXPECT_EQ(check(0.75, NAN, YHe4, YLi7).rfind("result check: Y_final[H2]=nan is outside [0, inf)", 0), 0u);
    // a helium abundance above what baryon number allows
    const std::string yp = check(0.75, YD, 0.3, YLi7);
    EXPECT_EQ(yp.rfind("result check: YPCMB=", 0), 0u) << yp;
    EXPECT_NE(yp.find("is outside [0, 1]"), std::string::npos) << yp;
    // every quantity in range but baryons lost (a flipped sign in a reaction would do this)
    const std::string lost = check(0.70, YD, YHe4, YLi7);
    EXPECT_EQ(lost.rfind("result check: the baryon number sum of A*Y_final is 0.95", 0), 0u) << lost;
}

// N_eff is the flavours' density (never negative) plus DeltaNeff species: with DeltaNeff = -3.044
// (N_eff = 0 asked) the computed three-flavour 3.04394 leaves -6e-5, a valid result; below DeltaNeff,
// or below 0 without removed radiation, the background is at fault and the message says so.
TEST(ResultCheck, NeffMayFallToDeltaNeffButNotBelow) {
    Record rec;
    auto check = [&](double DeltaNeff, double Neff) {
        rec.c.DeltaNeff = DeltaNeff;
        Abundances a;
        a.add("p", 0.75);
        a.add("He4", 0.0625);
        NVXResults r{};
        EXPECT_EQ(a.fill(&r, &rec.c), 0);
        r.has_Neff = 1;
        r.Neff = Neff;
        char* err = nullptr;
        std::string m;
        if (nvx_results_check(&r, &rec.c, &err)) m = err ? err : "(null)";
        std::free(err);
        didiva_results_free(&r);
        return m;
    };
    EXPECT_EQ(check(-3.044, 3.0439384 - 3.044), "");
    EXPECT_EQ(check(-3.044, -3.044), "");  // no flavour density left at all: the floor itself
    EXPECT_EQ(check(-3.0, 0.0439), "");
    EXPECT_EQ(check(0.0, 0.0), "");
    const std::string below = check(-3.044, -3.1);
    EXPECT_EQ(below, "result check: Neff=-3.1 is below -3.044; N_eff is the neutrino flavours' energy density plus "
                     "DeltaNeff=-3.044 species, so it cannot fall below min(0, DeltaNeff): the neutrino history or "
                     "background is inconsistent");
    EXPECT_EQ(check(0.0, -1e-6).rfind("result check: Neff=-1e-06 is below 0; ", 0), 0u);
    EXPECT_EQ(check(1.0, -1e-6).rfind("result check: Neff=-1e-06 is below 0; ", 0), 0u);
    EXPECT_EQ(check(-3.044, NAN).rfind("result check: Neff=nan is outside the finite numbers", 0), 0u);
    rec.c.DeltaNeff = 0.0;
}

TEST(CustomNetwork, RateTableText) {
    NVXCustomNetwork net{};
    const char* text =
        "# T9 rate factor\n"
        "\n"
        "  \t0.001 1.5e-3 1.1\n"
        "0.01\t2.0   # two numbers, then a comment\n"
        "0.1 3 1.2 extra words\r\n";
    ASSERT_EQ(nvx_custom_network_add_entry_text(&net, "d_p__He3_g", text), 0);
    ASSERT_EQ(net.n_entries, 1u);
    const NVXCustomEntry& e = net.entries[0];
    ASSERT_EQ(e.n_rows, 3u);
    EXPECT_EQ(e.col1[0], 0.001);
    EXPECT_EQ(e.col3[0], 1.1);
    EXPECT_EQ(e.col2[1], 2.0);
    EXPECT_EQ(e.col3[1], 0.0);
    EXPECT_EQ(e.col1[2], 0.1);
    EXPECT_EQ(e.col3[2], 1.2);

    EXPECT_EQ(nvx_custom_network_add_entry_text(&net, "x", "# only comments\n\n  # more\n"), 1);
    EXPECT_EQ(net.n_entries, 1u);
    free_custom_network(&net);
    free_custom_network(&net);
    EXPECT_EQ(net.n_entries + net.n_removed, 0u);
}

// A row that does not parse is an error naming the reaction and line (once silently skipped, which
// reshaped the rate); a name longer than the record keeps is refused instead of cut.
TEST(CustomNetwork, RefusedTextNamesReactionAndLine) {
    auto message = [](const char* name, const char* text) {
        NVXCustomNetwork net{};
        char* err = nullptr;
        const int rc = nvx_custom_network_parse_entry(&net, name, text, &err);
        std::string m = err ? err : "";
        std::free(err);
        EXPECT_EQ(rc == 0, m.empty());
        EXPECT_EQ(net.n_entries, rc == 0 ? 1u : 0u);
        free_custom_network(&net);
        return m;
    };
    EXPECT_EQ(message("r", "0.1 1 1\njunk 1 2\n"),
              "custom_network rate table of 'r', line 2: cannot parse the T9 'junk' as a finite number");
    EXPECT_EQ(message("r", "# c\n1.0\n"), "custom_network rate table of 'r', line 2: missing the rate");
    EXPECT_EQ(message("r", "1 2e 3\n"), "custom_network rate table of 'r', line 1: cannot parse the rate '2e' as a "
                                         "finite number");
    EXPECT_EQ(message("r", "1 2 x\n"), "custom_network rate table of 'r', line 1: cannot parse the uncertainty "
                                        "factor 'x' as a finite number");
    EXPECT_EQ(message("r", "1 inf\n"), "custom_network rate table of 'r', line 1: cannot parse the rate 'inf' as a "
                                        "finite number");
    const std::string long_name(100, 'r');
    EXPECT_EQ(message(long_name.c_str(), "1 2\n"),
              "custom_network: reaction name '" + long_name + "' is longer than 63 characters");
    EXPECT_EQ(message(std::string(63, 'r').c_str(), "1 2\n"), "");
    NVXCustomNetwork net{};
    EXPECT_EQ(nvx_custom_network_add_removed(&net, long_name.c_str()), 1);
    EXPECT_EQ(net.n_removed, 0u);
    free_custom_network(&net);
}

}  // namespace

namespace {

// The parameters a failure message names: those off their defaults, printing and output keys left
// out, rate variations by name (a few, then a count), and an extra density table by its size.
TEST(OffDefault, ListsWhatDiffersFromTheDefaults) {
    Record plain;
    EXPECT_EQ(nvx::off_default_parameters(&plain.c), "");
    Record r;
    nvx_config_set_Omegabh2(&r.c, 1000.0);
    nvx_config_set_GN(&r.c, 1e300);
    r.c.verbose = 1;              // printing: not named
    r.c.output_final_result = 1;  // output: not named
    r.c.DeltaNeff = -1.5;
    r.c.amax = 7;
    std::free(r.c.network);
    r.c.network = strdup("large");
    for (int i = 0; i < 10; ++i) nvx_rxnmap_set(&r.c.p_map, ("r" + std::to_string(i)).c_str(), 0.5);
    nvx_rxnmap_set(&r.c.delta_map, "d_p__He3_g", 0.0);  // no variation: not named
    EXPECT_EQ(nvx::off_default_parameters(&r.c),
              "Omegabh2=1000, GN=1e+300, network=large, amax=7, DeltaNeff=-1.5, p_r0=0.5, p_r1=0.5, p_r2=0.5, "
              "p_r3=0.5, p_r4=0.5, p_r5=0.5, p_r6=0.5, p_r7=0.5, 2 more p_ keys");
    char* err = strdup("nvx_ode_bdf: max_steps exceeded");
    EXPECT_EQ(nvx::name_off_default(&plain.c, &err), 1);
    EXPECT_STREQ(err, "nvx_ode_bdf: max_steps exceeded [parameters off their defaults: none]");
    std::free(err);
}

}  // namespace
