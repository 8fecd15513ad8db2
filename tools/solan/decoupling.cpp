// Energy-transfer decoupling solver: three temperatures (plasma, nu_e, nu_mu = nu_tau) and time,
// integrated with a fixed-step 3-stage Radau IIA method (L-stable: the coupling is stiff above a few MeV).
#include "decoupling.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "plasma.hpp"

namespace solan {
namespace {

constexpr int kDim = 4;  // ln z_gamma, ln z_nue, ln z_numu, t [s]
using State = std::array<double, kDim>;

// Fermi-Dirac correction factors of the Maxwell-Boltzmann annihilation and scattering rates.
constexpr double kFannihilation = 0.884;
constexpr double kFscattering = 0.829;

// Planck mass from Newton's constant in SI units (the library's default "GN").
double planck_mass_MeV() {
  const double G_SI = 6.6743e-11, hbar_Js = 1.0545718176461565e-34, c = 299792458.0;
  const double MeV_J = 1.602176634e-13;
  return std::sqrt(hbar_Js * c / G_SI) * c * c / MeV_J;
}

// Sum of T1^k T2^(8-k), k = 0..8, so that T1^9 - T2^9 = (T1 - T2) sum9(T1, T2).
double sum9(double T1, double T2) {
  double sum = 0, p1 = 1;
  for (int k = 0; k <= 8; ++k) {
    sum += p1 * std::pow(T2, 8 - k);
    p1 *= T1;
  }
  return sum;
}

// Neutrino-neutrino exchange F(T1, T2) = 32 f_a (T1^9 - T2^9) + 56 f_s T1^4 T2^4 (T1 - T2),
// with d = T1 - T2 passed exactly so that the near-equilibrium difference does not cancel.
double exchange_nu(double T1, double T2, double d) {
  const double T1s = T1 * T1, T2s = T2 * T2;
  return d * (32 * kFannihilation * sum9(T1, T2) + 56 * kFscattering * T1s * T1s * T2s * T2s);
}

// Electron-mass suppression of the Maxwell-Boltzmann rates, relative to massless electrons,
// tabulated once in ln(m_e/T) and interpolated with 4-point Lagrange polynomials.
class MassSuppression {
 public:
  explicit MassSuppression(double sw2) : geL_(0.5 + sw2), gmL_(-0.5 + sw2), gR_(sw2) {
    for (int i = 0; i < kN; ++i) {
      const double x = std::exp(kLnMin + i * kStep);
      annihilation_integrals(x, j1_[i], j2_[i]);
      scat_[i] = 0.5 * x * x * std::cyl_bessel_k(2.0, x);
    }
  }
  double ann_e(double x) const { return ann(x, geL_); }
  double ann_mu(double x) const { return ann(x, gmL_); }
  double scattering(double x) const { return interp(scat_, x); }

 private:
  static constexpr int kN = 2000;
  static constexpr double kLnMin = -7.0, kLnMax = 5.3;  // x from 9e-4 to 200
  static constexpr double kStep = (kLnMax - kLnMin) / (kN - 1);

  // Energy carried into neutrinos by e+e- -> nu nubar at temperature T = m_e/x, over its massless
  // value. With w = sqrt(s)/T, beta = sqrt(1 - 4x^2/w^2) and the spin-averaged cross-section
  // G_F^2 s [(gL^2 + gR^2)(1 + beta^2/3) + 8 gL gR x^2/w^2] / (8 pi beta), the thermal average is
  // proportional to (gL^2 + gR^2) J1 + gL gR J2, J1 = int_{2x} w^7 beta (1 + beta^2/3) K2(w) dw,
  // J2 = int_{2x} 8 x^2 w^5 beta K2(w) dw; the massless value is (4/3)(gL^2 + gR^2) 3072.
  double ann(double x, double gL) const {
    const double c2 = gL * gL + gR_ * gR_;
    return (c2 * interp(j1_, x) + gL * gR_ * interp(j2_, x)) / (4.0 / 3.0 * c2 * 3072.0);
  }

  static void annihilation_integrals(double x, double& J1, double& J2) {
    const int n = 600;
    const double w0 = 2 * x, span = 90.0;
    J1 = J2 = 0;
    // Simpson in v with w = w0 + span v^2, which absorbs the square-root threshold.
    for (int i = 1; i <= n; ++i) {
      const double v = static_cast<double>(i) / n;
      const double w = w0 + span * v * v;
      const double beta = std::sqrt(std::max(0.0, 1 - 4 * x * x / (w * w)));
      const double common = std::pow(w, 5) * beta * std::cyl_bessel_k(2.0, w) * 2 * span * v;
      const double simpson = (i == n ? 1 : (i % 2 ? 4 : 2)) / (3.0 * n);
      J1 += simpson * common * w * w * (1 + beta * beta / 3);
      J2 += simpson * common * 8 * x * x;
    }
  }

