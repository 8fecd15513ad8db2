// Validation rules with their messages, path resolution for nuclear files and caches, the INI
// loader's warnings, and the logging switch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/inert.hpp"
#include "nuvex/config.h"
#include "test_util.hpp"

namespace {

struct Record {
    NVXConfig c{};
    Record() {
        char* err = nullptr;
        EXPECT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0);
        std::free(err);
    }
    ~Record() { nvx_config_free(&c); }
    std::string validate() {
        char* err = nullptr;
        if (nvx_config_validate(&c, &err) == 0) return "";
        std::string m = err ? err : "(null)";
        std::free(err);
        return m;
    }
    void set_string(char*& field, const char* v) {
        std::free(field);
        field = v ? strdup(v) : nullptr;
    }
};

TEST(Validate, CustomBackgroundClearsDecouplingSwitches) {
    Record r;
    r.set_string(r.c.custom_background, "bg.tsv");
    EXPECT_EQ(r.validate(), "");
    EXPECT_EQ(r.c.incomplete_decoupling, 0);
    EXPECT_EQ(r.c.spectral_distortions, 0);
    Record s;
    s.set_string(s.c.custom_background, "bg.tsv");
    s.c.external_scale_factor = 1;
    EXPECT_EQ(s.validate(), "custom_background and external_scale_factor are mutually exclusive");
}

TEST(Validate, RangeRulesInOrder) {
    struct Case {
        void (*apply)(NVXConfig&);
        const char* message;
    };
    const Case cases[] = {
        {[](NVXConfig& c) { c.amax = 0; }, "amax must be None (-1) or a positive integer"},
        {[](NVXConfig& c) { c.Omegabh2 = 0; }, "Omegabh2=0 is out of range: must be > 0"},
        {[](NVXConfig& c) { c.G = -c.G; }, "GN=-6.6743e-11 is out of range: must be > 0"},
        {[](NVXConfig& c) { c.h = NAN; }, "h=nan is out of range: must be > 0"},
        {[](NVXConfig& c) { c.rate_grid_T9_max = -1; }, "rate_grid_T9_max=-1 is out of range: must be > 0"},
        {[](NVXConfig& c) { c.mc_rate_rescale_cap = -1; }, "mc_rate_rescale_cap=-1 is out of range: must be > 0 or None"},
        {[](NVXConfig& c) { c.std_tau_n = -0.5; }, "std_tau_n=-0.5 is out of range: must be >= 0"},
        {[](NVXConfig& c) { c.n_electron_table = 0; },
         "n_electron_table=0 is out of range: must be a positive integer (>= 1)"},
        {[](NVXConfig& c) { c.decay_n_points = -3; },
         "decay_n_points=-3 is out of range: must be a positive integer (>= 1)"},
        {[](NVXConfig& c) { c.fEDE = 1; }, "fEDE=1 is out of range: must satisfy 0 <= fEDE < 1"},
        {[](NVXConfig& c) { c.external_scale_factor = 1; c.incomplete_decoupling = 0; c.spectral_distortions = 0; },
         "external_scale_factor=True requires incomplete_decoupling=True"},
        {[](NVXConfig& c) { c.analytic_distortions = 1; },
         "spectral_distortions=True with analytic_distortions=True requires instantaneous decoupling "
         "(incomplete_decoupling=False)."},
        {[](NVXConfig& c) { c.incomplete_decoupling = 0; },
         "spectral_distortions=True with analytic_distortions=False requires incomplete_decoupling=True "
         "(the full SOLAN spectrum file is only available in the non-instantaneous decoupling mode)."},
        {[](NVXConfig& c) { c.tau_n = INFINITY; }, "tau_n=inf is out of range: must be finite"},
        {[](NVXConfig& c) { c.y_SZ = NAN; }, "y_SZ=nan is out of range: must be finite"},
        {[](NVXConfig& c) { nvx_rxnmap_set(&c.p_map, "d_p__He3_g", NAN); },
         "p_d_p__He3_g=nan is out of range: must be finite"},
        {[](NVXConfig& c) {
             nvx_rxnmap_set(&c.delta_map, "d_p__He3_g", -2.0);  // finite: accepted
             nvx_rxnmap_set(&c.delta_map, "d_d__t_p", -INFINITY);
         },
         "delta_d_d__t_p=-inf is out of range: must be finite"},
        // first violated rule wins
        {[](NVXConfig& c) { c.Omegabh2 = 0; c.h = 0; }, "Omegabh2=0 is out of range: must be > 0"},
    };
    for (const Case& k : cases) {
        Record r;
        k.apply(r.c);
        EXPECT_EQ(r.validate(), k.message);
    }
}

