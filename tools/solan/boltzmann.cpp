// Momentum-resolved decoupling: occupation numbers of nu_e and nu_mu (= nu_tau) on 80 comoving
// momenta, full e+- <-> nu and nu <-> nu collision integrals, L-stable SDIRK integration in ln x.
#include "boltzmann.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "kinematics.hpp"
#include "plasma.hpp"

namespace solan {
namespace {

constexpr int N = 80;          // comoving momenta
constexpr double kDy = 0.25;   // their spacing; y_j = kDy (j + 1), so y1 + y2 - y3 stays on the grid
constexpr int D = 2 * N + 2;   // f_nue[N], f_numu[N], ln z_gamma, t
constexpr int kLnZ = 2 * N, kTime = 2 * N + 1;

inline double y_of(int j) { return kDy * (j + 1); }

double planck_mass_MeV() {
  const double G_SI = 6.6743e-11, hbar_Js = 1.0545718176461565e-34, c = 299792458.0;
  const double MeV_J = 1.602176634e-13;
  return std::sqrt(hbar_Js * c / G_SI) * c * c / MeV_J;
}

// Electron-positron occupation at comoving energy E and temperature z.
inline double fermi_e(double E, double z) {
  const double e = std::exp(-E / z);
  return e / (1 + e);
}

// Couplings of one neutrino flavour to electrons: g_L = +-1/2 + sin^2 theta_W, g_R = sin^2 theta_W.
struct Couplings {
  double scat_12_34_14_23;  // (gL^2 + gR^2): e- and e+ scattering summed
  double scat_m2_13;        // 2 gL gR: the mass term of scattering
  double ann_14_23, ann_13_24, ann_m2_12;  // gL^2, gR^2, gL gR of annihilation
};
Couplings couplings(double gL, double gR) {
  return {gL * gL + gR * gR, 2 * gL * gR, gL * gL, gR * gR, gL * gR};
}

// Massless neutrino-neutrino kernels on the grid: for y1, y2, y3 (y4 = y1 + y2 - y3 on the grid)
// the structures (P1.P2)(P3.P4) and (P1.P4)(P2.P3) with the quadrature weights and the prefactor
// 2^5 / (16 pi^4 y1^2) of the collision integral (matrix elements of Dolgov, Hansen, Semikoz 1997,
// table 1, in units of G_F^2). Zero where y4 falls off the grid.
struct NuNuKernel {
  std::vector<double> A, B;
  NuNuKernel() : A(N * N * N, 0.0), B(N * N * N, 0.0) {
    for (int j1 = 0; j1 < N; ++j1)
      for (int j2 = 0; j2 < N; ++j2)
        for (int j3 = 0; j3 < N; ++j3) {
          const int j4 = j1 + j2 - j3;
          if (j4 < 0 || j4 >= N) continue;
          const double p[4] = {y_of(j1), y_of(j2), y_of(j3), y_of(j4)};
          const Structures s = structures(p, angular_j(p));
          const double pref = kDy * kDy * 32.0 / (16 * std::pow(kPi, 4) * p[0] * p[0]);
          A[idx(j1, j2, j3)] = pref * s.s12_34;
          B[idx(j1, j2, j3)] = pref * s.s14_23;
        }
  }
  static size_t idx(int j1, int j2, int j3) { return (static_cast<size_t>(j1) * N + j2) * N + j3; }
};

const NuNuKernel& nunu_kernel() {
  static const NuNuKernel k;
  return k;
}

// Electron-neutrino kernels at one x (= m_e a, the comoving electron mass), before the electron
// occupations: for each neutrino pair and electron-energy node, the energies and the weighted
// structures. Scattering nu(y1) e(E2) -> nu(y3) e(E4), integrated over E2 (dp2 p2/E2 = dE2);
// annihilation nu(y1) nubar(y2) -> e-(E3) e+(E4), integrated over E3.
struct ElectronKernel {
  double x = 0;
  int ne = 0;
  std::vector<double> sE2, sE4, sW1, sW2;        // [(j1 N + j3) ne + k]
  std::vector<double> aE3, aE4, aW1, aW2, aW3;   // [(j1 N + j2) ne + k]
};

constexpr double kEpsScale = 1.5;  // electron kinetic-energy map eps = a (-ln(1 - u))
constexpr double kEpsMax = 50.0;   // comoving energy above threshold (e^-36 at z = 1.4)

std::unique_ptr<ElectronKernel> make_electron_kernel(double x, int ne) {
  auto k = std::make_unique<ElectronKernel>();
  k->x = x;
  k->ne = ne;
  const size_t n = static_cast<size_t>(N) * N * ne;
  for (auto* v : {&k->sE2, &k->sE4, &k->sW1, &k->sW2, &k->aE3, &k->aE4, &k->aW1, &k->aW2, &k->aW3})
    v->assign(n, 0.0);
  const double x2 = x * x;
  const double u_max = 1 - std::exp(-kEpsMax / kEpsScale);
  const double du = u_max / ne;
  for (int j1 = 0; j1 < N; ++j1) {
    const double y1 = y_of(j1);
    const double pref = kDy * 128.0 / (16 * std::pow(kPi, 4) * y1 * y1);  // 2^7 G_F^2 matrix elements
    for (int j3 = 0; j3 < N; ++j3) {
      const double y3 = y_of(j3);
      const double E2_min = x + std::max(0.0, y3 - y1);
      for (int q = 0; q < ne; ++q) {
        const double u = (q + 0.5) * du;
        const double E2 = E2_min + kEpsScale * -std::log1p(-u);
        const double E4 = E2 + y1 - y3;
        const double p[4] = {y1, std::sqrt(std::max(0.0, E2 * E2 - x2)), y3,
                             std::sqrt(std::max(0.0, E4 * E4 - x2))};
        const double E[4] = {y1, E2, y3, E4};
        const Structures s = structures(E, angular_j(p));
        const double w = pref * kEpsScale / (1 - u) * du;
        const size_t i = (static_cast<size_t>(j1) * N + j3) * ne + q;
        k->sE2[i] = E2;
        k->sE4[i] = E4;
        k->sW1[i] = w * (s.s12_34 + s.s14_23);
        k->sW2[i] = w * x2 * s.s13;
      }
    }
    for (int j2 = 0; j2 < N; ++j2) {
      const double y2 = y_of(j2);
      const double L = y1 + y2 - 2 * x;
      if (L <= 0) continue;
      for (int q = 0; q < ne; ++q) {
        const double E3 = x + (q + 0.5) * L / ne;
        const double E4 = y1 + y2 - E3;
        const double p[4] = {y1, y2, std::sqrt(std::max(0.0, E3 * E3 - x2)),
                             std::sqrt(std::max(0.0, E4 * E4 - x2))};
        const double E[4] = {y1, y2, E3, E4};
        const Structures s = structures(E, angular_j(p));
        const double w = pref * L / ne;
        const size_t i = (static_cast<size_t>(j1) * N + j2) * ne + q;
        k->aE3[i] = E3;
        k->aE4[i] = E4;
        k->aW1[i] = w * s.s14_23;
        k->aW2[i] = w * s.s13_24;
        k->aW3[i] = w * x2 * s.s12;
      }
    }
  }
  return k;
}

// Electron kernels contracted with the electron occupations at temperature z:
// scattering sums of W1, W2 times f_e(E2)(1 - f_e(E4)); annihilation sums of W1, W2, W3 times
// (1 - f_e(E3))(1 - f_e(E4)). The z dependence of the rates' size only; detailed balance is
// imposed exactly by the brackets of the collision term.
struct ElectronSums {
  std::vector<double> s1, s2, a1, a2, a3;  // [j1 N + j]
};

ElectronSums contract(const ElectronKernel& k, double z) {
  ElectronSums r;
  for (auto* v : {&r.s1, &r.s2, &r.a1, &r.a2, &r.a3}) v->assign(N * N, 0.0);
  const int ne = k.ne;
  for (size_t pair = 0; pair < static_cast<size_t>(N) * N; ++pair) {
    double s1 = 0, s2 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (int q = 0; q < ne; ++q) {
      const size_t i = pair * ne + q;
      if (k.sW1[i] != 0 || k.sW2[i] != 0) {
        const double occ = fermi_e(k.sE2[i], z) * (1 - fermi_e(k.sE4[i], z));
        s1 += k.sW1[i] * occ;
        s2 += k.sW2[i] * occ;
      }
      if (k.aE3[i] > 0) {
        const double occ = (1 - fermi_e(k.aE3[i], z)) * (1 - fermi_e(k.aE4[i], z));
        a1 += k.aW1[i] * occ;
        a2 += k.aW2[i] * occ;
        a3 += k.aW3[i] * occ;
      }
    }
    r.s1[pair] = s1;
    r.s2[pair] = s2;
    r.a1[pair] = a1;
    r.a2[pair] = a2;
    r.a3[pair] = a3;
  }
  return r;
}

ElectronSums blend(const ElectronSums& a, const ElectronSums& b, double theta) {
  ElectronSums r = a;
  auto mix = [theta](std::vector<double>& o, const std::vector<double>& v) {
    for (size_t i = 0; i < o.size(); ++i) o[i] += theta * (v[i] - o[i]);
  };
  mix(r.s1, b.s1);
  mix(r.s2, b.s2);
  mix(r.a1, b.a1);
  mix(r.a2, b.a2);
  mix(r.a3, b.a3);
  return r;
}

// F = f3 f4 (1 - f1)(1 - f2) - f1 f2 (1 - f3)(1 - f4) and its partial derivatives.
struct Pauli {
  double F, d1, d2, d3, d4;
};
inline Pauli pauli(double f1, double f2, double f3, double f4) {
  const double g1 = 1 - f1, g2 = 1 - f2, g3 = 1 - f3, g4 = 1 - f4;
  return {f3 * f4 * g1 * g2 - f1 * f2 * g3 * g4, -f3 * f4 * g2 - f2 * g3 * g4, -f3 * f4 * g1 - f1 * g3 * g4,
          f4 * g1 * g2 + f1 * f2 * g4, f3 * g1 * g2 + f1 * f2 * g3};
}

// Collision terms (over G_F^2 (m_e/x)^5) of both flavours; with jac != nullptr also their
// derivatives d C_a(j1) / d f_b(j), written as jac[(a N + j1) * 2N + b N + j].
void collisions(const ElectronSums* es, double z, const double* fe, const double* fm, double sw2, double* Ce,
                double* Cm, double* Ce_nn, double* Cm_nn, double* jac) {
  const Couplings ce = couplings(0.5 + sw2, sw2), cm = couplings(-0.5 + sw2, sw2);
  std::fill(Ce, Ce + N, 0.0);
  std::fill(Cm, Cm + N, 0.0);
  if (jac) std::fill(jac, jac + 4 * N * N, 0.0);
  const int W = 2 * N;
  auto J = [jac, W](int a, int j1, int b, int j) -> double& { return jac[(a * N + j1) * W + b * N + j]; };
  // neutrino-neutrino scattering and annihilation
  const NuNuKernel& K = nunu_kernel();
  double ge_[N], gm_[N];  // 1 - f
  for (int j = 0; j < N; ++j) {
    ge_[j] = 1 - fe[j];
    gm_[j] = 1 - fm[j];
  }
  for (int j1 = 0; j1 < N && !jac; ++j1) {
    // occupations only (the common case): F = f3 f4 (1 - f1)(1 - f2) - f1 f2 (1 - f3)(1 - f4)
    double sum_e = 0, sum_m = 0;
    const double fe1 = fe[j1], fm1 = fm[j1], ge1 = ge_[j1], gm1 = gm_[j1];
    for (int j2 = 0; j2 < N; ++j2) {
      const double fe2 = fe[j2], fm2 = fm[j2], ge2 = ge_[j2], gm2 = gm_[j2];
      const size_t base = NuNuKernel::idx(j1, j2, 0);
      for (int j3 = std::max(0, j1 + j2 - N + 1); j3 < N && j3 <= j1 + j2; ++j3) {
        const int j4 = j1 + j2 - j3;
        const double A = K.A[base + j3], B = K.B[base + j3];
        const double eeee = fe[j3] * fe[j4] * ge1 * ge2 - fe1 * fe2 * ge_[j3] * ge_[j4];
        const double emem = fe[j3] * fm[j4] * ge1 * gm2 - fe1 * fm2 * ge_[j3] * gm_[j4];
        const double eemm = fm[j3] * fm[j4] * ge1 * ge2 - fe1 * fe2 * gm_[j3] * gm_[j4];
        const double mmmm = fm[j3] * fm[j4] * gm1 * gm2 - fm1 * fm2 * gm_[j3] * gm_[j4];
        const double meme = fm[j3] * fe[j4] * gm1 * ge2 - fm1 * fe2 * gm_[j3] * ge_[j4];
        const double mmee = fe[j3] * fe[j4] * gm1 * gm2 - fm1 * fm2 * ge_[j3] * ge_[j4];
        sum_e += A * (2 * eeee + 2 * emem) + B * (4 * eeee + 2 * emem + 2 * eemm);
        sum_m += A * (3 * mmmm + meme) + B * (6 * mmmm + meme + mmee);
      }
    }
    Ce[j1] = sum_e;
    Cm[j1] = sum_m;
  }
  for (int j1 = 0; j1 < N && jac; ++j1) {
    double sum_e = 0, sum_m = 0;
    for (int j2 = 0; j2 < N; ++j2)
      for (int j3 = std::max(0, j1 + j2 - N + 1); j3 < N && j3 <= j1 + j2; ++j3) {
        const int j4 = j1 + j2 - j3;
        const size_t i = NuNuKernel::idx(j1, j2, j3);
        const double A = K.A[i], B = K.B[i];
        // nu_e: e e -> e e (2A + 4B), e mu -> e mu with mu, tau, nu and nubar (2A + 2B),
        // e ebar -> mu mubar for mu and tau (2B)
        const Pauli eeee = pauli(fe[j1], fe[j2], fe[j3], fe[j4]);
        const Pauli emem = pauli(fe[j1], fm[j2], fe[j3], fm[j4]);
        const Pauli eemm = pauli(fe[j1], fe[j2], fm[j3], fm[j4]);
        const double ae = 2 * A + 4 * B, be = 2 * A + 2 * B, ge = 2 * B;
        sum_e += ae * eeee.F + be * emem.F + ge * eemm.F;
        // nu_mu: mu mu -> mu mu including tau partners (3A + 6B), mu e -> mu e (A + B),
        // mu mubar -> e ebar (B)
        const Pauli mmmm = pauli(fm[j1], fm[j2], fm[j3], fm[j4]);
        const Pauli meme = pauli(fm[j1], fe[j2], fm[j3], fe[j4]);
        const Pauli mmee = pauli(fm[j1], fm[j2], fe[j3], fe[j4]);
        const double am = 3 * A + 6 * B, bm = A + B, gm = B;
        sum_m += am * mmmm.F + bm * meme.F + gm * mmee.F;
        if (jac) {
          J(0, j1, 0, j1) += ae * eeee.d1 + be * emem.d1 + ge * eemm.d1;
          J(0, j1, 0, j2) += ae * eeee.d2 + ge * eemm.d2;
          J(0, j1, 0, j3) += ae * eeee.d3 + be * emem.d3;
          J(0, j1, 0, j4) += ae * eeee.d4;
          J(0, j1, 1, j2) += be * emem.d2;
          J(0, j1, 1, j4) += be * emem.d4;
          J(0, j1, 1, j3) += ge * eemm.d3;
          J(0, j1, 1, j4) += ge * eemm.d4;
          J(1, j1, 1, j1) += am * mmmm.d1 + bm * meme.d1 + gm * mmee.d1;
          J(1, j1, 1, j2) += am * mmmm.d2 + gm * mmee.d2;
          J(1, j1, 1, j3) += am * mmmm.d3 + bm * meme.d3;
          J(1, j1, 1, j4) += am * mmmm.d4;
          J(1, j1, 0, j2) += bm * meme.d2;
          J(1, j1, 0, j4) += bm * meme.d4;
          J(1, j1, 0, j3) += gm * mmee.d3;
          J(1, j1, 0, j4) += gm * mmee.d4;
        }
      }
    Ce[j1] = sum_e;
    Cm[j1] = sum_m;
  }
  if (Ce_nn) std::copy(Ce, Ce + N, Ce_nn);
  if (Cm_nn) std::copy(Cm, Cm + N, Cm_nn);
  if (!es) return;
  // electron-neutrino scattering and annihilation with detailed balance at temperature z
  double ey[N];
  for (int j = 0; j < N; ++j) ey[j] = std::exp(-y_of(j) / z);
  for (int a = 0; a < 2; ++a) {
    const Couplings& c = a == 0 ? ce : cm;
    const double* f = a == 0 ? fe : fm;
    double* C = a == 0 ? Ce : Cm;
    for (int j1 = 0; j1 < N; ++j1) {
      double sum = 0, d11 = 0;
      for (int j = 0; j < N; ++j) {
        const size_t pr = static_cast<size_t>(j1) * N + j;
        const double Gs = c.scat_12_34_14_23 * es->s1[pr] - c.scat_m2_13 * es->s2[pr];
        const double r = ey[j1] / ey[j];  // exp((y3 - y1)/z)
        sum += Gs * (r * f[j] * (1 - f[j1]) - f[j1] * (1 - f[j]));
        const double Ga = c.ann_14_23 * es->a1[pr] + c.ann_13_24 * es->a2[pr] + c.ann_m2_12 * es->a3[pr];
        const double b = ey[j1] * ey[j];  // exp(-(y1 + y2)/z)
        sum += Ga * (b * (1 - f[j1]) * (1 - f[j]) - f[j1] * f[j]);
        if (jac) {
          d11 += Gs * (-r * f[j] - (1 - f[j])) + Ga * (-b * (1 - f[j]) - f[j]);
          J(a, j1, a, j) += Gs * (r * (1 - f[j1]) + f[j1]) + Ga * (-b * (1 - f[j1]) - f[j1]);
        }
      }
      C[j1] += sum;
      if (jac) J(a, j1, a, j1) += d11;
    }
  }
}

// Energy density of one flavour (nu plus nubar) over (m_e/x)^4: (1/pi^2) int y^3 f dy, on the grid.
double rho_hat(const double* f) {
  double s = 0;
  for (int j = 0; j < N; ++j) s += std::pow(y_of(j), 3) * f[j];
  return s * kDy / (kPi * kPi);
}

// The same for the Fermi-Dirac occupation at comoving temperature 1, so that thermal spectra
// give comoving temperatures without quadrature error.
double rho_hat_fd() {
  double f[N];
  for (int j = 0; j < N; ++j) f[j] = 1 / (std::exp(y_of(j)) + 1);
  return rho_hat(f);
}

using Vec = std::vector<double>;

// Dense LU with partial pivoting (row-major, n x n) and its solve.
struct LU {
  int n = 0;
  Vec a;
  std::vector<int> piv;
  void factor(const Vec& m, int size) {
    n = size;
    a = m;
    piv.assign(n, 0);
    for (int c = 0; c < n; ++c) {
      int p = c;
      for (int r = c + 1; r < n; ++r)
        if (std::fabs(a[r * n + c]) > std::fabs(a[p * n + c])) p = r;
      if (a[p * n + c] == 0) throw std::runtime_error("nuvex_solan: singular Newton matrix");
      piv[c] = p;
      if (p != c)
        for (int k = 0; k < n; ++k) std::swap(a[c * n + k], a[p * n + k]);
      const double inv = 1 / a[c * n + c];
      for (int r = c + 1; r < n; ++r) {
        const double f = a[r * n + c] * inv;
        if (f == 0) continue;
        a[r * n + c] = f;
        for (int k = c + 1; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
      }
    }
  }
  void solve(double* b) const {
    // rows were swapped whole during the factorisation: P A = L U with all swaps applied first
    for (int c = 0; c < n; ++c) std::swap(b[c], b[piv[c]]);
    for (int c = 0; c < n; ++c)
      for (int r = c + 1; r < n; ++r) b[r] -= a[r * n + c] * b[c];
    for (int c = n - 1; c >= 0; --c) {
      double v = b[c];
      for (int k = c + 1; k < n; ++k) v -= a[c * n + k] * b[k];
      b[c] = v / a[c * n + c];
    }
  }
};

struct Eval {
  Vec dy = Vec(D);
  double heating = 0;
};

class Solver {
 public:
  explicit Solver(const BoltzmannOptions& o) : o_(o), m_pl_(planck_mass_MeV()), rho_fd_(rho_hat_fd()) {}