  static double interp(const std::array<double, kN>& t, double x) {
    const double u = (std::log(x) - kLnMin) / kStep;
    if (u <= 0) return t[0];
    if (u >= kN - 1) return t[kN - 1];
    const int i = std::clamp(static_cast<int>(u) - 1, 0, kN - 4);
    const double r = u - i;
    // Lagrange weights for nodes i .. i+3 at offset r
    const double w0 = -(r - 1) * (r - 2) * (r - 3) / 6, w1 = r * (r - 2) * (r - 3) / 2;
    const double w2 = -r * (r - 1) * (r - 3) / 2, w3 = r * (r - 1) * (r - 2) / 6;
    return w0 * t[i] + w1 * t[i + 1] + w2 * t[i + 2] + w3 * t[i + 3];
  }

  double geL_, gmL_, gR_;
  std::array<double, kN> j1_{}, j2_{}, scat_{};
};

// Plasma-neutrino exchange of one flavour: annihilation 32 f_a (T1^9 A(x1) - T2^9 A(x2)) and
// scattering 56 f_s T1^4 T2^4 (T1 - T2) S(x1), with A and S the electron-mass suppressions.
double exchange_plasma(double T1, double T2, double d, double A1, double A2, double S1) {
  const double T1s = T1 * T1, T2s = T2 * T2, T2_9 = std::pow(T2, 9);
  const double ann = d * sum9(T1, T2) * A1 + T2_9 * (A1 - A2);
  return 32 * kFannihilation * ann + 56 * kFscattering * T1s * T1s * T2s * T2s * d * S1;
}

// Energy-transfer rates from comoving temperatures at scale x (near-equilibrium differences exact).
TransferRates rates_comoving(double x, const State& y, double sw2, const MassSuppression& ms) {
  const double scale = kMe_MeV / x;
  const double zg = std::exp(y[0]), ze = std::exp(y[1]), zm = std::exp(y[2]);
  const double Tg = scale * zg, Te = scale * ze, Tm = scale * zm;
  const double d_ge = scale * ze * std::expm1(y[0] - y[1]);
  const double d_gm = scale * zm * std::expm1(y[0] - y[2]);
  const double d_me = scale * ze * std::expm1(y[2] - y[1]);
  const double geL = 0.5 + sw2, gmL = -0.5 + sw2, gR = sw2;
  const double xg = kMe_MeV / Tg, xe = kMe_MeV / Te, xm = kMe_MeV / Tm;
  const double S = ms.scattering(xg);
  const double F_ge = exchange_plasma(Tg, Te, d_ge, ms.ann_e(xg), ms.ann_e(xe), S);
  const double F_gm = exchange_plasma(Tg, Tm, d_gm, ms.ann_mu(xg), ms.ann_mu(xm), S);
  const double F_me = exchange_nu(Tm, Te, d_me);
  const double pref = kGF_MeVm2 * kGF_MeVm2 / std::pow(kPi, 5);
  TransferRates r;
  r.nue = pref * (4 * (geL * geL + gR * gR) * F_ge + 2 * F_me);
  r.numu = pref * (4 * (gmL * gmL + gR * gR) * F_gm - F_me);
  return r;
}

struct Derivs {
  State dy{};
  double heating = 0;
};

class Equations {
 public:
  Equations(bool qed, double sw2) : qed_(qed), sw2_(sw2), m_pl_(planck_mass_MeV()), mass_(sw2) {}

  // d/d ln x of the state, and the heating term N = Q/(H T^4) at that point.
  Derivs operator()(double lnx, const State& y) const {
    const double x = std::exp(lnx);
    const double Tg = kMe_MeV * std::exp(y[0]) / x;
    const double Te = kMe_MeV * std::exp(y[1]) / x;
    const double Tm = kMe_MeV * std::exp(y[2]) / x;
    const PlasmaState pl = plasma_state(Tg, qed_);
    const double rho_e1 = kRhoNuCoef * std::pow(Te, 4), rho_m1 = kRhoNuCoef * std::pow(Tm, 4);
    const double rho = pl.rho + rho_e1 + 2 * rho_m1;
    const double H = std::sqrt(8 * kPi * rho / 3) / m_pl_;
    const TransferRates r = rates_comoving(x, y, sw2_, mass_);
    const double Q = r.nue + 2 * r.numu;
    Derivs d;
    d.dy[0] = 1 - (3 * pl.s + Q / (H * Tg)) / pl.drho_dT;
    d.dy[1] = r.nue / (4 * H * rho_e1);
    d.dy[2] = r.numu / (4 * H * rho_m1);
    d.dy[3] = kHbar_MeVs / H;
    d.heating = Q / (H * std::pow(Tg, 4));
    return d;
  }

