/* Monte Carlo uncertainty: repeated network integrations with perturbed nuclear rates and
 * neutron lifetime on several threads; central value, mean and standard deviation per quantity. */
#ifndef NUVEX_MC_H
#define NUVEX_MC_H

#include "nuvex/config.h"
#include "nuvex/custom_network.h"

NVX_BEGIN_DECLS

typedef struct NVXMCEntry {
    char name[NVX_RXNMAP_NAME_LEN];
    double central;
    double mean;
    double std;     /* sample standard deviation (divisor num_mc - 1); NaN for a single sample */
    double* values; /* num_mc samples in sample order */
} NVXMCEntry;

typedef struct NVXMCResult {
    NVXMCEntry* entries;
    size_t count;
    size_t num_mc;
    int64_t first; /* index of values[0] among the samples of the seed */
} NVXMCResult;

/* What nvx_mc_run computes. Sample k (k = first .. first + num_mc - 1) draws its perturbations from a
 * generator seeded with seed + k alone, so its values are the same in any block, worker count or call. */
typedef struct NVXMCOptions {
    int num_mc;                       /* samples, at least 1 */
    const char* const* quantities;    /* result quantity or nuclide names (borrowed) */
    size_t n_quantities;
    uint64_t seed;
    int n_jobs;                       /* workers: <= 0 every core (at most num_mc); > 0 that many
                                         (at most num_mc) */
    int64_t first;                    /* index of the first sample, >= 0 */
    const double* prev_centrals;      /* optional, one per quantity: replaces the central run ... */
    const double* const* prev_values; /* ... together with these values of samples first, first+1, ... */
    size_t n_prev;                    /* ... of which there are n_prev per quantity */
    int progress;                     /* without a progress hook: "[MC]" lines on standard error */
} NVXMCOptions;

/* Fills the defaults: one sample, no quantities, seed 0, every core, first 0, nothing reused, no
 * progress lines. */
NVX_API void nvx_mc_default_options(NVXMCOptions* options);

/* Central run and samples of a copy of `config` (validated on the copy) with `custom_network` (may be
 * NULL). The workers are sessions forked from the central one: nothing is read or built again per
 * worker. Messages, progress ("mc", samples done of num_mc) and cancellation come from
 * config->hooks. Returns NVX_OK, NVX_INVALID (a refused option or parameter, an unknown quantity:
 * *err names it), NVX_FAIL (*err names the failing stage or sample) or NVX_CANCELLED. */
NVX_API int nvx_mc_run(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                       const NVXMCOptions* options, NVXMCResult* result, char** err);

/* Process-wide cancel flag of nvx_mc_uncertainty, cleared at the start of its every call and polled
 * before every sample. Other callers use the per-call token of their hooks instead. */
NVX_API extern volatile int32_t g_nvx_mc_cancel;

/* The parameter-list interface: a record from the defaults of data_dir with `params` applied in
 * order, then nvx_mc_run. 0 on success, 1 on failure (*err set), 2 when cancelled. */
NVX_API int nvx_mc_uncertainty(int num_mc, const char* const* quantities, size_t n_quantities,
                               const char* data_dir, const NVXKeyParam* params, size_t n_params,
                               uint64_t seed, int n_jobs, const NVXCustomNetwork* custom_network,
                               const double* prev_centrals, const double* const* prev_values,
                               size_t n_prev, int progress, NVXMCResult* mc_result, char** err);
/* Writes the Monte Carlo files the record asks for ("output_mc_samples", "output_mc_covariance",
 * "output_mc_correlation"): "<output_mc_file_prefix>_samples.tsv", "_covariance.tsv" and
 * "_correlation.tsv", tab-separated with a header line, each complete or not at all. 0 or 1. */
NVX_API int nvx_mc_write_outputs(const NVXMCResult* result, const NVXConfig* config, char** err);
/* The same for the parameter list of nvx_mc_uncertainty (applied over the defaults of data_dir). */
NVX_API int nvx_mc_write_outputs_for(const NVXMCResult* result, const char* data_dir, const NVXKeyParam* params,
                                     size_t n_params, char** err);
NVX_API void nvx_mc_request_cancel(void);
NVX_API void nvx_mc_result_free(NVXMCResult* result);
NVX_API size_t nvx_mc_result_index(const NVXMCResult* result, const char* name);
NVX_API double nvx_mc_sample_cov(const double* x, const double* y, size_t n);

NVX_END_DECLS

#endif
