// Network assembly and rate tabulation on scratch data directories: era selection, species order,
// custom networks, the mass cut, the limits, resampling rules, decays, QED factors and messages.
#include <gtest/gtest.h>

#include <array>

#include "net_fixture.hpp"

using namespace net_test;

namespace {

// Custom network built in place (the host module's builders live with the run driver).
struct Custom {
    std::vector<std::array<char, NVX_RXN_NAME_LEN>> removed;
    std::vector<NVXCustomEntry> entries;
    NVXCustomNetwork net{};
    void remove(const char* name) {
        removed.emplace_back();
        std::snprintf(removed.back().data(), NVX_RXN_NAME_LEN, "%s", name);
    }
    void add(const char* name, const double* c1, const double* c2, const double* c3, size_t n) {
        NVXCustomEntry e{};
        std::snprintf(e.name, sizeof e.name, "%s", name);
        e.col1 = const_cast<double*>(c1), e.col2 = const_cast<double*>(c2), e.col3 = const_cast<double*>(c3);
        e.n_rows = n;
        entries.push_back(e);
    }
    const NVXCustomNetwork* get() {
        net.removed = reinterpret_cast<char(*)[NVX_RXN_NAME_LEN]>(removed.data());
        net.n_removed = removed.size();
        net.entries = entries.data();
        net.n_entries = entries.size();
        return &net;
    }
};

struct Def {
    NVXNetworkDef d{};
    Msg m;
    ~Def() { nvx_network_def_free(&d); }
};

TEST(Assembly, EraSelectionSpeciesOrderAndReactionZero) {
    DataDir dd("net_asm1");
    Config cfg(dd.root, "test");
    ASSERT_TRUE(cfg.ok);
    Def mt, lt;
    ASSERT_EQ(nvx_load_network(&cfg.c, "mt", nullptr, 0, nullptr, &mt.d, &mt.m.p), 0) << mt.m.str();
    ASSERT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 0) << lt.m.str();
    // MT: members of the fixed order only, in that order (He3_n__t_p comes after t_d__a_n there).
    std::vector<std::string> mt_names;
    for (size_t i = 0; i < mt.d.n_reactions; ++i) mt_names.push_back(mt.d.reaction_names[i]);
    EXPECT_EQ(mt_names, (std::vector<std::string>{"n__p", "n_p__d_g", "d_p__He3_g", "d_d__He3_n", "d_d__t_p",
                                                   "t_d__a_n", "He3_n__t_p", "He3_a__Be7_g", "Be7_n__Li7_p",
                                                   "Li7_p__a_a"}));
    EXPECT_EQ(lt.d.n_reactions, 11u);
    EXPECT_STREQ(lt.d.reaction_names[10], "t__He3_Bm");
    EXPECT_EQ(lt.d.weak[10], 1);
    EXPECT_EQ(lt.d.beta_change[10], -1);
    EXPECT_EQ(lt.d.weak[0], 1);
    EXPECT_EQ(lt.d.beta_change[0], -1);
    EXPECT_STREQ(lt.d.sources[0], "");
    EXPECT_STREQ(lt.d.sources[1], "TestRef2024");
    EXPECT_STREQ(lt.d.sources[10], "NUBASE test");
    // "test" is not the small network: the canonical 8 light species (no Li6 reaction listed).
    std::vector<std::string> sp;
    for (size_t i = 0; i < mt.d.n_species; ++i) sp.push_back(mt.d.species[i]);
    EXPECT_EQ(sp, (std::vector<std::string>{"n", "p", "H2", "H3", "He3", "He4", "Li7", "Be7"}));
    EXPECT_EQ(mt.d.species_N[5], 2);
    EXPECT_EQ(mt.d.species_Z[7], 4);
    const NVXReactionStoich& s = lt.d.stoich[index_of(lt.d, "Li7_p__a_a")];
    EXPECT_EQ(s.n_products, 1u);
    EXPECT_EQ(s.product_mult[0], 2);
    EXPECT_EQ(s.products[0], species_index(lt.d, "He4"));
    EXPECT_EQ(lt.d.stoich[0].reactants[0], 0);
    EXPECT_EQ(lt.d.stoich[0].products[0], 1);

    Def bad;
    EXPECT_EQ(nvx_load_network(&cfg.c, "MTX", nullptr, 0, nullptr, &bad.d, &bad.m.p), 1);
    EXPECT_EQ(bad.m.str(), "nvx_load_network: era must be \"MT\" or \"LT\"");
    EXPECT_EQ(bad.d.n_reactions, 0u);
}

