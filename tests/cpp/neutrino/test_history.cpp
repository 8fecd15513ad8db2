// Neutrino history: instantaneous decoupling by entropy conservation, decoupling tables written by
// the test (row order, lookups, default names, malformed files) and the spectral tables.
#include <cmath>
#include <vector>

#include "nuvex/neutrino.h"
#include "plasma/plasma_test_util.hpp"

using namespace plasma_test;

namespace {

struct History {
    nvx_neutrino_history h{};
    int rc = 1;
    std::string error;
    History(const NVXConfig* c, const nvx_plasma* p) {
        char* err = nullptr;
        rc = nvx_neutrino_history_init(&h, c, p, &err);
        if (err) error = err;
        std::free(err);
    }
    ~History() { nvx_neutrino_history_free(&h); }
};

// Rows of (x, z_gamma, z_nue, z_numu, z_nutau, Nheating, unused) with T_gamma = m_e z / x from
// 10 MeV down to 0.01 MeV; ratios drift from 1 to about (4/11)^(1/3).
std::string main_table(bool high_to_low) {
    std::vector<std::string> rows;
    for (int i = 0; i <= 30; ++i) {
        const double T = 10.0 * std::pow(1e-3, i / 30.0);
        const double x = kMe / T * 1.2;  // z_gamma = 1.2
        const double r = 1.0 - (1.0 - 0.714) * (1.0 - std::tanh(std::log(T / 0.3)) ) / 2.0;
        char buf[256];
        std::snprintf(buf, sizeof buf, "%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,0\n", x, 1.2, 1.2 * r,
                      1.2 * r * 0.999, 1.2 * r * 0.998, 0.01 * i);
        rows.push_back(buf);
    }
    std::string out = "# x zg znue znumu znutau N unused\n";
    if (high_to_low)
        for (auto& r : rows) out += r;
    else
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) out += *it;
    return out;
}

void tabulated(TestConfig& cfg, const std::string& name) {
    cfg.c.incomplete_decoupling = 1;
    cfg.c.spectral_distortions = 0;
    cfg.c.analytic_distortions = 0;
    cfg.set_string("solan_file", name.c_str());
}

}  // namespace

TEST(NeutrinoHistory, InstantaneousFollowsEntropy) {
    TestConfig cfg(100);
    cfg.c.incomplete_decoupling = 0;
    Plasma pl(&cfg.c);
    ASSERT_EQ(pl.rc, 0) << pl.error;
    History h(&cfg.c, &pl.p);
    ASSERT_EQ(h.rc, 0) << h.error;
    EXPECT_EQ(h.h.mode, NVX_NU_MODE_INSTANTANEOUS);
    EXPECT_EQ(h.h.entropy_coefficient, 2.4125699647107317);
    for (double T : {20.0, 1.0, 0.3, 0.01}) {
        EXPECT_NEAR(nvx_nu_Tnue_of_Tg(&h.h, T), nvx_plasma_T_nu_decoupling(&pl.p, T), 1e-14 * T);
        EXPECT_EQ(nvx_nu_Tnumu_of_Tg(&h.h, T), nvx_nu_Tnutau_of_Tg(&h.h, T));
        EXPECT_EQ(nvx_nu_N_SOLAN_of_Tg(&h.h, T), 0.0);
        EXPECT_EQ(nvx_nu_x_of_Tg(&h.h, T), 0.0);
    }
    cfg.c.QED_corrections = 1;
    History q(&cfg.c, &pl.p);
    EXPECT_DOUBLE_EQ(q.h.entropy_coefficient, 2.406768858148473);
}

