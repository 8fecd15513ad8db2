// Collision integrals of the momentum-resolved decoupling solver against independent truths:
// Monte Carlo angular integrals, conservation laws, detailed balance and the annihilation rate
// from the e+e- -> nu nubar cross-section.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "boltzmann.hpp"
#include "kinematics.hpp"
#include "plasma.hpp"

namespace {

using solan::kPi;

// Direct Monte Carlo of int dOmega2 dOmega3 dOmega4 delta^3(p1 + p2 - p3 - p4) g(P1..P4) with p1 along z:
// sample the directions of p2 and p3, keep |p1 + p2 - p3| within a thin shell around |p4|.
struct MonteCarloAngles {
  double one = 0, s12_34 = 0, s13_24 = 0, s14_23 = 0, s12 = 0, s13 = 0;
};

MonteCarloAngles monte_carlo(const double p[4], const double m[4], int n) {
  std::mt19937_64 rng(12345);
  std::normal_distribution<double> g;
  auto unit = [&](double v[3]) {
    double r = 0;
    for (int i = 0; i < 3; ++i) {
      v[i] = g(rng);
      r += v[i] * v[i];
    }
    r = std::sqrt(r);
    for (int i = 0; i < 3; ++i) v[i] /= r;
  };
  double E[4];
  for (int i = 0; i < 4; ++i) E[i] = std::sqrt(p[i] * p[i] + m[i] * m[i]);
  const double width = 0.01;
  MonteCarloAngles s;
  for (int k = 0; k < n; ++k) {
    double a[3], b[3];
    unit(a);
    unit(b);
    double v2[3], v3[3], v4[3];
    for (int i = 0; i < 3; ++i) {
      v2[i] = p[1] * a[i];
      v3[i] = p[2] * b[i];
      v4[i] = (i == 2 ? p[0] : 0.0) + v2[i] - v3[i];
    }
    const double r4 = std::sqrt(v4[0] * v4[0] + v4[1] * v4[1] + v4[2] * v4[2]);
    if (std::fabs(r4 - p[3]) > width / 2) continue;
    auto dot = [](const double* x, const double* y) { return x[0] * y[0] + x[1] * y[1] + x[2] * y[2]; };
    const double v1[3] = {0, 0, p[0]};
    const double P12 = E[0] * E[1] - dot(v1, v2), P34 = E[2] * E[3] - dot(v3, v4);
    const double P13 = E[0] * E[2] - dot(v1, v3), P24 = E[1] * E[3] - dot(v2, v4);
    const double P14 = E[0] * E[3] - dot(v1, v4), P23 = E[1] * E[2] - dot(v2, v3);
    s.one += 1;
    s.s12_34 += P12 * P34;
    s.s13_24 += P13 * P24;
    s.s14_23 += P14 * P23;
    s.s12 += P12;
    s.s13 += P13;
  }
  const double norm = 16 * kPi * kPi / (width * p[3] * p[3] * n);
  for (double* v : {&s.one, &s.s12_34, &s.s13_24, &s.s14_23, &s.s12, &s.s13}) *v *= norm;
  return s;
}

TEST(SolanKinematics, ClosedFormsMatchMonteCarloAngularIntegrals) {
  // one massless-neutrino scattering configuration and one with massive electrons in 2 and 4
  const double cases[2][2][4] = {{{1.0, 1.3, 0.7, 1.2}, {0, 0.5, 0, 0.5}}, {{2.0, 0.5, 1.1, 1.0}, {0, 0, 0.3, 0.3}}};
  for (const auto& c : cases) {
    const double* p = c[0];
    double E[4];
    for (int i = 0; i < 4; ++i) E[i] = std::sqrt(p[i] * p[i] + c[1][i] * c[1][i]);
    const solan::AngularJ j = solan::angular_j(p);
    const solan::Structures s = solan::structures(E, j);
    const double f = 32 * kPi / (p[0] * p[1] * p[2] * p[3]);
    const MonteCarloAngles mc = monte_carlo(p, c[1], 3000000);
    // statistical error about 1%; flipping any J2 or J3 term changes a structure by 10-60%
    EXPECT_NEAR(f * j.J1 / mc.one, 1, 0.03);
    EXPECT_NEAR(f * s.s12_34 / mc.s12_34, 1, 0.03);
    EXPECT_NEAR(f * s.s13_24 / mc.s13_24, 1, 0.03);
    EXPECT_NEAR(f * s.s14_23 / mc.s14_23, 1, 0.03);
    EXPECT_NEAR(f * s.s12 / mc.s12, 1, 0.03);
    EXPECT_NEAR(f * s.s13 / mc.s13, 1, 0.03);
  }
}

TEST(SolanKinematics, VanishOutsidePhaseSpaceAndKnownValue) {
  // no momentum configuration closes when one momentum exceeds the sum of the three others
  const double far[4] = {5, 1, 1.5, 1.2};
  const solan::AngularJ j = solan::angular_j(far);
  EXPECT_NEAR(j.J1, 0, 1e-13);
  EXPECT_NEAR(j.J3, 0, 1e-11);
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) EXPECT_NEAR(j.J2[a][b], 0, 1e-12);
  // equal momenta: int sin^4(p l)/l^2 dl = pi p / 4
  const double eq[4] = {0.7, 0.7, 0.7, 0.7};
  EXPECT_NEAR(solan::angular_j(eq).J1, kPi * 0.7 / 4, 1e-14);
}

