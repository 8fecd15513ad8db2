// Network data files: loaders and their messages, the side grammar, source labels, and
// detailed-balance coefficients against the published deuteron values.
#include <gtest/gtest.h>

#include "net_fixture.hpp"

using namespace net_test;

namespace {

std::string scratch_file(const std::string& name, const std::string& text) {
    static std::string dir = nvx_test::scratch_dir("net_files");
    std::string path = dir + "/" + name;
    nvx_test::write_file(path, text);
    return path;
}

TEST(DetailedBalance, DeuteronFormationMatchesPublishedCoefficients) {
    DataDir d("net_db");
    Config cfg(d.root, nullptr);
    ASSERT_TRUE(cfg.ok);
    const char* a[] = {"n", "p"};
    const char* b[] = {"H2"};
    double alpha, beta, gamma;
    Msg m;
    ASSERT_EQ(nvx_compute_detailed_balance_coefficients(a, 2, b, 1, &cfg.c, &alpha, &beta, &gamma, &m.p), 0);
    EXPECT_NEAR(alpha / 4.716e9, 1.0, 2e-3);
    EXPECT_DOUBLE_EQ(beta, 1.5);
    // Q = 2.2246 MeV: gamma = -Q / (k_B 1e9 K) = -25.815
    EXPECT_NEAR(gamma, -25.815, 2e-3);
}

TEST(DetailedBalance, IdenticalReactantsCarryOneOverTwoFactorial) {
    DataDir d("net_db2");
    Config cfg(d.root, nullptr);
    ASSERT_TRUE(cfg.ok);
    // X2 is a clone of H2 (same mass, same spin): only the 1/2! of identical particles differs.
    const char* same[] = {"H2", "H2"};
    const char* distinct[] = {"H2", "X2"};
    const char* prod[] = {"He4"};
    double a1, b1, g1, a2, b2, g2;
    ASSERT_EQ(nvx_compute_detailed_balance_coefficients(same, 2, prod, 1, &cfg.c, &a1, &b1, &g1, nullptr), 0);
    ASSERT_EQ(nvx_compute_detailed_balance_coefficients(distinct, 2, prod, 1, &cfg.c, &a2, &b2, &g2, nullptr), 0);
    EXPECT_NEAR(a1 / a2, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(g1, g2);
    Msg m;
    const char* unknown[] = {"Zz9"};
    EXPECT_EQ(nvx_compute_detailed_balance_coefficients(unknown, 1, prod, 1, &cfg.c, &a1, &b1, &g1, &m.p), 1);
    EXPECT_EQ(m.str(), "compute_detailed_balance_coefficients: unknown nuclide 'Zz9'");
}

TEST(NetworkList, SourcesCommentsAndDuplicates) {
    std::string p = scratch_file("list1.txt", "# c\n\n  a_b__c_d  \nx_y__z , my_table.txt \nq__r,   \n");
    NVXNetworkList l{};
    Msg m;
    ASSERT_EQ(nvx_load_network_list(p.c_str(), &l, &m.p), 0);
    ASSERT_EQ(l.count, 3u);
    EXPECT_STREQ(l.entries[0].name, "a_b__c_d");
    EXPECT_STREQ(l.entries[0].source, "");
    EXPECT_STREQ(l.entries[1].name, "x_y__z");
    EXPECT_STREQ(l.entries[1].source, "my_table.txt");
    EXPECT_STREQ(l.entries[2].source, "");
    nvx_network_list_free(&l);
    nvx_network_list_free(&l);

    std::string dup = scratch_file("list2.txt", "#\n\nr1\nr2\nr3\n\n#\nr4\nr1\n");
    Msg m2;
    EXPECT_EQ(nvx_load_network_list(dup.c_str(), &l, &m2.p), 1);
    EXPECT_EQ(m2.str(), dup + ":9: duplicate reaction entry 'r1' (likely copy-paste mistake)");
    EXPECT_EQ(l.count, 0u);
    EXPECT_EQ(l.entries, nullptr);

    Msg m3;
    EXPECT_EQ(nvx_load_network_list("/nonexistent/list.txt", &l, &m3.p), 1);
    EXPECT_EQ(m3.str(), "cannot open network list '/nonexistent/list.txt'");
}

TEST(ReactionsLarge, FieldRuleAndMessages) {
    std::string ok = scratch_file("rl1.csv", "header,whatever\n\nr1,n+p,H2+g,strong,note,extra,more\n,,,,\n");
    NVXReactionTable t{};
    Msg m;
    ASSERT_EQ(nvx_load_reactions_large(ok.c_str(), &t, &m.p), 0);
    ASSERT_EQ(t.count, 2u);
    EXPECT_STREQ(t.rows[0].products, "H2+g");
    EXPECT_STREQ(t.rows[0].note, "note");
    EXPECT_STREQ(t.rows[1].name, "");
    nvx_reaction_table_free(&t);

    std::string bad = scratch_file("rl2.csv", "h\nr1,n+p,H2,strong,x\nr2,a,b,c\n");
    Msg m2;
    EXPECT_EQ(nvx_load_reactions_large(bad.c_str(), &t, &m2.p), 1);
    EXPECT_EQ(m2.str(), bad + ":3: expected 5 CSV fields, got 'r2'");
    EXPECT_EQ(t.count, 0u);

    NVXDetailedBalanceTable db{};
    std::string dbf = scratch_file("db.csv", "h\nr1,0,2.5e9,1.5,-3.25\nr2,x,y\n");
    Msg m3;
    EXPECT_EQ(nvx_load_detailed_balance(dbf.c_str(), &db, &m3.p), 1);
    EXPECT_EQ(m3.str(), dbf + ":3: expected 5 CSV fields, got 'r2'");
    std::string dbok = scratch_file("db2.csv", "h\nr1,0,2.5e9,1.5,-3.25\n");
    ASSERT_EQ(nvx_load_detailed_balance(dbok.c_str(), &db, nullptr), 0);
    EXPECT_DOUBLE_EQ(db.rows[0].alpha, 2.5e9);
    EXPECT_DOUBLE_EQ(db.rows[0].gamma, -3.25);
    nvx_detailed_balance_free(&db);
    // text where a number belongs was once read as 0 (a reverse rate switched off silently); a
    // repeated reaction would shadow its second row
    for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
             {"r2,0,abc,1,1\n", ":3: cannot parse alpha 'abc' as a finite number"},
             {"r2,0,1,1,\n", ":3: cannot parse gamma '' as a finite number"},
             {"r2,0,1,1e999,1\n", ":3: cannot parse beta '1e999' as a finite number"},
             {"r1,0,1,1,1\n", ":3: duplicate reaction 'r1'"}}) {
        const std::string f = scratch_file("db3.csv", "h\nr1,0,2.5e9,1.5,-3.25\n" + body);
        Msg e;
        EXPECT_EQ(nvx_load_detailed_balance(f.c_str(), &db, &e.p), 1);
        EXPECT_EQ(e.str(), f + message);
        EXPECT_EQ(db.count, 0u);
    }
    const std::string dup = scratch_file("rl3.csv", "h\nr1,n+p,H2,strong,x\nr1,a,b,c,d\n");
    Msg e;
    EXPECT_EQ(nvx_load_reactions_large(dup.c_str(), &t, &e.p), 1);
    EXPECT_EQ(e.str(), dup + ":3: duplicate reaction 'r1'");
    const std::string longname = scratch_file("rl4.csv", "h\n" + std::string(70, 'r') + ",a,b,c,d\n");
    Msg l;
    EXPECT_EQ(nvx_load_reactions_large(longname.c_str(), &t, &l.p), 1);
    EXPECT_EQ(l.str(), longname + ":2: a reaction name or side is longer than 63 characters");
    Msg m4;
    EXPECT_EQ(nvx_load_detailed_balance("/nonexistent/db.csv", &db, &m4.p), 1);
    EXPECT_EQ(m4.str(), "cannot open detailed_balance file '/nonexistent/db.csv'");
}

