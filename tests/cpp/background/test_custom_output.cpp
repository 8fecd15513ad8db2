// Custom background tables (round trip of the standard background through a file, parsing rules,
// messages, the late-time Neff estimate) and the background time-evolution file.
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>

#include "bg_fixture.hpp"

using namespace bgtest;

namespace {

std::string write_table(const std::string& name, const std::string& text) {
    static const std::string dir = nvx_test::scratch_dir("bg_custom");
    const std::string path = dir + "/" + name;
    nvx_test::write_file(path, text);
    return path;
}

// The standard background's rows as a comma table with shuffled columns and an extra column.
std::string standard_as_table(const nvx_background& bg) {
    std::ostringstream out;
    out.precision(17);
    out << "a, extra ,T,t\n";
    for (size_t l = 0; l < bg.n; ++l) out << bg.a[l] << ",7," << bg.T[l] << "," << bg.t[l] << "\n";
    return out.str();
}

std::string custom_error(const std::string& path) {
    BgRun r(instantaneous(false), path.c_str());
    EXPECT_EQ(r.bg.n_rows, 0u);  // a failed load leaves the record empty
    return r.error;
}

std::vector<std::vector<std::string>> read_tsv(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string f;
        while (std::getline(ss, f, '\t')) fields.push_back(f);
        rows.push_back(fields);
    }
    return rows;
}

TEST(CustomBackground, ReproducesTheStandardBackground) {
    BgRun std_run(instantaneous(false));
    ASSERT_TRUE(std_run.ok()) << std_run.error;
    const std::string path = write_table("standard.csv", standard_as_table(std_run.bg));
    BgRun custom(instantaneous(false), path.c_str());
    ASSERT_TRUE(custom.ok()) << custom.error;
    const nvx_background& s = std_run.bg;
    const nvx_background& c = custom.bg;
    EXPECT_EQ(c.mode, NVX_BG_CUSTOM);
    EXPECT_EQ(c.n_rows, s.n);
    for (double T : {30.0, 3.0, 0.3, 0.03, 0.003}) {
        const double t = nvx_bg_t_of_T(&s, T);
        EXPECT_NEAR(nvx_bg_T_of_t(&c, t) / nvx_bg_T_of_t(&s, t), 1.0, 1e-4) << T;
        EXPECT_NEAR(nvx_bg_a_of_t(&c, t) / nvx_bg_a_of_t(&s, t), 1.0, 1e-4) << T;
        EXPECT_NEAR(nvx_bg_t_of_T(&c, T) / t, 1.0, 1e-4) << T;
        EXPECT_NEAR(nvx_bg_a_of_T(&c, T) / nvx_bg_a_of_T(&s, T), 1.0, 1e-4) << T;
        EXPECT_NEAR(nvx_bg_rhoB_BBN(&c, t) / nvx_bg_rhoB_BBN(&s, t), 1.0, 3e-4) << T;
        const double a = nvx_bg_a_of_T(&s, T);
        EXPECT_NEAR(nvx_bg_T_of_a(&c, a) / T, 1.0, 1e-4) << T;
        EXPECT_NEAR(nvx_bg_t_of_a(&c, a) / t, 1.0, 1e-4) << T;
        const double T_K = T * nvx_MeV_to_Kelvin();
        if (T < 10) {
            EXPECT_NEAR(nvx_bg_weak_nTOp_frwrd(&c, T_K) / nvx_bg_weak_nTOp_frwrd(&s, T_K), 1.0,
                        1e-3) << T;
        }
    }
    // Late-time Friedmann estimate: radiation with three neutrinos plus a little matter.
    testing::internal::CaptureStderr();
    const double Neff = custom.Neff();
    const std::string note = testing::internal::GetCapturedStderr();
    EXPECT_NEAR(Neff, 3.0, 0.05);
    EXPECT_NE(note.find("[custom_background] Neff from Friedmann H^2=8piG/3*rho_tot at Tg = "),
              std::string::npos) << note;

    // What the custom mode cannot answer.
    double e = -1, m = -2, tau = -3, out = -4;
    EXPECT_EQ(nvx_bg_Tnu_of_t(&c, &e, &m, &tau, 1.0), 0);
    EXPECT_EQ(e, -1);
    EXPECT_EQ(m, -2);
    EXPECT_EQ(tau, -3);
    EXPECT_EQ(nvx_bg_Omeganuh2_relnu(&c, &out), 1);
    EXPECT_EQ(nvx_bg_Omeganuh2_nrnu(&c, &out), 1);
    EXPECT_EQ(out, -4);
    char* err = nullptr;
    EXPECT_EQ(nvx_bg_write_time_evolution(&c, write_table("never.tsv", "").c_str(), 5, &err), 1);
    EXPECT_STREQ(err, "nvx_bg_write_time_evolution only supported for NVX_BG_STANDARD");
    std::free(err);
}