TEST(Assembly, MidTemperatureSpeciesOfALargerNetwork) {
    DataDir dd("net_asm2");
    dd.write_list("big", {"n_p__d_g", "d_p__He3_g", "d_a__Li6_g", "Li7_n__Li8_g"});
    Config cfg(dd.root, "big");
    Def mt;
    ASSERT_EQ(nvx_load_network(&cfg.c, "MT", nullptr, 0, nullptr, &mt.d, &mt.m.p), 0) << mt.m.str();
    std::vector<std::string> sp;
    for (size_t i = 0; i < mt.d.n_species; ++i) sp.push_back(mt.d.species[i]);
    // Li6 and Li8 named anywhere in the list join the MT species; canonical 12-species order.
    EXPECT_EQ(sp, (std::vector<std::string>{"n", "p", "H2", "He3", "He4", "Li7", "Li8", "Li6"}));
    // The mass cut removes Li7_n__Li8_g and with it Li8.
    cfg.c.amax = 7;
    Def cut, lt;
    ASSERT_EQ(nvx_load_network(&cfg.c, "MT", nullptr, 0, nullptr, &cut.d, &cut.m.p), 0);
    EXPECT_EQ(species_index(cut.d, "Li8"), -1);
    EXPECT_EQ(species_index(cut.d, "Li6"), 5);
    ASSERT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 0);
    EXPECT_EQ(index_of(lt.d, "Li7_n__Li8_g"), -1);
    EXPECT_EQ(lt.d.n_reactions, 4u);
}

TEST(Assembly, CustomRemovalReplacementAndAddition) {
    DataDir dd("net_asm3");
    dd.write_list("t2", {"n_p__d_g", "d_p__He3_g", "d_d__He3_n", "Li7_p__a_a"});
    Config cfg(dd.root, "t2");
    Custom cn;
    const double T9[4] = {0.01, 0.1, 1.0, 10.0}, rate[4] = {1, 2, 3, 4}, unc[4] = {1.1, 1.1, 1.1, 1.1};
    cn.remove("d_d__He3_n");
    cn.add("d_p__He3_g", T9, rate, unc, 4);
    cn.add("p_Li7__a_a", T9, rate, unc, 4);
    cfg.c.nuclear_qed_corrections = 0;
    cfg.c.rate_grid_npts = 161;
    Def lt;
    ASSERT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, cn.get(), &lt.d, &lt.m.p), 0) << lt.m.str();
    std::vector<std::string> names;
    for (size_t i = 0; i < lt.d.n_reactions; ++i) names.push_back(lt.d.reaction_names[i]);
    EXPECT_EQ(names, (std::vector<std::string>{"n__p", "n_p__d_g", "d_p__He3_g", "Li7_p__a_a", "p_Li7__a_a"}));
    EXPECT_STREQ(lt.d.sources[2], "custom");
    // The replaced rate is the override, resampled (log-log) onto the grid.
    const size_t M = lt.d.n_grid;
    ASSERT_EQ(M, 161u);
    EXPECT_NEAR(lt.d.rates_base[1 * M + 80], 2.0, 1e-9);  // T9 = 0.1 is a knot of the override
    EXPECT_NEAR(lt.d.rates_base[1 * M + 120], 3.0, 1e-9);
    EXPECT_NEAR(lt.d.rates_unc[1 * M + 100], 1.1, 1e-12);
    // The added reaction: catalogue sides p+Li7 -> He4+He4 and a computed detailed-balance row.
    const int r = 4;
    EXPECT_EQ(lt.d.stoich[r].n_reactants, 2u);
    EXPECT_EQ(lt.d.stoich[r].product_mult[0], 2);
    const char* a[] = {"p", "Li7"};
    const char* b[] = {"He4", "He4"};
    double al, be, ga;
    ASSERT_EQ(nvx_compute_detailed_balance_coefficients(a, 2, b, 2, &cfg.c, &al, &be, &ga, nullptr), 0);
    EXPECT_DOUBLE_EQ(lt.d.reverse_coeffs[3 * (r - 1)], al);
    EXPECT_DOUBLE_EQ(lt.d.reverse_coeffs[3 * (r - 1) + 1], 0.0);
    EXPECT_NEAR(ga * 0.0861733 * -1, 17.347, 0.01);  // Q of Li7(p,a)a in MeV
    // The catalogue row of the existing reaction keeps its tabulated coefficients.
    EXPECT_DOUBLE_EQ(lt.d.reverse_coeffs[3 * 2], 1.5e10);

    Custom bad;
    bad.add("pLi7aa", T9, rate, unc, 4);
    Def f;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, bad.get(), &f.d, &f.m.p), 1);
    EXPECT_EQ(f.m.str(), "cannot add reaction 'pLi7aa': no '__' separator (only the \"a_b__c_d\" syntax is supported)");

    Custom wide;  // nine distinct reactants do not fit a side record
    wide.add("p_n_t_He3_a_Li6_Li7_Be7_B8__C12", T9, rate, unc, 4);
    Def w;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, wide.get(), &w.d, &w.m.p), 1);
    EXPECT_EQ(w.m.str(), "cannot add reaction 'p_n_t_He3_a_Li6_Li7_Be7_B8__C12': more than 8 distinct species on a side");
}

