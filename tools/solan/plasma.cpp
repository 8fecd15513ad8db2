// Electron-positron Fermi-Dirac integrals and the QED pressure correction of the plasma.
// Integrals use momentum k = x sinh(u), energy E = x cosh(u), so every integrand is smooth in u.
#include "plasma.hpp"

#include <array>
#include <cmath>

namespace solan {
namespace {

constexpr int kGaussPoints = 10;
constexpr int kPanels = 32;
// The integrands fall like exp(-(E - m)); stop 64 e-folds above the rest energy.
constexpr double kEnergyReach = 64.0;

struct GaussRule {
  std::array<double, kGaussPoints> node{}, weight{};
};

// Gauss-Legendre rule on [0, 1] by Newton iteration on the Legendre polynomial.
GaussRule make_gauss_rule() {
  GaussRule r;
  const int n = kGaussPoints;
  for (int i = 0; i < n; ++i) {
    double t = std::cos(kPi * (i + 0.75) / (n + 0.5));
    double dp = 0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1, p1 = t;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2 * k - 1) * t * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = n * (t * p1 - p0) / (t * t - 1);
      const double dt = p1 / dp;
      t -= dt;
      if (std::fabs(dt) < 1e-16) break;
    }
    r.node[i] = 0.5 * (1 - t);
    r.weight[i] = 1.0 / ((1 - t * t) * dp * dp);
  }
  return r;
}

const GaussRule& gauss_rule() {
  static const GaussRule rule = make_gauss_rule();
  return rule;
}

// Calls f(k, E, dk) at every quadrature node of the momentum integral at mass ratio x.
template <class F>
void for_each_node(double x, F&& f) {
  const GaussRule& g = gauss_rule();
  const double u_max = std::acosh(1.0 + kEnergyReach / x);
  const double du = u_max / kPanels;
  for (int p = 0; p < kPanels; ++p) {
    for (int i = 0; i < kGaussPoints; ++i) {
      const double u = du * (p + g.node[i]);
      const double k = x * std::sinh(u);
      const double E = x * std::cosh(u);
      f(k, E, du * g.weight[i] * E);  // dk = E du
    }
  }
}

// Fermi-Dirac occupation n = 1/(e^E + 1) and n(1 - n), without overflow.
inline void fermi(double E, double& n, double& n1n) {
  const double e = std::exp(-E);
  n = e / (1 + e);
  n1n = n * (1 - n);
}

}  // namespace

ElectronThermo electron_thermo(double x) {
  double I_rho = 0, I_p = 0, I_d = 0;
  for_each_node(x, [&](double k, double E, double w) {
    double n, n1n;
    fermi(E, n, n1n);
    const double k2 = k * k;
    I_rho += w * k2 * E * n;
    I_p += w * k2 * k2 / E * n;
    I_d += w * k2 * E * E * n1n;
  });
  const double c = 2.0 / (kPi * kPi);
  return {c * I_rho, c / 3.0 * I_p, c * I_d};
}

QedPhi qed_phi(double x) {
  if (x > 50) return {};
  // I01 = int k^2 n/E dk and I2m1 = int E n dk with their derivatives in x (dE/dx = x/E).
  double I01 = 0, I01_x = 0, I01_xx = 0, I21 = 0, I21_x = 0, I21_xx = 0;
  for_each_node(x, [&](double k, double E, double w) {
    double n, n1n;
    fermi(E, n, n1n);
    const double dn = -n1n, d2n = n1n * (1 - 2 * n);
    const double k2 = k * k, E2 = E * E;
    const double g = n / E, g1 = dn / E - n / E2, g2 = d2n / E - 2 * dn / E2 + 2 * n / (E2 * E);
    const double h = E * n, h1 = n + E * dn, h2 = 2 * dn + E * d2n;
    I01 += w * k2 * g;
    I01_x += w * k2 * x / E * g1;
    I01_xx += w * k2 * (g1 / E + x * x / E * (g2 / E - g1 / E2));
    I21 += w * h;
    I21_x += w * x / E * h1;
    I21_xx += w * (h1 / E + x * x / E * (h2 / E - h1 / E2));
  });
  QedPhi q;
  // e^2 term: -(alpha/pi) (2/3 I01 + (2/pi^2) I01^2)
  const double ca = -kAlpha / kPi, c2 = 2.0 / (kPi * kPi);
  q.phi = ca * (2.0 / 3.0 * I01 + c2 * I01 * I01);
  q.phi_x = ca * (2.0 / 3.0 + 2 * c2 * I01) * I01_x;
  q.phi_xx = ca * ((2.0 / 3.0 + 2 * c2 * I01) * I01_xx + 2 * c2 * I01_x * I01_x);
  // e^3 term: (4/3) sqrt(2 pi) alpha^(3/2) B^(3/2), B = (I01 + I2m1)/pi^2
  const double B = (I01 + I21) / (kPi * kPi);
  if (B > 0) {
    const double B_x = (I01_x + I21_x) / (kPi * kPi), B_xx = (I01_xx + I21_xx) / (kPi * kPi);
    const double c3 = 4.0 / 3.0 * std::sqrt(2 * kPi) * std::pow(kAlpha, 1.5);
    const double sB = std::sqrt(B);
    q.phi += c3 * B * sB;
    q.phi_x += c3 * 1.5 * sB * B_x;
    q.phi_xx += c3 * (0.75 / sB * B_x * B_x + 1.5 * sB * B_xx);
  }
  return q;
}

PlasmaState plasma_state(double T, bool qed) {
  const double x = kMe_MeV / T;
  const double T2 = T * T, T3 = T2 * T, T4 = T3 * T;
  const ElectronThermo e = electron_thermo(x);
  PlasmaState s;
  const double rho_g = kRhoGammaCoef * T4;
  if (qed) {
    // P = T^4 Phi(m_e/T): P' = T^3 (4 Phi - x Phi_x), P'' = T^2 (12 Phi - 6 x Phi_x + x^2 Phi_xx)
    const QedPhi q = qed_phi(x);
    s.dP_qed = T4 * q.phi;
    s.dP_qed_dT = T3 * (4 * q.phi - x * q.phi_x);
    s.d2P_qed_dT2 = T2 * (12 * q.phi - 6 * x * q.phi_x + x * x * q.phi_xx);
  }
  s.rho = rho_g + e.rho * T4 + (T * s.dP_qed_dT - s.dP_qed);
  s.p = rho_g / 3 + e.p * T4 + s.dP_qed;
  s.s = (s.rho + s.p) / T;
  s.drho_dT = 4 * rho_g / T + e.drho_dT * T3 + T * s.d2P_qed_dT2;
  return s;
}

}  // namespace solan
