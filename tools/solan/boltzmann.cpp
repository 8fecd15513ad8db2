// Momentum-resolved decoupling: three-flavour density matrices on 80 comoving momenta with averaged
// oscillations, e+- <-> nu and nu <-> nu collision integrals, L-stable SDIRK integration in ln x.
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
constexpr int D = 3 * N + 2;   // matter-state occupations occ[i N + j], ln z_gamma, t
constexpr int kLnZ = 3 * N, kTime = 3 * N + 1;

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

constexpr int F3 = 3;       // flavours e, mu, tau
constexpr int NF = F3 * N;  // occupations per state

// Flavour-space algebra of real symmetric 3x3 matrices.
inline Mat3 mat_mul(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) {
      const double aik = a[3 * i + k];
      for (int j = 0; j < 3; ++j) r[3 * i + j] += aik * b[3 * k + j];
    }
  return r;
}
inline Mat3 identity3() { return {1, 0, 0, 0, 1, 0, 0, 0, 1}; }

// Density matrix rho = sum_i occ_i u_i u_i^T of one momentum from matter-state occupations.
inline Mat3 density_matrix(const Mat3& U, const double occ[3]) {
  Mat3 r{};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int i = 0; i < 3; ++i) r[3 * a + b] += U[3 * a + i] * occ[i] * U[3 * b + i];
  return r;
}

// Left-handed couplings to electrons per flavour (charged current for nu_e), and g_R.
struct Couplings3 {
  double gL[3], gR;
  explicit Couplings3(double sw2) : gL{0.5 + sw2, -0.5 + sw2, -0.5 + sw2}, gR(sw2) {}
};