  // Right-hand side d/d ln x at (s = ln x, Y), with the electron sums for this x.
  Eval rhs(double s, const Vec& Y, const ElectronSums* es, double* jac_ff = nullptr) const {
    const double x = std::exp(s), z = std::exp(Y[kLnZ]);
    const double scale = kMe_MeV / x, T = scale * z;
    const PlasmaState pl = plasma_state(T, o_.qed);
    const double* fe = Y.data();
    const double* fm = Y.data() + N;
    const double s4 = std::pow(scale, 4);
    const double rho = pl.rho + s4 * (rho_hat(fe) + 2 * rho_hat(fm));
    const double H = std::sqrt(8 * kPi * rho / 3) / m_pl_;
    Eval ev;
    double Ce[N], Cm[N];
    const bool active = x < o_.x_collisions_off;
    if (active) {
      collisions(es, z, fe, fm, o_.sin2_thetaW, Ce, Cm, nullptr, nullptr, jac_ff);
    } else {
      std::fill(Ce, Ce + N, 0.0);
      std::fill(Cm, Cm + N, 0.0);
      if (jac_ff) std::fill(jac_ff, jac_ff + 4 * N * N, 0.0);
    }
    const double g = kGF_MeVm2 * kGF_MeVm2 * std::pow(scale, 5) / H;  // per ln x
    for (int j = 0; j < N; ++j) {
      ev.dy[j] = g * Ce[j];
      ev.dy[N + j] = g * Cm[j];
    }
    if (jac_ff)
      for (int i = 0; i < 4 * N * N; ++i) jac_ff[i] *= g;
    double q = 0;  // energy gained by all neutrinos and antineutrinos, per ln x, over (m_e/x)^4
    for (int j = 0; j < N; ++j) q += std::pow(y_of(j), 3) * (ev.dy[j] + 2 * ev.dy[N + j]);
    q *= kDy / (kPi * kPi);
    const double Q_over_H = s4 * q;  // MeV^4: Q / H
    ev.dy[kLnZ] = 1 - (3 * pl.s + Q_over_H / T) / pl.drho_dT;
    ev.dy[kTime] = kHbar_MeVs / H;
    ev.heating = Q_over_H / std::pow(T, 4);
    dz_dq_ = -s4 / (T * pl.drho_dT);  // d(dlnz/dlnx) per unit of q
    return ev;
  }

