/* ODE integrators: variable-order NDF/BDF for stiff systems and Dormand-Prince 4(5) with dense output.
 * Every call is self-contained and reentrant; failures return 1 with a malloc'd message in *err. */
#ifndef NUVEX_ODE_H
#define NUVEX_ODE_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

/* Right-hand side y' = f(t, y): writes n values into dydt; returns 0 on success, anything else fails. */
typedef int (*nvx_ode_rhs_fn)(double t, const double* y, double* dydt, void* user);

/* Jacobian: writes all n*n entries of J, row-major, J[i*n + j] = df_i/dy_j; returns 0 on success. */
typedef int (*nvx_ode_jac_fn)(double t, const double* y, double* J, void* user);

/* Called after every accepted step with the new time and the accepted state. */
typedef void (*nvx_ode_recorder_fn)(double t, const double* y, size_t n, void* recorder_user);

/* Per-step dense output of the Runge-Kutta integrator: called after each accepted step, before the
 * state advances, with the state at the start of the step, the stage derivatives, the start time and
 * the signed step. The arrays are only valid during the call: copy what you keep. */
typedef void (*nvx_ode_step_cb_fn)(const double* y_old, const double* K1, const double* K3,
                                   const double* K4, const double* K5, const double* K6,
                                   double t_old, double h, const double* K7, size_t n, void* user);

typedef struct nvx_ode_bdf_opts {
    double rtol;             /* relative tolerance (1e-7) */
    double atol;             /* absolute tolerance, all components (1e-12) */
    double first_step;       /* initial step when > 0 (clipped to the span); else automatic (0) */
    double h_min;            /* smallest admissible step; <= 0: no limit (0) */
    double max_step;         /* largest admissible step; <= 0: unlimited (0) */
    int32_t max_order;       /* highest order, clamped into 1..5 (5) */
    int32_t max_steps;       /* largest number of accepted steps; <= 0 counts as 0 (200000) */
    int32_t newton_max_iter; /* Newton iteration limit (4) */
} nvx_ode_bdf_opts;

typedef struct nvx_ode_rk_opts {
    double rtol;               /* relative tolerance (1e-7) */
    double atol;               /* absolute tolerance (1e-12) */
    double first_step;         /* initial step when > 0; else |t_end - t0| / 100 (0) */
    double h_min;              /* smallest step; <= 0: none (0) */
    double max_step;           /* largest step; <= 0: unlimited (0) */
    int32_t max_steps;         /* largest number of step attempts; <= 0 counts as 0 (100000) */
    const double* t_out;       /* requested output times, monotone along the integration (borrowed) */
    size_t n_out;              /* number of requested output times */
    double* y_out;             /* n_out rows of n values, row-major, filled by the integrator (borrowed) */
    nvx_ode_step_cb_fn step_cb; /* per-step dense-output callback, or null */
    void* step_cb_user;        /* last argument of step_cb */
} nvx_ode_rk_opts;

/* Work counters of one stiff integration (diagnostics and benchmarks). */
typedef struct nvx_ode_bdf_stats {
    long n_steps;       /* accepted steps */
    long n_rejected;    /* error-test rejections */
    long n_newton_fail; /* unconverged Newton iterations (singular matrices included) */
    long n_f;           /* right-hand-side evaluations, finite-difference ones included */
    long n_jac;         /* Jacobian evaluations (callback or finite differences) */
    long n_lu;          /* LU factorisations of the iteration matrix */
} nvx_ode_bdf_stats;

/* Fills the defaults and returns opts. */
NVX_API nvx_ode_bdf_opts* nvx_ode_bdf_default_opts(nvx_ode_bdf_opts* opts);
NVX_API nvx_ode_rk_opts* nvx_ode_rk_default_opts(nvx_ode_rk_opts* opts);

/* Integrates the stiff system from t0 to t_end (either direction). y holds y(t0) on entry and the
 * last accepted state afterwards (y(t_end) on success). jac and recorder may be null; without jac
 * the Jacobian comes from forward differences. Returns 0 or 1 (message in *err). */
NVX_API int nvx_ode_bdf(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
                        nvx_ode_recorder_fn recorder, double t0, double t_end,
                        nvx_ode_bdf_opts opts, void* recorder_user, char** err);

/* nvx_ode_bdf that also reports its work counters in *stats (zeroed first; may be NULL). */
NVX_API int nvx_ode_bdf_with_stats(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
                                   nvx_ode_recorder_fn recorder, double t0, double t_end,
                                   nvx_ode_bdf_opts opts, void* recorder_user, nvx_ode_bdf_stats* stats,
                                   char** err);

/* Integrates the non-stiff system from t0 to t_end with the Dormand-Prince 5(4) pair; y is advanced
 * in place. Optional dense output at opts.t_out into opts.y_out and per-step callback opts.step_cb.
 * Returns 0 or 1 (message in *err). */
NVX_API int nvx_ode_rk45(nvx_ode_rhs_fn f, void* user, double* y, size_t n,
                         nvx_ode_recorder_fn recorder, void* recorder_user, double t0, double t_end,
                         nvx_ode_rk_opts opts, char** err);

/* Continuous extension of one Dormand-Prince step at the fraction theta of the step (signed size h),
 * from the arrays handed to step_cb; writes n values into out. */
NVX_API void nvx_ode_dense_eval(const double* y_old, const double* K1, const double* K3,
                                const double* K4, const double* K5, const double* K6, double theta,
                                double h, const double* K7, size_t n, double* out);

NVX_END_DECLS

#endif