// Neutrino-neutrino collision terms. The interaction is the flavour-universal neutral current,
// so the collision term is covariant under flavour rotations: C[V rho V^T] = V C[rho] V^T. The
// diagonal entries are computed exactly for flavour-diagonal occupations (the off-diagonal
// entries of rho change them only at second order). Off the diagonal, to first order around the
// flavour-blind spectrum fb = Tr(rho)/3, covariance (Schur's lemma) leaves one kernel:
// C_ab(p1) = sum_p a(p1, p) rho_ab(p), with a = dC_a/df_a - dC_a/df_b at fb, so the off-diagonal
// damping and repopulation follow from the same matrix elements as the diagonal.
//
// Flavour counting for particle 1 of flavour a (Dolgov, Hansen, Semikoz 1997, table 1; kernels
// A = (P1.P2)(P3.P4) and B = (P1.P4)(P2.P3) with prefactor 2^5):
//   C_a = (2A + 4B) F(aaaa) + sum_{b != a} [(A + B) F(abab) + B F(aabb)]
//       = (A + 2B) F(aaaa) + (A + B) sum_b F(abab) + B sum_b F(aabb),
// F(abcd) = f_c(3) f_d(4) (1 - f_a(1))(1 - f_b(2)) - f_a(1) f_b(2) (1 - f_c(3))(1 - f_d(4)).
// With jac: d C_a(j1) / d f_c(j) into jac[(a N + j1) 3N + c N + j]; with akern: the kernel a
// into akern[j1 N + j].
void nunu_collisions(const double* f, const double* fb, double* C, double* jac, double* akern) {
  const NuNuKernel& K = nunu_kernel();
  double g[NF], gb[N];
  for (int i = 0; i < NF; ++i) g[i] = 1 - f[i];
  if (fb)
    for (int j = 0; j < N; ++j) gb[j] = 1 - fb[j];
  std::fill(C, C + NF, 0.0);
  if (jac) std::fill(jac, jac + NF * NF, 0.0);
  if (akern) std::fill(akern, akern + N * N, 0.0);
  auto J = [jac](int a, int j1, int c, int j) -> double& { return jac[(a * N + j1) * NF + c * N + j]; };
  for (int j1 = 0; j1 < N; ++j1) {
    double sum[3] = {0, 0, 0};
    double* arow = akern ? akern + j1 * N : nullptr;
    const double* f1 = f + 3 * j1;
    const double* g1 = g + 3 * j1;
    for (int j2 = 0; j2 < N; ++j2) {
      const double* f2 = f + 3 * j2;
      const double* g2 = g + 3 * j2;
      const size_t base = NuNuKernel::idx(j1, j2, 0);
      for (int j3 = std::max(0, j1 + j2 - N + 1); j3 < N && j3 <= j1 + j2; ++j3) {
        const int j4 = j1 + j2 - j3;
        const double A = K.A[base + j3], B = K.B[base + j3];
        const double* f3 = f + 3 * j3;
        const double* g3 = g + 3 * j3;
        const double* f4 = f + 3 * j4;
        const double* g4 = g + 3 * j4;
        const double S1 = f4[0] * g2[0] + f4[1] * g2[1] + f4[2] * g2[2];
        const double S2 = f2[0] * g4[0] + f2[1] * g4[1] + f2[2] * g4[2];
        const double T1 = f3[0] * f4[0] + f3[1] * f4[1] + f3[2] * f4[2];
        const double T2 = g3[0] * g4[0] + g3[1] * g4[1] + g3[2] * g4[2];
        const double cA = A + 2 * B, cS = A + B;
        for (int a = 0; a < 3; ++a) {
          const double Fa = f3[a] * f4[a] * g1[a] * g2[a] - f1[a] * f2[a] * g3[a] * g4[a];
          sum[a] += cA * Fa + cS * (f3[a] * g1[a] * S1 - f1[a] * g3[a] * S2) +
                    B * (g1[a] * g2[a] * T1 - f1[a] * f2[a] * T2);
        }
        if (arow) {
          const double b1 = fb[j1], b2 = fb[j2], b3 = fb[j3], b4 = fb[j4];
          const double h1 = gb[j1], h2 = gb[j2], h3 = gb[j3], h4 = gb[j4];
          arow[j1] += (4 * A + 8 * B) * (-b3 * b4 * h2 - b2 * h3 * h4);
          arow[j2] += (A + 5 * B) * (-b3 * b4 * h1 - b1 * h3 * h4);
          arow[j3] += (4 * A + 5 * B) * (b4 * h1 * h2 + b1 * b2 * h4);
          arow[j4] += (A + 2 * B) * (b3 * h1 * h2 + b1 * b2 * h3);
        }
        if (jac) {
          for (int a = 0; a < 3; ++a) {
            // F(aaaa)
            J(a, j1, a, j1) += cA * (-f3[a] * f4[a] * g2[a] - f2[a] * g3[a] * g4[a]) +
                               cS * (-f3[a] * S1 - g3[a] * S2) + B * (-g2[a] * T1 - f2[a] * T2);
            J(a, j1, a, j2) += cA * (-f3[a] * f4[a] * g1[a] - f1[a] * g3[a] * g4[a]) + B * (-g1[a] * T1 - f1[a] * T2);
            J(a, j1, a, j3) += cA * (f4[a] * g1[a] * g2[a] + f1[a] * f2[a] * g4[a]) + cS * (g1[a] * S1 + f1[a] * S2);
            J(a, j1, a, j4) += cA * (f3[a] * g1[a] * g2[a] + f1[a] * f2[a] * g3[a]);
            const double u = f3[a] * g1[a], v = f1[a] * g3[a], gg = g1[a] * g2[a], ff = f1[a] * f2[a];
            for (int c = 0; c < 3; ++c) {
              J(a, j1, c, j2) += cS * (-u * f4[c] - v * g4[c]);
              J(a, j1, c, j4) += cS * (u * g2[c] + v * f2[c]) + B * (gg * f3[c] + ff * g3[c]);
              J(a, j1, c, j3) += B * (gg * f4[c] + ff * g4[c]);
            }
          }
        }
      }
    }
    for (int a = 0; a < 3; ++a) C[a * N + j1] = sum[a];
  }
}