std::vector<double> fermi_dirac(double z) {
  std::vector<double> f;
  for (double y : solan::boltzmann_grid()) f.push_back(1 / (std::exp(y / z) + 1));
  return f;
}

TEST(SolanCollisions, EquilibriumIsAFixedPointAtAnyElectronMass) {
  for (double x : {1e-3, 0.5, 3.0}) {
    const double z = 1.2;
    const std::vector<double> f = fermi_dirac(z);
    const solan::CollisionTerms c = solan::collision_terms(x, z, f, f, 0.223, 24);
    for (size_t j = 0; j < f.size(); ++j) {
      EXPECT_NEAR(c.nue[j], 0, 1e-14) << "x " << x << " j " << j;
      EXPECT_NEAR(c.numu[j], 0, 1e-14) << "x " << x << " j " << j;
    }
    // a colder electron bath takes energy from thermal neutrinos
    const solan::CollisionTerms cold = solan::collision_terms(x, 0.9 * z, f, f, 0.223, 24);
    double q = 0;
    const std::vector<double> y = solan::boltzmann_grid();
    for (size_t j = 0; j < y.size(); ++j) q += std::pow(y[j], 3) * (cold.nue[j] + 2 * cold.numu[j]);
    EXPECT_LT(q, 0);
  }
}

TEST(SolanCollisions, NeutrinoNeutrinoProcessesConserveNumberAndEnergy) {
  std::vector<double> fe = fermi_dirac(1.0), fm = fermi_dirac(0.97);
  const std::vector<double> y = solan::boltzmann_grid();
  for (size_t j = 0; j < y.size(); ++j) fe[j] *= 1 + 0.02 * std::sin(y[j]);
  const solan::CollisionTerms c = solan::collision_terms(1.0, 1.0, fe, fm, 0.223, 8);
  double n = 0, e = 0, e_abs = 0, e_e = 0;
  for (size_t j = 0; j < y.size(); ++j) {
    n += y[j] * y[j] * (c.nue_nunu[j] + 2 * c.numu_nunu[j]);
    e += std::pow(y[j], 3) * (c.nue_nunu[j] + 2 * c.numu_nunu[j]);
    e_e += std::pow(y[j], 3) * c.nue_nunu[j];
    e_abs += std::pow(y[j], 3) * std::fabs(c.nue_nunu[j]);
  }
  EXPECT_GT(e_abs, 1e-4);
  EXPECT_NEAR(n, 0, 1e-14 * e_abs);
  EXPECT_NEAR(e, 0, 1e-14 * e_abs);
  EXPECT_LT(e_e, 0);  // the hotter electron flavour gives energy to the colder mu/tau flavours
}

TEST(SolanCollisions, AnnihilationRateMatchesTheCrossSection) {
  // Empty neutrino states, massless electrons at temperature 1: the energy carried into nu + nubar
  // of one flavour is n+ n- <sigma v (E+ + E-)> with sigma(e+e- -> nu nubar) = G_F^2 s (gL^2 + gR^2)/(6 pi)
  // (from the four-fermion Lagrangian) and two spin states per electron:
  // 4 / (6 pi) x (1/(128 pi^6)) x (256 pi^2/3) x 2 I3 I4, I3 = 7 pi^4/120, I4 = (45/2) zeta(5).
  const std::vector<double> zero(solan::boltzmann_grid().size(), 0.0);
  const solan::CollisionTerms c = solan::collision_terms(1e-4, 1.0, zero, zero, 0.223, 24);
  const std::vector<double> y = solan::boltzmann_grid();
  double qe = 0, qm = 0;
  for (size_t j = 0; j < y.size(); ++j) {
    qe += std::pow(y[j], 3) * c.nue[j];
    qm += std::pow(y[j], 3) * c.numu[j];
  }
  qe *= 0.25 / (kPi * kPi);
  qm *= 0.25 / (kPi * kPi);
  const double I3 = 7 * std::pow(kPi, 4) / 120, I4 = 22.5 * 1.0369277551433699;
  const double unit = 4 / (6 * kPi) / (128 * std::pow(kPi, 6)) * (256 * kPi * kPi / 3) * 2 * I3 * I4;
  const double sw2 = 0.223, gR = sw2, gLe = 0.5 + sw2, gLm = -0.5 + sw2;
  EXPECT_NEAR(qe / (unit * (gLe * gLe + gR * gR)), 1, 2e-4);
  EXPECT_NEAR(qm / (unit * (gLm * gLm + gR * gR)), 1, 2e-4);
}

}  // namespace
