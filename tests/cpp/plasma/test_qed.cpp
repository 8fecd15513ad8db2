// QED pressure corrections: integrals and limits, the computed tables, the table files (format,
// precedence of the three forms, reload precision) and the failure paths.
#include <cmath>
#include <sstream>

#include "nuvex/cache.h"
#include "plasma/qed_pressure.hpp"
#include "plasma_test_util.hpp"

using namespace plasma_test;

namespace {

// Tables are costly (three integrals per point): compute the run's 500-point table once.
const nvx_qed_tables& run_tables() {
    static nvx_qed_tables t = [] {
        nvx_qed_tables tab{};
        char* err = nullptr;
        EXPECT_EQ(nvx_qed_compute_tables(500, &tab, &err, 0.001, 100.0, kAlpha, kMe), 0);
        std::free(err);
        return tab;
    }();
    return t;
}

std::string qed_row(double T, double a, double b, double c) {
    char buf[200];
    std::snprintf(buf, sizeof buf, "%.6E %.6E %.6E %.6E\n", T, a, b, c);
    return buf;
}

// A file form with recognisable constant values v, 2v, 3v on three temperatures.
void write_pair(const std::string& dir, double v) {
    std::string a, b;
    for (double T : {0.01, 1.0, 200.0}) {
        a += qed_row(T, v, 2 * v, 3 * v);
        b += qed_row(T, v, 2 * v, 3 * v);
    }
    write_file(dir + "/QED_pressure_correction_e2.txt", "# e2\n" + a);
    write_file(dir + "/QED_pressure_correction_e3.txt", "# e3\n" + b);
}

void write_combined(const std::string& dir, double v) {
    std::string s;
    for (double T : {0.01, 1.0, 200.0})
        s += std::to_string(T) + " " + std::to_string(v) + " 0 " + std::to_string(2 * v) + " 0 " +
             std::to_string(3 * v) + " 0\n";
    write_file(dir + "/QED_tables.txt", s);
}

void write_triple(const std::string& dir, double v) {
    const char* names[3] = {"QED_P_int.txt", "QED_dP_intdT.txt", "QED_d2P_intdT2.txt"};
    for (int k = 0; k < 3; ++k) {
        std::string s;
        for (double T : {0.01, 1.0, 200.0})
            s += std::to_string(T) + " " + std::to_string((k + 1) * v) + " 0\n";
        write_file(dir + "/" + names[k], s);
    }
}

}  // namespace

TEST(QedIntegrals, MasslessLimitsAndCutoff) {
    const double pi2_12 = kPi * kPi / 12.0;
    EXPECT_NEAR(nvx_qed_I01(0.0), pi2_12, 1e-11);
    EXPECT_NEAR(nvx_qed_I2m1(0.0), pi2_12, 1e-11);
    EXPECT_EQ(nvx_qed_I01(50.5), 0.0);
    EXPECT_EQ(nvx_qed_I2m1(51.0), 0.0);
    // one-loop term: -(5 pi alpha / 72) T^4 for massless pairs, negative at every temperature
    const double T = 100.0;
    const double dPa_limit = -5.0 * kPi * kAlpha / 72.0 * std::pow(T, 4);
    EXPECT_NEAR(nvx_qed_dPa(T, kAlpha, kMe) / dPa_limit, 1.0, 1e-4);
    for (double t : {0.02, 0.1, 1.0, 10.0}) EXPECT_LT(nvx_qed_dPa(t, kAlpha, kMe), 0.0);
    // ring term: (4/3) sqrt(2 pi) alpha^(3/2) T^4 (1/6)^(3/2), positive
    const double dPe3_limit =
        4.0 / 3.0 * std::sqrt(2 * kPi) * std::pow(kAlpha, 1.5) * std::pow(T, 4) * std::pow(1.0 / 6, 1.5);
    EXPECT_NEAR(nvx_qed_dPe3(T, kAlpha, kMe) / dPe3_limit, 1.0, 1e-4);
    // below m_e/50 both vanish exactly
    for (double t : {kMe / 50 * 0.999, 0.005, 1e-3}) {
        EXPECT_EQ(nvx_qed_dPa(t, kAlpha, kMe), 0.0);
        EXPECT_EQ(nvx_qed_dPe3(t, kAlpha, kMe), 0.0);
    }
}

