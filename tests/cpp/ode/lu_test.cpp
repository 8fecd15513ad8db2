// Dense LU solver: residuals of random well-conditioned systems, pivot choice and singular matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "nuvex/linalg.h"

namespace {

std::vector<double> mat_vec(const std::vector<double>& A, const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<double> r(n, 0.0);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) r[i] += A[i * n + j] * x[j];
    return r;
}

TEST(LinearSolver, RandomSystemsHaveSmallResidualAndKnownSolution) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (size_t n : {1u, 2u, 5u, 17u, 60u}) {
        std::vector<double> A(n * n), x_true(n);
        for (auto& a : A) a = u(rng);
        for (size_t i = 0; i < n; ++i) A[i * n + i] += (i % 2 ? -1.0 : 1.0) * double(n);  // well conditioned
        for (auto& v : x_true) v = u(rng);
        const auto b = mat_vec(A, x_true);
        auto x = b;
        const auto A_copy = A;
        ASSERT_EQ(nvx_solve_linear(A.data(), n, x.data()), 0);
        EXPECT_EQ(A, A_copy);
        const auto r = mat_vec(A, x);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_NEAR(r[i], b[i], 1e-12 * double(n));
            EXPECT_NEAR(x[i], x_true[i], 1e-12);
        }
        // factors are reusable across right-hand sides
        std::vector<size_t> piv(n);
        ASSERT_EQ(nvx_lu_factor(A.data(), n, piv.data()), 0);
        for (int rep = 0; rep < 3; ++rep) {
            std::vector<double> xt(n);
            for (auto& v : xt) v = u(rng);
            auto bb = mat_vec(A_copy, xt);
            nvx_lu_solve(A.data(), n, piv.data(), bb.data());
            for (size_t i = 0; i < n; ++i) EXPECT_NEAR(bb[i], xt[i], 1e-12);
        }
    }
}

TEST(LinearSolver, PivotingHandlesZeroDiagonalAndPrefersUpperRowOnTies) {
    // zero leading entry needs an exchange
    std::vector<double> A = {0, 1, 2, 1, 0, 3, 4, -3, 8};
    std::vector<size_t> piv(3);
    std::vector<double> LU = A;
    ASSERT_EQ(nvx_lu_factor(LU.data(), 3, piv.data()), 0);
    EXPECT_EQ(piv[0], 2u);
    EXPECT_EQ(piv[2], 2u);
    std::vector<double> b = {3, 4, 9};  // x = (1, 1, 1)
    nvx_lu_solve(LU.data(), 3, piv.data(), b.data());
    for (double v : b) EXPECT_NEAR(v, 1.0, 1e-14);

    std::vector<double> T = {1, 2, -1, 5};  // |1| == |-1|: row 0 stays
    ASSERT_EQ(nvx_lu_factor(T.data(), 2, piv.data()), 0);
    EXPECT_EQ(piv[0], 0u);
    EXPECT_EQ(piv[1], 1u);
}

TEST(LinearSolver, SingularMatricesAreReportedAndLeaveInputsAlone) {
    std::vector<size_t> piv(3);
    std::vector<double> zero_col = {0, 1, 2, 0, 3, 4, 0, 5, 6};
    EXPECT_EQ(nvx_lu_factor(zero_col.data(), 3, piv.data()), 1);

    const std::vector<double> rank1 = {1, 2, 3, 2, 4, 6, 3, 6, 9};
    auto A = rank1;
    std::vector<double> b = {1, 2, 3};
    EXPECT_EQ(nvx_solve_linear(A.data(), 3, b.data()), 1);
    EXPECT_EQ(A, rank1);
    EXPECT_EQ(b, (std::vector<double>{1, 2, 3}));

    double tiny = 1e-301, big = 1e-300, rhs = 3.0;
    EXPECT_EQ(nvx_solve_linear(&tiny, 1, &rhs), 1);
    EXPECT_EQ(rhs, 3.0);
    EXPECT_EQ(nvx_solve_linear(&big, 1, &rhs), 0);
    EXPECT_DOUBLE_EQ(rhs, 3e300);

    EXPECT_EQ(nvx_lu_factor(nullptr, 0, nullptr), 0);
    EXPECT_EQ(nvx_solve_linear(nullptr, 0, nullptr), 0);
}

}  // namespace

// Mostly-zero matrices like the network's iteration matrix (the elimination skips zero
// multipliers), with zero diagonals that force row exchanges, at sizes that leave loop remainders.
TEST(LinearSolver, SparseSystemsNeedingRowExchangesSolveAccurately) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> u(-1.0, 1.0), keep(0.0, 1.0);
    for (size_t n : {3u, 7u, 31u, 51u}) {
        std::vector<double> A(n * n, 0.0), x_true(n);
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < n; ++j)
                if (keep(rng) < 0.2) A[i * n + j] = u(rng);
            A[i * n + (i + 1) % n] = 2.0 * double(n);  // dominant entry off the diagonal
            A[i * n + i] = 0.0;
        }
        for (auto& v : x_true) v = u(rng);
        const auto b = mat_vec(A, x_true);
        std::vector<size_t> piv(n);
        auto LU = A;
        ASSERT_EQ(nvx_lu_factor(LU.data(), n, piv.data()), 0) << n;
        size_t exchanges = 0;
        for (size_t i = 0; i < n; ++i) exchanges += piv[i] != i;
        EXPECT_GT(exchanges, 0u) << n;
        auto x = b;
        nvx_lu_solve(LU.data(), n, piv.data(), x.data());
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(x[i], x_true[i], 1e-13) << n << " " << i;
    }
}
