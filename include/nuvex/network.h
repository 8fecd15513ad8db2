/* Nuclear reaction network: data-file loaders, detailed-balance coefficients, assembly of the
 * mid- (MT) and low-temperature (LT) networks with rate tabulation, compiled abundance equations,
 * and the per-run pair of networks with rate variations and rate evaluation. */
#ifndef NUVEX_NETWORK_H
#define NUVEX_NETWORK_H

#include "nuvex/common.h"
#include "nuvex/config.h"
#include "nuvex/custom_network.h"

NVX_BEGIN_DECLS

/* Most reactions a network may hold before the n<->p reaction 0 is added. */
#define NVX_MAX_REACTIONS 600
/* Most distinct species on one side of a reaction. */
#define NVX_SIDE_MAX 8
#define NVX_KIND_LEN 32

/* ---------------------------------------------------------------- data files */

typedef struct NVXNetworkListEntry {
    char name[NVX_RXN_NAME_LEN];
    char source[NVX_SOURCE_LEN]; /* rate-table file name; empty when not given */
} NVXNetworkListEntry;

typedef struct NVXNetworkList {
    NVXNetworkListEntry* entries;
    size_t count;
    size_t capacity;
} NVXNetworkList;

typedef struct NVXReactionRow {
    char name[NVX_RXN_NAME_LEN];
    char reactants[NVX_RXN_NAME_LEN]; /* side text, tokens joined by "+" */
    char products[NVX_RXN_NAME_LEN];
    char kind[NVX_KIND_LEN];
    char note[NVX_SOURCE_LEN];
} NVXReactionRow;

typedef struct NVXReactionTable {
    NVXReactionRow* rows;
    size_t count;
    size_t capacity;
} NVXReactionTable;

typedef struct NVXDetailedBalanceRow {
    char name[NVX_RXN_NAME_LEN];
    double c0; /* carried, unused */
    double alpha;
    double beta;
    double gamma;
} NVXDetailedBalanceRow;

typedef struct NVXDetailedBalanceTable {
    NVXDetailedBalanceRow* rows;
    size_t count;
    size_t capacity;
} NVXDetailedBalanceTable;

typedef struct NVXDecayRow {
    char name[NVX_RXN_NAME_LEN];
    double aux;  /* carried, unused */
    double rate; /* s^-1 */
    double unc;  /* multiplicative 1-sigma factor */
    char note[NVX_SOURCE_LEN];
} NVXDecayRow;

typedef struct NVXDecayTable {
    NVXDecayRow* rows;
    size_t count;
    size_t capacity;
} NVXDecayTable;

/* One side of a reaction: distinct species with multiplicities, in first-occurrence order. */
typedef struct NVXSide {
    char names[NVX_SIDE_MAX][NVX_NAME_LEN];
    int32_t mult[NVX_SIDE_MAX];
    size_t count;
} NVXSide;

/* One line of a rate-set manifest: the table file that replaces the reaction's own one, and where
 * that rate and its 1-sigma band come from (text for people and listings; cut to 127 characters). */
typedef struct NVXRateSetEntry {
    char name[NVX_RXN_NAME_LEN];
    char file[NVX_SOURCE_LEN]; /* plain file name inside nuclear/tables/<name>/ */
    char source[NVX_SOURCE_LEN];
    char uncertainty[NVX_SOURCE_LEN];
    int32_t line; /* 1-based line of the manifest */
} NVXRateSetEntry;

typedef struct NVXRateSet {
    NVXRateSetEntry* entries;
    size_t count;
    size_t capacity;
} NVXRateSet;

/* Loaders: the table is emptied first; on failure it is left empty and *error holds a message
 * with the path (and the line for a malformed line). */
NVX_API int nvx_load_network_list(const char* path, NVXNetworkList* list, char** error);
NVX_API int nvx_load_reactions_large(const char* path, NVXReactionTable* table, char** error);
NVX_API int nvx_load_detailed_balance(const char* path, NVXDetailedBalanceTable* table, char** error);
NVX_API int nvx_load_decays(const char* path, NVXDecayTable* table, char** error);
/* Rate-set manifest: lines "reaction | table file | source | uncertainty", '#' comments. */
NVX_API int nvx_load_rate_set(const char* path, NVXRateSet* set, char** error);
NVX_API void nvx_network_list_free(NVXNetworkList* list);
NVX_API void nvx_reaction_table_free(NVXReactionTable* table);
NVX_API void nvx_detailed_balance_free(NVXDetailedBalanceTable* table);
NVX_API void nvx_decay_table_free(NVXDecayTable* table);
NVX_API void nvx_rate_set_free(NVXRateSet* set);

