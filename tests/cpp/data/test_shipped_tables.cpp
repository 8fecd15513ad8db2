// The tables shipped in the data directory must be exactly what the library computes today: the
// QED pressure tables (a run that loads them differs from one that computes them only by the
// documented seven-digit rounding) and the weak-rate and thermal-correction tables of the default
// configuration, which a run uses only under their fingerprint.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "background/bg_internal.hpp"
#include "nuvex/cache.h"
#include "nuvex/constants.h"
#include "nuvex/neutrino.h"
#include "nuvex/plasma.h"
#include "nuvex/run.h"
#include "nuvex/weak.h"
#include "test_util.hpp"
#include "weak/weak_internal.hpp"

TEST(ShippedData, QedTablesEqualAFreshComputation) {
    nvx_constants_init();
    nvx_qed_tables tables{};
    char* err = nullptr;
    ASSERT_EQ(nvx_qed_compute_tables(500, &tables, &err, 0.001, 100.0, g_const[NVX_C_alpha_fs], g_const[NVX_C_m_e]),
              0);
    std::string dir = nvx_test::scratch_dir("qed_fresh");
    ASSERT_EQ(nvx_qed_save_tables(&tables, dir.c_str(), &err), 0) << (err ? err : "");
    nvx_qed_tables_free(&tables);
    const std::string shipped = std::string(NUVEX_DATA_DIR) + "/cache_plasma_weak/plasma/";
    for (const char* name : {"QED_pressure_correction_e2.txt", "QED_pressure_correction_e3.txt"}) {
        std::string fresh = nvx_test::read_file(dir + "/" + name);
        ASSERT_FALSE(fresh.empty());
        EXPECT_EQ(nvx_test::read_file(shipped + name), fresh) << name << " differs: rerun make data";
    }
}

// ---- weak-rate tables of the default configuration --------------------------------------------

namespace {

// The default record of the shipped data directory with its plasma, history and background, whose
// final tables are the grid of the weak rates.
struct WeakInputs {
    NVXConfig cfg{};
    nvx_plasma plasma{};
    nvx_neutrino_history history{};
    nvx_background bg{};
    std::vector<double> T, Tnue;
    bool ok = false;
    WeakInputs() {
        char* err = nullptr;
        ok = nvx_config_init_defaults(&cfg, NUVEX_DATA_DIR, &err) == 0 && nvx_config_validate(&cfg, &err) == 0 &&
             nvx_plasma_init(&plasma, &cfg, &err) == 0 && nvx_neutrino_history_init(&history, &cfg, &plasma, &err) == 0 &&
             nvx::bg::build_standard_tables(&bg, &cfg, &plasma, &history, &err) == 0;
        if (!ok) ADD_FAILURE() << (err ? err : "set-up failed");
        std::free(err);
        if (ok) T.assign(bg.T, bg.T + bg.n), Tnue.assign(bg.Tnue, bg.Tnue + bg.n);
    }
    ~WeakInputs() {
        nvx_background_free(&bg);
        nvx_neutrino_history_free(&history);
        nvx_plasma_free(&plasma);
        nvx_config_free(&cfg);
    }
    std::string shipped(const char* stem, bool thermal) {
        NVXFingerprintEntry fp[NVX_WEAK_FINGERPRINT_LEN];
        const size_t n = thermal ? nvx_thermal_fingerprint(&cfg, fp) : nvx_weak_rate_fingerprint(&cfg, fp);
        char* hash = nvx_fingerprint_hash(fp, n);
        std::string path = std::string(NUVEX_DATA_DIR) + "/weak_tables/" + stem + "_" + hash + ".txt";
        std::free(hash);
        return path;
    }
};

std::vector<std::vector<double>> rows_of(const std::string& path) {
    NVXTable t{};
    char* err = nullptr;
    std::vector<std::vector<double>> rows;
    if (nvx_table_read(path.c_str(), 3, &t, &err) != 0) {
        ADD_FAILURE() << err;
        std::free(err);
        return rows;
    }
    for (size_t i = 0; i < t.nrows; ++i) rows.push_back({t.columns[0][i], t.columns[1][i], t.columns[2][i]});
    nvx_table_free(&t);
    return rows;
}

}  // namespace

