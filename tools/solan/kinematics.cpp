// Closed forms of the angular collision kernels (piecewise polynomials in the four momenta).
#include "kinematics.hpp"

#include "plasma.hpp"

namespace solan {

AngularJ angular_j(const double p[4]) {
  AngularJ r;
  double j1 = 0, j3 = 0, j2[4][4] = {};
  // Sign patterns with eps_0 = +1; the mirrored patterns give the same terms (factor 2 below).
  for (int m = 0; m < 8; ++m) {
    const double q[4] = {p[0], (m & 1) ? -p[1] : p[1], (m & 2) ? -p[2] : p[2], (m & 4) ? -p[3] : p[3]};
    const int n_minus = ((m & 1) != 0) + ((m & 2) != 0) + ((m & 4) != 0);
    const double prod_eps = (n_minus % 2) ? -1.0 : 1.0;
    const double K = q[0] + q[1] + q[2] + q[3];
    if (K == 0) continue;  // every term carries a positive power of K
    const double w = prod_eps * (K > 0 ? 1.0 : -1.0);
    const double K2 = K * K, K3 = K2 * K, K4 = K3 * K, K5 = K4 * K;
    j1 += w * K;
    for (int a = 0; a < 4; ++a)
      for (int b = a + 1; b < 4; ++b)
        j2[a][b] += w * (K3 / 6 - (q[a] + q[b]) * K2 / 2 + q[a] * q[b] * K);
    // elementary symmetric polynomials of the four signed momenta (e1 = K)
    const double e2 = q[0] * q[1] + q[0] * q[2] + q[0] * q[3] + q[1] * q[2] + q[1] * q[3] + q[2] * q[3];
    const double e3 = q[0] * q[1] * q[2] + q[0] * q[1] * q[3] + q[0] * q[2] * q[3] + q[1] * q[2] * q[3];
    const double e4 = q[0] * q[1] * q[2] * q[3];
    j3 += w * (K5 / 120 - K * K4 / 24 + e2 * K3 / 6 - e3 * K2 / 2 + e4 * K);
  }
  const double c = 2 * kPi / 32;  // two mirrored patterns each
  r.J1 = -c * j1;
  r.J3 = -c * j3;
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) r.J2[a][b] = c * j2[a][b];
  return r;
}

Structures structures(const double E[4], const AngularJ& j) {
  // P_a.P_b = E_a E_b - p_a.p_b; after the angular integration a dot product of two momenta
  // becomes a vector-factor pair with sign -1 when both are incoming or both outgoing, +1 otherwise.
  const double E1234 = E[0] * E[1] * E[2] * E[3];
  Structures s;
  s.s12_34 = E1234 * j.J1 + E[0] * E[1] * j.J2[2][3] + E[2] * E[3] * j.J2[0][1] + j.J3;
  s.s13_24 = E1234 * j.J1 - E[0] * E[2] * j.J2[1][3] - E[1] * E[3] * j.J2[0][2] + j.J3;
  s.s14_23 = E1234 * j.J1 - E[0] * E[3] * j.J2[1][2] - E[1] * E[2] * j.J2[0][3] + j.J3;
  s.s12 = E[0] * E[1] * j.J1 + j.J2[0][1];
  s.s13 = E[0] * E[2] * j.J1 - j.J2[0][2];
  return s;
}

}  // namespace solan