// Electron processes in matrix form (G. Sigl, G. Raffelt, Nucl. Phys. B 406 (1993) 423): for
// nu(1) e(2) -> nu(3) e(4) and nu(1) nubar(2) -> e(3) e(4) with the coupling matrices
// G_L = diag(g_L), G_R = g_R 1, the gain and loss terms of the scalar equations become
//   C(p1) = sym( X (1 - rho1) - Y rho1 ),   sym(M) = (M + M^T)/2,
//   X = sum_p [ r Phi_s(rho_p) + b Phi_a(1 - rho_p) ],   Y = sum_p [ Phi_s(1 - rho_p) + Phi_a(rho_p) ],
// Phi_s(P) = s1 (G P G + g_R^2 P) - s2 g_R {G, P},  Phi_a(P) = a1 G P G + a2 g_R^2 P + (a3/2) g_R {G, P},
// with the electron-weighted kernels s1, s2, a1, a2, a3 of the pair, r = exp((y3 - y1)/z) and
// b = exp(-(y1 + y2)/z) (detailed balance, as in the scalar equations). No asymmetry: the
// antineutrino matrices equal the neutrino ones. On the diagonal this is the scalar collision
// term exactly. G P G and {G, P} act entry by entry since G is diagonal.
struct ElectronMatrices {
  Mat3 X, Y;
};

ElectronMatrices electron_matrices(const ElectronSums& es, double z, const Mat3* rho, const Couplings3& c, int j1) {
  Mat3 q1{}, q2{}, r1{}, r2{}, b1{}, b2{}, b3{}, c1{}, c2{}, c3{};
  double S1 = 0, S2 = 0;
  const double e1 = std::exp(-y_of(j1) / z);
  for (int j = 0; j < N; ++j) {
    const size_t pr = static_cast<size_t>(j1) * N + j;
    const double ej = std::exp(-y_of(j) / z);
    const double r = e1 / ej, b = e1 * ej;
    const double s1 = es.s1[pr], s2 = es.s2[pr], a1 = es.a1[pr], a2 = es.a2[pr], a3 = es.a3[pr];
    S1 += s1;
    S2 += s2;
    const Mat3& R = rho[j];
    for (int k = 0; k < 9; ++k) {
      const double one = (k % 4 == 0) ? 1.0 : 0.0, v = R[k], w = one - v;
      q1[k] += r * s1 * v;
      q2[k] += r * s2 * v;
      r1[k] -= s1 * v;
      r2[k] -= s2 * v;
      b1[k] += b * a1 * w;
      b2[k] += b * a2 * w;
      b3[k] += b * a3 * w;
      c1[k] += a1 * v;
      c2[k] += a2 * v;
      c3[k] += a3 * v;
    }
  }
  for (int k = 0; k < 9; k += 4) {
    r1[k] += S1;
    r2[k] += S2;
  }
  ElectronMatrices m;
  const double gR = c.gR;
  for (int a = 0; a < 3; ++a)
    for (int bb = 0; bb < 3; ++bb) {
      const int k = 3 * a + bb;
      const double gg = c.gL[a] * c.gL[bb], gs = c.gL[a] + c.gL[bb];
      m.X[k] = (gg + gR * gR) * q1[k] - gR * gs * q2[k] + gg * b1[k] + gR * gR * b2[k] + 0.5 * gR * gs * b3[k];
      m.Y[k] = (gg + gR * gR) * r1[k] - gR * gs * r2[k] + gg * c1[k] + gR * gR * c2[k] + 0.5 * gR * gs * c3[k];
    }
  return m;
}

Mat3 electron_collision(const ElectronMatrices& m, const Mat3& rho1) {
  Mat3 one_minus = identity3();
  for (int k = 0; k < 9; ++k) one_minus[k] -= rho1[k];
  const Mat3 gain = mat_mul(m.X, one_minus), loss = mat_mul(m.Y, rho1);
  Mat3 C;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      C[3 * a + b] = 0.5 * (gain[3 * a + b] + gain[3 * b + a] - loss[3 * a + b] - loss[3 * b + a]);
  return C;
}

// Everything the right-hand side needs from one state: flavour matrices, diagonals, the
// flavour-blind spectrum.
struct FlavourState {
  std::vector<Mat3> rho = std::vector<Mat3>(N);
  double f[NF];   // [3 j + a]: diagonal entries
  double fb[N];   // Tr(rho)/3
};

FlavourState flavour_state(const double* occ, const std::vector<Mat3>& U) {
  FlavourState s;
  for (int j = 0; j < N; ++j) {
    const double o[3] = {occ[j], occ[N + j], occ[2 * N + j]};
    s.rho[j] = density_matrix(U[j], o);
    for (int a = 0; a < 3; ++a) s.f[3 * j + a] = s.rho[j][4 * a];
    s.fb[j] = (o[0] + o[1] + o[2]) / 3;
  }
  return s;
}

