// Brute-force weak n<->p rates with exact kinematics and the exact tree-level matrix element:
// thermal nucleons, electrons and neutrinos, every angle integrated by quadrature.
//
// The rate per initial nucleon of n <-> p with all leptons (electron or positron, neutrino or
// antineutrino) handled by crossing: the electron 4-momentum p_e = (eps, p) with signed energy eps
// (eps < 0: a positron of energy -eps on the other side of the reaction) and the neutrino 4-momentum
// K = k0 (1, n) with signed k0 (k0 < 0: an antineutrino). For n -> p (s = +1) the reaction is
// n(P1) + nu(K) -> p(P2) + e(p_e), for p -> n (s = -1) p(P1) + e(p_e) -> n(P2) + nu(K); each sign
// combination is one physical channel (neutrino capture, positron capture, neutron decay, and their
// inverses). Per initial nucleon of momentum P1 (Maxwell-Juttner at the photon temperature T):
//
//   rate = < 1/(2 E1) int d^3p/(2|eps|) n_e(eps) int dOmega_K |k0|/(4 |N.D|) n_nu(k0) |M|^2 >_P1,
//
// where D = P1 -+ p_e, N = (1, n), and k0 = +-(M2^2 - D^2)/(2 N.D) puts the final nucleon on shell
// (the integral over d^4K delta(K^2) delta((D +- K)^2 - M2^2), exact, linear in k0). |M|^2 is the
// spin-summed squared amplitude (with the sign of each crossed fermion) divided by
// 64 M^2 (1 + 3 g_A^2) and multiplied by M^2/pi^2 at the end, which makes the infinite-mass limit the
// Born integral int p^2 dp n_e n_nu k0^2: the same units as the library's integrals, the common
// prefactor G_F^2 V_ud^2 (1 + 3 g_A^2) m_e^5/(2 pi^3) (with the 1/2 of the nucleon spin average)
// left out. Occupations: n_e = 1 - f_e for an outgoing electron, f_e for an incoming one (eps < 0:
// the positron occupations by f(-E) = 1 - f(E)); n_nu likewise with the neutrino and antineutrino
// spectra. Final nucleons are not degenerate (no blocking).
#include "exact_rates.hpp"

#include <cmath>
#include <stdexcept>

