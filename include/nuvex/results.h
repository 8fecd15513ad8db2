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

/* Value of a result quantity or nuclide name; *found = 0 and 0.0 when unknown or absent. */
NVX_API double nvx_results_get_quantity(const NVXResults* results, const char* name, int* found);
NVX_API void didiva_results_free(NVXResults* results);

NVX_END_DECLS

#endif
