// The Monte Carlo driver: central run, worker threads over sample blocks, progress and statistics.
// Until the network integration is available it refuses to run rather than invent numbers.
#include "config/err.hpp"
#include "nuvex/mc.h"

extern "C" int nvx_mc_uncertainty(int, const char* const*, size_t, const char*, const NVXKeyParam*, size_t,
                                  uint64_t, int, const NVXCustomNetwork*, const double*,
                                  const double* const*, size_t, int, NVXMCResult* mc_result, char** err) {
    if (mc_result) nvx_mc_result_free(mc_result);
    __atomic_store_n(&g_nvx_mc_cancel, 0, __ATOMIC_RELAXED);
    return nvx::fail(err, "nvx_mc_uncertainty: the Monte Carlo driver is not built yet");
}