TEST(QedTables, GridDerivativesAndFailures) {
    const nvx_qed_tables& t = run_tables();
    ASSERT_EQ(t.n, 500u);
    EXPECT_NEAR(t.T[0], 0.001, 1e-18);
    EXPECT_NEAR(t.T[499], 100.0, 1e-11);
    for (size_t i = 0; i < t.n && t.T[i] < kMe / 50; ++i) {
        EXPECT_EQ(t.dPa[i], 0.0);
        EXPECT_EQ(t.dPe3[i], 0.0);
        // spline ringing from the onset decays by ~0.27 per knot: negligible on any physical scale
        EXPECT_LT(std::fabs(t.dPa_dT[i]), 1e-12 * std::pow(t.T[i], 3)) << i;
    }
    // knot derivatives against centred differences of the exact correction (the spline's
    // derivative error on a 2.3 % step is ~1e-5 where the mass threshold bends the curve)
    for (size_t i : {250u, 350u, 450u, 499u}) {
        const double T = t.T[i], h = 1e-3 * T;
        const double d = (nvx_qed_dPa(T + h, kAlpha, kMe) - nvx_qed_dPa(T - h, kAlpha, kMe)) / (2 * h);
        EXPECT_NEAR(t.dPa_dT[i] / d, 1.0, 5e-5) << T;
        const double d3 = (nvx_qed_dPe3(T + h, kAlpha, kMe) - nvx_qed_dPe3(T - h, kAlpha, kMe)) / (2 * h);
        EXPECT_NEAR(t.dPe3_dT[i] / d3, 1.0, 5e-5) << T;
    }
    // at high T both scale as T^4: T^2 P'' / P -> 12
    EXPECT_NEAR(t.d2Pa_dT2[499] * 1e4 / t.dPa[499], 12.0, 0.01);

    nvx_qed_tables small{};
    char* err = nullptr;
    EXPECT_EQ(nvx_qed_compute_tables(3, &small, &err, 0.001, 100.0, kAlpha, kMe), 1);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "nvx_qed_compute_tables: n_pts must be >= 4 (not-a-knot spline minimum)");
    std::free(err);
    EXPECT_EQ(small.T, nullptr);
    nvx_qed_tables_free(&small);
}

TEST(QedFiles, SaveFormatAndReloadToSevenDigits) {
    TestConfig cfg(50);
    cfg.c.QED_corrections = 1;
    cfg.c.recompute_qed_corrections = 1;
    Plasma computed(&cfg.c);
    ASSERT_EQ(computed.rc, 0) << computed.error;
    EXPECT_EQ(computed.p.P_int.use_spline, 1);
    const std::string dir = cfg.plasma_cache_dir();
    std::istringstream e2(read_file(dir + "/QED_pressure_correction_e2.txt"));
    std::string line;
    const char* header[4] = {
        "# Source: DIDIVA qed_pressure -- QED plasma-pressure correction delta_P_a(T)",
        "# delta_P_a: O(e^2), one-loop (Frenkel-Galitskii-Migdal)", nullptr,
        "# T [MeV]       dP_a [MeV^4]      d(dP_a)/dT [MeV^3]  d2(dP_a)/dT2 [MeV^2]"};
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(std::getline(e2, line));
        if (header[k]) EXPECT_EQ(line, header[k]);
        else EXPECT_EQ(line.rfind("# Reference: ", 0), 0u);
    }
    ASSERT_TRUE(std::getline(e2, line));
    EXPECT_EQ(line.rfind("1.000000E-03 0.000000E+00 ", 0), 0u) << line;
    std::istringstream e3(read_file(dir + "/QED_pressure_correction_e3.txt"));
    std::getline(e3, line);
    EXPECT_EQ(line, "# Source: DIDIVA qed_pressure -- QED plasma-pressure correction delta_P_e3(T)");
    std::getline(e3, line);
    EXPECT_EQ(line, "# delta_P_e3: O(e^3), ring/plasmon (Blaizot-Zinn-Justin)");

    cfg.c.recompute_qed_corrections = 0;
    Plasma loaded(&cfg.c);
    ASSERT_EQ(loaded.rc, 0) << loaded.error;
    EXPECT_EQ(loaded.p.P_int.use_spline, 0);
    // the files hold the computed tables to seven significant digits
    const nvx_qed_tables& t = run_tables();
    NVXTable f2{}, f3{};
    ASSERT_EQ(nvx_table_read((dir + "/QED_pressure_correction_e2.txt").c_str(), 4, &f2, nullptr), 0);
    ASSERT_EQ(nvx_table_read((dir + "/QED_pressure_correction_e3.txt").c_str(), 4, &f3, nullptr), 0);
    ASSERT_EQ(f2.nrows, t.n);
    const double* cols2[4] = {t.T, t.dPa, t.dPa_dT, t.d2Pa_dT2};
    const double* cols3[4] = {t.T, t.dPe3, t.dPe3_dT, t.d2Pe3_dT2};
    for (size_t i = 0; i < t.n; ++i)
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(f2.columns[k][i], cols2[k][i], 5.000001e-7 * std::fabs(cols2[k][i])) << i;
            EXPECT_NEAR(f3.columns[k][i], cols3[k][i], 5.000001e-7 * std::fabs(cols3[k][i])) << i;
        }
    // the reloaded interpolants are linear in the summed orders; where dP ~ T^4 they agree with
    // the computed splines to the rounding of value and abscissa
    for (size_t i = 0; i < t.n; ++i) {
        const double Tf = f2.columns[0][i];
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_P(&loaded.p, Tf), f2.columns[1][i] + f3.columns[1][i]);
        if (t.T[i] < 1.0) continue;
        EXPECT_NEAR(nvx_plasma_qed_P(&loaded.p, Tf) / nvx_plasma_qed_P(&computed.p, t.T[i]), 1.0, 3e-6);
        EXPECT_NEAR(nvx_plasma_qed_P(&computed.p, t.T[i]) / (t.dPa[i] + t.dPe3[i]), 1.0, 1e-14);
    }
    nvx_table_free(&f2);
    nvx_table_free(&f3);
    // above the table: linear continuation of the last segment
    const double T1 = t.T[498], T2 = t.T[499];
    const double P1 = nvx_plasma_qed_P(&loaded.p, T1), P2 = nvx_plasma_qed_P(&loaded.p, T2);
    EXPECT_NEAR(nvx_plasma_qed_P(&loaded.p, 150.0), P2 + (P2 - P1) * (150 - T2) / (T2 - T1),
                1e-9 * std::fabs(P2));
}