TEST(CustomBackground, SeparatorsOrderAndTies) {
    // Tab header with padded titles; rows in reverse time order; two rows with equal t.
    const std::string path = write_table(
        "tabs.tsv", " t \tT\t a\n4\t0.5\t4e-10\n\n3\t0.6\t3e-10\n2\t0.7\t2.1e-10\n2\t0.8\t2e-10\n1\t1\t1e-10\n");
    BgRun r(instantaneous(false), path.c_str());
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    ASSERT_EQ(bg.n_rows, 5u);
    const double t[] = {1, 2, 2, 3, 4}, T_by_t[] = {1, 0.7, 0.8, 0.6, 0.5};
    const double T_asc[] = {0.5, 0.6, 0.7, 0.8, 1}, a_asc[] = {1e-10, 2e-10, 2.1e-10, 3e-10, 4e-10};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(bg.by_t_t[i], t[i]);
        EXPECT_EQ(bg.by_t_T[i], T_by_t[i]);  // equal t keep their file order
        EXPECT_EQ(bg.by_T_T[i], T_asc[i]);
        EXPECT_EQ(bg.by_a_a[i], a_asc[i]);
    }
    // Linear extrapolation beyond the table in every custom lookup, a(t) included.
    EXPECT_NEAR(nvx_bg_a_of_t(&bg, 5.0), 5e-10, 1e-22);
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, 5.0), 0.4, 1e-12);
}

TEST(CustomBackground, TiesAtTheTableEndsStayFinite) {
    // A repeated first and last line (common when tables are concatenated): the zero-wide end
    // segments must not turn the extrapolation into 0/0.
    const std::string path = write_table(
        "ends.csv", "T,t,a\n1,1,1e-10\n1,1,1e-10\n0.5,2,2e-10\n0.25,4,4e-10\n0.25,4,4e-10\n");
    BgRun r(instantaneous(false), path.c_str());
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    // Beyond the ends the lookups continue the nearest segment of non-zero width.
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, 4.0), 0.25, 1e-15);
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, 6.0), 0.25 - 2 * 0.125, 1e-15);
    EXPECT_NEAR(nvx_bg_a_of_t(&bg, 6.0), 6e-10, 1e-22);
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, 1.0), 1.0, 1e-15);
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, 0.5), 1.25, 1e-15);
    EXPECT_NEAR(nvx_bg_t_of_T(&bg, 0.25), 4.0, 1e-15);
    EXPECT_NEAR(nvx_bg_t_of_T(&bg, 1.0), 1.0, 1e-15);
    EXPECT_NEAR(nvx_bg_t_of_a(&bg, 5e-10), 5.0, 1e-12);
    EXPECT_TRUE(std::isfinite(nvx_bg_rhoB_BBN(&bg, 10.0)));
    // A column with one value throughout cannot be interpolated along.
    const std::string flat = write_table("flat.csv", "T,t,a\n1,1,1e-10\n0.5,2,1e-10\n");
    EXPECT_EQ(custom_error(flat), "custom_background file '" + flat + "': column a has the same value in every row");
}