  // Full Jacobian d(dY/dlnx)/dY: analytic in the occupations, finite difference in ln z.
  Vec jacobian(double s, const Vec& Y, const ElectronSums* es, const Eval& f0) const {
    Vec Jff(4 * N * N);
    rhs(s, Y, es, Jff.data());
    const double dz_dq = dz_dq_;
    Vec J(D * D, 0.0);
    for (int r = 0; r < 2 * N; ++r)
      for (int c = 0; c < 2 * N; ++c) J[r * D + c] = Jff[r * 2 * N + c];
    for (int c = 0; c < 2 * N; ++c) {
      double dq = 0;
      for (int j = 0; j < N; ++j) dq += std::pow(y_of(j), 3) * (Jff[j * 2 * N + c] + 2 * Jff[(N + j) * 2 * N + c]);
      J[kLnZ * D + c] = dz_dq * dq * kDy / (kPi * kPi);
    }
    Vec Yp = Y;
    const double h = 1e-7;
    Yp[kLnZ] += h;
    const Eval f1 = rhs(s, Yp, es);
    for (int r = 0; r < D; ++r) J[r * D + kLnZ] = (f1.dy[r] - f0.dy[r]) / h;
    return J;
  }

  History run();

 private:
  const ElectronKernel& kernel_at(int m);
  ElectronSums sums_at(double s, double z);
  void step(double s, double h, Vec& Y, Eval& F0, double& heat0, struct StepOut& out);

