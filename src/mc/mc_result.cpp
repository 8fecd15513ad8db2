// Monte Carlo result record helpers, the process-wide cancel flag and sample statistics.
// The driver itself lives beside this file.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "nuvex/mc.h"

volatile int32_t g_nvx_mc_cancel = 0;

extern "C" {

void nvx_mc_request_cancel(void) {
    __atomic_store_n(&g_nvx_mc_cancel, 1, __ATOMIC_RELAXED);
}

void nvx_mc_result_free(NVXMCResult* r) {
    if (!r) return;
    for (size_t i = 0; i < r->count; ++i) std::free(r->entries[i].values);
    std::free(r->entries);
    std::memset(r, 0, sizeof *r);
}

size_t nvx_mc_result_index(const NVXMCResult* r, const char* name) {
    for (size_t i = 0; i < r->count; ++i)
        if (name && std::strcmp(r->entries[i].name, name) == 0) return i;
    return r->count;
}

double nvx_mc_sample_cov(const double* x, const double* y, size_t n) {
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    double mx = 0, my = 0;
    for (size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += (y[i] - my) * (x[i] - mx);
    return s / static_cast<double>(n - 1);
}

}  // extern "C"