/* Parses a side text ("He4+He4+g", "He3+Bm"): photons ignored, Bm/Bp counted into *beta.
 * Returns 0, or 1 with a message when the side names more than NVX_SIDE_MAX distinct species. */
NVX_API int nvx_parse_side(const char* text, NVXSide* side, int32_t* beta, char** error);

/* Source label of a rate table: text after "ref=" in its leading comment block, else "?". */
NVX_API void nvx_read_reaction_source(const char* path, char label[NVX_SOURCE_LEN]);

/* Reverse-rate coefficients from masses and spins; particles listed once each (a species of
 * multiplicity 2 is listed twice). reverse = alpha T9^beta exp(gamma/T9) forward. */
NVX_API int nvx_compute_detailed_balance_coefficients(const char* const* reactants, size_t n_reactants,
                                                      const char* const* products, size_t n_products,
                                                      const NVXConfig* record, double* alpha,
                                                      double* beta, double* gamma, char** error);

/* ---------------------------------------------------------------- network definition */

typedef struct NVXReactionStoich {
    int64_t reactants[NVX_SIDE_MAX]; /* species indices (-1: not in the species order) */
    int64_t reactant_mult[NVX_SIDE_MAX];
    size_t n_reactants;
    int64_t products[NVX_SIDE_MAX];
    int64_t product_mult[NVX_SIDE_MAX];
    size_t n_products;
} NVXReactionStoich;

/* Network of one era. Rate rows are indexed by reaction index minus 1 (reaction 0, n->p, has its
 * rates handed in at evaluation). */
typedef struct NVXNetworkDef {
    char (*species)[NVX_NAME_LEN];
    int64_t* species_N;
    int64_t* species_Z;
    size_t n_species;
    NVXReactionStoich* stoich;               /* n_reactions */
    char (*reaction_names)[NVX_RXN_NAME_LEN]; /* n_reactions; [0] = "n__p" */
    char (*sources)[NVX_SOURCE_LEN];         /* n_reactions; [0] empty */
    int32_t* weak;                           /* n_reactions; 1 when the beta count changes */
    int64_t* beta_change;                    /* n_reactions; products' minus reactants' beta count */
    size_t n_reactions;
    double* grid_T9; /* n_grid */
    size_t n_grid;
    double* rates_current; /* (n_reactions-1) x n_grid, after variations */
    double* rates_base;    /* (n_reactions-1) x n_grid, as loaded */
    double* rates_unc;     /* (n_reactions-1) x n_grid, 1-sigma factors */
    double* reverse_coeffs; /* (n_reactions-1) x 3: alpha, beta, gamma */
    double* reverse_caps;   /* n_reactions-1: LT cap on the reverse rate */
    double* rate_buffer;    /* n_reactions x 2: forward, reverse at cached_T_K */
    double cached_T_K;
    int32_t cached_lt;
    int32_t cache_valid;
    /* Interpolation of the current rates in ln T9 (natural cubic splines on the uniform grid, or
     * linear for rows with a zero, negative or abruptly changing value): scaled second derivatives
     * h^2 M/6 per row, (n_reactions-1) x n_grid, recomputed from rates_current by the first
     * evaluation after the variations were applied (curv_valid = 0). */
    double* rates_curv;
    int32_t curv_valid;
    double grid_lnT9_0;      /* ln T9 of grid point 0 */
    double grid_inv_dlnT9;   /* 1 / (ln T9 spacing); 0 for a one-point grid */
} NVXNetworkDef;

/* Builds the network of era "MT" or "LT" (case-insensitive). reactions/count: optional explicit
 * list in network-list line syntax (NULL: the list file of the "network" key). custom may be NULL.
 * def is zeroed at entry; on failure it is freed and *error holds a message. */
NVX_API int nvx_load_network(const NVXConfig* record, const char* era, const char* const* reactions,
                             size_t count, const NVXCustomNetwork* custom, NVXNetworkDef* def,
                             char** error);
NVX_API void nvx_network_def_free(NVXNetworkDef* def);

/* Resamples a tabulated function of T9 onto x_dst (log-log not-a-knot spline, or linear in
 * log10 T9 when a value is <= 0; exact copy on the same grid). */
NVX_API int nvx_resample_rate_table(const double* x_src, const double* y_src, size_t n_src,
                                    const double* x_dst, double* y_dst, size_t n_dst, char** error);

/* ---------------------------------------------------------------- compiled equations */