TEST(Decays, NotesAndUnparseableRows) {
    std::string ok = scratch_file("dec1.txt", "# c\nt__He3_Bm 1 2.5e-9 1.01   NUBASE  x  \nHe6__Li6_Bm 1 0.86 1.0\n");
    NVXDecayTable t{};
    ASSERT_EQ(nvx_load_decays(ok.c_str(), &t, nullptr), 0);
    ASSERT_EQ(t.count, 2u);
    EXPECT_DOUBLE_EQ(t.rows[0].rate, 2.5e-9);
    EXPECT_STREQ(t.rows[0].note, "NUBASE  x");
    EXPECT_STREQ(t.rows[1].note, "");
    std::string bad = scratch_file("dec2.txt", "# c\nt__He3_Bm 1 2.5e-9 1.01\nHe6__Li6_Bm 1 0.86\n");
    Msg m;
    EXPECT_EQ(nvx_load_decays(bad.c_str(), &t, &m.p), 1);
    EXPECT_EQ(m.str(), bad + ":3: cannot parse decay row 'He6__Li6_Bm 1 0.86'");
    EXPECT_EQ(t.count, 0u);
    for (const auto& [row, message] : std::vector<std::pair<std::string, std::string>>{
             {"He6__Li6_Bm 1 0.86x 1.0", ":3: cannot parse decay row 'He6__Li6_Bm 1 0.86x 1.0'"},
             {"He6__Li6_Bm 1 -0.86 1.0", ":3: decay 'He6__Li6_Bm' needs a finite rate >= 0 and an uncertainty factor >= 1"},
             {"He6__Li6_Bm 1 0.86 0", ":3: decay 'He6__Li6_Bm' needs a finite rate >= 0 and an uncertainty factor >= 1"},
             {"He6__Li6_Bm 1 0.86 0.5", ":3: decay 'He6__Li6_Bm' needs a finite rate >= 0 and an uncertainty factor >= 1"},
             {"t__He3_Bm 1 0.86 1.0", ":3: duplicate decay 't__He3_Bm'"}}) {
        const std::string f = scratch_file("dec3.txt", "# c\nt__He3_Bm 1 2.5e-9 1.01\n" + row + "\n");
        Msg e;
        EXPECT_EQ(nvx_load_decays(f.c_str(), &t, &e.p), 1);
        EXPECT_EQ(e.str(), f + message);
        EXPECT_EQ(t.count, 0u);
    }
    Msg m2;
    EXPECT_EQ(nvx_load_decays("/nonexistent/decays.txt", &t, &m2.p), 1);
    EXPECT_EQ(m2.str(), "cannot open decays file '/nonexistent/decays.txt'");
}

