// Shared set-up of the weak-rate tests: a default parameter record with every correction off,
// a cache directory of its own, and neutrino temperatures equal to the photon temperature.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "nuvex/cache.h"
#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "neutrino/tabulated_history.hpp"
#include "nuvex/weak.h"
#include "test_util.hpp"

namespace weak_test {

inline double K_of_MeV(double T_MeV) { return T_MeV * nvx_MeV_to_Kelvin(); }

struct Fixture {
    NVXConfig cfg{};
    std::vector<double> T_MeV{1e-4, 1.0, 100.0};
    std::vector<double> Tnu_MeV;
    std::string cache;

    explicit Fixture(const std::string& name, double Tnu_over_T = 1.0) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&cfg, NUVEX_DATA_DIR, &err) != 0) {
            ADD_FAILURE() << (err ? err : "init failed");
            nvx_free(err);
        }
        cache = nvx_test::scratch_dir(name);
        std::free(cfg.cache_dir);
        cfg.cache_dir = strdup(cache.c_str());
        cfg.verbose = 0;
        cfg.show_progress = 0;
        cfg.radiative_corrections = 0;
        cfg.finite_mass_corrections = 0;
        cfg.thermal_corrections = 0;
        cfg.spectral_distortions = 0;
        cfg.analytic_distortions = 0;
        cfg.incomplete_decoupling = 0;
        cfg.sampling_nTOp_per_decade = 10;
        for (double T : T_MeV) Tnu_MeV.push_back(T * Tnu_over_T);
    }
    ~Fixture() { nvx_config_free(&cfg); }

    // Rate context; the caller frees it.
    nvx_weak_ctx ctx(const nvx_neutrino_history* h = nullptr) {
        nvx_weak_ctx c{};
        char* err = nullptr;
        EXPECT_EQ(0, nvx_weak_ctx_init(&c, T_MeV.data(), Tnu_MeV.data(), T_MeV.size(), &cfg, h, &err))
            << (err ? err : "");
        nvx_free(err);
        return c;
    }

    int init(nvx_weak_rates* r, const nvx_neutrino_history* h = nullptr, std::string* msg = nullptr) {
        char* err = nullptr;
        int rc = nvx_weak_rates_init(r, T_MeV.data(), Tnu_MeV.data(), T_MeV.size(), &cfg, h, &err);
        if (msg) *msg = err ? err : "";
        nvx_free(err);
        return rc;
    }
};

// Analytic-distortion history record built by hand (only the fields the distortions read).
inline nvx_neutrino_history analytic_history(double y_SZ, double y_gray, double xi) {
    nvx_neutrino_history h{};
    h.mode = NVX_NU_MODE_INSTANTANEOUS;
    h.analytic = 1;
    h.y_SZ = y_SZ;
    h.y_gray = y_gray;
    h.xi_nue = xi;
    return h;
}

// Tabulated-spectrum history built by hand: every row holds the same relative distortion delta(y)
// on the shipped momentum grid y = 0.25 ... 20, and the rows' comoving temperature is r T (x = z/r),
// so that with neutrino temperatures r T the total spectrum is (1 + delta(E/T_nu)) F(E/T_nu).
struct TableHistory : TabulatedHistory {
    TableHistory(double r, const std::function<double(double)>& delta)  // m_e/T_gamma from 0.01 to 10
        : TabulatedHistory(r, 61, -2.0, 1.0, [&delta](double y, double) { return delta(y); }) {}
};

inline double fermi_occupation(double v) { return 1.0 / (std::exp(v) + 1.0); }

}  // namespace weak_test
