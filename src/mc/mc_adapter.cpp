// nvx_mc_uncertainty, the parameter-list interface of the Monte Carlo driver: a record from the
// defaults of a data directory with the listed parameters applied, cancellable through the
// process-wide flag, with the documented messages and status codes.
#include <cstdlib>
#include <cstring>

#include "config/err.hpp"
#include "mc/mc_internal.hpp"
#include "nuvex/mc.h"

extern "C" int nvx_mc_uncertainty(int num_mc, const char* const* quantities, size_t n_quantities,
                                  const char* data_dir, const NVXKeyParam* params, size_t n_params,
                                  uint64_t seed, int n_jobs, const NVXCustomNetwork* custom_network,
                                  const double* prev_centrals, const double* const* prev_values, size_t n_prev,
                                  int progress, NVXMCResult* mc_result, char** err) {
    __atomic_store_n(&g_nvx_mc_cancel, 0, __ATOMIC_RELAXED);
    if (!mc_result) return nvx::fail(err, "nvx_mc_uncertainty: no result record");
    std::memset(mc_result, 0, sizeof *mc_result);
    NVXConfig config;
    if (nvx_config_init_defaults(&config, data_dir ? data_dir : "", err)) return 1;
    for (size_t i = 0; i < n_params; ++i)
        if (nvx_config_set_by_name(&config, params[i].key, params[i].value.kind, params[i].value.payload, err)) {
            nvx_config_free(&config);
            return 1;
        }
    if (nvx_config_validate(&config, err)) {
        nvx_config_free(&config);
        return 1;
    }
    NVXMCOptions o;
    nvx_mc_default_options(&o);
    o.num_mc = num_mc;
    o.quantities = quantities;
    o.n_quantities = n_quantities;
    o.seed = seed;
    o.n_jobs = n_jobs;
    o.prev_centrals = prev_centrals;
    o.prev_values = prev_values;
    o.n_prev = n_prev;
    o.progress = progress;
    int rc;
    try {
        rc = nvx::mc::run(&config, custom_network, &o, &g_nvx_mc_cancel, mc_result, err);
    } catch (const std::bad_alloc&) {
        nvx_mc_result_free(mc_result);
        rc = nvx::fail(err, "nvx_mc_uncertainty: out of memory");
    }
    nvx_config_free(&config);
    if (rc == NVX_INVALID && err && *err && std::strstr(*err, "unknown quantity")) {
        // the documented message of this interface
        std::free(*err);
        *err = nvx::dup_cstr("nvx_mc_uncertainty: unknown quantity name");
    }
    return rc == NVX_OK ? 0 : rc == NVX_CANCELLED ? 2 : 1;
}
