// Flavour structure of the decoupling solver against independent truths: the mixing matrix of
// the measured angles, the two-flavour matter angle, flavour covariance of the neutrino-neutrino
// collisions, equilibrium, and the Jacobian against finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "boltzmann.hpp"
#include "flavour.hpp"
#include "plasma.hpp"

namespace {

using solan::Mat3;

Mat3 mul(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[3 * i + j] += a[3 * i + k] * b[3 * k + j];
  return r;
}
Mat3 transpose(const Mat3& a) {
  Mat3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[3 * i + j] = a[3 * j + i];
  return r;
}
// A generic rotation: e^(A) for an antisymmetric A, by the Rodrigues formula.
Mat3 rotation(double ax, double ay, double az) {
  const double th = std::sqrt(ax * ax + ay * ay + az * az);
  const double k[3] = {ax / th, ay / th, az / th};
  const Mat3 K = {0, -k[2], k[1], k[2], 0, -k[0], -k[1], k[0], 0};
  const Mat3 K2 = mul(K, K);
  Mat3 R{};
  for (int i = 0; i < 9; ++i) R[i] = (i % 4 == 0 ? 1.0 : 0.0) + std::sin(th) * K[i] + (1 - std::cos(th)) * K2[i];
  return R;
}

TEST(SolanFlavour, MixingMatrixAndEigenvectorsReproduceTheMeasuredParameters) {
  const solan::MixingParameters m;
  const Mat3 U = solan::pmns(m);
  const Mat3 UUt = mul(U, transpose(U));
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(UUt[i], i % 4 == 0 ? 1.0 : 0.0, 1e-15);
  EXPECT_NEAR(U[2] * U[2], m.sin2_13, 1e-15);                               // |U_e3|^2
  EXPECT_NEAR(U[1] * U[1] / (U[0] * U[0] + U[1] * U[1]), m.sin2_12, 1e-15);  // solar angle
  EXPECT_NEAR(U[5] * U[5] / (1 - U[2] * U[2]), m.sin2_23, 1e-15);           // atmospheric angle
  // the eigen-decomposition of U M^2 U^T gives back the mass splittings and the columns of U
  double w[3];
  Mat3 V;
  solan::sym3_eigen(solan::vacuum_mass_matrix(m), w, V);
  EXPECT_NEAR(w[0], 0, 1e-27);
  EXPECT_NEAR(w[1] / (m.dm2_21_eV2 * 1e-12), 1, 1e-12);
  EXPECT_NEAR(w[2] / (m.dm2_31_eV2 * 1e-12), 1, 1e-12);
  for (int i = 0; i < 3; ++i) {
    double dot = 0;
    for (int a = 0; a < 3; ++a) dot += U[3 * a + i] * V[3 * a + i];
    EXPECT_NEAR(std::fabs(dot), 1, 1e-12) << "mass state " << i;
  }
}

TEST(SolanFlavour, TwoFlavourMatterAngleOfTheThermalPotential) {
  // theta_13 = theta_23 = 0: nu_e mixes with nu_mu alone, and the matter angle of the thermal
  // potential V = -2 sqrt2 G_F p (rho_e + P_e) / M_W^2 < 0 (no resonance) is
  // tan 2 theta_m = sin 2 theta / (cos 2 theta + 2 p |V| / dm^2).
  solan::MixingParameters m;
  m.sin2_13 = 0;
  m.sin2_23 = 0;
  const double x = 0.2, z = 1.0, T = solan::kMe_MeV * z / x;  // T = 2.55 MeV, |A| of order 1
  const std::vector<double> occ(3 * 80, 0.0);                 // no neutrinos: no self-potential
  const std::vector<Mat3> U = solan::matter_basis(m, x, z, occ);
  const solan::ElectronThermo el = solan::electron_thermo(solan::kMe_MeV / T);
  const double rpP = (el.rho + el.p) * std::pow(T, 4);
  const double th = std::asin(std::sqrt(m.sin2_12));
  int checked = 0;
  for (int j : {3, 11, 19, 39}) {
    const double p = 0.25 * (j + 1) * solan::kMe_MeV / x;
    const double A = 2 * p * p * 2 * std::sqrt(2.0) * solan::kGF_MeVm2 / (solan::kMW_MeV * solan::kMW_MeV) * rpP /
                     (m.dm2_21_eV2 * 1e-12);
    const double tm = 0.5 * std::atan2(std::sin(2 * th), std::cos(2 * th) + A);
    // the lowest matter state carries cos^2 theta_m of nu_e
    EXPECT_NEAR(U[j][0] * U[j][0], std::cos(tm) * std::cos(tm), 1e-9) << "momentum " << j << " A " << A;
    EXPECT_NEAR(U[j][8] * U[j][8], 1, 1e-12);  // nu_tau stays a mass state
    checked += (A > 0.3 && A < 30);
  }
  EXPECT_GE(checked, 2);  // the transition region itself was tested
  // adiabatic transfer: the nu_e of the hot plasma ends as mass state 1, cos^2 theta_12 of nu_e
  const std::vector<Mat3> hot = solan::matter_basis(m, 0.02, 1.0, occ);
  const std::vector<Mat3> cold = solan::matter_basis(m, 20.0, 1.4, occ);
  EXPECT_GT(hot[10][0] * hot[10][0], 1 - 1e-5);
  EXPECT_NEAR(cold[10][0] * cold[10][0], 1 - m.sin2_12, 1e-9);
  // the same matter-state populations seen in the flavour basis before and after the transfer:
  // the flavour content moves, the trace (the number of neutrinos of that momentum) does not,
  // even where the Hamiltonian is dominated 1e6 to 1 by the nu_e potential
  const double occ3[3] = {0.30, 0.20, 0.20};
  for (const std::vector<Mat3>* U : {&hot, &cold}) {
    for (int j : {0, 40, 79}) {
      double tr = 0, ee = 0;
      for (int a = 0; a < 3; ++a)
        for (int i = 0; i < 3; ++i) {
          const double w = (*U)[j][3 * a + i] * (*U)[j][3 * a + i] * occ3[i];
          tr += w;
          if (a == 0) ee += w;
        }
      EXPECT_NEAR(tr, 0.70, 1e-14);
      if (U == &cold) {
        EXPECT_NEAR(ee, 0.30 - 0.10 * m.sin2_12, 1e-9);
      }
    }
  }
}

std::vector<Mat3> thermal_state(double z, double excess_e) {
  std::vector<Mat3> rho;
  for (double y : solan::boltzmann_grid()) {
    const double f = 1 / (std::exp(y / z) + 1);
    rho.push_back({f * (1 + excess_e * y), 0, 0, 0, f, 0, 0, 0, f * (1 - 0.3 * excess_e * y)});
  }
  return rho;
}

TEST(SolanFlavour, EquilibriumIsAFixedPointOfTheMatrixCollisionTerms) {
  // flavour-blind Fermi-Dirac at the electron temperature: every entry vanishes, also with the
  // electron mass and for a state written in another flavour basis
  const Mat3 V = rotation(0.3, -0.7, 0.5);
  for (double x : {0.01, 1.0}) {
    std::vector<Mat3> rho = thermal_state(1.1, 0.0);
    for (Mat3& r : rho) r = mul(mul(V, r), transpose(V));
    const solan::CollisionMatrices c = solan::collision_matrices(x, 1.1, rho, 0.23121, 16);
    for (size_t j = 0; j < rho.size(); ++j)
      for (int k = 0; k < 9; ++k) EXPECT_NEAR(c.total[j][k], 0, 1e-14) << "x " << x << " j " << j << " k " << k;
  }
}

TEST(SolanFlavour, NeutrinoCollisionsAreFlavourCovariant) {
  // The neutral-current nu-nu interaction is flavour blind: C[V rho V^T] = V C[rho] V^T. For a
  // flavour-diagonal state with flavour differences of 1e-3 rotated by V, the off-diagonal
  // kernel reproduces the rotated diagonal collision terms to second order (1e-3 relative).
  const std::vector<Mat3> diag = thermal_state(1.0, 1e-3);
  const Mat3 V = rotation(0.4, 0.2, -0.6);
  std::vector<Mat3> rot;
  for (const Mat3& r : diag) rot.push_back(mul(mul(V, r), transpose(V)));
  const solan::CollisionMatrices cd = solan::collision_matrices(0.5, 1.0, diag, 0.23121, 8);
  const solan::CollisionMatrices cr = solan::collision_matrices(0.5, 1.0, rot, 0.23121, 8);
  double worst = 0, scale = 0;
  for (size_t j = 0; j < diag.size(); ++j) {
    const Mat3 expect = mul(mul(V, cd.nunu[j]), transpose(V));
    for (int k = 0; k < 9; ++k) {
      worst = std::max(worst, std::fabs(cr.nunu[j][k] - expect[k]));
      scale = std::max(scale, std::fabs(cd.nunu[j][k]));
    }
  }
  EXPECT_GT(scale, 1e-6);
  EXPECT_LT(worst, 3e-3 * scale);
  // the electron processes are not covariant (nu_e has the charged current): a rotated state
  // gets a different electron collision term
  double diff_e = 0;
  for (size_t j = 0; j < diag.size(); ++j) {
    const Mat3 expect = mul(mul(V, cd.total[j]), transpose(V));
    for (int k = 0; k < 9; ++k) diff_e = std::max(diff_e, std::fabs(cr.total[j][k] - cr.nunu[j][k] - (expect[k] - mul(mul(V, cd.nunu[j]), transpose(V))[k])));
  }
  EXPECT_GT(diff_e, 0.1 * scale);
}

TEST(SolanFlavour, CoherenceIsDampedAndTheTraceFollowsTheDiagonal) {
  // thermal spectra at the electron temperature plus a small e-mu coherence: the diagonal is
  // untouched at first order and the coherence is damped (collision term opposite to it)
  std::vector<Mat3> rho = thermal_state(1.0, 0.0);
  const std::vector<double> y = solan::boltzmann_grid();
  for (size_t j = 0; j < y.size(); ++j) rho[j][1] = rho[j][3] = 1e-4 * rho[j][0];
  const solan::CollisionMatrices c = solan::collision_matrices(0.3, 1.0, rho, 0.23121, 16);
  double proj = 0, norm = 0;
  for (size_t j = 0; j < y.size(); ++j) {
    EXPECT_NEAR(c.total[j][1], c.total[j][3], 1e-18);
    EXPECT_LT(std::fabs(c.total[j][0]), 1e-3 * std::fabs(c.total[j][1]) + 1e-15);
    proj += y[j] * y[j] * c.total[j][1] * rho[j][1];
    norm += y[j] * y[j] * std::fabs(c.total[j][1] * rho[j][1]);
  }
  EXPECT_LT(proj, -0.5 * norm);
}

TEST(SolanFlavour, MatterJacobianMatchesFiniteDifferences) {
  // a state in mid-transition (T = 2.5 MeV) with distorted, unequal flavours
  const solan::MixingParameters m;
  const double x = 0.2, z = 0.98;
  std::vector<double> occ(3 * 80);
  const std::vector<double> y = solan::boltzmann_grid();
  for (int i = 0; i < 3; ++i)
    for (size_t j = 0; j < y.size(); ++j)
      occ[i * 80 + j] = (1 + 0.01 * (i + 1) * std::sin(y[j])) / (std::exp(y[j]) + 1);
  const std::vector<Mat3> U = solan::matter_basis(m, x, z, occ);
  const solan::MatterCollisions c0 = solan::matter_collisions(x, z, occ, U, 0.23121, 8);
  double worst = 0, scale = 0;
  for (int col : {5, 40, 80 + 12, 160 + 30, 160 + 70}) {
    std::vector<double> o = occ;
    const double h = 1e-6 * o[col];
    o[col] += h;
    const solan::MatterCollisions c1 = solan::matter_collisions(x, z, o, U, 0.23121, 8);
    for (int r = 0; r < 240; ++r) {
      const double fd = (c1.K[r] - c0.K[r]) / h;
      const double an = c0.jacobian[static_cast<size_t>(r) * 240 + col];
      worst = std::max(worst, std::fabs(fd - an));
      scale = std::max(scale, std::fabs(an));
    }
  }
  // exact for the electron processes; the neutrino-neutrino off-diagonal kernel is taken at the
  // flavour-blind spectrum, a second-order difference here
  EXPECT_LT(worst, 3e-2 * scale);
}

}  // namespace
