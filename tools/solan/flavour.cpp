// Vacuum mixing matrix, 3x3 symmetric eigen-decomposition and the flavour Hamiltonian with the
// thermal mean-field potentials.
#include "flavour.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "plasma.hpp"

namespace solan {

Mat3 pmns(const MixingParameters& m) {
  const double s12 = std::sqrt(m.sin2_12), c12 = std::sqrt(1 - m.sin2_12);
  const double s13 = std::sqrt(m.sin2_13), c13 = std::sqrt(1 - m.sin2_13);
  const double s23 = std::sqrt(m.sin2_23), c23 = std::sqrt(1 - m.sin2_23);
  // U = R23 R13 R12 (standard parameterisation, delta = 0)
  return {c12 * c13,
          s12 * c13,
          s13,
          -s12 * c23 - c12 * s23 * s13,
          c12 * c23 - s12 * s23 * s13,
          s23 * c13,
          s12 * s23 - c12 * c23 * s13,
          -c12 * s23 - s12 * c23 * s13,
          c23 * c13};
}

Mat3 vacuum_mass_matrix(const MixingParameters& m) {
  const Mat3 U = pmns(m);
  const double m2[3] = {0.0, m.dm2_21_eV2 * 1e-12, m.dm2_31_eV2 * 1e-12};  // eV^2 -> MeV^2
  Mat3 M{};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int i = 0; i < 3; ++i) M[3 * a + b] += U[3 * a + i] * m2[i] * U[3 * b + i];
  return M;
}

void sym3_eigen(const Mat3& H, double w[3], Mat3& V) {
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = 0.5 * (H[3 * i + j] + H[3 * j + i]);
  double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int sweep = 0; sweep < 50; ++sweep) {
    bool rotated = false;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        const double apq = a[p][q];
        // a rotation by less than 1e-17 rad changes nothing in double precision
        if (std::fabs(apq) <= 1e-17 * std::fabs(a[q][q] - a[p][p])) continue;
        rotated = true;
        const double theta = (a[q][q] - a[p][p]) / (2 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (int k = 0; k < 3; ++k) {  // columns p, q
          const double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {  // rows p, q
          const double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        a[p][q] = a[q][p] = 0;
        for (int k = 0; k < 3; ++k) {
          const double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    if (!rotated) break;
  }
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int i, int j) { return a[i][i] < a[j][j]; });
  for (int c = 0; c < 3; ++c) {
    w[c] = a[order[c]][order[c]];
    for (int k = 0; k < 3; ++k) V[3 * k + c] = v[k][order[c]];
  }
}

Mat3 hamiltonian_2p(const Mat3& vacuum_M2, double p_MeV, double rho_plus_P_e, const Mat3& E_nu) {
  const double sqrt2 = std::sqrt(2.0);
  const double c_lep = 2 * sqrt2 * kGF_MeVm2 / (kMW_MeV * kMW_MeV);
  const double c_nu = 8 * sqrt2 * kGF_MeVm2 / (3 * kMZ_MeV * kMZ_MeV);
  const double two_p2 = 2 * p_MeV * p_MeV;
  Mat3 H = vacuum_M2;
  H[0] -= two_p2 * c_lep * rho_plus_P_e;
  const double tr3 = (E_nu[0] + E_nu[4] + E_nu[8]) / 3;  // the identity part moves no eigenvector
  for (int k = 0; k < 9; ++k) H[k] -= two_p2 * c_nu * (E_nu[k] - (k % 4 == 0 ? tr3 : 0.0));
  return H;
}

}  // namespace solan
