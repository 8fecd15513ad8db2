// Variable-order (1..5) NDF/BDF integrator in backward-difference form for stiff systems:
// quasi-constant step size, simplified Newton with a reused dense Jacobian and LU factors.
#include "ode/bdf.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "config/err.hpp"
#include "nuvex/linalg.h"
#include "numerics/vector_loops.hpp"

namespace nvx {
namespace {

constexpr int kMaxOrder = 5;
constexpr size_t kDRows = kMaxOrder + 3;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrtEps = 1.4901161193847656e-8;
constexpr double kTenEps = 2.220446049250313e-15;

// Klopfenstein-Shampine NDF coefficients by order (index 0 is a placeholder).
constexpr double kGamma[kMaxOrder + 1] = {0.0, 1.0, 1.5, 1.8333333333333333, 2.083333333333333,
                                          2.283333333333333};
constexpr double kAlpha[kMaxOrder + 1] = {0.0, 1.185, 1.6666666666666667, 1.9842166666666667,
                                          2.1697916666666663, 2.283333333333333};
constexpr double kErrorConst[kMaxOrder + 1] = {1.0, 0.315, 0.16666666666666666, 0.09911666666666667,
                                               0.11354166666666668, 0.16666666666666666};

enum class Newton { converged, unconverged };

class BdfSolver {
public:
    BdfSolver(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
              nvx_ode_recorder_fn recorder, void* recorder_user, const nvx_ode_bdf_opts& opts,
              BdfStats& stats)
        : f_(f), jac_(jac), user_(user), y_(y), n_(n), recorder_(recorder),
          recorder_user_(recorder_user), opts_(opts), stats_(stats) {}

    int run(double t0, double t_end, char** err);

private:
    // ---- callbacks with counting
    bool eval_f(double t, const double* y, double* dydt) {
        ++stats_.n_f;
        return f_(t, y, dydt, user_) == 0;
    }
    bool eval_jacobian(double t, const double* y);  // false when jac (or an f call) failed
    bool fd_jacobian(double t, const double* y);
    bool refresh_jacobian(double t_new);

    // ---- vector helpers
    double* D(size_t row) { return D_.data() + row * n_; }
    NVX_VECTORISE void set_scale(const double* x) {
        for (size_t i = 0; i < n_; ++i) scale_[i] = opts_.atol + opts_.rtol * std::fabs(x[i]);
    }
    double norm(const double* v) const {
        if (n_ == 0) return 0.0;
        double s = 0.0;
        for (size_t i = 0; i < n_; ++i) {
            const double w = v[i] / scale_[i];
            s += w * w;
        }
        return std::sqrt((1.0 / static_cast<double>(n_)) * s);
    }

    void allocate();
    double initial_step(double t0, double span);
    void change_D(int order, double factor);
    void rescale(double factor) {
        change_D(order_, factor);
        h_abs_ *= factor;
        n_equal_steps_ = 0;
    }
    void predict();
    bool factor_iteration_matrix(double c);
    Newton newton(double t_new, double c, bool& f_failed);
    void accept(double t_new);
    void select_order_and_step();
    int step(double t_end, char** err);

    nvx_ode_rhs_fn f_;
    nvx_ode_jac_fn jac_;
    void* user_;
    double* y_;
    size_t n_;
    nvx_ode_recorder_fn recorder_;
    void* recorder_user_;
    nvx_ode_bdf_opts opts_;
    BdfStats& stats_;

    int max_order_ = kMaxOrder;
    int newton_max_iter_ = 4;
    double newton_tol_ = 0.0;
    double max_step_ = kInf;
    double direction_ = 1.0;
    double t_ = 0.0;

    long n_taken_ = 0;  // steps taken in this call
    int order_ = 1;
    int n_equal_steps_ = 0;
    int n_iter_ = 0;
    double h_abs_ = 0.0;
    double error_norm_ = 0.0;
    bool lu_valid_ = false;
    bool jac_current_ = false;
    // f at the predictor of the current attempt: a Newton iteration repeated after a Jacobian
    // refresh starts from the same point, and f is a function of (t, y) alone.
    bool f_pred_valid_ = false;

