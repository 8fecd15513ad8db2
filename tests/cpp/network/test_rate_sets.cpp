// Rate sets: the manifest loader and its messages, the validation of the rate_set key (known sets,
// hints, unsafe names), and assembly with a set: the set's tables and bands replace the listed
// reactions' own, nothing else moves, custom overrides still win, broken sets name file and line.
#include <gtest/gtest.h>

#include "net_fixture.hpp"
#include "nuvex/custom_network.h"

using namespace net_test;

namespace {

std::string write_scratch(const std::string& dir, const std::string& name, const std::string& text) {
    mkdirs(dir);
    const std::string path = dir + "/" + name;
    nvx_test::write_file(path, text);
    return path;
}

// A fixture data directory with a set "alt": d_p__He3_g from a table twice the default with a
// 1.5 band, and a reaction (Li7_n__Li8_g) that the test network lacks.
struct SetDir : DataDir {
    explicit SetDir(const std::string& name) : DataDir(name) {
        write_set_table("d_p__He3_g", "d_p__He3_g_alt.txt", 2.0, "1.5", "# ref=AltRef2030\n");
        write_set("alt",
                  "# rate set 'alt': a test set\n"
                  "# reaction | table file | source | uncertainty\n"
                  "d_p__He3_g | d_p__He3_g_alt.txt | Alt et al. 2030 | 50% flat\n"
                  "   Li7_n__Li8_g|Li7_n__Li8_g_nuvex.txt|default table   |  1.2\n");
    }
    void write_set(const std::string& set, const std::string& text) {
        write_scratch(root + "/nuclear/ratesets", set + ".txt", text);
    }
    void write_set_table(const std::string& rxn, const std::string& file, double scale, const char* unc,
                         const char* header) {
        std::string text = header;
        for (int i = 0; i < 161; ++i) {
            const double T9 = std::pow(10.0, -3.0 + i * 4.0 / 160);
            char row[128];
            std::snprintf(row, sizeof row, "%.17g %.17g %s\n", T9, rate_of(T9, scale), unc);
            text += row;
        }
        write_scratch(root + "/nuclear/tables/" + rxn, file, text);
    }
};

struct Net {
    NVXNetworkDef d{};
    ~Net() { nvx_network_def_free(&d); }
    const double* base(const char* rxn) const { return d.rates_base + (index_of(d, rxn) - 1) * d.n_grid; }
    const double* unc(const char* rxn) const { return d.rates_unc + (index_of(d, rxn) - 1) * d.n_grid; }
};

int load(Config& cfg, const char* era, Net& n, Msg& m, const NVXCustomNetwork* custom = nullptr) {
    return nvx_load_network(&cfg.c, era, nullptr, 0, custom, &n.d, &m.p);
}

std::string validate(Config& cfg) {
    Msg m;
    return nvx_config_validate(&cfg.c, &m.p) == 0 ? "" : m.str();
}

TEST(RateSetManifest, FieldsCommentsAndEveryMalformedLine) {
    const std::string dir = nvx_test::scratch_dir("rateset_manifest");
    NVXRateSet s{};
    Msg ok;
    const std::string good = write_scratch(dir, "good.txt",
                                           "# comment\n\n  a_b__c_d | a_b__c_d_x.txt | Someone 2020 |  3%  \n"
                                           "x_y__z|f.txt|src|u\n");
    ASSERT_EQ(nvx_load_rate_set(good.c_str(), &s, &ok.p), 0) << ok.str();
    ASSERT_EQ(s.count, 2u);
    EXPECT_STREQ(s.entries[0].name, "a_b__c_d");
    EXPECT_STREQ(s.entries[0].file, "a_b__c_d_x.txt");
    EXPECT_STREQ(s.entries[0].source, "Someone 2020");
    EXPECT_STREQ(s.entries[0].uncertainty, "3%");
    EXPECT_EQ(s.entries[0].line, 3);
    EXPECT_EQ(s.entries[1].line, 4);
    nvx_rate_set_free(&s);
    nvx_rate_set_free(&s);  // twice is harmless
    EXPECT_EQ(s.entries, nullptr);

    const struct {
        const char* text;
        const char* message;  // after "<path>:"
    } bad[] = {
        {"# c\na | b.txt | src\n", "2: expected 4 fields 'reaction | table file | source | uncertainty', got 'a | b.txt | src'"},
        {"a | b.txt | src | u | extra\n", "1: expected 4 fields"},
        {"a | b.txt | src | u |\n", "1: expected 4 fields"},
        {"a | b.txt |  | u\n", "1: empty source field"},
        {"a | b.txt | src | \n", "1: empty uncertainty field"},
        {"a | ../../../etc/passwd | src | u\n", "1: table file '../../../etc/passwd' must be a plain file name"},
        {"a | .hidden | src | u\n", "1: table file '.hidden' must be a plain file name"},
        {"a | b.txt | s | u\n\na | c.txt | s | u\n", "3: duplicate reaction 'a' (first on line 1)"},
        {"a | b.txt | s\x01 | u\n", "1: control character 0x01"},
        {"a_very_long_reaction_name_that_is_longer_than_sixty_three_characters_x | b | s | u\n",
         "1: reaction name or table file longer than"},
    };
    for (const auto& b : bad) {
        const std::string path = write_scratch(dir, "bad.txt", b.text);
        Msg m;
        EXPECT_EQ(nvx_load_rate_set(path.c_str(), &s, &m.p), 1) << b.text;
        EXPECT_EQ(m.str().rfind(path + ":" + b.message, 0), 0u) << m.str();
        EXPECT_EQ(s.count, 0u);
        EXPECT_EQ(s.entries, nullptr);
    }
    Msg m;
    EXPECT_EQ(nvx_load_rate_set((dir + "/absent.txt").c_str(), &s, &m.p), 1);
    EXPECT_EQ(m.str(), "cannot open rate-set manifest '" + dir + "/absent.txt'");
}

TEST(RateSetKey, ValidationKnowsTheSetsAndRefusesOthers) {
    SetDir d("rateset_validate");
    Config cfg(d.root, "test");
    ASSERT_TRUE(cfg.ok);
    EXPECT_STREQ(cfg.c.rate_set, "nuvex");
    EXPECT_EQ(validate(cfg), "");  // the default needs no manifest (this folder has none for it)
    cfg.set_string("rate_set", "alt");
    EXPECT_EQ(validate(cfg), "");
    cfg.set_string("rate_set", "atl");
    EXPECT_EQ(validate(cfg),
              "rate_set='atl' is not a known rate set (did you mean 'alt'?); known sets: alt, nuvex (a set is the "
              "file nuclear/ratesets/<name>.txt of the data directory or of user_nuclear_dir)");
    cfg.set_string("rate_set", "completely_different");
    EXPECT_EQ(validate(cfg).find("did you mean"), std::string::npos) << "no hint for a name far from every set";
    for (const char* unsafe : {"../alt", "", ".alt", "a/b", "sp ace"}) {
        cfg.set_string("rate_set", unsafe);
        EXPECT_EQ(validate(cfg).rfind(std::string("rate_set='") + unsafe + "' is not a valid rate-set name", 0), 0u)
            << unsafe;
    }
    // None means the default set
    NVXParam none{};
    Msg m;
    ASSERT_EQ(nvx_config_set_param(&cfg.c, "rate_set", none, &m.p), 0);
    EXPECT_EQ(cfg.c.rate_set, nullptr);
    EXPECT_EQ(validate(cfg), "");

    // a set of the user nuclear directory is found and listed, in either folder layout
    const std::string user = nvx_test::scratch_dir("rateset_user");
    write_scratch(user + "/ratesets", "mine.txt", "# empty set\n");
    write_scratch(user + "/nuclear/ratesets", "theirs.txt", "# empty set\n");
    cfg.set_string("user_nuclear_dir", user.c_str());
    cfg.set_string("rate_set", "mine");
    EXPECT_EQ(validate(cfg), "");
    cfg.set_string("rate_set", "theirs");
    EXPECT_EQ(validate(cfg), "");
    cfg.set_string("rate_set", "nope");
    EXPECT_NE(validate(cfg).find("known sets: alt, mine, nuvex, theirs"), std::string::npos) << validate(cfg);
}

TEST(RateSetAssembly, TheSetReplacesItsReactionsTablesAndBandsOnly) {
    SetDir d("rateset_assembly");
    Config plain(d.root, "test"), alt(d.root, "test");
    alt.set_string("rate_set", "alt");
    ASSERT_TRUE(alt.ok);
    for (const char* era : {"MT", "LT"}) {
        Net a, b;
        Msg ma, mb;
        ASSERT_EQ(load(plain, era, a, ma), 0) << ma.str();
        ASSERT_EQ(load(alt, era, b, mb), 0) << mb.str();
        ASSERT_EQ(a.d.n_reactions, b.d.n_reactions) << "a set never adds or removes reactions";
        for (size_t r = 1; r < a.d.n_reactions; ++r) {
            const char* name = a.d.reaction_names[r];
            const bool replaced = std::strcmp(name, "d_p__He3_g") == 0;
            for (size_t j = 0; j < a.d.n_grid; j += 97) {
                const double ratio = b.d.rates_base[(r - 1) * a.d.n_grid + j] / a.d.rates_base[(r - 1) * a.d.n_grid + j];
                if (replaced) {
                    // same shape, twice the scale; the nuclear QED factor multiplies both alike
                    EXPECT_NEAR(ratio, 2.0, 2e-12) << era << " " << name << " point " << j;
                    EXPECT_DOUBLE_EQ(b.unc(name)[j], 1.5);
                    EXPECT_DOUBLE_EQ(a.unc(name)[j], 1.2);
                } else {
                    EXPECT_EQ(ratio, 1.0) << era << " " << name;
                }
            }
            EXPECT_STREQ(b.d.sources[r], replaced ? "AltRef2030" : a.d.sources[r]) << name;
        }
        // rate variations draw from the set's band: p = 1 multiplies by the set's factor 1.5
        NVXRxnMap& p_map = alt.c.p_map;
        nvx_rxnmap_set(&p_map, "d_p__He3_g", 1.0);
        nvx_network_apply_variations(&b.d, &alt.c);
        const size_t row = static_cast<size_t>(index_of(b.d, "d_p__He3_g") - 1);
        EXPECT_NEAR(b.d.rates_current[row * b.d.n_grid + 500] / b.d.rates_base[row * b.d.n_grid + 500], 1.5, 1e-12);
        nvx_rxnmap_free(&p_map);
    }
}

TEST(RateSetAssembly, CustomOverridesWinOverTheSet) {
    SetDir d("rateset_custom");
    Config alt(d.root, "test");
    alt.set_string("rate_set", "alt");
    const double T9[] = {0.001, 0.01, 0.1, 1.0, 10.0}, rate[] = {7, 7, 7, 7, 7}, unc[] = {1.1, 1.1, 1.1, 1.1, 1.1};
    NVXCustomEntry e{};
    std::strcpy(e.name, "d_p__He3_g");
    e.col1 = const_cast<double*>(T9);
    e.col2 = const_cast<double*>(rate);
    e.col3 = const_cast<double*>(unc);
    e.n_rows = 5;
    NVXCustomNetwork custom{};
    custom.entries = &e;
    custom.n_entries = 1;
    Net n;
    Msg m;
    ASSERT_EQ(load(alt, "LT", n, m, &custom), 0) << m.str();
    EXPECT_STREQ(n.d.sources[index_of(n.d, "d_p__He3_g")], "custom");
    EXPECT_DOUBLE_EQ(n.unc("d_p__He3_g")[10], 1.1);
}

TEST(RateSetAssembly, BrokenSetsNameTheManifestLineOrTheTable) {
    SetDir d("rateset_broken");
    Config cfg(d.root, "test");
    const struct {
        const char* manifest;
        std::string message;
    } cases[] = {
        {"# c\nd_p__He3_x | f.txt | s | u\n",
         d.root + "/nuclear/ratesets/bad.txt:2: reaction 'd_p__He3_x' is not present in reactions_large.csv"},
        {"t__He3_Bm | t.txt | s | u\n",
         d.root + "/nuclear/ratesets/bad.txt:1: reaction 't__He3_Bm' is a decay; its rate comes from decays.txt, "
                  "not from a rate set"},
        {"d_d__t_p | missing.txt | s | u\n", "cannot open table file '" + d.root + "/nuclear/tables/d_d__t_p/missing.txt'"},
        {"d_d__t_p | f.txt | s\n", d.root + "/nuclear/ratesets/bad.txt:1: expected 4 fields"},
    };
    for (const auto& c : cases) {
        d.write_set("bad", c.manifest);
        cfg.set_string("rate_set", "bad");
        Net n;
        Msg m;
        EXPECT_EQ(load(cfg, "LT", n, m), 1) << c.manifest;
        EXPECT_EQ(m.str().rfind(c.message, 0), 0u) << m.str();
        EXPECT_EQ(n.d.n_reactions, 0u);
    }
    // a set that vanished after validation fails the assembly with the manifest's path
    cfg.set_string("rate_set", "gone");
    Net n;
    Msg m;
    EXPECT_EQ(load(cfg, "MT", n, m), 1);
    EXPECT_EQ(m.str(), "cannot open rate-set manifest '" + d.root + "/nuclear/ratesets/gone.txt'");
}

// The shipped sets against the default: 'parthenope' names the default tables (no rate moves),
// 'primat' replaces exactly the reactions its manifest lists, by the REACLIB evaluations named there.
TEST(RateSetAssembly, ShippedSetsChangeExactlyTheirListedReactions) {
    for (const char* network : {"small", "large"}) {
        Config def(NUVEX_DATA_DIR, network), par(NUVEX_DATA_DIR, network), pri(NUVEX_DATA_DIR, network);
        par.set_string("rate_set", "parthenope");
        pri.set_string("rate_set", "primat");
        ASSERT_TRUE(def.ok && par.ok && pri.ok);
        EXPECT_EQ(validate(par), "");
        EXPECT_EQ(validate(pri), "");
        Net a, b, c;
        Msg ma, mb, mc;
        ASSERT_EQ(load(def, "LT", a, ma), 0) << ma.str();
        ASSERT_EQ(load(par, "LT", b, mb), 0) << mb.str();
        ASSERT_EQ(load(pri, "LT", c, mc), 0) << mc.str();
        const size_t rows = (a.d.n_reactions - 1) * a.d.n_grid;
        EXPECT_EQ(std::memcmp(a.d.rates_base, b.d.rates_base, rows * sizeof(double)), 0) << network;
        EXPECT_EQ(std::memcmp(a.d.rates_unc, b.d.rates_unc, rows * sizeof(double)), 0) << network;
        int moved = 0;
        for (size_t r = 1; r < a.d.n_reactions; ++r) {
            const char* name = a.d.reaction_names[r];
            const bool listed = !std::strcmp(name, "d_d__He3_n") || !std::strcmp(name, "He3_n__t_p");
            const bool same = !std::memcmp(a.d.rates_base + (r - 1) * a.d.n_grid, c.d.rates_base + (r - 1) * a.d.n_grid,
                                           a.d.n_grid * sizeof(double));
            EXPECT_EQ(same, !listed) << network << " " << name;
            moved += !same;
            if (listed) {
                EXPECT_EQ(std::string(c.d.sources[r]).rfind("REACLIB-", 0), 0u) << c.d.sources[r];
            }
        }
        EXPECT_EQ(moved, 2) << network;
    }
}

}  // namespace