 private:
  bool qed_;
  double sw2_;
  double m_pl_;
  MassSuppression mass_;
};

// Dense LU solve with partial pivoting, in place (n <= 12).
template <int N>
void lu_solve(std::array<double, N * N> M, std::array<double, N>& b) {
  for (int c = 0; c < N; ++c) {
    int piv = c;
    for (int r = c + 1; r < N; ++r)
      if (std::fabs(M[r * N + c]) > std::fabs(M[piv * N + c])) piv = r;
    if (M[piv * N + c] == 0) throw std::runtime_error("nuvex_solan: singular Newton matrix");
    if (piv != c) {
      for (int k = 0; k < N; ++k) std::swap(M[c * N + k], M[piv * N + k]);
      std::swap(b[c], b[piv]);
    }
    for (int r = c + 1; r < N; ++r) {
      const double f = M[r * N + c] / M[c * N + c];
      for (int k = c; k < N; ++k) M[r * N + k] -= f * M[c * N + k];
      b[r] -= f * b[c];
    }
  }
  for (int c = N - 1; c >= 0; --c) {
    double v = b[c];
    for (int k = c + 1; k < N; ++k) v -= M[c * N + k] * b[k];
    b[c] = v / M[c * N + c];
  }
}

// One step of the 3-stage Radau IIA method (order 5, stiffly accurate) by simplified Newton.
State radau_step(const Equations& f, double s, const State& y, double h) {
  const double r6 = std::sqrt(6.0);
  const double A[3][3] = {{(88 - 7 * r6) / 360, (296 - 169 * r6) / 1800, (-2 + 3 * r6) / 225},
                          {(296 + 169 * r6) / 1800, (88 + 7 * r6) / 360, (-2 - 3 * r6) / 225},
                          {(16 - r6) / 36, (16 + r6) / 36, 1.0 / 9}};
  const double c[3] = {(4 - r6) / 10, (4 + r6) / 10, 1.0};
  // Jacobian by forward differences at the step start.
  const State f0 = f(s, y).dy;
  double J[kDim][kDim];
  for (int k = 0; k < kDim; ++k) {
    State yp = y;
    const double dk = 1e-7 * std::max(1.0, std::fabs(y[k]));
    yp[k] += dk;
    const State fp = f(s, yp).dy;
    for (int i = 0; i < kDim; ++i) J[i][k] = (fp[i] - f0[i]) / dk;
  }
  constexpr int n = 3 * kDim;
  std::array<double, n * n> M{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int p = 0; p < kDim; ++p)
        for (int q = 0; q < kDim; ++q)
          M[(i * kDim + p) * n + j * kDim + q] = (i == j && p == q ? 1.0 : 0.0) - h * A[i][j] * J[p][q];
  std::array<State, 3> Z{};
  for (int it = 0; it < 50; ++it) {
    std::array<State, 3> F;
    for (int i = 0; i < 3; ++i) {
      State yi = y;
      for (int k = 0; k < kDim; ++k) yi[k] += Z[i][k];
      F[i] = f(s + c[i] * h, yi).dy;
    }
    std::array<double, n> rhs{};
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < kDim; ++k) {
        double g = Z[i][k];
        for (int j = 0; j < 3; ++j) g -= h * A[i][j] * F[j][k];
        rhs[i * kDim + k] = -g;
      }
    lu_solve<n>(M, rhs);
    bool converged = true;
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < kDim; ++k) {
        Z[i][k] += rhs[i * kDim + k];
        if (std::fabs(rhs[i * kDim + k]) > 1e-15 * (1 + std::fabs(y[k]))) converged = false;
      }
    if (converged) {
      State out = y;
      for (int k = 0; k < kDim; ++k) out[k] += Z[2][k];
      return out;
    }
  }
  throw std::runtime_error("nuvex_solan: Newton iteration did not converge at ln x = " + std::to_string(s));
}