typedef struct NVXCompiledNetwork {
    size_t n_reactions;
    size_t n_species;
    size_t reactant_stride;
    size_t product_stride;
    size_t change_stride;
    size_t involved_stride;
    int64_t* reactant_species;
    int64_t* reactant_mult;
    size_t* n_reactants;
    int64_t* product_species;
    int64_t* product_mult;
    size_t* n_products;
    int64_t* change_species;
    double* change_coeff; /* net change per event, products minus reactants */
    size_t* n_changes;
    int64_t* involved_species; /* increasing index order */
    size_t* n_involved;
    double* reactant_rho_power; /* particles - 1 */
    double* product_rho_power;
    double* reactant_symmetry; /* 1 / prod m! */
    double* product_symmetry;
} NVXCompiledNetwork;

/* Compiles stoichiometry records. Returns 1 with a message when a record names a species index
 * outside 0..species_count-1 or holds more than NVX_SIDE_MAX entries on a side. */
NVX_API int nvx_compile_network(const NVXReactionStoich* stoich, size_t reaction_count,
                                size_t species_count, NVXCompiledNetwork* compiled, char** error);
NVX_API void nvx_compiled_network_free(NVXCompiledNetwork* compiled);

/* dY/dt from abundances Y, rate buffer (forward, reverse per reaction) and baryon density rho
 * (g cm^-3). No allocation. */
NVX_API void nvx_network_rhs(const NVXCompiledNetwork* compiled, const double* Y, const double* rates,
                             double* dYdt, double rho);
/* J[k*S + j] = d(dY_k/dt)/dY_j, row-major S x S. No allocation. */
NVX_API void nvx_network_jacobian(const NVXCompiledNetwork* compiled, const double* Y,
                                  const double* rates, double* J, double rho);
/* N/Z conservation of every reaction; exempt reactions (weak ones) must balance their beta
 * change instead. beta_changes may be NULL. */
NVX_API int nvx_check_conservation(const NVXCompiledNetwork* compiled, const int64_t* N, const int64_t* Z,
                                   const size_t* exempt, size_t exempt_count,
                                   const int64_t* beta_changes, char** error);

/* ---------------------------------------------------------------- rates per era */

typedef struct NVXNuclearRates {
    NVXNetworkDef mt;
    NVXNetworkDef lt;
    NVXCompiledNetwork mt_compiled;
    NVXCompiledNetwork lt_compiled;
} NVXNuclearRates;

/* Loads, varies, compiles and checks both eras; on failure nothing of the record survives. */
NVX_API int nvx_nuclear_rates_init(NVXNuclearRates* rates, const NVXConfig* record,
                                   const NVXCustomNetwork* custom, char** error);
NVX_API void nvx_nuclear_rates_free(NVXNuclearRates* rates);
/* Rebuilds current rates from the base rates with p_map / delta_map / mc_rate_rescale_cap. */
NVX_API void nvx_nuclear_rates_apply_variations(NVXNuclearRates* rates, const NVXConfig* record);
NVX_API void nvx_network_apply_variations(NVXNetworkDef* def, const NVXConfig* record);
/* 0 when every p_ and delta_ key of the record names a reaction of the MT or LT network; else 1
 * with a message naming the key (and the closest reaction name). */
NVX_API int nvx_nuclear_rates_check_variation_keys(const NVXNuclearRates* rates, const NVXConfig* record,
                                                   char** error);

/* Forward and reverse rates of every reaction at T_K (kelvin); lambda_np, lambda_pn (s^-1) fill
 * reaction 0. Returns the definition's buffer (n_reactions x 2), reused at the same T_K and era. */
NVX_API const double* nvx_network_fill_buffer(NVXNetworkDef* def, int lt, double T_K, double lambda_np,
                                              double lambda_pn);

NVX_API void nvx_nuclear_rates_rhs_mt(NVXNuclearRates* rates, const double* Y, double* dYdt, double T_K,
                                      double rho, double lambda_np, double lambda_pn);
NVX_API void nvx_nuclear_rates_jac_mt(NVXNuclearRates* rates, const double* Y, double* J, double T_K,
                                      double rho, double lambda_np, double lambda_pn);
NVX_API void nvx_nuclear_rates_rhs_lt(NVXNuclearRates* rates, const double* Y, double* dYdt, double T_K,
                                      double rho, double lambda_np, double lambda_pn);
NVX_API void nvx_nuclear_rates_jac_lt(NVXNuclearRates* rates, const double* Y, double* J, double T_K,
                                      double rho, double lambda_np, double lambda_pn);

/* Network summary of a run: reaction and nuclide counts (tag "rates"), and under "verbose" the
 * nuclide lists and the table of LT reactions with their references. */
NVX_API void nvx_nuclear_rates_log_summary(const NVXNuclearRates* rates, const NVXConfig* record);

NVX_END_DECLS

#endif