namespace weakcheck {
namespace {

constexpr double kPi = 3.141592653589793;

double fermi_occ(double x) {  // 1/(e^x + 1) without overflow
    if (x > 0) {
        const double e = std::exp(-x);
        return e / (1.0 + e);
    }
    return 1.0 / (std::exp(x) + 1.0);
}

struct Rule {
    std::vector<double> x, w;
};

// Nodes and weights of an n-point rule on [a, b].
Rule mapped(int n, double a, double b) {
    Rule r;
    gauss_legendre(n, r.x, r.w);
    const double h = 0.5 * (b - a), c = 0.5 * (b + a);
    for (int i = 0; i < n; ++i) {
        r.x[i] = c + h * r.x[i];
        r.w[i] *= h;
    }
    return r;
}

// Electron momentum panels (MeV): below the threshold momentum of the mass splitting, up to a few
// temperatures above it, and the tail to 30 T.
Rule electron_rule(const Inputs& in) {
    const double me = in.m_e_MeV, Delta = in.m_n_MeV - in.m_p_MeV;
    const double pb = std::sqrt(Delta * Delta - me * me);
    const double p_mid = pb + 8.0 * in.T_MeV, p_max = std::max(pb + 30.0 * in.T_MeV, 8.0 * me);
    Rule all;
    for (const auto& [a, b] : {std::pair{0.0, pb}, std::pair{pb, p_mid}, std::pair{p_mid, p_max}}) {
        if (!(b > a)) continue;
        Rule r = mapped(in.n_p, a, b);
        all.x.insert(all.x.end(), r.x.begin(), r.x.end());
        all.w.insert(all.w.end(), r.w.begin(), r.w.end());
    }
    return all;
}

// Neutrino occupation factor of the channel: s = +1 neutrino incoming (antineutrino outgoing for
// k0 < 0), s = -1 neutrino outgoing (antineutrino incoming for k0 < 0).
double neutrino_factor(const NeutrinoSpectrum& sp, int s, double k0) {
    if (s > 0) return k0 >= 0 ? sp.nu(k0) : 1.0 - sp.nubar(-k0);
    return k0 >= 0 ? 1.0 - sp.nu(k0) : sp.nubar(-k0);
}

struct Masses {
    double M, Delta, m1, m2;  // mean, splitting, initial and final nucleon of the direction
};

Masses masses(const Inputs& in, int s) {
    Masses m{};
    m.Delta = in.m_n_MeV - in.m_p_MeV;
    m.M = in.mass_scale * 0.5 * (in.m_n_MeV + in.m_p_MeV);
    const double mn = m.M + 0.5 * m.Delta, mp = m.M - 0.5 * m.Delta;
    m.m1 = s > 0 ? mn : mp;
    m.m2 = s > 0 ? mp : mn;
    return m;
}

}  // namespace

void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w) {
    if (n < 1) throw std::invalid_argument("gauss_legendre: n < 1");
    x.assign(n, 0.0);
    w.assign(n, 0.0);
    for (int i = 0; i < (n + 1) / 2; ++i) {
        double z = std::cos(kPi * (i + 0.75) / (n + 0.5)), dp = 0.0;
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = 0.0;
            for (int k = 1; k <= n; ++k) {
                const double p2 = p1;
                p1 = p0;
                p0 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p2) / k;
            }
            dp = n * (z * p0 - p1) / (z * z - 1.0);
            const double dz = p0 / dp;
            z -= dz;
            if (std::fabs(dz) < 1e-16) break;
        }
        x[i] = -z;
        x[n - 1 - i] = z;
        w[i] = w[n - 1 - i] = 2.0 / ((1.0 - z * z) * dp * dp);
    }
}

double first_order_coefficient(const std::function<double(double)>& delta) {
    // g(e) = delta(1/e)/e at e = 1/4, 1/8, 1/16; two Richardson steps for the linear and quadratic terms
    const double g1 = 4.0 * delta(4.0), g2 = 8.0 * delta(8.0), g3 = 16.0 * delta(16.0);
    const double h1 = 2.0 * g2 - g1, h2 = 2.0 * g3 - g2;
    return (4.0 * h2 - h1) / 3.0;
}

NeutrinoSpectrum fermi_dirac(double T_nu_MeV, double xi) {
    return {[=](double E) { return fermi_occ(E / T_nu_MeV - xi); },
            [=](double E) { return fermi_occ(E / T_nu_MeV + xi); }};
}

// Strumia & Vissani, Phys. Lett. B 564 (2003) 42, eqs. (5)-(7) (without g2), written for
// nu n -> e p (their antineutrino formula with Delta -> -Delta), times 32 for our current
// normalisation: 32 [A - (s-u) B + (s-u)^2 C]. Checked against explicit Dirac traces by the tests.
double squared_matrix_element(double t, double su, double M, double Delta, double me, double f1, double f2,
                              double gA) {
    const double me2 = me * me, M2 = M * M, D = -Delta, D2 = D * D;
    const double A = (t - me2) / 16.0 *
                         (4 * f1 * f1 * (4 * M2 + t + me2) + 4 * gA * gA * (-4 * M2 + t + me2) +
                          f2 * f2 * (t * t / M2 + 4 * t + 4 * me2) + 8 * f1 * f2 * (2 * t + me2)) -
                     D2 / 16.0 *
                         ((4 * f1 * f1 + t * f2 * f2 / M2) * (4 * M2 + t - me2) +
                          4 * gA * gA * (4 * M2 - t + me2) + 8 * f1 * f2 * (2 * t - me2)) -
                     2 * me2 * M * D * gA * (f1 + f2);
    const double B = t * gA * (f1 + f2) + me2 * D * (f2 * f2 + f1 * f2) / (4 * M);
    const double C = (f1 * f1 + gA * gA) / 4 - t * f2 * f2 / (16 * M2);
    return 32.0 * (A - su * B + su * su * C);
}

