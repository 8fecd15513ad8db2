/* Parameter record of one run (78 keyed parameters plus derived quantities), tagged values,
 * reaction maps, the nuclide table, validation, path resolution, the INI loader and logging. */
#ifndef NUVEX_CONFIG_H
#define NUVEX_CONFIG_H

#include "nuvex/common.h"
#include "nuvex/hooks.h"

NVX_BEGIN_DECLS

/* Tagged value: kind 0 none, 1 bool, 2 int, 3 float, 4 string (borrowed text). */
enum { NVX_PARAM_NONE = 0, NVX_PARAM_BOOL = 1, NVX_PARAM_INT = 2, NVX_PARAM_FLOAT = 3, NVX_PARAM_STRING = 4 };

typedef union NVXParamPayload {
    int64_t i;
    double d;
    const char* s;
} NVXParamPayload;

typedef struct NVXParam {
    int32_t kind;
    NVXParamPayload payload;
} NVXParam;

/* A parameter given by key: applied with nvx_config_set_by_name (key and string payload borrowed). */
typedef struct NVXKeyParam {
    const char* key; /* UTF-8, borrowed */
    NVXParam value;
} NVXKeyParam;

typedef struct NVXNuclide {
    char name[NVX_NAME_LEN];
    int32_t N;
    int32_t Z;
    double mass_excess_keV;
    double spin;
} NVXNuclide;

typedef struct NVXRxnMapEntry {
    char name[NVX_RXNMAP_NAME_LEN];
    double value;
} NVXRxnMapEntry;

typedef struct NVXRxnMap {
    NVXRxnMapEntry* entries;
    size_t count;
    size_t capacity;
    /* private hash index of the entries by name (owned; built by nvx_rxnmap_set, released by
     * nvx_rxnmap_free): setting and looking up n names costs O(n), not O(n^2) */
    void* index;
} NVXRxnMap;

#define NVX_DATA_DIR_LEN 4096

typedef struct NVXConfig {
    /* keys 1-21 */
    int32_t verbose;
    int32_t show_progress;
    int32_t debug;
    double numerical_precision;
    int32_t numba_installed;
    int32_t strict_params;
    int32_t incomplete_decoupling;
    int32_t QED_corrections;
    int32_t n_electron_table;
    int32_t recompute_electron_thermo;
    int32_t recompute_qed_corrections;
    int32_t spectral_distortions;
    int32_t analytic_distortions;
    double y_SZ;
    double y_gray;
    char* solan_file;
    char* solan_spectral_file;
    char* solan_grid_file;
    char* solan_file_prefix;
    int32_t external_scale_factor;
    char* custom_background;
    /* Newton's constant in MeV^-2 (key "GN" in SI units) */
    double G;
    /* keys 22-62 */
    double T_start_cosmo_MeV;
    double T_end_MeV;
    int32_t sampling_temperature_per_decade;
    int32_t radiative_corrections;
    int32_t finite_mass_corrections;
    int32_t thermal_corrections;
    int32_t weak_rate_cache;
    int32_t save_nTOp;
    int32_t sampling_nTOp_per_decade;
    int32_t save_nTOp_thermal;
    int32_t sampling_nTOp_thermal_per_decade;
    int32_t tau_n_normalization;
    double tau_n;
    double std_tau_n;
    int32_t vegas_n_eval;
    int32_t vegas_n_itn;
    double epsrel_thermal;
    int32_t output_time_evolution;
    int32_t output_rates_time_evolution;
    int32_t output_n_points;
    char* output_file;
    int32_t output_final_result;
    char* output_final_file;
    int32_t output_background_evolution;
    char* output_background_file;
    int32_t output_mc_samples;
    int32_t output_mc_covariance;
    int32_t output_mc_correlation;
    char* output_mc_file_prefix;
    int32_t rate_grid_npts;
    double rate_grid_T9_min;
    double rate_grid_T9_max;
    char* network;
    char* rate_set; /* nuclear rate set: manifest nuclear/ratesets/<name>.txt; "nuvex" or none: the network's own tables */
    int32_t amax;
    double atol_large_LT;
    int32_t rescale_nuclear_rates;
    double mc_rate_rescale_cap;
    int32_t nuclear_qed_corrections;
    char* user_nuclear_dir;
    char* cache_dir;
    /* baryon density Omega_b h^2 (key "Omegabh2") */
    double Omegabh2;
    /* keys 63-78 */
    double Omegach2;
    double h;
    double DeltaNeff;
    double munuOverTnu;
    double munuOverTnu_e;
    double munuOverTnu_mu;
    double munuOverTnu_tau;
    int32_t decay_reverse_rates;
    int32_t decay_era;
    double t_decay_end;
    int32_t decay_n_points;
    int32_t output_decay_evolution;
    char* output_decay_file;
    double fEDE;
    double zcEDE;
    double wnEDE;
    /* MeV-scale thermal relic (keys 79-82): no relic while relic_mass_MeV is NaN (none) */
    double relic_mass_MeV;
    double relic_g;
    char* relic_spin;        /* "boson" or "fermion" */
    char* relic_couples_to;  /* "electrons" or "neutrinos" */
    /* derived */
    double eta_per_Omegabh2;
    double eta0b;
    NVXRxnMap p_map;
    NVXRxnMap delta_map;
    NVXNuclide* nuclides;
    size_t n_nuclides;
    double* extra_rho_T;   /* photon temperature, MeV */
    double* extra_rho_val; /* extra energy density, MeV^4 */
    size_t extra_rho_n;
    char data_dir[NVX_DATA_DIR_LEN];
    /* borrowed: message, progress and cancellation hooks of the call (NULL: standard streams) */
    const NVXRunHooks* hooks;
} NVXConfig;