TEST(ShippedData, WeakRateTableEqualsAFreshComputation) {
    WeakInputs in;
    ASSERT_TRUE(in.ok);
    const std::string shipped = in.shipped("nTOp", false);
    ASSERT_TRUE(nvx_test::file_exists(shipped)) << shipped << " is missing: run make data";
    in.cfg.thermal_corrections = 0;  // the rate table alone; its fingerprint does not see the switch
    const std::string dir = nvx_test::scratch_dir("weak_fresh");
    char* err = nullptr;
    ASSERT_EQ(nvx::weak::write_shipped_tables(&in.cfg, in.T.data(), in.Tnue.data(), in.T.size(), &in.history,
                                              dir.c_str(), nullptr, &err), 0) << err;
    const std::string name = shipped.substr(shipped.rfind('/'));
    EXPECT_EQ(nvx_test::read_file(shipped), nvx_test::read_file(dir + name)) << name << " differs: rerun make data";
}

TEST(ShippedData, ThermalTableEqualsAFreshComputationAtSamplePoints) {
    WeakInputs in;
    ASSERT_TRUE(in.ok);
    const std::string shipped = in.shipped("nTOp_thermal", true);
    ASSERT_TRUE(nvx_test::file_exists(shipped)) << shipped << " is missing: run make data";
    const auto rows = rows_of(shipped);
    ASSERT_GE(rows.size(), 3u);
    nvx_weak_ctx ctx;
    char* err = nullptr;
    ASSERT_EQ(nvx_weak_ctx_init(&ctx, in.T.data(), in.Tnue.data(), in.T.size(), &in.cfg, &in.history, &err), 0);
    // the whole table takes minutes of VEGAS: its ends and its middle, both directions, to the last bit
    for (size_t i : {size_t(0), rows.size() / 2, rows.size() - 1}) {
        EXPECT_EQ(rows[i][1], nvx_weak_thermal_correction(&ctx, rows[i][0], +1)) << "n->p at T = " << rows[i][0];
        EXPECT_EQ(rows[i][2], nvx_weak_thermal_correction(&ctx, rows[i][0], -1)) << "p->n at T = " << rows[i][0];
    }
    nvx_weak_ctx_free(&ctx);
}

namespace {

struct Log {
    std::vector<std::string> lines;
};
void keep_line(int, const char* tag, const char* text, void* user) {
    if (std::string(tag) == "weak") static_cast<Log*>(user)->lines.push_back(text);
}

// The "weak" log of a default run on `data_dir` with caches in a scratch folder.
std::vector<std::string> weak_log(const std::string& data_dir) {
    NVXConfig c;
    char* err = nullptr;
    EXPECT_EQ(nvx_config_init_defaults(&c, data_dir.c_str(), &err), 0);
    const std::string cache = nvx_test::scratch_dir("shipped_cache");
    c.cache_dir = strdup(cache.c_str());
    c.show_progress = 0;
    c.thermal_corrections = 0;
    Log log;
    NVXRunHooks hooks{keep_line, nullptr, &log, nullptr, NVX_MSG_LOG};
    c.hooks = &hooks;
    NVXResults r{};
    EXPECT_EQ(didiva_run(&c, nullptr, &r, &err), 0) << (err ? err : "");
    std::free(err);
    didiva_results_free(&r);
    nvx_config_free(&c);
    return log.lines;
}

}  // namespace

TEST(ShippedData, WeakTablesAreUsedOnlyUnderTheirFingerprint) {
    // a data directory of links to the shipped one, with a copy of its weak tables
    const std::string dir = nvx_test::scratch_dir("shipped_data");
    for (const char* sub : {"csv", "nuclear", "SOLAN"})
        ASSERT_EQ(::symlink((std::string(NUVEX_DATA_DIR) + "/" + sub).c_str(), (dir + "/" + sub).c_str()), 0);
    ASSERT_EQ(std::system(("cp -r '" NUVEX_DATA_DIR "/weak_tables' '" + dir + "/'").c_str()), 0);
    auto lines = weak_log(dir);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "background n<->p weak rates: loaded from cache.");
    // the same file under the name, but recording another fingerprint, is not the table of this run
    WeakInputs in;
    const std::string name = in.shipped("nTOp", false).substr(in.shipped("nTOp", false).rfind('/'));
    std::string text = nvx_test::read_file(dir + "/weak_tables" + name);
    const size_t at = text.find("# fingerprint_hash: ");
    ASSERT_NE(at, std::string::npos);
    text[at + 20] = text[at + 20] == '0' ? '1' : '0';
    nvx_test::write_file(dir + "/weak_tables" + name, text);
    lines = weak_log(dir);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find("does not match this configuration"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "Recomputing n<->p weak rates (no cache for this configuration).");
}