TEST(Assembly, LimitsAndMissingPieces) {
    DataDir dd("net_asm4");
    Config cfg(dd.root, "test");
    std::vector<std::string> many;
    for (int i = 0; i < 601; ++i) many.push_back("r" + std::to_string(i) + "__x");
    std::vector<const char*> ptr;
    for (auto& s : many) ptr.push_back(s.c_str());
    Def a;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", ptr.data(), ptr.size(), nullptr, &a.d, &a.m.p), 1);
    EXPECT_EQ(a.m.str(), "nvx_load_network: too many reactions (raise NVX_MAX_REACTIONS)");

    const char* missing[] = {"n_p__d_g", "Zz_p__Q_g"};
    Def b;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", missing, 2, nullptr, &b.d, &b.m.p), 1);
    EXPECT_EQ(b.m.str(), "reaction 'Zz_p__Q_g' is not present in reactions_large.csv");

    // A species neither canonical nor in the nuclide table.
    nvx_test::write_file(dd.root + "/csv/reactions_large.csv",
                         nvx_test::read_file(dd.root + "/csv/reactions_large.csv") + "p_Xx__g,p+Xx5,B8,strong,\n");
    const char* stray[] = {"p_Xx__g"};
    Def c;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", stray, 1, nullptr, &c.d, &c.m.p), 1);
    EXPECT_NE(c.m.str().find("'Xx5'"), std::string::npos);
    EXPECT_NE(c.m.str().find("p_Xx__g"), std::string::npos);

    // Explicit source after a comma; a missing table reports the reader's message.
    const char* src[] = {"n_p__d_g , other.txt"};
    Def d;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", src, 1, nullptr, &d.d, &d.m.p), 1);
    EXPECT_EQ(d.m.str(), "cannot open table file '" + dd.root + "/nuclear/tables/n_p__d_g/other.txt'");

    // A decay without a row in decays.txt.
    nvx_test::write_file(dd.root + "/nuclear/tables/decays.txt", "# none\n");
    const char* dec[] = {"t__He3_Bm"};
    Def e;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", dec, 1, nullptr, &e.d, &e.m.p), 1);
    EXPECT_EQ(e.m.str(), "decay reaction 't__He3_Bm' has no entry in decays.txt");

    // A nuclide table without "n".
    std::strcpy(cfg.c.nuclides[0].name, "nX");
    Def g;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &g.d, &g.m.p), 1);
    EXPECT_EQ(g.m.str(), "nvx_load_network: the nuclide table must hold 'n' and 'p'");
}

