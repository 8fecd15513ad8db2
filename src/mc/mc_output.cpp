// Monte Carlo output files: the samples of every quantity, and their covariance and correlation
// matrices, each written complete to a private temporary file and renamed into place.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cache/output_file.hpp"
#include "config/err.hpp"
#include "nuvex/mc.h"

namespace {

int write_samples(const NVXMCResult* r, const NVXConfig* c, const std::string& path, char** err) {
    nvx::OutputFile out;
    if (!out.open(path.c_str())) return nvx::fail(err, "nvx_mc_uncertainty: cannot open %s", path.c_str());
    FILE* fp = out.get();
    std::fputs("sample", fp);
    for (size_t q = 0; q < r->count; ++q) std::fprintf(fp, "\t%s", r->entries[q].name);
    std::fputc('\n', fp);
    for (size_t k = 0; k < r->num_mc; ++k) {
        std::fprintf(fp, "%lld", static_cast<long long>(r->first) + static_cast<long long>(k));  // sample index
        for (size_t q = 0; q < r->count; ++q) std::fprintf(fp, "\t%.17g", r->entries[q].values[k]);
        std::fputc('\n', fp);
    }
    if (!out.commit()) return nvx::fail(err, "nvx_mc_uncertainty: cannot write %s", path.c_str());
    nvx_message(c, NVX_MSG_NOTICE, "output", "[output] Monte Carlo samples (%zu rows) written to %s", r->num_mc,
                path.c_str());
    return 0;
}

// Sample covariance (n - 1 normalisation) or, with `correlation`, Pearson correlation; NaN where
// fewer than two samples or a constant quantity leave it undefined.
int write_matrix(const NVXMCResult* r, const NVXConfig* c, const std::string& path, bool correlation, char** err) {
    const size_t m = r->count, n = r->num_mc;
    std::vector<double> cov(m * m);
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < m; ++j) cov[i * m + j] = nvx_mc_sample_cov(r->entries[i].values, r->entries[j].values, n);
    nvx::OutputFile out;
    if (!out.open(path.c_str())) return nvx::fail(err, "nvx_mc_uncertainty: cannot open %s", path.c_str());
    FILE* fp = out.get();
    std::fputs("quantity", fp);
    for (size_t q = 0; q < m; ++q) std::fprintf(fp, "\t%s", r->entries[q].name);
    std::fputc('\n', fp);
    for (size_t i = 0; i < m; ++i) {
        std::fputs(r->entries[i].name, fp);
        for (size_t j = 0; j < m; ++j) {
            double v = cov[i * m + j];
            if (correlation) {
                const double d = std::sqrt(cov[i * m + i] * cov[j * m + j]);
                v = d > 0.0 ? v / d : NAN;
            }
            std::fprintf(fp, "\t%.17g", v);
        }
        std::fputc('\n', fp);
    }
    if (!out.commit()) return nvx::fail(err, "nvx_mc_uncertainty: cannot write %s", path.c_str());
    nvx_message(c, NVX_MSG_NOTICE, "output", "[output] Monte Carlo %s matrix (%zu x %zu) written to %s",
                correlation ? "correlation" : "covariance", m, m, path.c_str());
    return 0;
}

}  // namespace

extern "C" int nvx_mc_write_outputs(const NVXMCResult* result, const NVXConfig* config, char** err) {
    if (!result || !config) return nvx::fail(err, "nvx_mc_write_outputs: null argument");
    const bool any = config->output_mc_samples || config->output_mc_covariance || config->output_mc_correlation;
    if (!any) return 0;
    const char* prefix = config->output_mc_file_prefix;
    if (!prefix || !*prefix)
        return nvx::fail(err, "output_mc_file_prefix is empty, but output_mc_samples, output_mc_covariance or "
                              "output_mc_correlation asks for a file");
    const std::string p = prefix;
    if (config->output_mc_samples && write_samples(result, config, p + "_samples.tsv", err)) return 1;
    if (config->output_mc_covariance && write_matrix(result, config, p + "_covariance.tsv", false, err)) return 1;
    if (config->output_mc_correlation && write_matrix(result, config, p + "_correlation.tsv", true, err)) return 1;
    return 0;
}

extern "C" int nvx_mc_write_outputs_for(const NVXMCResult* result, const char* data_dir, const NVXKeyParam* params,
                                        size_t n_params, char** err) {
    NVXConfig config;
    if (nvx_config_init_defaults(&config, data_dir, err)) return 1;
    int rc = 0;
    for (size_t i = 0; i < n_params && rc == 0; ++i)
        rc = nvx_config_set_by_name(&config, params[i].key, params[i].value.kind, params[i].value.payload, err);
    if (rc == 0) rc = nvx_mc_write_outputs(result, &config, err);
    nvx_config_free(&config);
    return rc;
}