TEST(QedFiles, PrecedencePairCombinedTriple) {
    TestConfig cfg(50);
    cfg.c.QED_corrections = 1;
    const std::string dir = cfg.plasma_cache_dir();
    ASSERT_EQ(nvx_mkdirs(dir.c_str()), 0);
    write_triple(dir, 7.0);
    {
        Plasma p(&cfg.c);
        ASSERT_EQ(p.rc, 0) << p.error;
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_P(&p.p, 0.5), 7.0);
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_dP_dT(&p.p, 0.5), 14.0);
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_d2P_dT2(&p.p, 0.5), 21.0);
    }
    write_combined(dir, 5.0);
    {
        Plasma p(&cfg.c);
        ASSERT_EQ(p.rc, 0) << p.error;
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_P(&p.p, 0.5), 5.0);
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_d2P_dT2(&p.p, 0.5), 15.0);
    }
    write_pair(dir, 1.5);
    {
        Plasma p(&cfg.c);
        ASSERT_EQ(p.rc, 0) << p.error;
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_P(&p.p, 0.5), 3.0);  // e2 + e3
        EXPECT_DOUBLE_EQ(nvx_plasma_qed_dP_dT(&p.p, 0.5), 6.0);
    }
    // a malformed file of the chosen form fails: no fall-back to another form
    write_file(dir + "/QED_pressure_correction_e3.txt", "0.01 1 2\n1 1 2\n");
    Plasma bad(&cfg.c);
    EXPECT_EQ(bad.rc, 1);
    EXPECT_NE(bad.error.find("QED_pressure_correction_e3.txt:1: expected 4 columns, found 3"),
              std::string::npos)
        << bad.error;
    // pair files on different temperature rows are refused, not summed
    std::string e3;
    for (double T : {0.01, 1.0}) e3 += qed_row(T, 1, 2, 3);
    write_file(dir + "/QED_pressure_correction_e3.txt", e3);
    Plasma mismatch(&cfg.c);
    EXPECT_EQ(mismatch.rc, 1);
    EXPECT_NE(mismatch.error.find("2 data rows"), std::string::npos) << mismatch.error;
}

TEST(QedFiles, WarningAboveTableAndUnwritableDirectory) {
    TestConfig cfg(20);
    cfg.c.QED_corrections = 1;
    cfg.c.T_start_cosmo_MeV = 150.0;
    const std::string dir = cfg.plasma_cache_dir();
    ASSERT_EQ(nvx_mkdirs(dir.c_str()), 0);
    write_pair(dir, 1.0);
    testing::internal::CaptureStderr();
    {
        Plasma p(&cfg.c);
        EXPECT_EQ(p.rc, 0) << p.error;
    }
    const std::string warn = testing::internal::GetCapturedStderr();
    EXPECT_EQ(warn,
              "warning: T_start_cosmo_MeV=150 MeV exceeds the QED plasma-pressure correction "
              "table's fixed upper bound (100 MeV); dP_QED will be linearly extrapolated above 100 "
              "MeV, underestimating its true (~T^4) growth. Neff/YP results above this temperature "
              "may be biased.\n");

    // recompute into a directory that cannot be created: logged once, run goes on
    TestConfig blocked(20);
    blocked.c.QED_corrections = 1;
    blocked.c.recompute_qed_corrections = 1;
    blocked.c.verbose = 1;
    write_file(blocked.dir + "/file", "x");
    blocked.set_string("cache_dir", (blocked.dir + "/file/sub").c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Plasma p(&blocked.c);
    const std::string warned = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.rc, 0) << p.error;
    const std::string qed_line = "[plasma-c] could not write cache to " + blocked.dir +
                                 "/file/sub/plasma: results are unaffected, but the next run will "
                                 "recompute. Set the cache_dir parameter to redirect the cache to "
                                 "a writable directory.\n";
    EXPECT_NE(warned.find(qed_line), std::string::npos) << warned;
    EXPECT_NE(out.find("[init-c] Computing QED plasma-pressure tables (recompute requested)..."),
              std::string::npos);
    EXPECT_NE(out.find("[init-c] QED pressure corrections tables loaded.\n"), std::string::npos);
}
