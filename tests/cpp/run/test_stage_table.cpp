// Which stages a changed parameter invalidates, checked against the fingerprints of the cached
// tables: a parameter a table is keyed by must rebuild that table's stage in a session.
#include <gtest/gtest.h>

#include <string>

#include "nuvex/cache.h"
#include "nuvex/config.h"
#include "run/stage_table.hpp"

namespace {

using nvx::session::key_stages;

struct Record {
    NVXConfig c{};
    Record() {
        char* err = nullptr;
        EXPECT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << (err ? err : "");
        nvx_free(err);
    }
    ~Record() { nvx_config_free(&c); }
};

// Every parameter key among the entries must map to `stage`; returns how many keys were checked.
size_t expect_keys_invalidate(const NVXFingerprintEntry* e, size_t n, unsigned stage, const char* table) {
    size_t checked = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto* row = key_stages(e[i].key);
        if (!row) continue;  // format version, file hashes: not parameters
        ++checked;
        EXPECT_NE(row->stages & stage, 0u) << "the " << table << " table is keyed by '" << e[i].key
                                           << "', but changing it does not rebuild that stage";
    }
    return checked;
}

TEST(StageTable, ParametersOfCachedTablesInvalidateTheirStage) {
    Record r;
    NVXFingerprintEntry weak[NVX_WEAK_FINGERPRINT_LEN];
    NVXFingerprintEntry thermal[NVX_THERMAL_FINGERPRINT_LEN];
    NVXFingerprintEntry electron[NVX_ELECTRON_FINGERPRINT_LEN];
    using namespace nvx::session;
    EXPECT_GE(expect_keys_invalidate(weak, nvx_weak_rate_fingerprint(&r.c, weak), kStageWeak, "weak-rate"), 10u);
    EXPECT_GE(expect_keys_invalidate(thermal, nvx_thermal_fingerprint(&r.c, thermal), kStageWeak, "thermal"), 5u);
    EXPECT_GE(expect_keys_invalidate(electron, nvx_electron_fingerprint(&r.c, electron), kStagePlasma, "electron"),
              1u);
}

}  // namespace
