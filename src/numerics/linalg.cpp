// Dense LU factorisation with partial pivoting and triangular solves (row-major storage).
// Used for the stiff integrator's iteration matrix and small dense systems elsewhere.
#include "nuvex/linalg.h"

#include "numerics/vector_loops.hpp"

#include <cmath>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr double kTinyPivot = 1e-300;

// Row with the largest |A[r][col]| among rows col..n-1; ties keep the upper row.
size_t pivot_row(const double* A, size_t n, size_t col) {
    size_t best = col;
    double best_abs = std::fabs(A[col * n + col]);
    for (size_t r = col + 1; r < n; ++r) {
        const double v = std::fabs(A[r * n + col]);
        if (v > best_abs) {
            best_abs = v;
            best = r;
        }
    }
    return best;
}

// row_r -= l * row_i over m entries of two distinct rows.
NVX_VECTORISE_AVX2 void eliminate(double* __restrict row_r, const double* __restrict row_i, double l, size_t m) {
    for (size_t j = 0; j < m; ++j) row_r[j] -= l * row_i[j];
}

// Sum of a[k] x[k] over k = 0..m-1, added one by one in increasing k (unrolled: the products
// may be formed together, the additions keep the order and hence the bits of the plain loop).
inline double ordered_dot(const double* __restrict a, const double* __restrict x, size_t m) {
    double s = 0.0;
    size_t k = 0;
    for (; k + 4 <= m; k += 4) {
        const double p0 = a[k] * x[k], p1 = a[k + 1] * x[k + 1], p2 = a[k + 2] * x[k + 2], p3 = a[k + 3] * x[k + 3];
        s += p0;
        s += p1;
        s += p2;
        s += p3;
    }
    for (; k < m; ++k) s += a[k] * x[k];
    return s;
}

void swap_rows(double* A, size_t n, size_t a, size_t b) {
    double* ra = A + a * n;
    double* rb = A + b * n;
    for (size_t j = 0; j < n; ++j) std::swap(ra[j], rb[j]);
}

}  // namespace

extern "C" int nvx_lu_factor(double* A, size_t n, size_t* piv) {
    for (size_t i = 0; i < n; ++i) {
        size_t p = i;
        if (i + 1 < n) p = pivot_row(A, n, i);
        piv[i] = p;
        if (p != i) swap_rows(A, n, i, p);
        const double a_ii = A[i * n + i];
        if (std::fabs(a_ii) < kTinyPivot) return 1;  // a NaN pivot compares false and goes on
        for (size_t r = i + 1; r < n; ++r) {
            if (A[r * n + i] == 0.0) continue;  // zero multiplier: the update would subtract zeros
            const double l = A[r * n + i] / a_ii;
            A[r * n + i] = l;
            eliminate(A + r * n + i + 1, A + i * n + i + 1, l, n - i - 1);
        }
    }
    return 0;
}

extern "C" void nvx_lu_solve(const double* LU, size_t n, const size_t* piv, double* b) {
    for (size_t i = 0; i < n; ++i) {
        if (piv[i] != i) std::swap(b[i], b[piv[i]]);
    }
    for (size_t j = 1; j < n; ++j) b[j] -= ordered_dot(LU + j * n, b, j);
    for (size_t i = n; i-- > 0;) {
        const double* row = LU + i * n;
        b[i] = (b[i] - ordered_dot(row + i + 1, b + i + 1, n - i - 1)) / row[i];
    }
}

extern "C" int nvx_solve_linear(const double* A, size_t n, double* b) {
    if (n == 0) return 0;
    if (n > SIZE_MAX / n) return 1;  // n*n would overflow: no such matrix can exist
    try {
        std::vector<double> lu(A, A + n * n);
        std::vector<size_t> piv(n);
        if (nvx_lu_factor(lu.data(), n, piv.data()) != 0) return 1;
        nvx_lu_solve(lu.data(), n, piv.data(), b);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}
