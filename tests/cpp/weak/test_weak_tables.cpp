// Weak-rate tables: cache round trips and file names, bypass rules, interpolation thresholds,
// malformed cache files, and the thermal-correction table (zero below 10^8.2 K, thread-count
// independence, normalisation, cache precedence).
#include <dirent.h>

#include <fstream>

#include "weak_fixture.hpp"

using namespace weak_test;

namespace {

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string weak_file(const NVXConfig& cfg) {
    NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
    size_t n = nvx_weak_rate_fingerprint(&cfg, e);
    char* h = nvx_fingerprint_hash(e, n);
    std::string name = std::string("nTOp_") + h + ".txt";
    nvx_free(h);
    return name;
}

void small_thermal(NVXConfig& cfg) {
    cfg.thermal_corrections = 1;
    cfg.vegas_n_eval = 300;
    cfg.vegas_n_itn = 2;
    cfg.sampling_nTOp_thermal_per_decade = 2;
}

}  // namespace

TEST(WeakTables, CacheRoundTripAndFileNames) {
    Fixture f("weak_cache");
    f.cfg.radiative_corrections = 1;
    f.cfg.finite_mass_corrections = 1;
    nvx_weak_rates fresh{}, cached{};
    ASSERT_EQ(0, f.init(&fresh));
    const std::string dir = f.cache + "/weak";
    ASSERT_EQ(std::vector<std::string>{weak_file(f.cfg)}, files_in(dir));
    // n = lround(4 decades x 10) points from T_end to 10 MeV.
    ASSERT_EQ(40u, fresh.n);
    EXPECT_NEAR(fresh.T[0], K_of_MeV(0.001), 1e-6 * fresh.T[0]);
    EXPECT_NEAR(fresh.T[39], K_of_MeV(10.0), 1e-6 * fresh.T[39]);
    ASSERT_EQ(0, f.init(&cached));
    ASSERT_EQ(fresh.n, cached.n);
    for (size_t i = 0; i < fresh.n; ++i) {
        EXPECT_DOUBLE_EQ(fresh.T[i], cached.T[i]);
        EXPECT_DOUBLE_EQ(fresh.rate_nTOp[i], cached.rate_nTOp[i]);
        EXPECT_DOUBLE_EQ(fresh.rate_pTOn[i], cached.rate_pTOn[i]);
    }
    for (double T : {2e7, 3.3e9, 1.1e11})
        EXPECT_DOUBLE_EQ(nvx_weak_rate_nTOp(&fresh, T), nvx_weak_rate_nTOp(&cached, T));
    // The cached values are the normalised rates: free decay at low temperature.
    EXPECT_NEAR(cached.rate_nTOp[0], 1.0, 1e-4);
    // Another fingerprint, another file; the first one stays.
    const std::string first = weak_file(f.cfg);
    f.cfg.finite_mass_corrections = 0;
    nvx_weak_rates other{};
    ASSERT_EQ(0, f.init(&other));
    auto names = files_in(dir);
    ASSERT_EQ(2u, names.size());
    EXPECT_NE(first, weak_file(f.cfg));
    EXPECT_NE(other.rate_nTOp[30], fresh.rate_nTOp[30]);
    nvx_weak_rates_free(&fresh);
    nvx_weak_rates_free(&cached);
    nvx_weak_rates_free(&other);
    nvx_weak_rates_free(&other);  // twice is harmless
}

TEST(WeakTables, CacheSwitchesAndDistortionBypass) {
    Fixture f("weak_bypass");
    const std::string dir = f.cache + "/weak";
    f.cfg.save_nTOp = 0;
    nvx_weak_rates r{};
    ASSERT_EQ(0, f.init(&r));
    EXPECT_TRUE(files_in(dir).empty());
    nvx_weak_rates_free(&r);

    // With both distortion flags on, nothing is written, and a planted file is not read.
    nvx_neutrino_history h = analytic_history(0.0, 0.0, 0.0);
    f.cfg.save_nTOp = 1;
    f.cfg.spectral_distortions = 1;
    f.cfg.analytic_distortions = 1;
    ASSERT_EQ(0, f.init(&r, &h));
    EXPECT_TRUE(files_in(dir).empty());
    nvx_weak_rates_free(&r);
    ASSERT_EQ(0, nvx_mkdirs(dir.c_str()));
    nvx_test::write_file(dir + "/" + weak_file(f.cfg), "garbage\n");
    ASSERT_EQ(0, f.init(&r, &h));
    nvx_weak_rates_free(&r);

    // "weak_rate_cache" off: an existing (even broken) file is ignored and overwritten.
    f.cfg.spectral_distortions = 0;
    f.cfg.analytic_distortions = 0;
    nvx_test::write_file(dir + "/" + weak_file(f.cfg), "garbage\n");
    f.cfg.weak_rate_cache = 0;
    ASSERT_EQ(0, f.init(&r));
    nvx_weak_rates_free(&r);
    f.cfg.weak_rate_cache = 1;
    ASSERT_EQ(0, f.init(&r));
    EXPECT_EQ(40u, r.n);
    nvx_weak_rates_free(&r);
}

