// Helpers shared by the integrator tests: owned error messages, recorders, Robertson's stiff problem and a
// symmetric matrix whose exponential is known in closed form.
#pragma once

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

struct ErrText {
    char* p = nullptr;
    ~ErrText() { std::free(p); }
    std::string str() const { return p ? p : ""; }
};

struct Trace {
    std::vector<double> t;
    std::vector<std::vector<double>> y;
    static void record(double t, const double* y, size_t n, void* self) {
        auto* tr = static_cast<Trace*>(self);
        tr->t.push_back(t);
        tr->y.emplace_back(y, y + n);
    }
};

// A = Q diag(lambda) Q^T with the reflection Q = I - 2 v v^T / |v|^2, so that
// exp(A t) y0 = Q diag(exp(lambda t)) Q^T y0 without any numerical eigen-solver.
struct SymmetricSystem {
    std::vector<double> lambda, Q, A;
    size_t n;
    explicit SymmetricSystem(std::vector<double> lam) : lambda(std::move(lam)), n(lambda.size()) {
        std::vector<double> v(n);
        double vv = 0.0;
        for (size_t i = 0; i < n; ++i) {
            v[i] = 1.0 + 0.37 * double(i) - 0.05 * double(i * i);
            vv += v[i] * v[i];
        }
        Q.assign(n * n, 0.0);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j) Q[i * n + j] = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv;
        A.assign(n * n, 0.0);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j)
                for (size_t k = 0; k < n; ++k) A[i * n + j] += Q[i * n + k] * lambda[k] * Q[j * n + k];
    }
    std::vector<double> exact(const std::vector<double>& y0, double t) const {
        std::vector<double> z(n, 0.0), y(n, 0.0);
        for (size_t k = 0; k < n; ++k)
            for (size_t j = 0; j < n; ++j) z[k] += Q[j * n + k] * y0[j];
        for (size_t k = 0; k < n; ++k) z[k] *= std::exp(lambda[k] * t);
        for (size_t i = 0; i < n; ++i)
            for (size_t k = 0; k < n; ++k) y[i] += Q[i * n + k] * z[k];
        return y;
    }
    static int rhs(double, const double* y, double* dydt, void* self) {
        auto* s = static_cast<SymmetricSystem*>(self);
        for (size_t i = 0; i < s->n; ++i) {
            dydt[i] = 0.0;
            for (size_t j = 0; j < s->n; ++j) dydt[i] += s->A[i * s->n + j] * y[j];
        }
        return 0;
    }
    static int jac(double, const double*, double* J, void* self) {
        auto* s = static_cast<SymmetricSystem*>(self);
        for (size_t i = 0; i < s->n * s->n; ++i) J[i] = s->A[i];
        return 0;
    }
};

// Robertson's chemical kinetics (Hairer & Wanner, Solving ODEs II, sect. IV.1): A -> B (0.04),
// B + B -> C + B (3e7), B + C -> A + C (1e4); the classic stiff test, usually run to t = 4e5.
inline int robertson(double, const double* y, double* f, void*) {
    f[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
    f[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
    f[2] = 3e7 * y[1] * y[1];
    return 0;
}
inline int robertson_jac(double, const double* y, double* J, void*) {
    const double j[9] = {-0.04, 1e4 * y[2], 1e4 * y[1],
                         0.04, -1e4 * y[2] - 6e7 * y[1], -1e4 * y[1],
                         0.0, 6e7 * y[1], 0.0};
    for (int i = 0; i < 9; ++i) J[i] = j[i];
    return 0;
}
