// Independent reference for the weak n<->p rates with finite nucleon mass: the exact tree-level
// matrix element integrated by brute-force quadrature over thermal nucleons, electrons and neutrinos.
//
// Nothing here comes from the library's weak-rate code: no expansion in 1/M, no occupation moments,
// its own quadrature. The rates are in the library's units (energies in m_e, the prefactor
// G_F^2 V_ud^2 (1 + 3 g_A^2) m_e^5 / (2 pi^3) left out), so that the infinite-mass limit is the Born
// integral  int p^2 dp [ occupations x (neutrino energy)^2 ]  and differences to the library's
// finite-mass integrals can be read off directly.
#pragma once

#include <functional>
#include <vector>

namespace weakcheck {

// Occupation numbers of electron neutrinos and antineutrinos at energy E >= 0 (MeV).
struct NeutrinoSpectrum {
    std::function<double(double)> nu;
    std::function<double(double)> nubar;
};

// Fermi-Dirac neutrinos at temperature T_nu (MeV) with degeneracy xi = mu_nu / T_nu
// (antineutrinos at -xi).
NeutrinoSpectrum fermi_dirac(double T_nu_MeV, double xi = 0.0);

struct Inputs {
    double m_n_MeV = 939.56542052;
    double m_p_MeV = 938.27208816;
    double m_e_MeV = 0.51099895;
    double g_A = 1.2756;
    double f2 = 3.70589007463;     // weak magnetism, kappa_p - kappa_n (conserved vector current)
    double mass_scale = 1.0;       // nucleon masses -> mass_scale x mean mass -+ (m_n - m_p)/2
    double T_MeV = 1.0;            // photon temperature: electrons and nucleons
    NeutrinoSpectrum spectrum = fermi_dirac(1.0);
    // quadrature orders: nucleon momentum, electron momentum per panel (three panels), cosine of
    // the electron direction, cosine and azimuth of the neutrino direction
    int n_P = 24, n_p = 48, n_cos_e = 16, n_cos_nu = 16, n_phi = 16;
};

// Spin-summed |M|^2 of n(P_n) + nu(k) -> p(P_p) + e(p_e) for the nucleon current
// f1 gamma^mu + i f2/(2M) sigma^{mu nu} (P_p - P_n)_nu - g_A gamma^mu gamma_5 and the lepton
// current e gamma_mu (1 - gamma_5) nu, as a function of s = (k + P_n)^2, t = (k - p_e)^2,
// s - u = s - (k - P_p)^2 (MeV^4; M the mean nucleon mass, Delta = m_n - m_p). The same function
// with crossed (negative-energy) momenta is the crossed process up to the sign of each crossed
// fermion. Induced pseudoscalar left out (order m_e^2 / m_pi^2).
double squared_matrix_element(double t, double s_minus_u, double M, double Delta, double m_e, double f1,
                              double f2, double g_A);

// Exact rate for direction s (+1: n -> p, -1: p -> n) at the inputs' temperature and spectrum.
double exact_rate(const Inputs& in, int s);

// Infinite-nucleon-mass (Born) rate with the same spectrum: the one-dimensional integral.
double born_rate(const Inputs& in, int s);

// Exact free-neutron decay rate (nucleon at rest, empty plasma), same units: the finite-mass
// counterpart of the Born value int_1^q x sqrt(x^2-1) (q-x)^2 dx.
double exact_decay_rate(const Inputs& in);

// The coefficient c1 of 1/lambda in delta(lambda) = c1/lambda + c2/lambda^2 + ..., from delta at
// lambda = 4, 8 and 16 (quadratic extrapolation of lambda delta(lambda) to lambda -> infinity; the
// remainder is of order c4/512). delta is, for instance, the exact rate minus the Born rate at
// nucleon masses scaled by lambda: c1 is then the first-order finite-mass term at the real masses.
double first_order_coefficient(const std::function<double(double lambda)>& delta);

// Gauss-Legendre nodes and weights on [-1, 1] (Newton iteration on the Legendre recurrence).
void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w);

}  // namespace weakcheck