// Collision matrices (over G_F^2 (m_e/x)^5) in the flavour basis; the neutrino-neutrino part
// alone into C_nn when given. offdiag: whether any flavour coherence can be present.
void flavour_collisions(const ElectronSums* es, double z, const FlavourState& st, const Couplings3& cp, bool offdiag,
                        Mat3* C, Mat3* C_nn) {
  double Cd[NF];
  std::vector<double> akern;
  if (offdiag) akern.resize(N * N);
  nunu_collisions(st.f, offdiag ? st.fb : nullptr, Cd, nullptr, offdiag ? akern.data() : nullptr);
  for (int j1 = 0; j1 < N; ++j1) {
    Mat3 c{};
    for (int a = 0; a < 3; ++a) c[4 * a] = Cd[a * N + j1];
    if (offdiag) {
      const double* arow = akern.data() + j1 * N;
      for (int j = 0; j < N; ++j) {
        const Mat3& R = st.rho[j];
        c[1] += arow[j] * R[1];
        c[2] += arow[j] * R[2];
        c[5] += arow[j] * R[5];
      }
      c[3] = c[1];
      c[6] = c[2];
      c[7] = c[5];
    }
    if (C_nn) C_nn[j1] = c;
    if (es) {
      const Mat3 e = electron_collision(electron_matrices(*es, z, st.rho.data(), cp, j1), st.rho[j1]);
      for (int k = 0; k < 9; ++k) c[k] += e[k];
    }
    C[j1] = c;
  }
}

// Projection on the matter states: K_i(j) = u_i(j)^T C(j) u_i(j).
void project(const std::vector<Mat3>& U, const Mat3* C, double* K) {
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < 3; ++i) {
      double s = 0;
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) s += U[j][3 * a + i] * C[j][3 * a + b] * U[j][3 * b + i];
      K[i * N + j] = s;
    }
}

