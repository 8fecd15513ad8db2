// Angular integrals of two-body weak collisions: the momentum-space kernels that reduce the
// nine-dimensional collision integral of an isotropic gas to two dimensions.
#pragma once

namespace solan {

// For a collision 1 + 2 -> 3 + 4 of isotropic distributions, the integral over the directions of
// p2, p3, p4 of delta^3(p1 + p2 - p3 - p4) times a product of four-vector dot products reduces,
// with delta^3 = (2 pi)^-3 int d^3 lambda exp(i lambda.(p1 + p2 - p3 - p4)), to one-dimensional
// integrals over lambda of products of sin(p lambda) (scalar factor) and
// p lambda cos(p lambda) - sin(p lambda) (vector factor), A. D. Dolgov, S. H. Hansen,
// D. V. Semikoz, Nucl. Phys. B 503 (1997) 426, appendix. Here they are evaluated in closed form:
// writing each factor through exp(+-i p lambda), the integral over lambda of lambda^-m exp(i K lambda)
// keeps only (i K)^(m-1)/(m-1)! (i pi/2) sgn K (the logarithms cancel between the terms), so
//   J_nV = (pi/32) sigma_nV sum_eps (prod eps) sgn K sum_k (-1)^k e_k(q_V) K^(1+nV-k)/(1+nV-k)!
// with K = sum eps_i p_i, q_i = eps_i p_i, e_k the elementary symmetric polynomials of the nV
// momenta carrying a vector factor, sigma_0 = -1, sigma_2 = +1, sigma_4 = -1.
struct AngularJ {
  double J1 = 0;                // four scalar factors:      int prod sin / lambda^2
  double J2[4][4] = {};         // vector factors on a, b:   J2[a][b], a < b (0-based particles)
  double J3 = 0;                // four vector factors:      int prod (p lambda cos - sin) / lambda^6
};

// All J's of momenta p[0..3] (|p1|, |p2|, |p3|, |p4|, any units).
AngularJ angular_j(const double p[4]);

// Angular integral (without the common factor 32 pi / (p1 p2 p3 p4)) of the dot-product
// structures, for energies E[0..3] and the J's of the momenta:
//   (P1.P2)(P3.P4), (P1.P3)(P2.P4), (P1.P4)(P2.P3), and the single products P1.P2, P1.P3.
struct Structures {
  double s12_34 = 0, s13_24 = 0, s14_23 = 0, s12 = 0, s13 = 0;
};
Structures structures(const double E[4], const AngularJ& j);

}  // namespace solan