    std::vector<double> D_, J_, J_prev_, LU_;
    std::vector<size_t> piv_;
    std::vector<double> y_pred_, scale_, psi_, y_new_, d_, F_, dy_, err_vec_, f_pred_;
    std::vector<double> fd_y_, fd_f0_, fd_f1_;  // finite-difference Jacobian scratch
    std::vector<double> cd_tmp_;                // change_D product
};

void BdfSolver::allocate() {
    const size_t n = n_;
    D_.assign(kDRows * n, 0.0);
    J_.assign(n * n, 0.0);
    J_prev_.assign(n * n, 0.0);
    LU_.assign(n * n, 0.0);
    piv_.assign(n, 0);
    for (auto* v : {&y_pred_, &scale_, &psi_, &y_new_, &d_, &F_, &dy_, &err_vec_, &f_pred_, &fd_y_, &fd_f0_,
                    &fd_f1_})
        v->assign(n, 0.0);
    cd_tmp_.assign((kMaxOrder + 1) * n, 0.0);
}

bool BdfSolver::fd_jacobian(double t, const double* y) {
    if (!eval_f(t, y, fd_f0_.data())) return false;
    std::copy(y, y + n_, fd_y_.begin());
    for (size_t j = 0; j < n_; ++j) {
        const double delta = std::max(std::fabs(y[j]), 1.0) * kSqrtEps;
        fd_y_[j] = y[j] + delta;
        if (!eval_f(t, fd_y_.data(), fd_f1_.data())) return false;
        for (size_t i = 0; i < n_; ++i) J_[i * n_ + j] = (fd_f1_[i] - fd_f0_[i]) / delta;
        fd_y_[j] = y[j];
    }
    return true;
}

bool BdfSolver::eval_jacobian(double t, const double* y) {
    ++stats_.n_jac;
    if (jac_) return jac_(t, y, J_.data(), user_) == 0;
    return fd_jacobian(t, y);
}

// Re-evaluates J at the predictor. A Jacobian with non-finite entries (the predictor left the
// domain of f) would poison every later factorisation, so the previous one is kept instead;
// either way J counts as current and a further failure halves the step.
bool BdfSolver::refresh_jacobian(double t_new) {
    std::copy(J_.begin(), J_.end(), J_prev_.begin());
    if (!eval_jacobian(t_new, y_pred_.data())) return false;
    for (double v : J_)
        if (!std::isfinite(v)) {
            std::copy(J_prev_.begin(), J_prev_.end(), J_.begin());
            break;
        }
    return true;
}

// Automatic first step from the size of y0, f0 and a probe of the second derivative.
double BdfSolver::initial_step(double t0, double span) {
    const double* y0 = y_;
    const double* f0 = F_.data();
    set_scale(y0);
    const double d0 = norm(y0);
    const double d1 = norm(f0);
    double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
    h0 = std::min(h0, span);
    for (size_t i = 0; i < n_; ++i) y_new_[i] = y0[i] + h0 * direction_ * f0[i];
    if (!eval_f(t0 + h0 * direction_, y_new_.data(), dy_.data())) return h0;
    for (size_t i = 0; i < n_; ++i) dy_[i] -= f0[i];
    const double d2 = norm(dy_.data()) / h0;
    const double h1 = (d1 <= 1e-15 && d2 <= 1e-15) ? std::max(1e-6, 0.001 * h0)
                                                   : std::sqrt(0.01 / std::max(d1, d2));
    double h = std::min({100.0 * h0, h1, span});
    if (opts_.max_step > 0) h = std::min(h, opts_.max_step);
    return h;
}

// Rescales the backward differences of the current order to a step multiplied by `factor`.
NVX_VECTORISE void BdfSolver::change_D(int order, double factor) {
    double R[kMaxOrder + 1][kMaxOrder + 1];
    double U[kMaxOrder + 1][kMaxOrder + 1];
    double RU[kMaxOrder + 1][kMaxOrder + 1];
    const int m = order + 1;
    auto fill = [m](double (*M)[kMaxOrder + 1], double fac) {
        for (int j = 0; j < m; ++j) M[0][j] = 1.0;
        for (int i = 1; i < m; ++i) {
            M[i][0] = 0.0;
            for (int j = 1; j < m; ++j) M[i][j] = M[i - 1][j] * (i - 1 - fac * j) / i;
        }
    };
    fill(R, factor);
    fill(U, 1.0);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
            double s = 0.0;
            for (int k = 0; k < m; ++k) s += R[i][k] * U[k][j];
            RU[i][j] = s;
        }
    for (int i = 0; i < m; ++i) {
        double* out = cd_tmp_.data() + static_cast<size_t>(i) * n_;
        std::fill(out, out + n_, 0.0);
        for (int k = 0; k < m; ++k) {
            const double w = RU[k][i];
            const double* row = D(static_cast<size_t>(k));
            for (size_t q = 0; q < n_; ++q) out[q] += w * row[q];
        }
    }
    std::copy(cd_tmp_.begin(), cd_tmp_.begin() + static_cast<ptrdiff_t>(m * n_), D_.begin());
}

NVX_VECTORISE void BdfSolver::predict() {
    f_pred_valid_ = false;
    std::copy(D(order_), D(order_) + n_, y_pred_.begin());
    for (int j = order_ - 1; j >= 0; --j) {
        const double* row = D(static_cast<size_t>(j));
        for (size_t i = 0; i < n_; ++i) y_pred_[i] += row[i];
    }
    set_scale(y_pred_.data());
    std::fill(psi_.begin(), psi_.end(), 0.0);
    for (int j = 1; j <= order_; ++j) {
        const double* row = D(static_cast<size_t>(j));
        for (size_t i = 0; i < n_; ++i) psi_[i] += kGamma[j] * row[i];
    }
    for (size_t i = 0; i < n_; ++i) psi_[i] /= kAlpha[order_];
}

// M = I - c J, factorised in place; false when singular.
NVX_VECTORISE_AVX2 bool BdfSolver::factor_iteration_matrix(double c) {
    double* __restrict M = LU_.data();
    const double* __restrict J = J_.data();
    for (size_t k = 0; k < n_ * n_; ++k) M[k] = 0.0 - c * J[k];
    for (size_t i = 0; i < n_; ++i) M[i * n_ + i] = 1.0 - c * J[i * n_ + i];
    ++stats_.n_lu;
    return nvx_lu_factor(LU_.data(), n_, piv_.data()) == 0;
}

// Simplified Newton on the corrector equation; y_new_ and d_ hold the iterate and the correction.
NVX_VECTORISE Newton BdfSolver::newton(double t_new, double c, bool& f_failed) {
    std::copy(y_pred_.begin(), y_pred_.end(), y_new_.begin());
    std::fill(d_.begin(), d_.end(), 0.0);
    double prev_norm = -1.0;  // < 0: no previous increment yet
    const int max_iter = newton_max_iter_;
    for (int k = 0; k < max_iter; ++k) {
        if (k == 0 && f_pred_valid_) {
            std::copy(f_pred_.begin(), f_pred_.end(), F_.begin());
        } else {
            if (!eval_f(t_new, y_new_.data(), F_.data())) {
                f_failed = true;
                return Newton::unconverged;
            }
            if (k == 0) {
                std::copy(F_.begin(), F_.end(), f_pred_.begin());
                f_pred_valid_ = true;
            }
        }
        for (size_t i = 0; i < n_; ++i)
            if (!std::isfinite(F_[i])) return Newton::unconverged;
        for (size_t i = 0; i < n_; ++i) dy_[i] = c * F_[i] - psi_[i] - d_[i];
        nvx_lu_solve(LU_.data(), n_, piv_.data(), dy_.data());
        const double dy_norm = norm(dy_.data());
        const bool has_rate = prev_norm >= 0.0;
        double rate = 0.0;
        if (has_rate) {
            rate = dy_norm / prev_norm;
            // NaN rates (0/0 cannot occur: a zero increment converges below) fail as well.
            if (!(rate < 1.0) ||
                std::pow(rate, max_iter - k) / (1.0 - rate) * dy_norm > newton_tol_)
                return Newton::unconverged;
        }
        for (size_t i = 0; i < n_; ++i) {
            y_new_[i] += dy_[i];
            d_[i] += dy_[i];
        }
        if (dy_norm == 0.0 || (has_rate && rate / (1.0 - rate) * dy_norm < newton_tol_)) {
            n_iter_ = k + 1;
            return Newton::converged;
        }
        prev_norm = dy_norm;
    }
    return Newton::unconverged;
}

NVX_VECTORISE void BdfSolver::accept(double t_new) {
    t_ = t_new;
    std::copy(y_new_.begin(), y_new_.end(), y_);
    const size_t o = static_cast<size_t>(order_);
    double* d2 = D(o + 2);
    double* d1 = D(o + 1);
    for (size_t i = 0; i < n_; ++i) {
        d2[i] = d_[i] - d1[i];
        d1[i] = d_[i];
    }
    for (int r = order_; r >= 0; --r) {
        double* row = D(static_cast<size_t>(r));
        const double* above = D(static_cast<size_t>(r) + 1);
        for (size_t i = 0; i < n_; ++i) row[i] += above[i];
    }
    ++stats_.n_steps;
    if (recorder_) recorder_(t_, y_, n_, recorder_user_);
}

// Picks order-1, order or order+1 by the step factor each would allow (weights of the new y).
void BdfSolver::select_order_and_step() {
    const double safety = 0.9 * (2.0 * newton_max_iter_ + 1.0) / (2.0 * newton_max_iter_ + n_iter_);
    double e_minus = kInf, e_plus = kInf;
    if (order_ > 1) {
        const double* row = D(static_cast<size_t>(order_));
        for (size_t i = 0; i < n_; ++i) err_vec_[i] = kErrorConst[order_ - 1] * row[i];
        e_minus = norm(err_vec_.data());
    }
    if (order_ < max_order_) {
        const double* row = D(static_cast<size_t>(order_) + 2);
        for (size_t i = 0; i < n_; ++i) err_vec_[i] = kErrorConst[order_ + 1] * row[i];
        e_plus = norm(err_vec_.data());
    }
    const double q_minus = std::pow(e_minus, -1.0 / order_);
    const double q_same = std::pow(error_norm_, -1.0 / (order_ + 1));
    const double q_plus = std::pow(e_plus, -1.0 / (order_ + 2));
    int delta = -1;
    double q = q_minus;
    if (q_same > q) {
        delta = 0;
        q = q_same;
    }
    if (q_plus > q) {
        delta = 1;
        q = q_plus;
    }
    order_ = std::clamp(order_ + delta, 1, max_order_);
    const double factor = std::min(10.0, safety * q);
    rescale(factor);
    lu_valid_ = false;
}

// One accepted step (with as many attempts as it takes); 0, or 1 with the message set.
int BdfSolver::step(double t_end, char** err) {
    // Counted here, not in the caller's statistics, which may carry totals of earlier calls.
    if (n_taken_ >= std::max(opts_.max_steps, 0))
        return fail(err, "nvx_ode_bdf: max_steps exceeded");
    const double toward = direction_ > 0 ? kInf : -kInf;
    const double min_step = 10.0 * std::fabs(std::nextafter(t_, toward) - t_);
    double h_new = 0.0;
    if (h_abs_ > max_step_) h_new = max_step_;
    else if (h_abs_ < min_step) h_new = min_step;
    if (h_new > 0.0) {
        change_D(order_, h_new / h_abs_);
        h_abs_ = h_new;
        n_equal_steps_ = 0;
        lu_valid_ = false;
    }
    // Written so that a NaN step size ends the run instead of looping.
    if (!(h_abs_ >= min_step))
        return fail(err, "nvx_ode_bdf: step size underflowed below machine precision");
    ++n_taken_;
    jac_current_ = false;

    for (;;) {
        if (opts_.h_min > 0 && opts_.h_min > h_abs_)
            return fail(err, "nvx_ode_bdf: step size underflowed below h_min");
        double t_new = t_ + h_abs_ * direction_;
        if ((t_new - t_end) * direction_ > 0) {
            t_new = t_end;
            change_D(order_, std::fabs(t_end - t_) / h_abs_);
            n_equal_steps_ = 0;
            lu_valid_ = false;
        }
        const double h = t_new - t_;
        h_abs_ = std::fabs(h);
        predict();
        const double c = h / kAlpha[order_];

        Newton outcome = Newton::unconverged;
        for (;;) {  // repeated once after a Jacobian refresh
            bool singular = false;
            if (!lu_valid_) {
                singular = !factor_iteration_matrix(c);
                lu_valid_ = !singular;
            }
            if (singular) break;  // halve the step, Jacobian unchanged
            bool f_failed = false;
            outcome = newton(t_new, c, f_failed);
            if (f_failed) return fail(err, "nvx_ode_bdf: f() failed");
            if (outcome == Newton::converged || jac_current_) break;
            if (!refresh_jacobian(t_new))
                return fail(err, jac_ ? "nvx_ode_bdf: jac() failed"
                                      : "nvx_ode_bdf: f() failed during finite-diff Jacobian");
            jac_current_ = true;
            lu_valid_ = false;
        }

        if (outcome == Newton::unconverged) {
            ++stats_.n_newton_fail;
            rescale(0.5);
            lu_valid_ = false;
            if (!(h_abs_ >= min_step))
                return fail(err, "nvx_ode_bdf: step size underflowed below machine precision");
            continue;
        }

        const double safety =
            0.9 * (2.0 * newton_max_iter_ + 1.0) / (2.0 * newton_max_iter_ + n_iter_);
        set_scale(y_new_.data());
        for (size_t i = 0; i < n_; ++i) err_vec_[i] = kErrorConst[order_] * d_[i];
        error_norm_ = norm(err_vec_.data());
        // A NaN error norm is rejected too (fmax turns its factor into the 0.2 floor).
        if (!(error_norm_ <= 1.0)) {
            ++stats_.n_rejected;
            rescale(std::fmax(0.2, safety * std::pow(error_norm_, -1.0 / (order_ + 1))));
            if (!(h_abs_ >= min_step))
                return fail(err, "nvx_ode_bdf: step size underflowed below machine precision");
            continue;
        }
        accept(t_new);
        break;
    }
    if (n_equal_steps_ < order_) {
        ++n_equal_steps_;
        return 0;
    }
    select_order_and_step();
    return 0;
}

int BdfSolver::run(double t0, double t_end, char** err) {
    max_order_ = std::clamp(opts_.max_order, 1, kMaxOrder);
    newton_max_iter_ = opts_.newton_max_iter > 0 ? opts_.newton_max_iter : 4;
    if (t_end == t0) return 0;
    direction_ = t_end < t0 ? -1.0 : 1.0;
    const double span = std::fabs(t_end - t0);
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        return fail(err, "nvx_ode_bdf: out of memory");
    }
    if (!eval_f(t0, y_, F_.data())) return fail(err, "nvx_ode_bdf: f() failed at t0");
    if (opts_.first_step > 0) h_abs_ = std::min(opts_.first_step, span);
    else h_abs_ = initial_step(t0, span);
    std::copy(y_, y_ + n_, D(0));
    for (size_t i = 0; i < n_; ++i) D(1)[i] = F_[i] * h_abs_ * direction_;

