// Analytic neutrino spectral distortion (Compton-like y_SZ and grey-body y_gray shapes with a
// chemical potential) and the closed forms of its energy-weighted moments.
#pragma once

#include "nuvex/neutrino.h"

namespace nvx {

// Guarded Fermi-Dirac occupation: 0 above 300 (the exponential is never evaluated there).
double fermi(double v);

double dfdneu_analytic(const nvx_neutrino_history* h, double t, double z_nu, double s);

// Moments 2..7 at a = |t| >= 0; sigma is the signed chemical-potential term.
double raw_M2p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma);
double raw_M3p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma);
double raw_M4p1(const nvx_neutrino_history* h, double a, double z_nu, double sigma);
double raw_M2p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma);
double raw_M3p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma);
double raw_M4p2(const nvx_neutrino_history* h, double a, double z_nu, double sigma);

}  // namespace nvx