TEST(WeakTables, MalformedCacheFilesAreReported) {
    Fixture f("weak_bad");
    const std::string dir = f.cache + "/weak";
    ASSERT_EQ(0, nvx_mkdirs(dir.c_str()));
    const std::string path = dir + "/" + weak_file(f.cfg);
    nvx_weak_rates r{};
    std::string msg;
    for (const char* text : {"1 2\n3 4\n", "1e9 1 0\n", "2e9 1 0\n1e9 1 0\n", "1e9 nan 0\n2e9 1 0\n"}) {
        nvx_test::write_file(path, text);
        EXPECT_EQ(1, f.init(&r, nullptr, &msg)) << text;
        EXPECT_NE(std::string::npos, msg.find(path)) << msg;
        EXPECT_EQ(nullptr, r.T);
        EXPECT_EQ(0u, r.n);
    }
}

TEST(WeakTables, SparseGridsAndThresholds) {
    Fixture f("weak_sparse");
    f.cfg.sampling_nTOp_per_decade = 0;
    nvx_weak_rates r{};
    ASSERT_EQ(0, f.init(&r));
    EXPECT_EQ(2u, r.n);
    EXPECT_EQ(0, r.interp_nTOp.use_spline);
    nvx_weak_rates_free(&r);

    // The p->n rate vanishes in the cold end of the table: 0 below its first positive entry.
    f.cfg.sampling_nTOp_per_decade = 20;
    ASSERT_EQ(0, f.init(&r));
    ASSERT_EQ(80u, r.n);
    EXPECT_EQ(0.0, r.rate_pTOn[0]);
    ASSERT_GT(r.interp_pTOn.T_min, r.T[0]);
    EXPECT_EQ(-INFINITY, r.interp_nTOp.T_min);
    EXPECT_EQ(0.0, nvx_weak_rate_pTOn(&r, std::nextafter(r.interp_pTOn.T_min, 0.0)));
    EXPECT_GT(nvx_weak_rate_pTOn(&r, r.interp_pTOn.T_min), 0.0);
    // Log-log spline reproduces the knots and the exact rate between them.
    nvx_weak_ctx c = f.ctx();
    const double fn = nvx_compute_fn(&f.cfg);
    for (double T_MeV : {0.05, 0.3, 0.77, 2.0, 7.0}) {
        const double T = K_of_MeV(T_MeV);
        EXPECT_NEAR(nvx_weak_rate_nTOp(&r, T) / (nvx_weak_rate_term(&c, T, +1) / fn), 1.0, 2e-4);
        EXPECT_NEAR(nvx_weak_rate_pTOn(&r, T) / (nvx_weak_rate_term(&c, T, -1) / fn), 1.0, 2e-4);
    }
    nvx_weak_ctx_free(&c);
    nvx_weak_rates_free(&r);
}