TEST(Tabulation, GridSameGridCopyQedAndCaps) {
    DataDir dd("net_tab1");
    Config cfg(dd.root, "test");
    cfg.c.rate_grid_npts = 161;  // exactly the grid of the fixture tables
    cfg.c.nuclear_qed_corrections = 1;
    Def lt;
    ASSERT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 0) << lt.m.str();
    const size_t M = lt.d.n_grid;
    ASSERT_EQ(M, 161u);
    EXPECT_DOUBLE_EQ(lt.d.grid_T9[0], 1e-3);
    EXPECT_NEAR(lt.d.grid_T9[160], 10.0, 1e-12);
    EXPECT_NEAR(lt.d.grid_T9[40], 1e-2, 1e-15);
    const int dp = index_of(lt.d, "d_d__t_p");  // copied exactly, no QED factor
    char row[64];
    std::snprintf(row, sizeof row, "%.17g", rate_of(lt.d.grid_T9[7], 1.0));
    EXPECT_EQ(lt.d.rates_base[(dp - 1) * M + 7], std::strtod(row, nullptr));
    EXPECT_EQ(lt.d.rates_unc[(dp - 1) * M + 7], 1.2);
    const int np = index_of(lt.d, "n_p__d_g");
    EXPECT_NEAR(lt.d.rates_base[(np - 1) * M] / rate_of(1e-3, 1.0), 1.0003328617393168 + 1.0013475534938917e-07, 1e-10);
    EXPECT_NEAR(lt.d.rates_base[(np - 1) * M + 160] / rate_of(10.0, 1.0), 1.0009003934476768, 1e-12);
    const int he = index_of(lt.d, "He3_a__Be7_g");
    double f = lt.d.rates_base[(he - 1) * M + 80] / rate_of(lt.d.grid_T9[80], 1.0);
    EXPECT_GT(std::fabs(f - 1.0), 1e-4);
    EXPECT_LT(std::fabs(f - 1.0), 1e-2);
    // Caps use the first grid point at or above 0.11 MeV (T9 = 1.2765).
    size_t k = 0;
    while (lt.d.grid_T9[k] < 0.11 / 0.0861733326) ++k;
    const double T9 = lt.d.grid_T9[k];
    EXPECT_NEAR(lt.d.reverse_caps[dp - 1],
                1.5e10 * std::pow(T9, 1.5) * std::exp(-20 / T9) * lt.d.rates_current[(dp - 1) * M + k],
                1e-12 * lt.d.reverse_caps[dp - 1]);
    // A decay: constant rate from decays.txt, no reverse rate unless asked.
    const int dec = index_of(lt.d, "t__He3_Bm");
    EXPECT_EQ(lt.d.rates_base[(dec - 1) * M + 99], 1.78e-9);
    EXPECT_EQ(lt.d.reverse_coeffs[3 * (dec - 1)], 0.0);
}

TEST(Tabulation, ResamplingRules) {
    const double xs[5] = {0.01, 0.1, 1.0, 10.0, 100.0};
    const double ys[5] = {0.0, 1.0, 2.0, 3.0, 4.0};
    const double xd[3] = {0.0316227766016838, 1.0, 1000.0};
    double yd[3];
    ASSERT_EQ(nvx_resample_rate_table(xs, ys, 5, xd, yd, 3, nullptr), 0);  // zero: linear in log10 T9
    EXPECT_NEAR(yd[0], 0.5, 1e-12);
    EXPECT_NEAR(yd[1], 2.0, 1e-15);
    EXPECT_NEAR(yd[2], 5.0, 1e-12);  // end segment extended
    // Power law: log-log spline reproduces it.
    double yp[5];
    for (int i = 0; i < 5; ++i) yp[i] = 3.0 * std::pow(xs[i], 1.7);
    ASSERT_EQ(nvx_resample_rate_table(xs, yp, 5, xd, yd, 3, nullptr), 0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(yd[i] / (3.0 * std::pow(xd[i], 1.7)), 1.0, 1e-10);
    Msg m;
    EXPECT_EQ(nvx_resample_rate_table(xs, yp, 3, xd, yd, 2, &m.p), 1);
    EXPECT_EQ(m.str(), "nvx_cubic_spline_fit_notaknot: need at least 4 knots");
    Msg m2;
    EXPECT_EQ(nvx_resample_rate_table(xs, ys, 1, xd, yd, 3, &m2.p), 1);
    EXPECT_NE(m2.str().find("at least 2 rows"), std::string::npos);
    const double back[4] = {1, 3, 2, 4};
    Msg m3;
    EXPECT_EQ(nvx_resample_rate_table(back, yp, 4, xd, yd, 3, &m3.p), 1);
    EXPECT_NE(m3.str().find("strictly increasing"), std::string::npos);
}

TEST(Tabulation, ShortTableNamesTheReaction) {
    DataDir dd("net_tab2");
    dd.write_table("d_d__t_p", 3, 0.01, 1.0, 1.0);
    Config cfg(dd.root, "test");
    Def lt;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 1);
    EXPECT_EQ(lt.m.str().rfind("nvx_cubic_spline_fit_notaknot: need at least 4 knots", 0), 0u);
    EXPECT_NE(lt.m.str().find("d_d__t_p"), std::string::npos);
    EXPECT_EQ(lt.d.n_reactions, 0u);
}

