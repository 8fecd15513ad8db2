// Electron-positron table cache: reuse under the same fingerprint, recomputation and overwrite
// for other parameters or a damaged file, and a cache directory that cannot be written.
#include <cmath>

#include "nuvex/cache.h"
#include "plasma_test_util.hpp"

using namespace plasma_test;

namespace {

std::string init_log(NVXConfig* c, int* rc) {
    c->verbose = 1;
    testing::internal::CaptureStdout();
    {
        Plasma p(c);
        *rc = p.rc;
    }
    return testing::internal::GetCapturedStdout();
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ElectronCache, ReusedOnlyUnderItsFingerprint) {
    TestConfig cfg(60);
    const std::string file = cfg.plasma_cache_dir() + "/electron_thermo_cache.txt";
    int rc = 1;
    std::string log = init_log(&cfg.c, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(has(log, "[init-c] Electron-thermo tables built (60 points).\n")) << log;
    EXPECT_TRUE(has(read_file(file), "# grid rho_e p_e drho_e_dT dp_e_dT\n"));

    log = init_log(&cfg.c, &rc);
    EXPECT_TRUE(has(log, "[init-c] Electron-thermo tables loaded from cache (60 points).\n")) << log;
    EXPECT_TRUE(has(log, "[init-c] QED pressure corrections tables loaded.\n"));

    // cached and computed splines are the same numbers ("%.18e" round trip)
    {
        Plasma cached(&cfg.c);
        cfg.c.recompute_electron_thermo = 1;
        Plasma fresh(&cfg.c);
        cfg.c.recompute_electron_thermo = 0;
        for (double T : {0.02, 0.3, 5.0, 120.0})
            EXPECT_EQ(nvx_plasma_rho_e(&cached.p, T), nvx_plasma_rho_e(&fresh.p, T));
    }

    cfg.c.n_electron_table = 70;
    log = init_log(&cfg.c, &rc);
    EXPECT_TRUE(has(log, "tables built (70 points)")) << log;
    log = init_log(&cfg.c, &rc);
    EXPECT_TRUE(has(log, "loaded from cache (70 points)")) << log;

    cfg.c.T_start_cosmo_MeV = 200.0;  // the grid now reaches 300 MeV
    log = init_log(&cfg.c, &rc);
    EXPECT_TRUE(has(log, "tables built (70 points)")) << log;
    Plasma p(&cfg.c);
    ASSERT_EQ(p.rc, 0);
    EXPECT_NEAR(p.p.rho_e.x[p.p.rho_e.n - 1], 300.0, 1e-9);
}

TEST(ElectronCache, DamagedFileIsRecomputedSilently) {
    TestConfig cfg(40);
    const std::string file = cfg.plasma_cache_dir() + "/electron_thermo_cache.txt";
    int rc = 1;
    init_log(&cfg.c, &rc);
    ASSERT_EQ(rc, 0);
    // keep the header (matching hash) but drop rows: the table is not what this run needs
    std::string text = read_file(file);
    write_file(file, text.substr(0, text.size() / 2));
    std::string log = init_log(&cfg.c, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(has(log, "tables built (40 points)")) << log;
    log = init_log(&cfg.c, &rc);
    EXPECT_TRUE(has(log, "loaded from cache (40 points)")) << log;
    // a foreign file without fingerprint
    write_file(file, "1 2 3 4 5\n");
    log = init_log(&cfg.c, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(has(log, "tables built (40 points)")) << log;
}

TEST(ElectronCache, UnwritableDirectoryIsAWarning) {
    TestConfig cfg(30);
    write_file(cfg.dir + "/file", "x");
    cfg.set_string("cache_dir", (cfg.dir + "/file/sub").c_str());
    int rc = 1;
    testing::internal::CaptureStderr();
    const std::string log = init_log(&cfg.c, &rc);
    const std::string warned = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0);
    // a warning on standard error, whatever the verbosity, not only a log line
    EXPECT_TRUE(has(warned, "[plasma-c] could not write cache to " + cfg.dir +
                             "/file/sub/plasma/electron_thermo_cache.txt: results are unaffected, "
                             "but the next run will recompute. Set the cache_dir parameter to "
                             "redirect the cache to a writable directory.\n"))
        << warned;
    EXPECT_TRUE(has(log, "Electron-thermo tables built (30 points)."));
}