TEST(WeakThermal, ZeroBelowThresholdAndThreadIndependent) {
    Fixture f("weak_th");
    small_thermal(f.cfg);
    nvx_weak_ctx c = f.ctx();
    EXPECT_EQ(0.0, nvx_weak_thermal_correction(&c, 1.58e8, +1));
    EXPECT_EQ(0.0, nvx_weak_thermal_correction(&c, 1e7, -1));
    const std::vector<double> T = {1.6e8, 1e9, 1e10, 1.16e11};
    std::vector<double> a1(4), b1(4), a2(4), b2(4);
    nvx_weak_thermal_table(&c, T.data(), 4, 1, 0, a1.data(), b1.data());
    nvx_weak_thermal_table(&c, T.data(), 4, 2, 0, a2.data(), b2.data());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(a1[i], a2[i]);
        EXPECT_EQ(b1[i], b2[i]);
        EXPECT_TRUE(std::isfinite(a1[i]) && std::isfinite(b1[i]));
    }
    // Reproducible point by point, and small next to the rates themselves (well below 1 %).
    EXPECT_EQ(a1[2], nvx_weak_thermal_correction(&c, 1e10, +1));
    for (size_t i = 0; i < 4; ++i) {
        const double rate = nvx_weak_rate_integral(&c, NVX_WEAK_BORN, T[i], +1);
        EXPECT_LT(std::fabs(a1[i]), 0.01 * rate) << T[i];
    }
    nvx_weak_ctx_free(&c);
}

TEST(WeakThermal, TableCacheAndNormalisation) {
    Fixture f("weak_thc");
    small_thermal(f.cfg);
    nvx_weak_rates fresh{}, cached{};
    ASSERT_EQ(0, f.init(&fresh));
    ASSERT_EQ(1, fresh.has_thermal);
    // lround(2 per decade x (log10(10 MeV in K) - 8.2)) = lround(5.73) points from 10^8.2 K.
    ASSERT_EQ(6u, fresh.n_th);
    EXPECT_NEAR(fresh.T_th[0], 158489319.2461111, 1.0);
    NVXFingerprintEntry e[NVX_THERMAL_FINGERPRINT_LEN];
    char* h = nvx_fingerprint_hash(e, nvx_thermal_fingerprint(&f.cfg, e));
    const std::string path = f.cache + "/weak/nTOp_thermal_" + h + ".txt";
    nvx_free(h);
    const std::string text = nvx_test::read_file(path);
    EXPECT_NE(std::string::npos, text.find("# T[K] L_nTOpCCRTh L_pTOnCCRTh\n")) << text;
    EXPECT_NE(std::string::npos, text.find("# provenance: backend=c algorithm=vegas vegas_n_eval=300 vegas_n_itn=2\n"));
    // The file keeps unnormalised values; the record divides by f_n.
    NVXTable tab{};
    char* err = nullptr;
    ASSERT_EQ(0, nvx_table_read(path.c_str(), 3, &tab, &err));
    const double fn = nvx_compute_fn(&f.cfg);
    EXPECT_DOUBLE_EQ(tab.columns[1][2] / fn, fresh.L_nTOp[2]);
    nvx_table_free(&tab);
    // A present file is used even with "weak_rate_cache" off and with other VEGAS settings.
    f.cfg.weak_rate_cache = 0;
    f.cfg.vegas_n_eval = 7;
    ASSERT_EQ(0, f.init(&cached));
    for (size_t i = 0; i < fresh.n_th; ++i) {
        EXPECT_DOUBLE_EQ(fresh.L_nTOp[i], cached.L_nTOp[i]);
        EXPECT_DOUBLE_EQ(fresh.L_pTOn[i], cached.L_pTOn[i]);
    }
    // Added above 10^8.2 K only, interpolated in T.
    const double Tlow = 1.5e8, Thigh = fresh.T_th[1];
    EXPECT_DOUBLE_EQ(nvx_weak_rate_nTOp(&fresh, Tlow), std::pow(10.0, nvx_cubic_spline_eval(&fresh.interp_nTOp.spline, std::log10(Tlow))));
    const double base = std::pow(10.0, nvx_cubic_spline_eval(&fresh.interp_nTOp.spline, std::log10(Thigh)));
    EXPECT_NEAR(nvx_weak_rate_nTOp(&fresh, Thigh) - base, fresh.L_nTOp[1], 1e-12 * base);
    nvx_weak_rates_free(&fresh);
    nvx_weak_rates_free(&cached);
    // A broken thermal cache fails the initialisation and leaves the record empty.
    nvx_test::write_file(path, "1 2\n");
    std::string msg;
    EXPECT_EQ(1, f.init(&cached, nullptr, &msg));
    EXPECT_NE(std::string::npos, msg.find(path)) << msg;
    EXPECT_EQ(0u, cached.n);
}
