// A parameter record, plasma and background built together, with caches in a scratch directory
// and the expensive thermal corrections of the weak rates switched off.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "test_util.hpp"

namespace bgtest {

inline NVXParam B(bool v) { NVXParam p{NVX_PARAM_BOOL, {}}; p.payload.i = v; return p; }
inline NVXParam I(int64_t v) { NVXParam p{NVX_PARAM_INT, {}}; p.payload.i = v; return p; }
inline NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }
inline NVXParam S(const char* v) { NVXParam p{NVX_PARAM_STRING, {}}; p.payload.s = v; return p; }

using Settings = std::vector<std::pair<std::string, NVXParam>>;

// One cache directory per test process: the electron-positron and weak tables are built once.
inline const std::string& cache_dir() {
    static const std::string dir = nvx_test::scratch_dir("bg_cache");
    return dir;
}

// Instantaneous decoupling without distortions: needs no decoupling tables.
inline Settings instantaneous(bool qed) {
    return {{"incomplete_decoupling", B(false)}, {"spectral_distortions", B(false)},
            {"QED_corrections", B(qed)}};
}

struct BgRun {
    NVXConfig c{};
    nvx_plasma plasma{};
    nvx_background bg{};
    bool plasma_ready = false;
    std::string error;  // message of the last failed stage, "" when everything succeeded

    // Record with the test defaults plus `settings`; `custom` selects a custom background file.
    explicit BgRun(const Settings& settings, const char* custom = nullptr, bool build = true) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) != 0) { take(err); return; }
        Settings all = {{"cache_dir", S(cache_dir().c_str())}, {"thermal_corrections", B(false)},
                        {"sampling_nTOp_per_decade", I(40)}};
        if (custom) all.push_back({"custom_background", S(custom)});
        all.insert(all.end(), settings.begin(), settings.end());
        for (auto& [key, value] : all)
            if (nvx_config_set_param(&c, key.c_str(), value, &err) != 0) { take(err); return; }
        if (nvx_config_validate(&c, &err) != 0) { take(err); return; }
        if (nvx_plasma_init(&plasma, &c, &err) != 0) { take(err); return; }
        plasma_ready = true;
        if (build) this->build(custom);
    }
    void build(const char* custom = nullptr) {
        char* err = nullptr;
        const int rc = custom ? nvx_bg_init_custom(&bg, &c, &plasma, custom, &err)
                              : nvx_bg_init_standard(&bg, &c, &plasma, &err);
        if (rc != 0) take(err);
    }
    ~BgRun() {
        nvx_background_free(&bg);
        if (plasma_ready) nvx_plasma_free(&plasma);
        nvx_config_free(&c);
    }
    bool ok() const { return error.empty(); }
    double Neff() const {
        double T = 0, rho = 0;
        if (nvx_bg_rho_nu_total_final(&bg, &T, &rho) != 0) return -1;
        return nvx_bg_N_eff(&bg, T, rho);
    }

private:
    void take(char* err) {
        error = err ? err : "(no message)";
        std::free(err);
    }
};

}  // namespace bgtest
