/* The result record of one run: the derived abundance ratios, optional quantities, the final
 * abundances of every nuclide and, on request, the sampled time evolution with reaction rates. */
#ifndef NUVEX_RESULTS_H
#define NUVEX_RESULTS_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

typedef struct NVXResults {
    double YPCMB, YPBBN, DoH, He3oH, He3oHe4, Li7oH;
    int32_t has_Li6oLi7;
    double Li6oLi7;
    int32_t has_YCNO;
    double YCNO;
    int32_t has_Neff;
    double Neff;
    int32_t has_Omeganurel;
    double Omeganurel;
    int32_t has_OneOverOmeganunr;
    double OneOverOmeganunr;
    char (*nuclide_names)[NVX_NAME_LEN];
    double* Y_final;
    size_t n_nuclides;
    int32_t has_evolution;
    size_t n_points;
    double* t;
    double* a;
    double* T_gamma;
    double* T_nue;
    double* T_numu;
    double* T_nutau;
    double* Y; /* n_points x n_nuclides, by time point */
    size_t n_rate_columns;
    char (*rate_names)[NVX_RXN_NAME_LEN];
    double* rate_values; /* n_points x n_rate_columns, by time point */
} NVXResults;

/* A result quantity: its name in the result dictionary and JSON ("YPBBN"), the other name every
 * front end accepts for it ("Yp", or NULL), its unit ("mass fraction", "ratio by number", "eV", ...)
 * and a one-line definition. */
typedef struct NVXQuantity {
    const char* name;
    const char* alias;
    const char* unit;
    const char* definition;
} NVXQuantity;

/* The quantities in the order of the result dictionary: count, i-th (NULL past the end), and the
 * one named by name or alias (NULL when none). */
NVX_API size_t nvx_quantity_count(void);
NVX_API const NVXQuantity* nvx_quantity_at(size_t i);
NVX_API const NVXQuantity* nvx_quantity_find(const char* name);
/* "; did you mean 'Yp'?" for an unknown quantity name (quantity names, aliases and, when results is
 * given, its nuclides), or "" when nothing is close; newly allocated (NULL without memory). */
NVX_API char* nvx_quantity_suggestion(const char* name, const NVXResults* results);

/* Value of a result quantity (name or alias) or nuclide name; *found = 0 and 0.0 when unknown or
 * absent. */
NVX_API double nvx_results_get_quantity(const NVXResults* results, const char* name, int* found);
NVX_API void didiva_results_free(NVXResults* results);

NVX_END_DECLS

#endif