TEST(Validate, AcceptedEdges) {
    Record r;
    r.c.amax = 4;
    r.c.mc_rate_rescale_cap = 0;
    r.c.fEDE = std::nextafter(1.0, 0.0);
    r.c.munuOverTnu_e = NAN;  // none
    EXPECT_EQ(r.validate(), "");
}

TEST(Paths, RatesPreferTheUserDirectory) {
    Record r;
    std::string user = nvx_test::scratch_dir("user_nuclear");
    ::mkdir((user + "/tables").c_str(), 0755);
    nvx_test::write_file(user + "/tables/x.txt", "1 2 3\n");
    r.set_string(r.c.user_nuclear_dir, user.c_str());
    char out[4200];
    nvx_config_resolve_rates_path(&r.c, "nuclear/tables/x.txt", out, sizeof out);
    EXPECT_EQ(std::string(out), user + "/tables/x.txt");
    nvx_config_resolve_rates_path(&r.c, "nuclear/tables/y.txt", out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(NUVEX_DATA_DIR) + "/nuclear/tables/y.txt");
    char small[8];
    nvx_config_resolve_rates_path(&r.c, "nuclear/tables/y.txt", small, sizeof small);
    EXPECT_EQ(std::string(small).size(), 7u) << "paths that do not fit are cut";
}

// Sets an environment variable for one scope and restores the previous value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

TEST(Paths, CachesGoToCacheDirAndIgnoreOldCachesInTheDataDirectory) {
    Record r;
    std::string data = nvx_test::scratch_dir("cache_data");
    std::string cache = nvx_test::scratch_dir("cache_dir");
    std::snprintf(r.c.data_dir, sizeof r.c.data_dir, "%s", data.c_str());
    r.set_string(r.c.cache_dir, cache.c_str());
    char out[4608];
    nvx_config_resolve_cache_file(&r.c, "plasma", "t.dat", out, sizeof out);
    EXPECT_EQ(std::string(out), cache + "/plasma/t.dat");
    // a cache an older version left in the data directory is not read (nor deleted)
    std::string old = data + "/cache_plasma_weak/plasma";
    ASSERT_EQ(std::system(("mkdir -p '" + old + "'").c_str()), 0);
    nvx_test::write_file(old + "/t.dat", "x");
    nvx_config_resolve_cache_file(&r.c, "plasma", "t.dat", out, sizeof out);
    EXPECT_EQ(std::string(out), cache + "/plasma/t.dat");
    EXPECT_TRUE(nvx_test::file_exists(old + "/t.dat"));
    // shipped tables (the QED pressure tables) are read from there unless the cache holds a copy
    nvx_config_resolve_shipped_file(&r.c, "plasma", "t.dat", out, sizeof out);
    EXPECT_EQ(std::string(out), old + "/t.dat");
    ASSERT_EQ(std::system(("mkdir -p '" + cache + "/plasma'").c_str()), 0);
    nvx_test::write_file(cache + "/plasma/t.dat", "y");
    nvx_config_resolve_shipped_file(&r.c, "plasma", "t.dat", out, sizeof out);
    EXPECT_EQ(std::string(out), cache + "/plasma/t.dat");
    nvx_config_cache_write_dir(&r.c, "plasma", out, sizeof out);
    EXPECT_EQ(std::string(out), cache + "/plasma");
}

