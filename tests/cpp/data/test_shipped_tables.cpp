// The QED pressure tables shipped in the data directory must be exactly what the library computes
// today: a run that loads them then differs from one that computes them only by the documented
// seven-digit rounding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "nuvex/constants.h"
#include "nuvex/plasma.h"
#include "test_util.hpp"

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