double exact_rate(const Inputs& in, int s) {
    s = s > 0 ? 1 : -1;
    const Masses ms = masses(in, s);
    const double T = in.T_MeV, me = in.m_e_MeV, me2 = me * me;
    // m1^2 - m2^2 from the splitting itself: m1 - m2 would lose it at large mass scales
    const double m1 = ms.m1, dm2 = s * ms.Delta * 2.0 * ms.M;
    const double norm = 64.0 * ms.M * ms.M * (1.0 + 3.0 * in.g_A * in.g_A);

    // Nucleon momentum P = sqrt(2 m1 T) x, x in [0, 6.5]; Maxwell-Juttner weight P^2 exp(-(E1-m1)/T).
    const double Pscale = std::sqrt(2.0 * m1 * T);
    const Rule rP = mapped(in.n_P, 0.0, 6.5);
    const Rule rp = electron_rule(in);
    const Rule rce = mapped(in.n_cos_e, -1.0, 1.0);
    const Rule rcn = mapped(in.n_cos_nu, -1.0, 1.0);
    // Neutrino directions: the integrand is even in the azimuth (P1 along z, p_e in the x-z plane).
    std::vector<double> cphi(in.n_phi), nx, nz, wn;
    for (int j = 0; j < in.n_phi; ++j) cphi[j] = std::cos(2.0 * kPi * (j + 0.5) / in.n_phi);
    for (size_t a = 0; a < rcn.x.size(); ++a) {
        const double c = rcn.x[a], sn = std::sqrt(1.0 - c * c);
        for (int j = 0; j < in.n_phi; ++j) {
            nx.push_back(sn * cphi[j]);
            nz.push_back(c);
            wn.push_back(rcn.w[a] * 2.0 * kPi / in.n_phi);
        }
    }
    const size_t n_dir = nx.size();

    double num = 0.0, den = 0.0;
    for (size_t iP = 0; iP < rP.x.size(); ++iP) {
        const double P = Pscale * rP.x[iP];
        const double E1 = std::sqrt(m1 * m1 + P * P);
        const double wP = rP.w[iP] * P * P * std::exp(-P * P / ((E1 + m1) * T));
        den += wP;
        double sum_P = 0.0;
        for (int branch : {+1, -1}) {
            for (size_t ip = 0; ip < rp.x.size(); ++ip) {
                const double p = rp.x[ip], E = std::sqrt(p * p + me2), eps = branch * E;
                // electron outgoing for s = +1 (incoming positron when eps < 0), incoming for s = -1
                const double occ_e = fermi_occ(-s * eps / T);
                if (occ_e == 0.0) continue;
                const double w_p = rp.w[ip] * p * p / (2.0 * E) * occ_e * 2.0 * kPi;
                for (size_t ic = 0; ic < rce.x.size(); ++ic) {
                    const double ce = rce.x[ic], se = std::sqrt(1.0 - ce * ce);
                    const double px = p * se, pz = p * ce;
                    const double P1pe = E1 * eps - P * pz;  // 4-product P1 . p_e
                    // D = P1 - s p_e (4-vector)
                    const double D0 = E1 - s * eps, Dx = -s * px, Dz = P - s * pz;
                    const double num_k = s > 0 ? (-dm2 + 2.0 * P1pe - me2) : (dm2 + 2.0 * P1pe + me2);
                    double sum_dir = 0.0;
                    for (size_t d = 0; d < n_dir; ++d) {
                        const double ND = D0 - Dx * nx[d] - Dz * nz[d];
                        const double NP1 = E1 - P * nz[d];
                        const double Npe = eps - px * nx[d] - pz * nz[d];
                        const double k0 = num_k / (2.0 * ND);
                        // the other root of the on-shell condition: a final nucleon of negative
                        // energy (possible only for leptons of hundreds of MeV)
                        if (!(D0 + s * k0 > 0.0)) continue;
                        const double occ_nu = neutrino_factor(in.spectrum, s, k0);
                        if (occ_nu == 0.0) continue;
                        // Mandelstam variables of nu n -> e p: t = (K - p_e)^2 and s - u; for p -> n
                        // the neutron is the final nucleon (time-reversed labels).
                        const double t = me2 - 2.0 * k0 * Npe;
                        const double su = s > 0 ? dm2 + 2.0 * k0 * (NP1 + ND) : -dm2 + 2.0 * k0 * (ND + NP1);
                        const double m2el = squared_matrix_element(t, su, ms.M, ms.Delta, me, 1.0, in.f2, in.g_A);
                        const double sign = (eps > 0) == (k0 > 0) ? 1.0 : -1.0;
                        sum_dir += wn[d] * std::fabs(k0) / (4.0 * std::fabs(ND)) * occ_nu * sign * m2el;
                    }
                    sum_P += w_p * rce.w[ic] * sum_dir;
                }
            }
        }
        num += wP * sum_P / (2.0 * E1);
    }
    const double J = num / den / norm;
    return J * ms.M * ms.M / (kPi * kPi) / std::pow(me, 5);
}