// Names that would change nothing are errors: a removed reaction that is not in the network (a
// typo) and p_/delta_ keys naming no reaction of the run (p_n_p__dg for n_p__d_g).
TEST(Assembly, UnknownNamesAreErrors) {
    DataDir data("asm_unknown");
    Config cfg(data.root, "test");
    ASSERT_TRUE(cfg.ok);
    Custom custom;
    custom.remove("n_p__dg");
    Def lt;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, custom.get(), &lt.d, &lt.m.p), 1);
    EXPECT_EQ(lt.m.str(), "custom_network['removed']: reaction 'n_p__dg' is not in the network 'test'");

    NVXNuclearRates rates{};
    Msg m;
    nvx_rxnmap_set(&cfg.c.p_map, "n_p__dg", 3.0);
    EXPECT_EQ(nvx_nuclear_rates_init(&rates, &cfg.c, nullptr, &m.p), 1);
    EXPECT_EQ(m.str(), "p_n_p__dg: no reaction 'n_p__dg' in the network 'test' (did you mean 'n_p__d_g'?)");
    nvx_rxnmap_free(&cfg.c.p_map);
    nvx_rxnmap_set(&cfg.c.delta_map, "Li7_p__a_a", 0.1);  // an LT-only reaction is known
    Msg ok;
    EXPECT_EQ(nvx_nuclear_rates_init(&rates, &cfg.c, nullptr, &ok.p), 0) << ok.str();
    nvx_nuclear_rates_free(&rates);
}

// Rate tables with negative or non-finite rates or uncertainty factors below 1 are refused
// with the reaction and row named, instead of being interpolated into the network.
TEST(Assembly, RateTablesWithImpossibleValuesAreRefused) {
    DataDir data("asm_bad_rates");
    Config cfg(data.root, "test");
    ASSERT_TRUE(cfg.ok);
    const std::string file = data.root + "/nuclear/tables/d_p__He3_g/d_p__He3_g_nuvex.txt";
    const std::string good = nvx_test::read_file(file);
    const struct {
        const char* row;
        const char* message;
    } cases[] = {
        {"20 -1 1.2\n", "rate -1 must be finite and >= 0"},
        {"20 nan 1.2\n", "rate nan must be finite and >= 0"},
        {"20 1 0\n", "uncertainty factor 0 must be finite and >= 1 (a multiplicative 1-sigma factor)"},
        {"20 1 -2\n", "uncertainty factor -2 must be finite and >= 1 (a multiplicative 1-sigma factor)"},
        // below 1, a rate varied by +1 sigma would go down
        {"20 1 0.9\n", "uncertainty factor 0.9 must be finite and >= 1 (a multiplicative 1-sigma factor)"},
    };
    for (const auto& c : cases) {
        nvx_test::write_file(file, good + c.row);
        Def lt;
        EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 1);
        EXPECT_EQ(lt.m.str(), "reaction 'd_p__He3_g', table '" + file + "', data row 162: " + c.message);
    }
    nvx_test::write_file(file, good);
    // a custom table: a two-number row leaves the factor at 0 ("not varied"), a negative rate is refused
    const double T[3] = {0.01, 0.1, 1.0}, neg[3] = {1.0, -1.0, 1.0}, f0[3] = {0.0, 0.0, 0.0};
    Custom custom;
    custom.add("d_p__He3_g", T, neg, f0, 3);
    Def lt;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, custom.get(), &lt.d, &lt.m.p), 1);
    EXPECT_EQ(lt.m.str(), "reaction 'd_p__He3_g', custom rate table, data row 2: rate -1 must be finite and >= 0");
}

// A species of the network missing from the nuclide table (a table cut short) is an error, not a
// nucleus with N = Z = 0.
TEST(Assembly, SpeciesMissingFromTheNuclideTable) {
    DataDir data("asm_no_li7");
    std::string nuclides = nvx_test::read_file(data.root + "/csv/nuclides.csv");
    const size_t at = nuclides.find("\nLi7,");
    ASSERT_NE(at, std::string::npos);
    nuclides.erase(at + 1, nuclides.find('\n', at + 1) - at);
    nvx_test::write_file(data.root + "/csv/nuclides.csv", nuclides);
    Config cfg(data.root, "test");
    ASSERT_TRUE(cfg.ok);
    Def lt;
    EXPECT_EQ(nvx_load_network(&cfg.c, "LT", nullptr, 0, nullptr, &lt.d, &lt.m.p), 1);
    EXPECT_EQ(lt.m.str(), "species 'Li7' of the network is missing from the nuclide table " + data.root +
                              "/csv/nuclides.csv");
}

}  // namespace