TEST(NeutrinoHistory, TableOrderDoesNotMatter) {
    TestConfig cfg(50);
    write_file(cfg.dir + "/down.csv", main_table(true));
    write_file(cfg.dir + "/up.csv", main_table(false));
    tabulated(cfg, (cfg.dir + "/down.csv").c_str());
    History a(&cfg.c, nullptr);
    ASSERT_EQ(a.rc, 0) << a.error;
    tabulated(cfg, (cfg.dir + "/up.csv").c_str());
    History b(&cfg.c, nullptr);
    ASSERT_EQ(b.rc, 0) << b.error;
    ASSERT_EQ(a.h.n, 31u);
    ASSERT_EQ(b.h.n, a.h.n);
    for (size_t i = 0; i < a.h.n; ++i) {
        EXPECT_EQ(a.h.Tg[i], b.h.Tg[i]);
        EXPECT_EQ(a.h.ratio_nue[i], b.h.ratio_nue[i]);
        EXPECT_EQ(a.h.Nheating[i], b.h.Nheating[i]);
        EXPECT_EQ(a.h.lnx[i], b.h.lnx[i]);
        if (i) {
            EXPECT_GT(a.h.Tg[i], a.h.Tg[i - 1]);
        }
    }
    EXPECT_EQ(a.h.Tg_min, b.h.Tg_min);
    EXPECT_EQ(a.h.x_at_Tg_min, b.h.x_at_Tg_min);
    EXPECT_NEAR(a.h.Tg_min, 0.01, 1e-12);
    EXPECT_NEAR(a.h.Tg_max, 10.0, 1e-12);
    EXPECT_NEAR(a.h.x_at_Tg_max, kMe / 10.0 * 1.2, 1e-15);
}

TEST(NeutrinoHistory, TabulatedLookups) {
    TestConfig cfg(50);
    write_file(cfg.dir + "/t.csv", main_table(true));
    tabulated(cfg, cfg.dir + "/t.csv");
    History h(&cfg.c, nullptr);
    ASSERT_EQ(h.rc, 0) << h.error;
    const nvx_neutrino_history* H = &h.h;
    // below the table: the low-temperature ratio, no heating, x ~ 1/T
    const double r_low = H->ratio_nue[0];
    EXPECT_NEAR(r_low, 0.714, 2e-3);
    EXPECT_DOUBLE_EQ(nvx_nu_Tnue_of_Tg(H, 1e-3), 1e-3 * r_low);
    EXPECT_DOUBLE_EQ(nvx_nu_Tnumu_of_Tg(H, 1e-3), 1e-3 * H->ratio_numu[0]);
    EXPECT_EQ(nvx_nu_N_SOLAN_of_Tg(H, 1e-3), 0.0);
    EXPECT_EQ(nvx_nu_N_SOLAN_of_Tg(H, 20.0), 0.0);
    EXPECT_DOUBLE_EQ(nvx_nu_x_of_Tg(H, 1e-3), 0.01 * H->x_at_Tg_min / 1e-3);
    EXPECT_DOUBLE_EQ(nvx_nu_x_of_Tg(H, 20.0), 10.0 * H->x_at_Tg_max / 20.0);
    EXPECT_DOUBLE_EQ(nvx_nu_Tnutau_of_Tg(H, 20.0), 20.0 * H->ratio_nutau[H->n - 1]);
    // inside: x = 1.2 m_e / T exactly (linear in log-log), heating interpolated between rows
    for (double T : {0.02, 0.5, 3.0}) EXPECT_NEAR(nvx_nu_x_of_Tg(H, T) * T / (1.2 * kMe), 1.0, 1e-12);
    const double T_mid = std::sqrt(H->Tg[10] * H->Tg[11]);
    const double N = nvx_nu_N_SOLAN_of_Tg(H, T_mid);
    EXPECT_GT(N, std::min(H->Nheating[10], H->Nheating[11]));
    EXPECT_LT(N, std::max(H->Nheating[10], H->Nheating[11]));
    EXPECT_EQ(nvx_nu_N_SOLAN_of_Tg(H, H->Tg[5]), H->Nheating[5]);
}