// The late-time expansion rate comes from a power-law fit over the last b rows only: b = n/2
// below 100 rows (at least 2), else 50. Rows before the window follow another law, so a window
// one row too wide or too narrow changes H = p / t_last.
TEST(CustomBackground, LateTimeFitUsesTheLastRows) {
    for (const auto& [n, b] : {std::pair<size_t, size_t>{3, 2}, {10, 5}, {300, 50}}) {
        std::ostringstream table;
        table.precision(17);
        table << "T,t,a\n";
        for (size_t i = 0; i < n; ++i) {
            const double t = 1.0 + double(i);
            const double a = i + b >= n ? 1e-9 * std::sqrt(t) : 2e-9 * t;
            table << 1e-9 / a << "," << t << "," << a << "\n";
        }
        const std::string path = write_table("fit" + std::to_string(n) + ".csv", table.str());
        BgRun r(instantaneous(false), path.c_str());
        ASSERT_TRUE(r.ok()) << r.error;
        testing::internal::CaptureStderr();
        r.Neff();
        const std::string note = testing::internal::GetCapturedStderr();
        const size_t at = note.find("H = ");
        ASSERT_NE(at, std::string::npos) << note;
        EXPECT_NEAR(std::stod(note.substr(at + 4)) * double(n) / 0.5, 1.0, 1e-6) << n;
    }
}

TEST(CustomBackground, Messages) {
    EXPECT_EQ(custom_error("/nonexistent/bg.csv"), "custom_background file '/nonexistent/bg.csv' not found");
    EXPECT_EQ(custom_error(write_table("empty.csv", "")), "custom_background file is empty");
    EXPECT_EQ(custom_error(write_table("noT.csv", "t,a,x\n1,2,3\n")),
              "custom_background file is missing required column(s): T ");
    EXPECT_EQ(custom_error(write_table("case.csv", "temp,time,A\n1,2,3\n")),
              "custom_background file is missing required column(s): T t a ");
    EXPECT_EQ(custom_error(write_table("blank.csv", "\n")),
              "custom_background file is missing required column(s): T t a ");
    // every bad row is named by file and line
    const std::string positive = ": custom_background file: columns T, t, a must all be strictly positive numbers";
    for (const auto& [name, text, line] : std::vector<std::tuple<std::string, std::string, int>>{
             {"zero.csv", "T,t,a\n1,1,1\n0,2,2\n", 3},
             {"neg.csv", "T,t,a\n1,-1,1\n2,2,2\n", 2},
             {"short.csv", "T,t,a\n1,1\n2,2,2\n", 2},
             {"text.csv", "T,t,a\n1,x,1\n2,2,2\n", 2},
             {"glued.csv", "T,t,a\n1,1.5e3x,1\n2,2,2\n", 2},
             {"inf.csv", "T,t,a\n1,inf,1\n2,2,2\n", 2}}) {
        const std::string path = write_table(name, text);
        EXPECT_EQ(custom_error(path), path + ":" + std::to_string(line) + positive);
        size_t n = 7;
        char* err = nullptr;
        EXPECT_EQ(nvx_bg_custom_table_read(path.c_str(), &n, &err), 1);
        EXPECT_EQ(std::string(err ? err : ""), path + ":" + std::to_string(line) + positive);
        std::free(err);
    }
    // Fewer than two rows leave nothing to interpolate.
    const std::string one = write_table("one.csv", "T,t,a\n1,1,1\n");
    EXPECT_EQ(custom_error(one), "custom_background file '" + one + "' needs at least two data rows (found 1)");
    const std::string none = write_table("none.csv", "T,t,a\n");
    EXPECT_EQ(custom_error(none), "custom_background file '" + none + "' needs at least two data rows (found 0)");
    // CRLF files and a trailing blank CRLF line read like their LF counterparts.
    BgRun crlf(instantaneous(false), write_table("crlf.csv", "T,t,a\r\n1,1,1e-10\r\n0.5,4,2e-10\r\n\r\n").c_str());
    EXPECT_TRUE(crlf.ok()) << crlf.error;
    EXPECT_EQ(crlf.bg.n_rows, 2u);
}

