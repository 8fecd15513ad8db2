/* Dense linear algebra: in-place LU factorisation with partial pivoting and the matching solve.
 * Matrices are n x n doubles, row-major (element (i, j) at i*n + j). */
#ifndef NUVEX_LINALG_H
#define NUVEX_LINALG_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

/* Factorises A in place into L (strictly lower, unit diagonal implied) and U of the row-permuted
 * matrix; piv[i] is the row exchanged with row i at step i. Returns 0 on success, 1 when a pivot of
 * magnitude below 1e-300 is met (A and piv are then partly processed and unusable). No allocation. */
NVX_API int nvx_lu_factor(double* A, size_t n, size_t* piv);

/* Solves A x = b with the factors of nvx_lu_factor; b is overwritten with x. No allocation. */
NVX_API void nvx_lu_solve(const double* LU, size_t n, const size_t* piv, double* b);

/* Solves A x = b into b without touching A (works on a copy). Returns 0 on success, 1 when the
 * matrix is singular (or work storage cannot be obtained); b is then left unchanged. */
NVX_API int nvx_solve_linear(const double* A, size_t n, double* b);

NVX_END_DECLS

#endif
