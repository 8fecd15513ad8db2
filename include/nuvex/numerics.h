/* Numerical library: segment search, interpolation, cubic splines, quadrature, random numbers,
 * 2-D VEGAS and the numeric table reader. Everything here is reentrant (no global mutable state). */
#ifndef NUVEX_NUMERICS_H
#define NUVEX_NUMERICS_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

/* ---------------------------------------------------------------- cubic splines */

/* Interpolating cubic spline; segment i evaluates a[i] + t*(b[i] + t*(c[i] + t*d[i])), t = xq - x[i].
 * Owns its arrays; a zeroed record is empty. */
typedef struct nvx_cubic_spline {
    double* x; /* n knots, strictly increasing */
    double* a; /* n-1: value at the left knot */
    double* b; /* n-1: first derivative at the left knot */
    double* c; /* n-1: half the second derivative at the left knot */
    double* d; /* n-1: third-order coefficient */
    size_t n;  /* number of knots */
} nvx_cubic_spline;

/* Zero second derivative at both ends; needs n >= 3. On failure the record is untouched. */
NVX_API int nvx_cubic_spline_fit_natural(const double* x, const double* y, size_t n,
                                         nvx_cubic_spline* spline, char** err);
/* Third derivative continuous across the second and second-to-last knots; needs n >= 4. */
NVX_API int nvx_cubic_spline_fit_notaknot(const double* x, const double* y, size_t n,
                                          nvx_cubic_spline* spline, char** err);
/* Value at xq; end cubics are extrapolated outside the knots. */
NVX_API double nvx_cubic_spline_eval(const nvx_cubic_spline* spline, double xq);
/* First and second derivative at xq (same segment choice as the value). */
NVX_API double nvx_cubic_spline_deriv(const nvx_cubic_spline* spline, double xq);
NVX_API double nvx_cubic_spline_deriv2(const nvx_cubic_spline* spline, double xq);
/* Frees the arrays and zeroes the record (freeing twice is harmless). */
NVX_API void nvx_cubic_spline_free(nvx_cubic_spline* spline);

/* ------------------------------------------------- segment search and interpolation */

/* Segment i with x[i] <= xq < x[i+1]; 0 at or below x[0], n-2 at or above x[n-1]. Needs n >= 2. */
NVX_API size_t nvx_find_segment(const double* x, size_t n, double xq);
/* Same answer, hunting from *hint (the caller's last segment; null: plain bisection).
 * The answer is stored back through hint when it is not null. */
NVX_API size_t nvx_find_segment_monotone(const double* x, size_t n, size_t* hint, double xq);
/* Linear interpolation; extrapolate == 0 clamps to the end values, otherwise continues the end
 * segments. */
NVX_API double nvx_interp_linear(const double* x, const double* y, size_t n, int extrapolate,
                                 double xq);
/* Three-point Lagrange interpolation on the stencil around xq (extrapolates the end parabolas).
 * Needs n >= 3. */
NVX_API double nvx_interp_quadratic_local(const double* x, const double* y, size_t n, double xq);

/* Owning 1-D interpolant: a cubic spline, or linear interpolation with extrapolation. */
typedef struct nvx_interp1d {
    int use_spline;          /* 1: spline below; 0: linear on x, y */
    double* x;               /* linear mode: abscissae (owned) */
    double* y;               /* linear mode: ordinates (owned) */
    size_t n;                /* linear mode: number of points */
    nvx_cubic_spline spline; /* spline mode: the fitted spline */
} nvx_interp1d;

/* Fills a linear-mode interpolant with copies of x and y (n >= 2). */
NVX_API int nvx_interp1d_init_linear(nvx_interp1d* ip, const double* x, const double* y, size_t n,
                                     char** err);
/* Fills a spline-mode interpolant with a not-a-knot spline (n >= 4). */
NVX_API int nvx_interp1d_init_spline(nvx_interp1d* ip, const double* x, const double* y, size_t n,
                                     char** err);
NVX_API double nvx_interp1d_eval(const nvx_interp1d* ip, double xq);
/* Frees what the record owns and zeroes it (freeing twice is harmless). */
NVX_API void nvx_interp1d_free(nvx_interp1d* ip);

/* ---------------------------------------------------------------- quadrature */

typedef double (*nvx_quad_fn)(double x, void* user);

/* Adaptive Simpson with Richardson extrapolation over [a, b]; tol is absolute, max_depth the
 * recursion budget. err_out (optional) receives the magnitude of the accumulated error estimate. */
NVX_API double nvx_quad_adaptive(nvx_quad_fn f, void* user, int max_depth, double* err_out,
                                 double a, double b, double tol);
/* n-point Gauss-Legendre nodes (ascending) and weights on [-1, 1]; nothing for n <= 0. */
NVX_API void nvx_gauss_legendre(int n, double* nodes, double* weights);

/* ---------------------------------------------------------------- random numbers */

/* xoshiro256** state, seeded by SplitMix64. Plain value; one per thread. */
typedef struct nvx_rng {
    uint64_t s[4];
} nvx_rng;

NVX_API void nvx_rng_seed(nvx_rng* rng, uint64_t seed);
NVX_API uint64_t nvx_rng_next(nvx_rng* rng);
/* Uniform on [0, 1) with 53 random bits. */
NVX_API double nvx_rng_uniform(nvx_rng* rng);
/* Standard normal deviate (Box-Muller, cosine branch only). */
NVX_API double nvx_rng_normal(nvx_rng* rng);

/* ---------------------------------------------------------------- VEGAS (2-D) */

typedef double (*nvx_vegas_fn)(const double* x, void* user);

typedef struct nvx_vegas_result {
    double value; /* variance-weighted mean of the accumulation iterations */
    double error; /* its standard error, sqrt(1/W); 0 when no weight was gathered */
} nvx_vegas_result;

/* Integrates f over [lo[0],hi[0]] x [lo[1],hi[1]]: n_warmup grid-adapting iterations, then n_iter
 * combined ones, n_eval samples each. A given seed reproduces the result bit for bit. */
NVX_API nvx_vegas_result nvx_vegas_integrate(nvx_vegas_fn f, void* user, const double lo[2],
                                             const double hi[2], int n_eval, int n_warmup,
                                             int n_iter, uint64_t seed);

/* ---------------------------------------------------------------- numeric table reader */

/* Column-major numeric table: columns[j][i] is column j of data row i. */
typedef struct NVXTable {
    double** columns; /* ncols arrays (capacity may exceed nrows) */
    size_t ncols;
    size_t nrows;
} NVXTable;

/* Reads a text file of numbers ("#" comments, blank/tab/comma separators). expected_columns == 0
 * lets the first data line decide. table must be empty or fresh. On failure the record is reset to
 * empty (or left untouched when the file cannot be opened) and *error receives a message. */
NVX_API int nvx_table_read(const char* path, size_t expected_columns, NVXTable* table, char** error);
/* The same reader on text in memory (length bytes, NUL bytes allowed); `name` stands for the path
 * in messages. Every field must be a whole number in strtod syntax (a '#' may end it). */
NVX_API int nvx_table_parse(const char* text, size_t length, const char* name, size_t expected_columns,
                            NVXTable* table, char** error);
/* Frees the columns and zeroes the record (harmless twice). */
NVX_API void nvx_table_free(NVXTable* table);

NVX_END_DECLS

#endif