// Entropy per T^3 of the fully coupled, ultra-relativistic plasma plus three neutrino flavours.
double sbar_total_limit(bool qed) {
  double sbar = 11.0 / 2.0 * 2 * kPi * kPi / 45 + 3 * 4.0 / 3.0 * kRhoNuCoef;
  if (qed) {
    // T dP_QED/dT / T^3 at m_e/T -> 0: e^2 part -5 alpha pi/18, e^3 part (8/9) sqrt(pi/3) alpha^(3/2)
    sbar += -5 * kAlpha * kPi / 18 + 8.0 / 9.0 * std::sqrt(kPi / 3) * std::pow(kAlpha, 1.5);
  }
  return sbar;
}

// z of the coupled plasma at scale x from total comoving entropy, with z = 1 in the limit x -> 0.
double coupled_z(double x, bool qed) {
  const double target = sbar_total_limit(qed), sbar_nu = 3 * 4.0 / 3.0 * kRhoNuCoef;
  double z = 1;
  for (int it = 0; it < 60; ++it) {
    const double T = kMe_MeV * z / x;
    const double sbar = plasma_state(T, qed).s / (T * T * T) + sbar_nu;
    const double z_new = std::cbrt(target / sbar);
    if (std::fabs(z_new - z) < 1e-16) return z_new;
    z = z_new;
  }
  return z;
}

}  // namespace

double HistoryRow::T_MeV() const { return kMe_MeV * z_gamma / x; }

TransferRates transfer_rates(double Tg, double Te, double Tm, double sw2) {
  const State y{std::log(Tg / kMe_MeV), std::log(Te / kMe_MeV), std::log(Tm / kMe_MeV), 0};
  return rates_comoving(1.0, y, sw2, MassSuppression(sw2));
}

double neff_of(double Tg, double Te, double Tm, double Tt) {
  const double ratio =
      kRhoNuCoef * (std::pow(Te, 4) + std::pow(Tm, 4) + std::pow(Tt, 4)) / (kRhoGammaCoef * std::pow(Tg, 4));
  return ratio / (7.0 / 8.0 * std::pow(4.0 / 11.0, 4.0 / 3.0));
}

History solve_decoupling(const SolverOptions& opt) {
  if (opt.rows_per_decade < 1 || opt.substeps < 1 || !(opt.T_first_MeV > opt.T_last_MeV) || !(opt.T_last_MeV > 0))
    throw std::invalid_argument("nuvex_solan: invalid solver options");
  const Equations eq(opt.qed, opt.sin2_thetaW);
  const double h_row = std::log(10.0) / opt.rows_per_decade;
  const double h = h_row / opt.substeps;
  // Start well above the first row so that the rows begin on the near-equilibrium solution.
  const double lnx0 = std::log(kMe_MeV / opt.T_first_MeV);
  const double lead = std::log(1.5);
  const int n_lead = static_cast<int>(std::ceil(lead / h));
  double s = lnx0 - n_lead * h;
  const double z_start = coupled_z(std::exp(s), opt.qed);
  State y{std::log(z_start), std::log(z_start), std::log(z_start), 0};
  {
    // time origin of radiation domination: t = 1/(2H)
    const double x = std::exp(s), T = kMe_MeV * z_start / x;
    const double rho = plasma_state(T, opt.qed).rho + 3 * kRhoNuCoef * std::pow(T, 4);
    y[3] = kHbar_MeVs / (2 * std::sqrt(8 * kPi * rho / 3) / planck_mass_MeV());
  }
  for (int i = 0; i < n_lead; ++i) {
    y = radau_step(eq, s, y, h);
    s = lnx0 - (n_lead - i - 1) * h;
  }
  History hist;
  for (long k = 0;; ++k) {
    s = lnx0 + k * h_row;
    HistoryRow row;
    row.x = std::exp(s);
    row.z_gamma = std::exp(y[0]);
    row.z_nue = std::exp(y[1]);
    row.z_numu = std::exp(y[2]);
    row.z_nutau = row.z_numu;
    row.t_s = y[3];
    row.heating = eq(s, y).heating;
    hist.rows.push_back(row);
    if (row.T_MeV() <= opt.T_last_MeV) break;
    for (int j = 0; j < opt.substeps; ++j) y = radau_step(eq, s + j * h, y, h);
  }
  const HistoryRow& last = hist.rows.back();
  hist.Neff = neff_of(last.z_gamma, last.z_nue, last.z_numu);
  return hist;
}

}  // namespace solan