TEST(Paths, WithoutCacheDirTheCachesGoToThePerUserCacheDirectory) {
    Record r;
    std::snprintf(r.c.data_dir, sizeof r.c.data_dir, "%s", "/nonexistent/data");
    r.set_string(r.c.cache_dir, "");  // empty text counts as unset
    char out[4608];
    {
        ScopedEnv xdg("XDG_CACHE_HOME", "/x/cache");
        nvx_config_cache_write_dir(&r.c, "weak", out, sizeof out);
        EXPECT_EQ(std::string(out), "/x/cache/nuvex/weak");
        nvx_config_resolve_cache_file(&r.c, "plasma", "t.dat", out, sizeof out);
        EXPECT_EQ(std::string(out), "/x/cache/nuvex/plasma/t.dat");
        ASSERT_EQ(nvx_config_user_cache_dir(out, sizeof out), 0);
        EXPECT_EQ(std::string(out), "/x/cache/nuvex");
    }
    {
        // a relative XDG_CACHE_HOME is invalid under the XDG rule: the home directory's .cache
        ScopedEnv xdg("XDG_CACHE_HOME", "relative/cache");
        ScopedEnv home("HOME", "/home/someone");
        nvx_config_cache_write_dir(&r.c, "weak", out, sizeof out);
        EXPECT_EQ(std::string(out), "/home/someone/.cache/nuvex/weak");
    }
    {
        ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
        ScopedEnv home("HOME", "/home/someone");
        nvx_config_resolve_cache_file(&r.c, "weak", "n.txt", out, sizeof out);
        EXPECT_EQ(std::string(out), "/home/someone/.cache/nuvex/weak/n.txt");
        // cache_dir wins over both
        r.set_string(r.c.cache_dir, "/given");
        nvx_config_cache_write_dir(&r.c, "weak", out, sizeof out);
        EXPECT_EQ(std::string(out), "/given/weak");
    }
}

TEST(Ini, DocumentedLinesAndWarnings) {
    Record r;
    std::string dir = nvx_test::scratch_dir("ini");
    std::string path = dir + "/run.ini";
    nvx_test::write_file(path,
                         "# comment\n"
                         "; another\n"
                         "\n"
                         "[section]\n"
                         "tau_n = 880\n"
                         "network = 'large'\n"
                         "verbose = TRUE\n"
                         "= 5\n"
                         "verbose\n"
                         "amax = true\n"
                         "Omegabh2 0.0224\n"
                         "p_d_p__He3_g = -1\n");
    testing::internal::CaptureStderr();
    char* err = nullptr;
    EXPECT_EQ(nvx_ini_load(&r.c, path.c_str(), &err), 0);
    std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.c.tau_n, 880.0);
    EXPECT_STREQ(r.c.network, "large");
    EXPECT_NE(r.c.verbose, 0);
    EXPECT_EQ(r.c.amax, -1);
    EXPECT_EQ(r.c.Omegabh2, 0.0224);
    EXPECT_EQ(nvx_rxnmap_get(&r.c.p_map, "d_p__He3_g"), -1.0);
    EXPECT_NE(warnings.find(path + ":4: warning: ignoring line with no value: '[section]'"), std::string::npos);
    EXPECT_NE(warnings.find(path + ":8: warning: ignoring line with empty key"), std::string::npos);
    EXPECT_NE(warnings.find(path + ":9: warning: ignoring line with no value: 'verbose'"), std::string::npos);
    EXPECT_NE(warnings.find(path + ":10: warning: amax expects an int or None"), std::string::npos);
    // both comment styles are silent
    EXPECT_EQ(warnings.find(path + ":1:"), std::string::npos) << warnings;
    EXPECT_EQ(warnings.find(path + ":2:"), std::string::npos) << warnings;
}

TEST(Ini, MissingFile) {
    Record r;
    char* err = nullptr;
    EXPECT_EQ(nvx_ini_load(&r.c, "/nonexistent/x.ini", &err), 1);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "cannot open ini file '/nonexistent/x.ini'");
    std::free(err);
    err = nullptr;
    // a directory opens on POSIX systems but is no configuration
    std::string dir = nvx_test::scratch_dir("ini_dir");
    EXPECT_EQ(nvx_ini_load(&r.c, dir.c_str(), &err), 1);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(std::string(err), "error reading ini file '" + dir + "'");
    std::free(err);
}

TEST(Log, OnlyUnderVerbose) {
    Record r;
    testing::internal::CaptureStdout();
    nvx_log(&r.c, "bg", "quiet %d", 1);
    r.c.verbose = 1;
    nvx_log(&r.c, "bg", "loud %d", 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[bg-c] loud 2\n");
}

}  // namespace

