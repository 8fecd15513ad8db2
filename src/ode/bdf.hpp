// Internal entry of the stiff NDF/BDF integrator that also reports work counters
// (accepted steps, rejections, f/Jacobian evaluations, LU factorisations) for benchmarks and tests.
#pragma once

#include "nuvex/ode.h"

namespace nvx {

struct BdfStats {
    long n_steps = 0;        // accepted steps
    long n_rejected = 0;     // error-test rejections
    long n_newton_fail = 0;  // unconverged Newton iterations (incl. singular matrices)
    long n_f = 0;            // right-hand-side evaluations, finite-difference ones included
    long n_jac = 0;          // Jacobian evaluations (callback or finite differences)
    long n_lu = 0;           // LU factorisations of the iteration matrix
};

int ode_bdf(nvx_ode_rhs_fn f, nvx_ode_jac_fn jac, void* user, double* y, size_t n,
            nvx_ode_recorder_fn recorder, double t0, double t_end, const nvx_ode_bdf_opts& opts,
            void* recorder_user, BdfStats* stats, char** err);

}  // namespace nvx