double born_rate(const Inputs& in, int s) {
    s = s > 0 ? 1 : -1;
    const double me = in.m_e_MeV, Delta = in.m_n_MeV - in.m_p_MeV, T = in.T_MeV;
    const Rule rp = electron_rule(in);
    double sum = 0.0;
    for (size_t i = 0; i < rp.x.size(); ++i) {
        const double p = rp.x[i], E = std::sqrt(p * p + me * me);
        for (int branch : {+1, -1}) {
            const double eps = branch * E;
            // infinitely heavy nucleons: k0 = eps - Delta in both directions (n + nu -> p + e and
            // p + e -> n + nu)
            const double k0 = eps - Delta;
            sum += rp.w[i] * p * p * fermi_occ(-s * eps / T) * neutrino_factor(in.spectrum, s, k0) * k0 * k0;
        }
    }
    return sum / std::pow(me, 5);
}

double exact_decay_rate(const Inputs& in) {
    // n at rest -> p e nu-bar: the s = +1 electron branch with k0 < 0, no plasma.
    const Masses ms = masses(in, +1);
    const double me = in.m_e_MeV, me2 = me * me, m1 = ms.m1;
    const double dm2 = ms.Delta * 2.0 * ms.M;
    const double norm = 64.0 * ms.M * ms.M * (1.0 + 3.0 * in.g_A * in.g_A);
    // k0 = (2 m1 eps - dm2 - me^2) / (2 N.D) < 0 below the end point eps0 (independent of angles)
    const double eps0 = (dm2 + me2) / (2.0 * m1), p0 = std::sqrt(eps0 * eps0 - me2);
    const Rule rp = mapped(4 * in.n_p, 0.0, p0);
    const Rule rc = mapped(4 * in.n_cos_nu, -1.0, 1.0);
    double sum = 0.0;
    for (size_t i = 0; i < rp.x.size(); ++i) {
        const double p = rp.x[i], eps = std::sqrt(p * p + me2);
        double s_ang = 0.0;
        for (size_t j = 0; j < rc.x.size(); ++j) {  // angle between p_e and the neutrino direction
            const double c = rc.x[j];
            const double ND = m1 - eps + p * c;       // N.D with D = (m1 - eps, -p)
            const double NP1 = m1, Npe = eps - p * c;
            const double k0 = (2.0 * m1 * eps - dm2 - me2) / (2.0 * ND);
            const double t = me2 - 2.0 * k0 * Npe;
            const double su = dm2 + 2.0 * k0 * (NP1 + ND);
            const double m2el = squared_matrix_element(t, su, ms.M, ms.Delta, me, 1.0, in.f2, in.g_A);
            s_ang += rc.w[j] * std::fabs(k0) / (4.0 * ND) * (-m2el);
        }
        sum += rp.w[i] * p * p / (2.0 * eps) * 4.0 * kPi * 2.0 * kPi * s_ang;  // dOmega_e dphi_K
    }
    return sum / (2.0 * m1) / norm * ms.M * ms.M / (kPi * kPi) / std::pow(me, 5);
}

}  // namespace weakcheck