namespace {

int collect(const char* key, const char* value, const char*, int line, void* user) {
    auto* out = static_cast<std::string*>(user);
    *out += std::to_string(line) + ":" + key + "=" + value + ";";
    return std::string(key) == "stop";
}

TEST(Ini, WalkGivesWellFormedPairsInOrder) {
    std::string dir = nvx_test::scratch_dir("ini_walk");
    std::string path = dir + "/walk.ini";
    nvx_test::write_file(path, "a = 1\n# c\nlonely\nb  'x y'\n= 3\nstop = 1\nafter = 2\n");
    std::string seen;
    char* err = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvx_ini_for_each(path.c_str(), collect, &seen, 1, &err), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "quiet walks print no warnings";
    EXPECT_EQ(seen, "1:a=1;4:b='x y';6:stop=1;");
}

// Values that pass the sign rules but cannot give a meaningful run (the reproducers: a
// tolerance of 0.5 or 1, a rate grid of one point, a temperature grid of one point per decade).
TEST(Validate, MeaninglessRangesNameKeyAndRange) {
    struct Case {
        void (*apply)(NVXConfig&);
        const char* message;
    };
    const Case cases[] = {
        {[](NVXConfig& c) { c.numerical_precision = 1; }, "numerical_precision=1 is out of range: must lie in (0, 0.01]"},
        {[](NVXConfig& c) { c.numerical_precision = 0.5; },
         "numerical_precision=0.5 is out of range: must lie in (0, 0.01]"},
        {[](NVXConfig& c) { c.atol_large_LT = 1e-6; }, "atol_large_LT=1e-06 is out of range: must lie in (0, 1e-10]"},
        {[](NVXConfig& c) { c.epsrel_thermal = 0.5; }, "epsrel_thermal=0.5 is out of range: must lie in (0, 0.1]"},
        {[](NVXConfig& c) { c.rate_grid_npts = 1; }, "rate_grid_npts=1 is out of range: must lie in [100, 1000000]"},
        {[](NVXConfig& c) { c.rate_grid_npts = 2000000; },
         "rate_grid_npts=2000000 is out of range: must lie in [100, 1000000]"},
        {[](NVXConfig& c) { c.n_electron_table = 10; }, "n_electron_table=10 is out of range: must lie in [100, 1000000]"},
        {[](NVXConfig& c) { c.sampling_nTOp_per_decade = 3; },
         "sampling_nTOp_per_decade=3 is out of range: must lie in [10, 100000]"},
        {[](NVXConfig& c) { c.vegas_n_itn = 20000; }, "vegas_n_itn=20000 is out of range: must lie in [1, 10000]"},
        {[](NVXConfig& c) { c.T_end_MeV = 50; }, "T_end_MeV=50 is out of range: must be below T_start_cosmo_MeV=40"},
        {[](NVXConfig& c) { c.rate_grid_T9_min = 20; },
         "rate_grid_T9_min=20 is out of range: must be below rate_grid_T9_max=10"},
        {[](NVXConfig& c) { c.std_tau_n = 0.3 * c.tau_n; },
         "std_tau_n=263.52 is out of range: must lie in [0, 175.68] (a fifth of tau_n, so that no sampled lifetime "
         "is negative)"},
        {[](NVXConfig& c) { c.std_tau_n = 1e300; },
         "std_tau_n=1e+300 is out of range: must lie in [0, 175.68] (a fifth of tau_n, so that no sampled lifetime "
         "is negative)"},
        {[](NVXConfig& c) { c.rescale_nuclear_rates = 1; },
         "rescale_nuclear_rates=True is not supported: rate variations are set with the p_<reaction> and "
         "delta_<reaction> keys"},
    };
    for (const Case& k : cases) {
        Record r;
        k.apply(r.c);
        EXPECT_EQ(r.validate(), k.message);
    }
    Record edges;
    edges.c.numerical_precision = 1e-2;
    edges.c.atol_large_LT = 1e-10;
    edges.c.rate_grid_npts = 100;
    edges.c.std_tau_n = 0.2 * edges.c.tau_n;
    EXPECT_EQ(edges.validate(), "");
}

// Integers are stored in 32 bits: a wider value is refused, never wrapped (amax=4294967300 once
// acted as 4, verbose=4294967296 as False).
TEST(Validate, IntegersDoNotWrap) {
    Record r;
    auto set = [&](const char* key, int64_t v, int32_t kind = NVX_PARAM_INT) {
        NVXParamPayload p;
        p.i = v;
        char* err = nullptr;
        std::string m;
        if (nvx_config_set_by_name(&r.c, key, kind, p, &err)) m = err ? err : "(null)";
        std::free(err);
        return m;
    };
    EXPECT_EQ(set("amax", 4294967300LL), "amax=4294967300 is out of range: must lie in [-2147483648, 2147483647]");
    EXPECT_EQ(r.c.amax, -1);
    EXPECT_EQ(set("verbose", 4294967296LL), "verbose=4294967296 is out of range: must lie in [-2147483648, 2147483647]");
    EXPECT_EQ(r.c.verbose, 0);
    EXPECT_EQ(set("output_n_points", -4294967295LL),
              "output_n_points=-4294967295 is out of range: must lie in [-2147483648, 2147483647]");
    EXPECT_EQ(set("amax", 2147483647LL), "");
    EXPECT_EQ(r.c.amax, 2147483647);
}

TEST(Ini, LinesOfAnyLength) {
    Record r;
    const std::string dir = nvx_test::scratch_dir("ini_long");
    const std::string path = dir + "/run.ini";
    // the tail of a long comment line must never be applied (it once set tau_n)
    const std::string out_path = "/tmp/" + std::string(2000, 'd') + "/out.tsv";
    nvx_test::write_file(path, "# " + std::string(4093, 'x') + "tau_n = 1000\n"
                               "output_file = '" + out_path + "'\n");
    testing::internal::CaptureStderr();
    char* err = nullptr;
    EXPECT_EQ(nvx_ini_load(&r.c, path.c_str(), &err), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(r.c.tau_n, 878.4);
    EXPECT_EQ(std::string(r.c.output_file), out_path);  // once cut at 1023 characters
    const NVXParam p = nvx_parse_literal(("\"" + std::string(5000, 'q') + "\"").c_str());
    ASSERT_EQ(p.kind, NVX_PARAM_STRING);
    EXPECT_EQ(std::strlen(p.payload.s), 5000u);
}

// strict_params turns every line the loader would skip into an error listing all of them.
TEST(Ini, StrictParamsMakesBadLinesErrors) {
    Record r;
    const std::string dir = nvx_test::scratch_dir("ini_strict");
    const std::string path = dir + "/run.ini";
    nvx_test::write_file(path, "tau_n = 880\nverbose\ntua_n = 1\nstrict_params = True\n");
    char* err = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nvx_ini_load(&r.c, path.c_str(), &err), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(std::string(err), "strict_params: the INI file has lines that cannot be applied:\n  " + path +
                                    ":2: warning: ignoring line with no value: 'verbose'\n  " + path +
                                    ":3: warning: unknown parameter key: tua_n; did you mean 'tau_n'?");
    std::free(err);
}

}  // namespace

namespace {

// Ranges of the physics, checked before any stage runs (they once ended in integrator failures or
// a result check that blamed numerical_precision).
TEST(Validate, PhysicalRangesNameTheKey) {
    struct Case {
        void (*apply)(NVXConfig&);
        const char* message;
    };
    const Case cases[] = {
        {[](NVXConfig& c) { c.DeltaNeff = -10; },
         "DeltaNeff=-10 is out of range: N_eff = 3.044 + DeltaNeff = -6.956 must be >= 0 (a negative neutrino "
         "radiation density)"},
        {[](NVXConfig& c) { c.DeltaNeff = -3.0441; },
         "DeltaNeff=-3.0441 is out of range: N_eff = 3.044 + DeltaNeff = -0.0001 must be >= 0 (a negative neutrino "
         "radiation density)"},
        {[](NVXConfig& c) { c.amax = 1; },
         "amax=1 is out of range: must be None or >= 4 (the network must hold helium-4, whose abundance Yp every run "
         "reports)"},
        {[](NVXConfig& c) { c.amax = 3; },
         "amax=3 is out of range: must be None or >= 4 (the network must hold helium-4, whose abundance Yp every run "
         "reports)"},
        {[](NVXConfig& c) { c.munuOverTnu = 1e3; },
         "munuOverTnu=1000 is out of range: |mu/T| must be <= 10 (the weak-rate integrals cover electron energies up "
         "to 30 T)"},
        {[](NVXConfig& c) { c.munuOverTnu_tau = -10.5; },
         "munuOverTnu_tau=-10.5 is out of range: |mu/T| must be <= 10 (the weak-rate integrals cover electron "
         "energies up to 30 T)"},
        {[](NVXConfig& c) { c.T_end_MeV = 1e-7; },
         "T_end_MeV=1e-07 is out of range: must be >= 1e-06 MeV (1 eV: below it the plasma recombines and matter "
         "dominates, outside what the run computes)"},
        {[](NVXConfig& c) {
             c.decay_era = 1;
             c.output_decay_evolution = 1;
         },
         "decay_era=True with output_decay_evolution=True needs network='large' (the decay era follows the decays of "
         "the large network; network='small')"},
    };
    for (const Case& k : cases) {
        Record r;
        k.apply(r.c);
        EXPECT_EQ(r.validate(), k.message);
    }
    // N_eff = 0 exactly (no neutrino radiation) and the largest degeneracy are runs
    Record edge;
    edge.c.DeltaNeff = 0.0 - 3.044 - 1e-15;  // a grid's rounding below N_eff = 0 is still N_eff = 0
    edge.c.munuOverTnu = -10;
    edge.c.T_end_MeV = 1e-6;
    edge.set_string(edge.c.network, "large");
    edge.c.decay_era = edge.c.output_decay_evolution = 1;
    EXPECT_EQ(edge.validate(), "");
}

// Settings that no stage of the configuration reads: listed for the run's warning, an error under
// strict_params; a default value is never listed.
TEST(Validate, SettingsWithoutEffect) {
    Record plain;
    EXPECT_EQ(nvx::inert_settings(&plain.c), "");
    Record r;
    r.c.debug = 1;
    r.c.numba_installed = 0;
    r.c.y_SZ = 0.1;
    r.c.decay_era = 1;
    r.c.zcEDE = 1e6;
    EXPECT_EQ(nvx::inert_settings(&r.c),
              "debug=True (carried for host programs, no stage reads it); numba_installed=False (carried for "
              "compatibility, no stage reads it); y_SZ=0.1 (read only with analytic_distortions=True); "
              "decay_era=True (the decay era runs only with output_decay_evolution=True); zcEDE=1e+06 (read only "
              "with fEDE > 0)");
    EXPECT_EQ(r.validate(), "");  // a warning of the run, not an error
    r.c.strict_params = 1;
    EXPECT_EQ(r.validate().rfind("strict_params: settings without effect in this configuration: debug=True", 0), 0u);
    // the same keys where they act are not listed
    Record acting;
    acting.c.analytic_distortions = 1;
    acting.c.spectral_distortions = 0;
    acting.c.y_SZ = 0.1;
    acting.c.fEDE = 0.1;
    acting.c.zcEDE = 1e6;
    EXPECT_EQ(nvx::inert_settings(&acting.c), "");
}

std::string load_ini(Record& r, const std::string& text, const std::string& name) {
    const std::string path = nvx_test::scratch_dir("ini_hostile") + "/" + name;
    nvx_test::write_file(path, text);
    char* err = nullptr;
    testing::internal::CaptureStderr();
    const int rc = nvx_ini_load(&r.c, path.c_str(), &err);
    const std::string warnings = testing::internal::GetCapturedStderr();
    std::string m = rc ? (err ? err : "(null)") : "";
    std::free(err);
    return m.empty() ? warnings : m;
}

// A NUL byte would cut the value in front of it and let the rest of the line be dropped silently;
// a byte-order mark would turn the first key into an unknown one; a device such as /dev/zero or a
// binary file would grow a line without end.
TEST(Ini, HostileBytesAndSizes) {
    const std::string dir = nvx_test::scratch_dir("ini_hostile");
    {
        Record r;
        const std::string m = load_ini(r, std::string("tau_n = 880\nOmegabh2 = 0.02\0 3\n", 31), "nul.ini");
        EXPECT_EQ(m, dir + "/nul.ini:2: NUL byte in the line (not a text file?)");
    }
    {
        Record r;
        EXPECT_EQ(load_ini(r, "\xEF\xBB\xBFtau_n = 881\nh = 0.7\n", "bom.ini"), "");
        EXPECT_EQ(r.c.tau_n, 881.0);
        EXPECT_EQ(r.c.h, 0.7);
    }
    {
        Record r;  // what /dev/zero delivers: NUL bytes without a line end
        EXPECT_EQ(load_ini(r, std::string(100000, '\0'), "zeros.ini"), dir + "/zeros.ini:1: NUL byte in the line (not a text file?)");
    }
    {
        Record r;
        const std::string m = load_ini(r, "tau_n = 880\n" + std::string(70000, 'x') + "\n", "long.ini");
        EXPECT_EQ(m, dir + "/long.ini:2: line longer than 65536 bytes (not an INI file?)");
    }
    {
        Record r;  // 65 MiB of comment lines of 60 KiB
        std::string big;
        const std::string line = "# " + std::string(60 * 1024, 'c') + "\n";
        while (big.size() <= 64u * 1024 * 1024) big += line;
        const std::string m = load_ini(r, big, "big.ini");
        EXPECT_EQ(m, dir + "/big.ini: larger than 67108864 bytes (not an INI file?)");
    }
}

}  // namespace