    if (!eval_jacobian(t0, y_))
        return fail(err, jac_ ? "nvx_ode_bdf: jac() failed at t0"
                              : "nvx_ode_bdf: f() failed during initial finite-diff Jacobian");
    newton_tol_ = std::max(kTenEps / opts_.rtol, std::min(0.03, std::sqrt(opts_.rtol)));
    max_step_ = opts_.max_step > 0 ? opts_.max_step : kInf;
    t_ = t0;

    while (!((t_end - t_) * direction_ <= 1e-15 * span)) {
        if (step(t_end, err) != 0) return 1;
    }
    return 0;
}

}  // namespace

int ode_bdf(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
            nvx_ode_recorder_fn recorder, double t0, double t_end, const nvx_ode_bdf_opts& opts,
            void* recorder_user, BdfStats* stats, char** err) {
    BdfStats local;
    BdfSolver solver(f, jac, user, y, n, recorder, recorder_user, opts, stats ? *stats : local);
    return solver.run(t0, t_end, err);
}

}  // namespace nvx

extern "C" nvx_ode_bdf_opts* nvx_ode_bdf_default_opts(nvx_ode_bdf_opts* opts) {
    opts->rtol = 1e-7;
    opts->atol = 1e-12;
    opts->first_step = 0.0;
    opts->h_min = 0.0;
    opts->max_step = 0.0;
    opts->max_order = 5;
    opts->max_steps = 200000;
    opts->newton_max_iter = 4;
    return opts;
}

extern "C" int nvx_ode_bdf(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
                           nvx_ode_recorder_fn recorder, double t0, double t_end,
                           nvx_ode_bdf_opts opts, void* recorder_user, char** err) {
    return nvx::ode_bdf(f, jac, user, y, n, recorder, t0, t_end, opts, recorder_user, nullptr, err);
}

extern "C" int nvx_ode_bdf_with_stats(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
                                      nvx_ode_recorder_fn recorder, double t0, double t_end,
                                      nvx_ode_bdf_opts opts, void* recorder_user, nvx_ode_bdf_stats* stats,
                                      char** err) {
    nvx::BdfStats st;
    const int rc = nvx::ode_bdf(f, jac, user, y, n, recorder, t0, t_end, opts, recorder_user, &st, err);
    if (stats) *stats = nvx_ode_bdf_stats{st.n_steps, st.n_rejected, st.n_newton_fail, st.n_f, st.n_jac, st.n_lu};
    return rc;
}
