// Weak-rate tables: cache round trips and file names, bypass rules, interpolation thresholds,
// malformed cache files, and the thermal-correction table (zero below 10^8.2 K, thread-count
// independence, normalisation, cache precedence).
#include <dirent.h>

#include <cstdio>
#include <functional>

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

// A cache file that is not exactly what this configuration computes is never used: it is reported
// on standard error, recomputed and rewritten. Among them the issue's reproducer: a cache whose
// values were tripled (the rows no longer match their checksum).
TEST(WeakTables, BadCacheFilesAreRecomputed) {
    Fixture f("weak_bad");
    const std::string dir = f.cache + "/weak";
    nvx_weak_rates fresh{};
    ASSERT_EQ(0, f.init(&fresh));  // writes the good cache
    const std::string path = dir + "/" + weak_file(f.cfg);
    const std::string good = nvx_test::read_file(path);
    const size_t body = good.find("\n", good.find("# data_sha256:")) + 1;
    // the first data row with its rates tripled, in the file's own number format
    std::string tripled = good;
    {
        const size_t eol = good.find('\n', body);
        double T, a, b;
        ASSERT_EQ(3, std::sscanf(good.c_str() + body, "%lf %lf %lf", &T, &a, &b));
        char row[128];
        std::snprintf(row, sizeof row, "%.18e %.18e %.18e", T, 3 * a, 3 * b);
        tripled.replace(body, eol - body, row);
    }
    const std::string header = good.substr(0, body);
    const std::vector<std::string> bad = {
        "1 2\n3 4\n",                                          // no header, wrong shape
        tripled,                                                // edited values
        good.substr(0, good.size() / 2),                        // cut in half
        header,                                                 // no rows at all
        good.substr(0, good.find("# data_sha256:")) + good.substr(body),  // no checksum (older build)
    };
    for (const std::string& text : bad) {
        nvx_test::write_file(path, text);
        nvx_weak_rates r{};
        testing::internal::CaptureStderr();
        ASSERT_EQ(0, f.init(&r));
        const std::string warned = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, warned.find("[weak-c] ignoring the cache file " + path)) << warned;
        ASSERT_EQ(fresh.n, r.n);
        for (size_t i = 0; i < r.n; ++i) {
            EXPECT_EQ(fresh.rate_nTOp[i], r.rate_nTOp[i]) << i;
            EXPECT_EQ(fresh.rate_pTOn[i], r.rate_pTOn[i]) << i;
        }
        nvx_weak_rates_free(&r);
        EXPECT_EQ(good, nvx_test::read_file(path)) << "the recomputed table is written back";
    }
    // A sound file of another grid (a hand-made table under this name) is not used either.
    NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
    const size_t n = nvx_weak_rate_fingerprint(&f.cfg, e);
    std::vector<double> T = {1e7, 1e8, 1e9}, a = {1, 2, 3};
    const double* cols[3] = {T.data(), a.data(), a.data()};
    ASSERT_EQ(0, nvx_cache_write(path.c_str(), e, n, "x", cols, 3, 3, nullptr));
    nvx_weak_rates r{};
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, f.init(&r));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("3 rows instead of the 40 grid points"));
    EXPECT_EQ(fresh.rate_nTOp[5], r.rate_nTOp[5]);
    nvx_weak_rates_free(&r);
    nvx_weak_rates_free(&fresh);
}

// Everything that determines a cached table is in its fingerprint: the numerical parameters of the
// computation and the contents (not the names) of the decoupling tables it integrates over.
TEST(WeakTables, FingerprintsCoverParametersAndFileContents) {
    Fixture f("weak_fp");
    auto weak = [&] {
        NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
        char* h = nvx_fingerprint_hash(e, nvx_weak_rate_fingerprint(&f.cfg, e));
        std::string out = h;
        nvx_free(h);
        return out;
    };
    auto thermal = [&] {
        NVXFingerprintEntry e[NVX_THERMAL_FINGERPRINT_LEN];
        char* h = nvx_fingerprint_hash(e, nvx_thermal_fingerprint(&f.cfg, e));
        std::string out = h;
        nvx_free(h);
        return out;
    };
    f.cfg.incomplete_decoupling = 1;
    // a copy of the shipped decoupling table, named as the configuration names it
    const std::string copy = f.cache + "/history.csv";
    std::string table = nvx_test::read_file(std::string(NUVEX_DATA_DIR) + "/SOLAN/SOLANNUVEX_col_1_7.csv");
    nvx_test::write_file(copy, table);
    std::free(f.cfg.solan_file);
    f.cfg.solan_file = strdup(copy.c_str());
    const std::string w0 = weak(), t0 = thermal();
    // the same name with other contents (the issue's reproducer edits a column by 5%)
    const size_t digit = table.find_first_of("123456789", table.find('\n', table.rfind("#")) + 1);
    table[digit] = table[digit] == '9' ? '8' : char(table[digit] + 1);
    nvx_test::write_file(copy, table);
    EXPECT_NE(w0, weak());
    EXPECT_NE(t0, thermal());
    const std::string w1 = weak(), t1 = thermal();
    struct Change {
        const char* what;
        std::function<void()> apply;
        bool weak_changes, thermal_changes;
    };
    const std::vector<Change> changes = {
        {"vegas_n_eval", [&] { f.cfg.vegas_n_eval += 1; }, false, true},
        {"vegas_n_itn", [&] { f.cfg.vegas_n_itn += 1; }, false, true},
        {"epsrel_thermal", [&] { f.cfg.epsrel_thermal *= 0.5; }, false, true},
        {"munuOverTnu", [&] { f.cfg.munuOverTnu = 0.1; }, true, true},
        {"sampling_nTOp_per_decade", [&] { f.cfg.sampling_nTOp_per_decade += 1; }, true, false},
    };
    std::string w = w1, t = t1;
    for (const Change& c : changes) {
        c.apply();
        EXPECT_EQ(c.weak_changes, weak() != w) << c.what;
        EXPECT_EQ(c.thermal_changes, thermal() != t) << c.what;
        w = weak(), t = thermal();
    }
    // instantaneous decoupling integrates over the plasma entropy: the QED tables' contents count
    f.cfg.incomplete_decoupling = 0;
    NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
    char* text = nvx_fingerprint_json(e, nvx_weak_rate_fingerprint(&f.cfg, e));
    const std::string json = text;
    nvx_free(text);
    EXPECT_NE(std::string::npos, json.find("\"qed_table_e2_sha256\":\"")) << json;
    EXPECT_NE(std::string::npos, json.find("\"decoupling_table_sha256\":null")) << json;
    EXPECT_NE(std::string::npos, json.find("\"format_version\":" + std::to_string(NVX_CACHE_VERSION_WEAK))) << json;
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
    // A present file is used even with "weak_rate_cache" off.
    f.cfg.weak_rate_cache = 0;
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
    const double fresh_L2 = fresh.L_nTOp[2];
    nvx_weak_rates_free(&fresh);
    nvx_weak_rates_free(&cached);
    // A broken thermal cache is recomputed (the same table: the seeds depend on T only).
    nvx_test::write_file(path, "1 2\n");
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, f.init(&cached));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("ignoring the cache file " + path));
    EXPECT_EQ(fresh_L2, cached.L_nTOp[2]);
    nvx_weak_rates_free(&cached);
    // Other VEGAS settings are another table (once they silently reused this one).
    f.cfg.vegas_n_eval = 200;
    ASSERT_EQ(0, f.init(&cached));
    EXPECT_NE(fresh_L2, cached.L_nTOp[2]);
    nvx_weak_rates_free(&cached);
}
