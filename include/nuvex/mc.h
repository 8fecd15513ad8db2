/* Monte Carlo uncertainty: repeated network integrations with perturbed nuclear rates and
 * neutron lifetime on several threads; central value, mean and standard deviation per quantity. */
#ifndef NUVEX_MC_H
#define NUVEX_MC_H

#include "nuvex/config.h"
#include "nuvex/custom_network.h"

NVX_BEGIN_DECLS

typedef struct NVXKeyParam {
    const char* key; /* UTF-8, borrowed */
    NVXParam value;
} NVXKeyParam;

typedef struct NVXMCEntry {
    char name[NVX_RXNMAP_NAME_LEN];
    double central;
    double mean;
    double std;
    double* values; /* num_mc samples in sample order */
} NVXMCEntry;

typedef struct NVXMCResult {
    NVXMCEntry* entries;
    size_t count;
    size_t num_mc;
} NVXMCResult;

/* Process-wide cancel flag, cleared at the start of every call, polled before every sample. */
NVX_API extern volatile int32_t g_nvx_mc_cancel;

/* 0 on success, 1 on failure (*err set), 2 when cancelled. */
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