// Jacobian of the matter-state collision terms d K_i(j1) / d occ_k(j), layout
// [(i N + j1) 3N + k N + j], with the matter basis held fixed. Neutrino-neutrino part: the
// diagonal Jacobian rotated with P_ai = U_ai^2 plus the off-diagonal kernel; electron part exact.
void matter_jacobian(const ElectronSums* es, double z, const FlavourState& st, const std::vector<Mat3>& U,
                     const Couplings3& cp, bool offdiag, double* Jt) {
  std::vector<double> Jsc(static_cast<size_t>(NF) * NF), akern;
  if (offdiag) akern.resize(N * N);
  double Cd[NF];
  nunu_collisions(st.f, offdiag ? st.fb : nullptr, Cd, Jsc.data(), offdiag ? akern.data() : nullptr);
  std::fill(Jt, Jt + static_cast<size_t>(NF) * NF, 0.0);
  auto P = [&U](int j, int a, int i) { return U[j][3 * a + i] * U[j][3 * a + i]; };
  for (int j1 = 0; j1 < N; ++j1)
    for (int j = 0; j < N; ++j) {
      double blk[3][3];  // Jsc block (flavour a at j1, flavour c at j)
      for (int a = 0; a < 3; ++a)
        for (int c = 0; c < 3; ++c) blk[a][c] = Jsc[(a * N + j1) * NF + c * N + j];
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) {
          double s = 0;
          for (int a = 0; a < 3; ++a)
            for (int c = 0; c < 3; ++c) s += P(j1, a, i) * blk[a][c] * P(j, c, k);
          if (offdiag) {
            double dot = 0, pp = 0;
            for (int a = 0; a < 3; ++a) {
              dot += U[j1][3 * a + i] * U[j][3 * a + k];
              pp += P(j1, a, i) * P(j, a, k);
            }
            s += akern[j1 * N + j] * (dot * dot - pp);
          }
          Jt[(i * N + j1) * NF + k * N + j] = s;
        }
    }
  if (!es) return;
  const double gR = cp.gR, gR2 = gR * gR;
  for (int j1 = 0; j1 < N; ++j1) {
    const ElectronMatrices m = electron_matrices(*es, z, st.rho.data(), cp, j1);
    const Mat3& R1 = st.rho[j1];
    const double e1 = std::exp(-y_of(j1) / z);
    for (int i = 0; i < 3; ++i) {
      double u[3], w[3], v[3], Gw[3], Gv[3];
      for (int a = 0; a < 3; ++a) u[a] = U[j1][3 * a + i];
      for (int a = 0; a < 3; ++a) {
        v[a] = R1[3 * a] * u[0] + R1[3 * a + 1] * u[1] + R1[3 * a + 2] * u[2];
        w[a] = u[a] - v[a];
        Gw[a] = cp.gL[a] * w[a];
        Gv[a] = cp.gL[a] * v[a];
      }
      // the occupation of j1 itself: -u_i^T (X + Y) u_i on the diagonal
      double self = 0;
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) self += u[a] * (m.X[3 * a + b] + m.Y[3 * a + b]) * u[b];
      Jt[(i * N + j1) * NF + i * N + j1] -= self;
      for (int j = 0; j < N; ++j) {
        const size_t pr = static_cast<size_t>(j1) * N + j;
        const double ej = std::exp(-y_of(j) / z);
        const double r = e1 / ej, b = e1 * ej;
        const double s1 = es->s1[pr], s2 = es->s2[pr], a1 = es->a1[pr], a2 = es->a2[pr], a3 = es->a3[pr];
        for (int k = 0; k < 3; ++k) {
          double q[3], Gq[3];
          for (int a = 0; a < 3; ++a) {
            q[a] = U[j][3 * a + k];
            Gq[a] = cp.gL[a] * q[a];
          }
          const double al1 = u[0] * Gq[0] + u[1] * Gq[1] + u[2] * Gq[2];
          const double al0 = u[0] * q[0] + u[1] * q[1] + u[2] * q[2];
          const double be1 = q[0] * Gw[0] + q[1] * Gw[1] + q[2] * Gw[2];
          const double be0 = q[0] * w[0] + q[1] * w[1] + q[2] * w[2];
          const double ga1 = q[0] * Gv[0] + q[1] * Gv[1] + q[2] * Gv[2];
          const double ga0 = q[0] * v[0] + q[1] * v[1] + q[2] * v[2];
          auto psi_s = [&](double x1, double x0) {
            return s1 * (al1 * x1 + gR2 * al0 * x0) - s2 * gR * (al1 * x0 + al0 * x1);
          };
          auto psi_a = [&](double x1, double x0) {
            return a1 * al1 * x1 + a2 * gR2 * al0 * x0 + 0.5 * a3 * gR * (al1 * x0 + al0 * x1);
          };
          Jt[(i * N + j1) * NF + k * N + j] +=
              r * psi_s(be1, be0) + psi_s(ga1, ga0) - b * psi_a(be1, be0) - psi_a(ga1, ga0);
        }
      }
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

// Matter basis per momentum at (x, z) for the occupations occ (matter states): eigenvectors of
// the flavour Hamiltonian with the thermal potentials of e+- and of the neutrinos. The neutrino
// potential depends on the flavour matrices, which depend on the basis: two passes, the first
// without it (its traceless part is below 1e-2 of the e+- one, so the second pass is converged
// to 1e-4 of a basis change that is itself small).
std::vector<Mat3> basis_for(const Mat3& vac, double x, double z, const double* occ) {
  const double scale = kMe_MeV / x, T = scale * z;
  const ElectronThermo el = electron_thermo(kMe_MeV / T);
  const double rpP = (el.rho + el.p) * std::pow(T, 4);
  std::vector<Mat3> U(N);
  Mat3 E{};
  for (int pass = 0; pass < 2; ++pass) {
    for (int j = 0; j < N; ++j) {
      double w[3];
      sym3_eigen(hamiltonian_2p(vac, y_of(j) * scale, rpP, E), w, U[j]);
    }
    if (pass == 1) break;
    E = Mat3{};
    for (int j = 0; j < N; ++j) {
      const double o[3] = {occ[j], occ[N + j], occ[2 * N + j]};
      const Mat3 r = density_matrix(U[j], o);
      const double wgt = std::pow(y_of(j), 3) * kDy / (kPi * kPi) * std::pow(scale, 4);
      for (int k = 0; k < 9; ++k) E[k] += wgt * r[k];
    }
  }
  return U;
}

std::vector<Mat3> identity_basis() { return std::vector<Mat3>(N, identity3()); }

class Solver {
 public:
  explicit Solver(const BoltzmannOptions& o)
      : o_(o), m_pl_(planck_mass_MeV()), rho_fd_(rho_hat_fd()), cp_(o.sin2_thetaW),
        vac_(vacuum_mass_matrix(o.mixing)) {}

  std::vector<Mat3> basis(double s, const Vec& Y) const {
    return o_.oscillations ? basis_for(vac_, std::exp(s), std::exp(Y[kLnZ]), Y.data()) : identity_basis();
  }

  // Collision-rate factor per ln x, G_F^2 (m_e/x)^5 / H, and d(d ln z/d ln x)/dq at a state.
  void rate_scales(double s, const Vec& Y, double& g, double& dz_dq) const {
    const double scale = kMe_MeV / std::exp(s), T = scale * std::exp(Y[kLnZ]);
    const PlasmaState pl = plasma_state(T, o_.qed);
    const double s4 = std::pow(scale, 4);
    const double H = std::sqrt(8 * kPi * (pl.rho + s4 * total_rho_hat(Y.data())) / 3) / m_pl_;
    g = kGF_MeVm2 * kGF_MeVm2 * std::pow(scale, 5) / H;
    dz_dq = -s4 / (T * pl.drho_dT);
  }

  // Right-hand side d/d ln x at (s = ln x, Y), with the electron sums for this x.
  Eval rhs(double s, const Vec& Y, const ElectronSums* es) const {
    const double x = std::exp(s), z = std::exp(Y[kLnZ]);
    const double scale = kMe_MeV / x, T = scale * z;
    const PlasmaState pl = plasma_state(T, o_.qed);
    const double s4 = std::pow(scale, 4);
    const double rho = pl.rho + s4 * total_rho_hat(Y.data());
    const double H = std::sqrt(8 * kPi * rho / 3) / m_pl_;
    Eval ev;
    double K[NF];
    if (x < o_.x_collisions_off) {
      const std::vector<Mat3> U = basis(s, Y);
      const FlavourState st = flavour_state(Y.data(), U);
      std::vector<Mat3> C(N);
      flavour_collisions(es, z, st, cp_, o_.oscillations, C.data(), nullptr);
      project(U, C.data(), K);
    } else {
      std::fill(K, K + NF, 0.0);
    }
    const double g = kGF_MeVm2 * kGF_MeVm2 * std::pow(scale, 5) / H;  // per ln x
    for (int i = 0; i < NF; ++i) ev.dy[i] = g * K[i];
    // energy gained by all neutrinos and antineutrinos, per ln x, over (m_e/x)^4: the trace of
    // the density matrix is the sum of the matter-state occupations
    const double q = total_rho_hat(ev.dy.data());
    const double Q_over_H = s4 * q;  // MeV^4: Q / H
    ev.dy[kLnZ] = 1 - (3 * pl.s + Q_over_H / T) / pl.drho_dT;
    ev.dy[kTime] = kHbar_MeVs / H;
    ev.heating = Q_over_H / std::pow(T, 4);
    return ev;
  }

  // Full Jacobian d(dY/dlnx)/dY: analytic in the occupations (matter basis held fixed), finite
  // difference in ln z.
  Vec jacobian(double s, const Vec& Y, const ElectronSums* es, const Eval& f0) const {
    Vec J(D * D, 0.0);
    if (std::exp(s) < o_.x_collisions_off) {
      double g = 0, dz_dq = 0;
      rate_scales(s, Y, g, dz_dq);
      const std::vector<Mat3> U = basis(s, Y);
      const FlavourState st = flavour_state(Y.data(), U);
      Vec Jt(static_cast<size_t>(NF) * NF);
      matter_jacobian(es, std::exp(Y[kLnZ]), st, U, cp_, o_.oscillations, Jt.data());
      for (int r = 0; r < NF; ++r)
        for (int c = 0; c < NF; ++c) J[r * D + c] = g * Jt[static_cast<size_t>(r) * NF + c];
      for (int c = 0; c < NF; ++c) {
        double dq = 0;
        for (int r = 0; r < NF; ++r) dq += std::pow(y_of(r % N), 3) * J[r * D + c];
        J[kLnZ * D + c] = dz_dq * dq * kDy / (kPi * kPi);
      }
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
  void step(double s, double h, Vec& Y, Eval& F0, struct StepOut& out);
  HistoryRow make_row(double lnx, const Vec& Yr, double heating) const;

  // Neutrino energy density of all flavours over (m_e/x)^4 from the matter-state occupations.
  static double total_rho_hat(const double* occ) {
    return rho_hat(occ) + rho_hat(occ + N) + rho_hat(occ + 2 * N);
  }

  BoltzmannOptions o_;
  double m_pl_;
  double rho_fd_;
  Couplings3 cp_;
  Mat3 vac_;
  double s0_ = 0;
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
};

// Three-stage L-stable SDIRK of order 3 (R. Alexander, SIAM J. Numer. Anal. 14 (1977) 1006),
// stiffly accurate; simplified Newton with one Jacobian per step. The electron sums are frozen at
// the step midpoint (their z dependence only sizes the rates).
void Solver::step(double s, double h, Vec& Y, Eval& F0, StepOut& out) {
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
  for (int st = 0; st < 3; ++st) {
    Vec base = Y;
    for (int j = 0; j < st; ++j)
      for (int i = 0; i < D; ++i) base[i] += h * A[st][j] * K[j][i];
    Vec Z = base;
    for (int i = 0; i < D; ++i) Z[i] += h * g * (st == 0 ? F0.dy[i] : K[st - 1][i]);
    bool ok = false;
    for (int it = 0; it < 30 && !ok; ++it) {
      const Eval e = rhs(s + c[st] * h, Z, esp);
      Vec r(D);
      for (int i = 0; i < D; ++i) r[i] = -(Z[i] - base[i] - h * g * e.dy[i]);
      lu.solve(r.data());
      ok = true;
      for (int i = 0; i < D; ++i) {
        Z[i] += r[i];
        const double tol = i < NF ? 1e-14 + 1e-11 * std::fabs(Z[i]) : 1e-13 * (1 + std::fabs(Z[i]));
        if (std::fabs(r[i]) > tol) ok = false;
      }
    }
    if (!ok) throw std::runtime_error("nuvex_solan: Newton iteration did not converge at ln x = " + std::to_string(s));
    K[st].resize(D);
    for (int i = 0; i < D; ++i) K[st][i] = (Z[i] - base[i]) / (h * g);  // F(Z) of the converged stage
    if (st == 2) out.Y1 = Z;
  }
  out.F1 = rhs(s + h, out.Y1, esp);
}

// One output row from an interpolated state: flavour-basis spectra from the matter-state
// occupations and the matter basis of the row.
HistoryRow Solver::make_row(double lnx, const Vec& Yr, double heating) const {
  HistoryRow row;
  row.x = std::exp(lnx);
  row.z_gamma = std::exp(Yr[kLnZ]);
  row.t_s = Yr[kTime];
  row.heating = heating;
  const std::vector<Mat3> U = basis(lnx, Yr);
  const FlavourState st = flavour_state(Yr.data(), U);
  std::vector<double>* out[3] = {&row.delta_nue, &row.delta_numu, &row.delta_nutau};
  double* z_out[3] = {&row.z_nue, &row.z_numu, &row.z_nutau};
  for (int a = 0; a < 3; ++a) {
    double f[N];
    out[a]->resize(N);
    for (int j = 0; j < N; ++j) {
      f[j] = st.f[3 * j + a];
      (*out[a])[j] = f[j] * (std::exp(y_of(j)) + 1) - 1;
    }
    *z_out[a] = std::pow(rho_hat(f) / rho_fd_, 0.25);
  }
  return row;
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
  for (int j = 0; j < N; ++j) Y[j] = Y[N + j] = Y[2 * N + j] = 1 / (std::exp(y_of(j) / z0) + 1);
  Y[kLnZ] = std::log(z0);
  {
    const double T = kMe_MeV * z0 / std::exp(s0_);
    const double rho = plasma_state(T, o_.qed).rho + 3 * kRhoNuCoef * std::pow(T, 4);
    Y[kTime] = kHbar_MeVs / (2 * std::sqrt(8 * kPi * rho / 3) / m_pl_);
  }
  double s = s0_;
  Eval F0 = rhs(s, Y, nullptr);
  History hist;
  const double row_h = std::log(10.0) / o_.rows_per_decade;
  long k_row = 0;
  bool done = false;
  while (!done) {
    const double h = std::exp(s) < o_.x_collisions_off ? o_.step_lnx : 5 * o_.step_lnx;
    StepOut out;
    step(s, h, Y, F0, out);
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
        hist.rows.push_back(make_row(lr, Yr, (1 - th) * F0.heating + th * out.F1.heating));
        if (hist.rows.back().T_MeV() <= o_.T_last_MeV) {
          done = true;
          break;
        }
      }
      ++k_row;
    }
    s += h;
    Y = out.Y1;
    F0 = out.F1;
  }
  const HistoryRow& last = hist.rows.back();
  hist.Neff = neff_of(last.z_gamma, last.z_nue, last.z_numu, last.z_nutau);
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

namespace {

void check_size(size_t n, size_t want) {
  if (n != want) throw std::invalid_argument("nuvex_solan: state vectors must match the momentum grid");
}

ElectronSums sums_for(double x, double z, int ne) { return contract(*make_electron_kernel(x, ne), z); }

}  // namespace

CollisionTerms collision_terms(double x, double z, const std::vector<double>& fe, const std::vector<double>& fm,
                               double sw2, int ne) {
  check_size(fe.size(), N);
  check_size(fm.size(), N);
  std::vector<Mat3> rho(N);
  for (int j = 0; j < N; ++j) rho[j] = {fe[j], 0, 0, 0, fm[j], 0, 0, 0, fm[j]};
  const CollisionMatrices c = collision_matrices(x, z, rho, sw2, ne);
  CollisionTerms r;
  for (int j = 0; j < N; ++j) {
    r.nue.push_back(c.total[j][0]);
    r.numu.push_back(c.total[j][4]);
    r.nue_nunu.push_back(c.nunu[j][0]);
    r.numu_nunu.push_back(c.nunu[j][4]);
  }
  return r;
}

CollisionMatrices collision_matrices(double x, double z, const std::vector<Mat3>& rho, double sw2, int ne) {
  check_size(rho.size(), N);
  // occupations in the flavour basis itself: identity basis, occ = diagonal is not enough for
  // coherent states, so the flavour state is built from the matrices directly
  FlavourState st;
  for (int j = 0; j < N; ++j) {
    st.rho[j] = rho[j];
    for (int a = 0; a < 3; ++a) st.f[3 * j + a] = rho[j][4 * a];
    st.fb[j] = (rho[j][0] + rho[j][4] + rho[j][8]) / 3;
  }
  const ElectronSums es = sums_for(x, z, ne);
  CollisionMatrices r;
  r.total.resize(N);
  r.nunu.resize(N);
  flavour_collisions(&es, z, st, Couplings3(sw2), true, r.total.data(), r.nunu.data());
  return r;
}

std::vector<Mat3> matter_basis(const MixingParameters& mixing, double x, double z, const std::vector<double>& occ) {
  check_size(occ.size(), NF);
  return basis_for(vacuum_mass_matrix(mixing), x, z, occ.data());
}

MatterCollisions matter_collisions(double x, double z, const std::vector<double>& occ, const std::vector<Mat3>& U,
                                   double sw2, int ne) {
  check_size(occ.size(), NF);
  check_size(U.size(), N);
  const ElectronSums es = sums_for(x, z, ne);
  const FlavourState st = flavour_state(occ.data(), U);
  const Couplings3 cp(sw2);
  std::vector<Mat3> C(N);
  flavour_collisions(&es, z, st, cp, true, C.data(), nullptr);
  MatterCollisions r;
  r.K.resize(NF);
  project(U, C.data(), r.K.data());
  r.jacobian.resize(static_cast<size_t>(NF) * NF);
  matter_jacobian(&es, z, st, U, cp, true, r.jacobian.data());
  return r;
}

}  // namespace solan