TEST(BackgroundOutput, ColumnsRowsAndRange) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const std::string dir = nvx_test::scratch_dir("bg_out");
    const std::string path = dir + "/sub/deeper/bg.tsv";
    char* err = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nvx_bg_write_time_evolution(&r.bg, path.c_str(), 40, &err), 0) << err;
    const std::string notice = testing::internal::GetCapturedStdout();
    EXPECT_EQ(notice, "[output] Background time-evolution data (40 rows) written to " + path + "\n");
    const auto rows = read_tsv(path);
    ASSERT_EQ(rows.size(), 41u);
    const std::vector<std::string> header = {"T [MeV]", "t [s]", "a [1]", "H [s^-1]", "Tnue [MeV]",
                                             "Tnumu [MeV]", "Tnutau [MeV]", "rho_plasma [MeV^4]",
                                             "rho_nu_tot [MeV^4]", "rho_extra [MeV^4]", "rho_tot [MeV^4]"};
    EXPECT_EQ(rows[0], header);
    for (size_t i = 1; i < rows.size(); ++i) ASSERT_EQ(rows[i].size(), 11u);
    EXPECT_NEAR(std::stod(rows[1][0]) / r.c.T_start_cosmo_MeV, 1.0, 1e-6);
    EXPECT_NEAR(std::stod(rows[40][0]) / r.c.T_end_MeV, 1.0, 1e-6);
    // H^2 matches the tabulated total density; the columns add up.
    for (size_t i = 1; i < rows.size(); i += 13) {
        const double H = std::stod(rows[i][3]), rho = std::stod(rows[i][10]);
        const double sum = std::stod(rows[i][7]) + std::stod(rows[i][8]) + std::stod(rows[i][9]);
        EXPECT_NEAR(sum / rho, 1.0, 1e-9);
        const double c = nvx_MeV_to_secm1();
        EXPECT_NEAR(H * H / (c * c) / (8 * M_PI * r.c.G * rho / 3), 1.0, 1e-8);
    }

    const std::string one = dir + "/one.tsv";
    testing::internal::CaptureStdout();
    ASSERT_EQ(nvx_bg_write_time_evolution(&r.bg, one.c_str(), 1, &err), 0) << err;
    testing::internal::GetCapturedStdout();
    const auto single = read_tsv(one);
    ASSERT_EQ(single.size(), 2u);
    EXPECT_NEAR(std::stod(single[1][1]) / nvx_bg_t_of_T(&r.bg, r.c.T_start_cosmo_MeV), 1.0, 1e-9);

    EXPECT_EQ(nvx_bg_write_time_evolution(&r.bg, "/proc/nope/bg.tsv", 3, &err), 1);
    EXPECT_STREQ(err, "nvx_bg_write_time_evolution: cannot open /proc/nope/bg.tsv");
    std::free(err);
    err = nullptr;

    // A write that fails (full device) is reported, and a device named as the output is never
    // removed the way an incomplete regular file is.
    const std::string full = nvx_test::make_device(nvx_test::scratch_dir("bg_output_full"), "full", 7);
    if (!full.empty()) {
        EXPECT_EQ(nvx_bg_write_time_evolution(&r.bg, full.c_str(), 2000, &err), 1);
        EXPECT_EQ(std::string(err ? err : ""), "nvx_bg_write_time_evolution: cannot write " + full);
        std::free(err);
        EXPECT_TRUE(nvx_test::is_char_device(full));
    }
}

TEST(BackgroundOutput, HeatingColumnWithDecouplingTables) {
    BgRun r({{"spectral_distortions", B(false)}});
    ASSERT_TRUE(r.ok()) << r.error;
    const std::string path = nvx_test::scratch_dir("bg_out12") + "/bg.tsv";
    char* err = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(nvx_bg_write_time_evolution(&r.bg, path.c_str(), 25, &err), 0) << err;
    testing::internal::GetCapturedStdout();
    const auto rows = read_tsv(path);
    ASSERT_EQ(rows.size(), 26u);
    ASSERT_EQ(rows[0].size(), 12u);
    EXPECT_EQ(rows[0][7], "Nheating [1]");
    for (size_t i = 1; i < rows.size(); ++i) ASSERT_EQ(rows[i].size(), 12u);
    // Heating stops once the pairs are gone.
    EXPECT_EQ(std::stod(rows[25][7]), 0.0);
}

}  // namespace