  BoltzmannOptions o_;
  double m_pl_;
  double rho_fd_;
  double s0_ = 0;
  mutable double dz_dq_ = 0;
  std::map<int, std::unique_ptr<ElectronKernel>> kernels_;  // by ln x node, the last few kept
};

const ElectronKernel& Solver::kernel_at(int m) {
  auto it = kernels_.find(m);
  if (it != kernels_.end()) return *it->second;
  // the integration only moves forward: drop the nodes it has passed
  while (!kernels_.empty() && kernels_.begin()->first < m - 1) kernels_.erase(kernels_.begin());
  auto& k = kernels_[m];
  k = make_electron_kernel(std::exp(s0_ + m * o_.kernel_spacing), o_.electron_nodes);
  return *k;
}

// Electron sums at ln x = s for temperature z: linear in ln x between the tabulated kernels.
ElectronSums Solver::sums_at(double s, double z) {
  const double u = (s - s0_) / o_.kernel_spacing;
  const int m = std::max(0, static_cast<int>(std::floor(u)));
  const double theta = std::clamp(u - m, 0.0, 1.0);
  const ElectronSums lo = contract(kernel_at(m), z);
  if (theta == 0) return lo;
  const ElectronSums hi = contract(kernel_at(m + 1), z);
  return blend(lo, hi, theta);
}

struct StepOut {
  Vec Y1;
  Eval F1;
  double heat1 = 0;
};

// Three-stage L-stable SDIRK of order 3 (R. Alexander, SIAM J. Numer. Anal. 14 (1977) 1006),
// stiffly accurate; simplified Newton with one Jacobian per step. The electron sums are frozen at
// the step midpoint (their z dependence only sizes the rates).
void Solver::step(double s, double h, Vec& Y, Eval& F0, double& heat0, StepOut& out) {
  constexpr double g = 0.43586652150845899942;
  const double b1 = -(6 * g * g - 16 * g + 1) / 4, b2 = (6 * g * g - 20 * g + 5) / 4;
  const double A[3][3] = {{g, 0, 0}, {(1 - g) / 2, g, 0}, {b1, b2, g}};
  const double c[3] = {g, (1 + g) / 2, 1};
  const bool active = std::exp(s) < o_.x_collisions_off;
  ElectronSums es;
  if (active) es = sums_at(s + 0.5 * h, std::exp(Y[kLnZ] + 0.5 * h * F0.dy[kLnZ]));
  const ElectronSums* esp = active ? &es : nullptr;
  const Vec J = jacobian(s, Y, esp, F0);
  Vec M(D * D);
  for (int i = 0; i < D * D; ++i) M[i] = -h * g * J[i];
  for (int i = 0; i < D; ++i) M[i * D + i] += 1;
  LU lu;
  lu.factor(M, D);
  Vec K[3];
  Eval last;
  for (int st = 0; st < 3; ++st) {
    Vec base = Y;
    for (int j = 0; j < st; ++j)
      for (int i = 0; i < D; ++i) base[i] += h * A[st][j] * K[j][i];
    Vec Z = base;
    for (int i = 0; i < D; ++i) Z[i] += h * g * (st == 0 ? F0.dy[i] : K[st - 1][i]);
    bool ok = false;
    for (int it = 0; it < 30 && !ok; ++it) {
      last = rhs(s + c[st] * h, Z, esp);
      Vec r(D);
      for (int i = 0; i < D; ++i) r[i] = -(Z[i] - base[i] - h * g * last.dy[i]);
      lu.solve(r.data());
      ok = true;
      for (int i = 0; i < D; ++i) {
        Z[i] += r[i];
        const double tol = i < 2 * N ? 1e-14 + 1e-11 * std::fabs(Z[i]) : 1e-13 * (1 + std::fabs(Z[i]));
        if (std::fabs(r[i]) > tol) ok = false;
      }
    }
    if (!ok) throw std::runtime_error("nuvex_solan: Newton iteration did not converge at ln x = " + std::to_string(s));
    K[st].resize(D);
    for (int i = 0; i < D; ++i) K[st][i] = (Z[i] - base[i]) / (h * g);  // F(Z) of the converged stage
    if (st == 2) out.Y1 = Z;
  }
  last = rhs(s + h, out.Y1, esp);
  out.F1 = last;
  out.heat1 = last.heating;
  (void)heat0;
}

History Solver::run() {
  const double lnx_first = std::log(kMe_MeV / o_.T_first_MeV);
  s0_ = std::log(kMe_MeV / (1.5 * o_.T_first_MeV));
  // coupled start: one temperature for plasma and neutrinos from total comoving entropy
  const double z0 = [&] {
    const double sbar_nu = 3 * 4.0 / 3.0 * kRhoNuCoef;
    double target = 11.0 / 2.0 * 2 * kPi * kPi / 45 + sbar_nu;
    if (o_.qed) target += -5 * kAlpha * kPi / 18 + 8.0 / 9.0 * std::sqrt(kPi / 3) * std::pow(kAlpha, 1.5);
    double z = 1;
    for (int it = 0; it < 60; ++it) {
      const double T = kMe_MeV * z / std::exp(s0_);
      z = std::cbrt(target / (plasma_state(T, o_.qed).s / (T * T * T) + sbar_nu));
    }
    return z;
  }();
  Vec Y(D);
  for (int j = 0; j < N; ++j) Y[j] = Y[N + j] = 1 / (std::exp(y_of(j) / z0) + 1);
  Y[kLnZ] = std::log(z0);
  {
    const double T = kMe_MeV * z0 / std::exp(s0_);
    const double rho = plasma_state(T, o_.qed).rho + 3 * kRhoNuCoef * std::pow(T, 4);
    Y[kTime] = kHbar_MeVs / (2 * std::sqrt(8 * kPi * rho / 3) / m_pl_);
  }
  double s = s0_;
  Eval F0 = rhs(s, Y, nullptr);
  double heat0 = F0.heating;
  History hist;
  const double row_h = std::log(10.0) / o_.rows_per_decade;
  long k_row = 0;
  bool done = false;
  while (!done) {
    const double h = std::exp(s) < o_.x_collisions_off ? o_.step_lnx : 5 * o_.step_lnx;
    StepOut out;
    step(s, h, Y, F0, heat0, out);
    // rows inside (s, s + h]: cubic Hermite interpolation of the state, linear of the heating
    for (;;) {
      const double lr = lnx_first + k_row * row_h;
      if (lr > s + h) break;
      if (lr >= s) {
        const double th = (lr - s) / h;
        const double h00 = (1 + 2 * th) * (1 - th) * (1 - th), h10 = th * (1 - th) * (1 - th);
        const double h01 = th * th * (3 - 2 * th), h11 = th * th * (th - 1);
        Vec Yr(D);
        for (int i = 0; i < D; ++i)
          Yr[i] = h00 * Y[i] + h10 * h * F0.dy[i] + h01 * out.Y1[i] + h11 * h * out.F1.dy[i];
        HistoryRow row;
        row.x = std::exp(lr);
        row.z_gamma = std::exp(Yr[kLnZ]);
        row.z_nue = std::pow(rho_hat(Yr.data()) / rho_fd_, 0.25);
        row.z_numu = std::pow(rho_hat(Yr.data() + N) / rho_fd_, 0.25);
        row.t_s = Yr[kTime];
        row.heating = (1 - th) * F0.heating + th * out.F1.heating;
        row.delta_nue.resize(N);
        row.delta_numu.resize(N);
        for (int j = 0; j < N; ++j) {
          const double F = 1 / (std::exp(y_of(j)) + 1);
          row.delta_nue[j] = Yr[j] / F - 1;
          row.delta_numu[j] = Yr[N + j] / F - 1;
        }
        hist.rows.push_back(row);
        if (row.T_MeV() <= o_.T_last_MeV) {
          done = true;
          break;
        }
      }
      ++k_row;
    }
    s += h;
    Y = out.Y1;
    F0 = out.F1;
    heat0 = out.heat1;
  }
  const HistoryRow& last = hist.rows.back();
  hist.Neff = neff_of(last.z_gamma, last.z_nue, last.z_numu);
  return hist;
}

}  // namespace

std::vector<double> boltzmann_grid() {
  std::vector<double> g(N);
  for (int j = 0; j < N; ++j) g[j] = y_of(j);
  return g;
}

History solve_boltzmann(const BoltzmannOptions& opt) {
  if (opt.rows_per_decade < 1 || !(opt.T_first_MeV > opt.T_last_MeV) || !(opt.T_last_MeV > 0) ||
      !(opt.step_lnx > 0 && opt.step_lnx <= 0.1) || opt.electron_nodes < 4 || !(opt.kernel_spacing > 0))
    throw std::invalid_argument("nuvex_solan: invalid solver options");
  Solver s(opt);
  return s.run();
}

CollisionTerms collision_terms(double x, double z, const std::vector<double>& fe, const std::vector<double>& fm,
                               double sw2, int ne) {
  if (fe.size() != static_cast<size_t>(N) || fm.size() != static_cast<size_t>(N))
    throw std::invalid_argument("nuvex_solan: occupation vectors must have one value per grid momentum");
  const auto k = make_electron_kernel(x, ne);
  const ElectronSums es = contract(*k, z);
  CollisionTerms r;
  r.nue.resize(N);
  r.numu.resize(N);
  r.nue_nunu.resize(N);
  r.numu_nunu.resize(N);
  collisions(&es, z, fe.data(), fm.data(), sw2, r.nue.data(), r.numu.data(), r.nue_nunu.data(), r.numu_nunu.data(),
             nullptr);
  return r;
}

}  // namespace solan