TEST(NeutrinoHistory, PathsAndDefaultNames) {
    TestConfig cfg(50);
    char buf[512];
    EXPECT_EQ(nvx_resolve_solan_path(&cfg.c, nullptr, "A.csv", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), cfg.dir + "/data/SOLAN/A.csv");
    EXPECT_EQ(nvx_resolve_solan_path(&cfg.c, "/abs/B.csv", "A.csv", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/abs/B.csv");
    EXPECT_EQ(nvx_resolve_solan_path(&cfg.c, "rel/C.csv", "A.csv", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), cfg.dir + "/data/SOLAN/rel/C.csv");
    EXPECT_EQ(nvx_resolve_solan_path(&cfg.c, "/abs/B.csv", "A.csv", buf, 5), 1);

    // without QED the default main table is <prefix>_NoQED_col_1_7.csv under SOLAN
    cfg.c.incomplete_decoupling = 1;
    cfg.c.spectral_distortions = 0;
    History h(&cfg.c, nullptr);
    EXPECT_EQ(h.rc, 1);
    EXPECT_EQ(h.error, "cannot open table file '" + cfg.dir + "/data/SOLAN/SOLANNUVEX_NoQED_col_1_7.csv'");
    cfg.c.QED_corrections = 1;
    History q(&cfg.c, nullptr);
    EXPECT_EQ(q.error, "cannot open table file '" + cfg.dir + "/data/SOLAN/SOLANNUVEX_col_1_7.csv'");
    EXPECT_EQ(q.h.Tg, nullptr);
}

TEST(NeutrinoHistory, MalformedTablesFail) {
    TestConfig cfg(50);
    const std::string f = cfg.dir + "/bad.csv";
    tabulated(cfg, f);
    write_file(f, "1 2 3 4 5 6 7\n1 2 3 4 5 6\n");
    History cols(&cfg.c, nullptr);
    EXPECT_EQ(cols.rc, 1);
    EXPECT_EQ(cols.error, f + ":2: expected 7 columns, found 6");
    write_file(f, "# nothing\n");
    History empty(&cfg.c, nullptr);
    EXPECT_EQ(empty.error, f + ": no data rows found");
    write_file(f, "1 1 1 1 1 0 0\n0 1 1 1 1 0 0\n");
    History zero(&cfg.c, nullptr);
    EXPECT_EQ(zero.error, f + ": data row 2: column 1 must be a positive number");
    // a folded temperature column cannot be interpolated
    write_file(f, "1 1 1 1 1 0 0\n2 1 1 1 1 0 0\n0.5 1 1 1 1 0 0\n");
    History fold(&cfg.c, nullptr);
    EXPECT_EQ(fold.rc, 1);
    EXPECT_NE(fold.error.find("photon temperature is not monotonic"), std::string::npos) << fold.error;
    EXPECT_EQ(fold.h.n, 0u);
}

namespace {

// Spectral table over x in [1, 100] with z_gamma = 1 and a relative distortion linear in ln x
// and in the momentum (so that bilinear interpolation is exact) in its first `filled` distortion
// columns (default: as many as the grid has momenta; the rest zero padding), and a grid of n_mom
// momenta.
void write_spectral(const std::string& dir, size_t n_mom, bool reverse, size_t filled = 0) {
    if (filled == 0) filled = n_mom;
    std::vector<std::string> rows;
    for (int i = 0; i <= 20; ++i) {
        const double x = std::pow(100.0, i / 20.0);
        std::string r = std::to_string(x) + " 1 0 0 0 0";
        for (size_t j = 0; j < 80; ++j) {
            const double y = 0.5 * double(j + 1);
            char b[64];
            std::snprintf(b, sizeof b, " %.17g", j < filled ? 1e-3 * std::log(x) + 2e-4 * y : 0.0);
            r += b;
        }
        rows.push_back(r + "\n");
    }
    std::string s;
    if (reverse)
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) s += *it;
    else
        for (auto& r : rows) s += r;
    write_file(dir + "/spectrum.csv", s);
    std::string g;
    for (size_t j = 0; j < n_mom; ++j) g += std::to_string(0.5 * double(j + 1)) + "\n";
    write_file(dir + "/grid.csv", g);
}

void spectral(TestConfig& cfg) {
    write_file(cfg.dir + "/t.csv", main_table(true));
    tabulated(cfg, cfg.dir + "/t.csv");
    cfg.c.spectral_distortions = 1;
    cfg.set_string("solan_spectral_file", (cfg.dir + "/spectrum.csv").c_str());
    cfg.set_string("solan_grid_file", (cfg.dir + "/grid.csv").c_str());
}

}  // namespace

TEST(NeutrinoSpectral, BilinearDistortionIsExactAndOdd) {
    TestConfig cfg(50);
    spectral(cfg);
    write_spectral(cfg.dir, 30, true);
    History h(&cfg.c, nullptr);
    ASSERT_EQ(h.rc, 0) << h.error;
    const nvx_neutrino_history* H = &h.h;
    ASSERT_EQ(H->spectral_loaded, 1);
    EXPECT_EQ(H->n_spec, 21u);
    EXPECT_EQ(H->n_mom, 30u);
    EXPECT_DOUBLE_EQ(H->w_min, 1.0);
    EXPECT_DOUBLE_EQ(H->w_max, 100.0);
    const double z = 7.3, t = 0.9, z_nu = 9.0;  // x = w = z here, y = t x
    const double x = 7.3, y = t * x;
    const double delta = 1e-3 * std::log(x) + 2e-4 * y;
    const double F = 1.0 / (std::exp(y) + 1.0), Fref = 1.0 / (std::exp(t * z_nu) + 1.0);
    EXPECT_NEAR(nvx_nu_dFDneu(H, t, z, z_nu, 1.0), (1 + delta) * F - Fref, 1e-12);
    EXPECT_NEAR(nvx_nu_dFDneu(H, -t, z, z_nu, 1.0), -((1 + delta) * F - Fref), 1e-12);
    // outside the covered plasma temperatures, or beyond the momentum grid: 0
    EXPECT_EQ(nvx_nu_dFDneu(H, t, 0.5, z_nu, 1.0), 0.0);
    EXPECT_EQ(nvx_nu_dFDneu(H, t, 150.0, z_nu, 1.0), 0.0);
    EXPECT_EQ(nvx_nu_dFDneu(H, 3.0, 10.0, z_nu, 1.0), 0.0);  // y = 30 > grid_max 15
    for (int k = 0; k < 8; ++k) EXPECT_EQ(nvx_nu_dFDneu_moment(H, k, t, z, z_nu, 1.0), 0.0);
}

TEST(NeutrinoSpectral, BadSpectralFiles) {
    TestConfig cfg(50);
    spectral(cfg);
    write_spectral(cfg.dir, 81, false);
    History big(&cfg.c, nullptr);
    EXPECT_EQ(big.rc, 1);
    EXPECT_NE(big.error.find("81 grid momenta"), std::string::npos) << big.error;
    EXPECT_EQ(big.h.Tg, nullptr);
    // a grid one momentum short of the spectrum's 80 distortion columns pairs every column with the
    // wrong momentum: refused, naming both files and the first column beyond the grid
    write_spectral(cfg.dir, 79, false, 80);
    History short_grid(&cfg.c, nullptr);
    EXPECT_EQ(short_grid.rc, 1);
    EXPECT_EQ(short_grid.error, cfg.dir + "/grid.csv: 79 grid momenta, but the spectral table " + cfg.dir +
                                    "/spectrum.csv holds distortions in 80 columns (column 86, data row 1, is not "
                                    "zero): the grid needs one momentum per distortion column");
    write_spectral(cfg.dir, 3, false);
    write_file(cfg.dir + "/grid.csv", "1\n2\n2\n");
    History repeated(&cfg.c, nullptr);
    EXPECT_EQ(repeated.error, cfg.dir + "/grid.csv: data row 3: grid momenta must be finite, non-negative and "
                                        "increasing");
    write_file(cfg.dir + "/grid.csv", "# empty\n");
    History empty(&cfg.c, nullptr);
    EXPECT_EQ(empty.error, "nvx_resolve_solan_path: SOLAN spectral/grid table has no data rows");
    write_file(cfg.dir + "/spectrum.csv", "1 2 3\n");
    History cols(&cfg.c, nullptr);
    EXPECT_EQ(cols.error, cfg.dir + "/spectrum.csv:1: expected 86 columns, found 3");
}