/* ---- record, keys, literals ---- */
NVX_API int nvx_config_init_defaults(NVXConfig* config, const char* data_dir, char** err);
NVX_API int nvx_config_set_by_name(NVXConfig* config, const char* key, int32_t kind,
                                   NVXParamPayload payload, char** err);
/* Convenience: set from a tagged value. */
NVX_API int nvx_config_set_param(NVXConfig* config, const char* key, NVXParam value, char** err);
NVX_API NVXParam nvx_parse_literal(const char* text);
NVX_API int nvx_config_validate(NVXConfig* config, char** err);
NVX_API void nvx_config_free(NVXConfig* config);
/* Deep copy: dst receives private copies of every string, both reaction maps, the nuclide table and
 * the extra energy density table (the hooks pointer stays borrowed). dst need not be initialised and
 * is overwritten; release it with nvx_config_free. 0, or 1 with *err (dst then holds nothing). */
NVX_API int nvx_config_copy(NVXConfig* dst, const NVXConfig* src, char** err);

NVX_API void nvx_rxnmap_set(NVXRxnMap* map, const char* name, double value);
NVX_API double nvx_rxnmap_get(const NVXRxnMap* map, const char* name);
NVX_API void nvx_rxnmap_free(NVXRxnMap* map);

NVX_API void nvx_config_set_Omegabh2(NVXConfig* config, double value);
NVX_API double nvx_config_get_Omegabh2(const NVXConfig* config);
NVX_API void nvx_config_set_GN(NVXConfig* config, double GN_SI);
NVX_API double nvx_config_get_GN(const NVXConfig* config);

/* ---- derived getters ---- */
NVX_API double nvx_config_Mpl(const NVXConfig* config);          /* MeV */
NVX_API double nvx_config_rhocOverh2(const NVXConfig* config);   /* MeV^4 */
NVX_API double nvx_config_T_start_cosmo(const NVXConfig* config);/* K */
NVX_API double nvx_config_T_end(const NVXConfig* config);        /* K */
NVX_API double nvx_config_xi_nu_e(const NVXConfig* config);
NVX_API double nvx_config_xi_nu_mu(const NVXConfig* config);
NVX_API double nvx_config_xi_nu_tau(const NVXConfig* config);
NVX_API int nvx_config_is_small(const NVXConfig* config);
NVX_API int nvx_config_is_large(const NVXConfig* config);
/* 1 when the record describes a thermal relic (relic_mass_MeV set). */
NVX_API int nvx_config_has_relic(const NVXConfig* config);
/* 1 for a fermionic relic, 0 for a boson; 1 when the relic is in equilibrium with the neutrinos,
 * 0 with the electron-photon plasma (both 0 without a relic). */
NVX_API int nvx_config_relic_is_fermion(const NVXConfig* config);
NVX_API int nvx_config_relic_neutrinophilic(const NVXConfig* config);

/* Looks a nuclide up by exact name; NULL when absent. */
NVX_API const NVXNuclide* nvx_config_find_nuclide(const NVXConfig* config, const char* name);

/* ---- paths ---- */
NVX_API void nvx_config_resolve_rates_path(const NVXConfig* config, const char* relative, char* out,
                                           size_t size);
NVX_API void nvx_config_cache_write_dir(const NVXConfig* config, const char* subdir, char* out,
                                        size_t size);
NVX_API void nvx_config_resolve_cache_file(const NVXConfig* config, const char* subdir,
                                           const char* file, char* out, size_t size);

/* ---- INI ---- */
NVX_API int nvx_ini_load(NVXConfig* config, const char* path, char** err);
/* Calls fn(key, value_text, path, line, user) for every well-formed "key = value" line of an INI
 * file, in order (malformed lines give the loader's warnings unless quiet); a non-zero return of fn
 * stops the walk. 0, or 1 when the file cannot be opened or read. */
typedef int (*nvx_ini_line_fn)(const char* key, const char* value, const char* path, int line, void* user);
NVX_API int nvx_ini_for_each(const char* path, nvx_ini_line_fn fn, void* user, int quiet, char** err);

/* ---- logging ---- */
NVX_API void nvx_log(const NVXConfig* config, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
/* A message of any level (NVX_MSG_*): to the record's message hook when there is one (levels below
 * hooks->min_level are dropped unformatted), else to the standard stream of that level. */
NVX_API void nvx_message(const NVXConfig* config, int level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
/* Reports progress to the record's progress hook; returns 1 when a hook took it, 0 when the caller
 * should print its own marks. */
NVX_API int nvx_progress(const NVXConfig* config, const char* stage, double done, double total);
/* 1 when the record's cancellation token has been set. */
NVX_API int nvx_run_cancelled(const NVXConfig* config);

NVX_END_DECLS

#endif