TEST(SideGrammar, PhotonsBetasMultiplicitiesAndTooManySpecies) {
    NVXSide s;
    int32_t beta;
    ASSERT_EQ(nvx_parse_side("He4+He4+g", &s, &beta, nullptr), 0);
    ASSERT_EQ(s.count, 1u);
    EXPECT_STREQ(s.names[0], "He4");
    EXPECT_EQ(s.mult[0], 2);
    EXPECT_EQ(beta, 0);
    ASSERT_EQ(nvx_parse_side("He3+Bm", &s, &beta, nullptr), 0);
    EXPECT_EQ(s.count, 1u);
    EXPECT_EQ(beta, -1);
    ASSERT_EQ(nvx_parse_side("Li7+Bp", &s, &beta, nullptr), 0);
    EXPECT_EQ(beta, 1);
    Msg m;
    EXPECT_EQ(nvx_parse_side("a+b+c+d+e+f+h+i+j", &s, &beta, &m.p), 1);
    EXPECT_NE(m.str().find("more than 8 distinct species"), std::string::npos);
}

TEST(SourceLabel, RefTextTrimmedOrQuestionMark) {
    char label[NVX_SOURCE_LEN];
    std::string a = scratch_file("t1.txt", "# ref=Smith1993  \n# more\n1 2 3\n");
    nvx_read_reaction_source(a.c_str(), label);
    EXPECT_STREQ(label, "Smith1993");
    std::string b = scratch_file("t2.txt", "# no label\n1 2 3\n# ref=late\n");
    nvx_read_reaction_source(b.c_str(), label);
    EXPECT_STREQ(label, "?");
    nvx_read_reaction_source("/nonexistent/table", label);
    EXPECT_STREQ(label, "?");
}

}  // namespace
