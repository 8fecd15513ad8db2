// The finite-nucleon-mass weak rates against an independent brute-force calculation (tools/weakcheck):
// the exact tree-level matrix element (checked here against explicit Dirac traces) integrated over
// thermal nucleons, electrons and neutrinos with separate photon and neutrino temperatures.
#include <array>
#include <complex>
#include <random>

#include "exact_rates.hpp"
#include "weak_fixture.hpp"

using namespace weak_test;

namespace {

// ---- explicit Dirac algebra (Dirac representation, metric +---) ----
using cd = std::complex<double>;
using Mat = std::array<std::array<cd, 4>, 4>;

Mat zero() { return Mat{}; }
Mat unit(cd v = 1.0) {
    Mat m = zero();
    for (int i = 0; i < 4; ++i) m[i][i] = v;
    return m;
}
Mat mul(const Mat& a, const Mat& b) {
    Mat c = zero();
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j) c[i][j] += a[i][k] * b[k][j];
    return c;
}
Mat add(const Mat& a, const Mat& b, cd f = 1.0) {
    Mat c = a;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) c[i][j] += f * b[i][j];
    return c;
}
cd trace(const Mat& a) { return a[0][0] + a[1][1] + a[2][2] + a[3][3]; }

struct Dirac {
    std::array<Mat, 4> g;  // gamma^mu
    Mat g5;
    Dirac() {
        const cd I(0, 1);
        g[0] = zero();
        g[0][0][0] = g[0][1][1] = 1.0;
        g[0][2][2] = g[0][3][3] = -1.0;
        const cd sig[3][2][2] = {{{0, 1}, {1, 0}}, {{0, -I}, {I, 0}}, {{1, 0}, {0, -1}}};
        for (int k = 0; k < 3; ++k) {
            g[k + 1] = zero();
            for (int a = 0; a < 2; ++a)
                for (int b = 0; b < 2; ++b) {
                    g[k + 1][a][b + 2] = sig[k][a][b];
                    g[k + 1][a + 2][b] = -sig[k][a][b];
                }
        }
        g5 = mul(mul(g[0], g[1]), mul(g[2], g[3]));
        for (auto& row : g5)
            for (auto& v : row) v *= I;
    }
    Mat slash(const std::array<double, 4>& p) const {  // p_mu gamma^mu
        Mat m = zero();
        for (int mu = 0; mu < 4; ++mu) m = add(m, g[mu], mu == 0 ? p[0] : -p[mu]);
        return m;
    }
    Mat bar(const Mat& a) const {  // gamma^0 a^dagger gamma^0
        Mat d = zero();
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) d[i][j] = std::conj(a[j][i]);
        return mul(mul(g[0], d), g[0]);
    }
};

using V4 = std::array<double, 4>;
double dot(const V4& a, const V4& b) { return a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3]; }
V4 comb(const V4& a, const V4& b, double f) { return {a[0] + f * b[0], a[1] + f * b[1], a[2] + f * b[2], a[3] + f * b[3]}; }

// Spin sums of |e gamma_mu (1 - g5) nu|^2 x |p Gamma^mu n|^2 for n(Pn) nu(k) -> p(Pp) e(pe), with
// Gamma^mu = gamma^mu + i f2/(2M) sigma^{mu nu} q_nu - gA gamma^mu g5, q = Pp - Pn, i sigma q =
// -(gamma^mu qslash - q^mu): by explicit matrices, whatever the signs of the energies.
double dirac_trace(const Dirac& D, const V4& Pn, const V4& k, const V4& Pp, const V4& pe, double mn, double mp,
                   double me, double f2, double gA, double M) {
    const Mat one = unit(), P5 = add(one, D.g5, -1.0);
    const V4 q = comb(Pp, Pn, -1.0);
    const Mat qs = D.slash(q);
    std::array<Mat, 4> Gam;
    for (int mu = 0; mu < 4; ++mu) {
        Mat w = add(D.g[mu], add(mul(D.g[mu], qs), unit(q[mu]), -1.0), -f2 / (2 * M));
        Gam[mu] = add(w, mul(D.g[mu], D.g5), -gA);
    }
    const Mat Le = add(D.slash(pe), one, me), Lk = D.slash(k);
    const Mat Hp = add(D.slash(Pp), one, mp), Hn = add(D.slash(Pn), one, mn);
    double sum = 0.0;
    const double eta[4] = {1, -1, -1, -1};
    for (int mu = 0; mu < 4; ++mu)
        for (int nu = 0; nu < 4; ++nu) {
            const cd L = trace(mul(mul(mul(Le, mul(D.g[mu], P5)), Lk), D.bar(mul(D.g[nu], P5))));
            const cd H = trace(mul(mul(mul(Hp, Gam[mu]), Hn), D.bar(Gam[nu])));
            sum += (eta[mu] * eta[nu] * L * H).real();
        }
    return sum;
}

// One random configuration of the process or a crossed channel: neutron momentum, signed electron
// energy, neutrino direction; the signed neutrino energy puts the proton on shell.
struct Kin {
    V4 Pn, k, Pp, pe;
};
Kin random_kinematics(std::mt19937_64& rng, double mn, double mp, double me, int electron_sign) {
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Kin c{};
    const double P[3] = {60 * g(rng), 60 * g(rng), 60 * g(rng)};
    c.Pn = {std::sqrt(mn * mn + P[0] * P[0] + P[1] * P[1] + P[2] * P[2]), P[0], P[1], P[2]};
    const double p[3] = {4 * g(rng), 4 * g(rng), 4 * g(rng)};
    c.pe = {electron_sign * std::sqrt(me * me + p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), p[0], p[1], p[2]};
    const double cth = 2 * u(rng) - 1, phi = 2 * M_PI * u(rng), sth = std::sqrt(1 - cth * cth);
    const V4 N = {1.0, sth * std::cos(phi), sth * std::sin(phi), cth};
    const V4 Dv = comb(c.Pn, c.pe, -1.0);
    const double k0 = (mp * mp - dot(Dv, Dv)) / (2.0 * dot(N, Dv));
    c.k = {k0 * N[0], k0 * N[1], k0 * N[2], k0 * N[3]};
    c.Pp = comb(Dv, c.k, 1.0);
    return c;
}

constexpr double kMn = 939.56542052, kMp = 938.27208816, kMe = 0.51099895;

// The library's rate integrals with T_nu = r T and the nucleon masses scaled like the reference's.
struct Library {
    Fixture f;
    nvx_weak_ctx c;
    double M_erg, D_erg;
    explicit Library(double r, const nvx_neutrino_history* h = nullptr) : f("weak_exact", r), c(f.ctx(h)) {
        M_erg = 0.5 * (c.m_n_erg + c.m_p_erg);
        D_erg = c.Delta_erg;
    }
    ~Library() { nvx_weak_ctx_free(&c); }
    double operator()(int kind, double T_MeV, int s, double scale = 1.0) {
        c.m_n_erg = scale * M_erg + 0.5 * D_erg;
        c.m_p_erg = scale * M_erg - 0.5 * D_erg;
        const double v = nvx_weak_rate_integral(&c, kind, K_of_MeV(T_MeV), s);
        c.m_n_erg = M_erg + 0.5 * D_erg;
        c.m_p_erg = M_erg - 0.5 * D_erg;
        return v;
    }
};

weakcheck::Inputs reference(double T_MeV, weakcheck::NeutrinoSpectrum sp) {
    weakcheck::Inputs in;
    in.T_MeV = T_MeV;
    in.spectrum = std::move(sp);
    in.g_A = nvx_constants_init()[NVX_C_g_A];
    in.f2 = nvx_deltakappa();
    in.n_P = 16;  // converged to 1e-10 of the rate (checked against 24/48/12/12/12)
    in.n_p = 32;
    in.n_cos_e = in.n_cos_nu = in.n_phi = 8;
    return in;
}

// First-order finite-mass term of the reference (exact rate minus Born at scaled masses).
double exact_first_order(const weakcheck::Inputs& in, int s) {
    const double born = weakcheck::born_rate(in, s);
    return weakcheck::first_order_coefficient([&](double l) {
        weakcheck::Inputs j = in;
        j.mass_scale = l;
        return weakcheck::exact_rate(j, s) - born;
    });
}

}  // namespace

TEST(WeakExact, MatrixElementEqualsExplicitDiracTraces) {
    // The closed form (Strumia & Vissani 2003) against 4x4 matrices, for the physical process and the
    // crossed channels (positron, antineutrino), with and without weak magnetism; the spin sum of a
    // physical channel is positive once each crossed fermion contributes its sign.
    const Dirac D;
    std::mt19937_64 rng(7);
    const double gA = 1.2756, M = 0.5 * (kMn + kMp);
    int crossed_nu = 0;
    for (double f2 : {0.0, 3.70589}) {
        for (int es : {+1, -1}) {
            for (int trial = 0; trial < 12; ++trial) {
                const Kin c = random_kinematics(rng, kMn, kMp, kMe, es);
                const double tr = dirac_trace(D, c.Pn, c.k, c.Pp, c.pe, kMn, kMp, kMe, f2, gA, M);
                const V4 kme = comb(c.k, c.pe, -1.0), kPn = comb(c.k, c.Pn, 1.0), kPp = comb(c.k, c.Pp, -1.0);
                const double t = dot(kme, kme), su = dot(kPn, kPn) - dot(kPp, kPp);
                const double form = weakcheck::squared_matrix_element(t, su, M, kMn - kMp, kMe, 1.0, f2, gA);
                EXPECT_NEAR(form / tr, 1.0, 1e-9) << "f2 " << f2 << " electron sign " << es;
                const double sign = (c.pe[0] > 0) == (c.k[0] > 0) ? 1.0 : -1.0;
                EXPECT_GT(sign * tr, 0.0);
                crossed_nu += c.k[0] < 0;
            }
        }
    }
    EXPECT_GT(crossed_nu, 5);  // antineutrino channels were among the configurations
    // Infinitely heavy nucleons at rest (E_nu = E_e - Delta): 64 M^2 (1 + 3 gA^2) (E_e E_nu + a p_e.k), a = (1-gA^2)/(1+3gA^2).
    const double L = 1e4, Mbig = L * M, eps = 0.9, p = std::sqrt(eps * eps - kMe * kMe), k0 = eps - (kMn - kMp), c = 0.3;
    const double t = kMe * kMe - 2 * k0 * (eps - p * c);
    const double su = 2 * Mbig * (kMn - kMp) + 2 * k0 * 2 * Mbig;
    const double born = 64 * Mbig * Mbig * (1 + 3 * gA * gA) * (eps * k0 + (1 - gA * gA) / (1 + 3 * gA * gA) * k0 * p * c);
    EXPECT_NEAR(weakcheck::squared_matrix_element(t, su, Mbig, kMn - kMp, kMe, 1.0, 3.7, gA) / born, 1.0, 1e-5);
}

TEST(WeakExact, ReferenceReducesToTheBornIntegralAndKeepsDetailedBalance) {
    // Infinitely heavy nucleons: the brute-force rate is the library's Born integral (independent
    // quadratures; against a 25-digit quadrature the library's is within 2.3e-8 at 0.3 MeV, the
    // reference's within 1e-9). Finite masses, T_nu = T: lambda(p->n)/lambda(n->p) = n_n/n_p of Maxwell-Juttner
    // nucleons, (m_n/m_p)^(3/2) exp(-Delta/T) K2 corrections included, which tests every channel and
    // crossing sign of the reference at once.
    for (double T : {0.3, 1.0, 3.0}) {
        Library lib(1.0);
        weakcheck::Inputs in = reference(T, weakcheck::fermi_dirac(T));
        for (int s : {+1, -1}) {
            const double born = weakcheck::born_rate(in, s);
            EXPECT_NEAR(born / lib(NVX_WEAK_BORN, T, s), 1.0, 5e-8) << "T " << T << " s " << s;
            weakcheck::Inputs heavy = in;
            heavy.mass_scale = 1e6;
            EXPECT_NEAR(weakcheck::exact_rate(heavy, s) / born, 1.0, 1e-7) << "T " << T << " s " << s;
        }
        const double np = weakcheck::exact_rate(in, +1), pn = weakcheck::exact_rate(in, -1);
        const auto n_over_T = [&](double m) { return std::pow(m, 1.5) * (1 + 15 * T / (8 * m) + 105 * T * T / (128 * m * m)); };
        const double eq = n_over_T(kMn) / n_over_T(kMp) * std::exp(-(kMn - kMp) / T);
        EXPECT_NEAR(pn / np / eq, 1.0, 1e-9) << "T " << T;
        // The library's finite-mass kernel keeps the balance at first order in 1/M: the relative
        // corrections of the two directions differ by the first-order term of (3/2) ln(m_n/m_p).
        const double bal = weakcheck::first_order_coefficient([&](double l) {
            return lib(NVX_WEAK_FM, T, -1, l) / lib(NVX_WEAK_BORN, T, -1) - lib(NVX_WEAK_FM, T, +1, l) / lib(NVX_WEAK_BORN, T, +1);
        });
        EXPECT_NEAR(bal / (1.5 * (kMn - kMp) / (0.5 * (kMn + kMp))), 1.0, 1e-6) << "T " << T;
    }
}

TEST(WeakExact, FiniteMassKernelIsTheFirstOrderTermForAnyNeutrinoTemperature) {
    // The library's finite-mass kernel (recoil, weak magnetism, nucleon-mass phase space, thermal
    // nucleon motion at the photon temperature, neutrino derivatives at T_nu) must be the first-order
    // term in 1/M of the exact rate. Both first-order terms come from the same scaled masses; they
    // agree to 1e-10-3e-8 of the Born rate. The change of the term between T_nu/T = 1 and 1.002 or 0.9
    // (weak magnetism gives about 80% of it at 2.6 MeV) is held to 2%: reversing the dependence of
    // the weak-magnetism term on T_nu fails this by far.
    for (double T : {0.7, 2.6}) {
        double at_equal[2] = {0, 0}, lib_equal[2] = {0, 0};
        for (double r : {1.0, 1.002, 0.9}) {
            Library lib(r);
            const weakcheck::Inputs in = reference(T, weakcheck::fermi_dirac(r * T));
            for (int s : {+1, -1}) {
                const double born = weakcheck::born_rate(in, s);
                const double ex = exact_first_order(in, s);
                const double li = weakcheck::first_order_coefficient([&](double l) { return lib(NVX_WEAK_FM, T, s, l); });
                EXPECT_NEAR(li / born, ex / born, 1e-7) << "T " << T << " r " << r << " s " << s;
                const int i = s > 0 ? 0 : 1;
                if (r == 1.0) {
                    at_equal[i] = ex / born;
                    lib_equal[i] = li / born;
                } else {
                    const double d_ex = ex / born - at_equal[i], d_li = li / born - lib_equal[i];
                    EXPECT_GT(std::fabs(d_ex), 1e-5);
                    EXPECT_NEAR(d_li / d_ex, 1.0, 0.02) << "T " << T << " r " << r << " s " << s;
                }
            }
        }
    }
}

TEST(WeakExact, FreeDecayNormalisation) {
    // f_n with the finite-mass term against the exact decay rate of a neutron at rest: first orders
    // agree to 2e-6 of f_n (the rest is the kernel's choice of the final-nucleon mass, second order).
    Fixture f("weak_exact_fn");
    const double fn_born = nvx_compute_fn(&f.cfg);
    f.cfg.finite_mass_corrections = 1;
    const double fn_fm = nvx_compute_fn(&f.cfg);
    weakcheck::Inputs in = reference(1.0, weakcheck::fermi_dirac(1.0));
    in.mass_scale = 1e6;
    EXPECT_NEAR(weakcheck::exact_decay_rate(in) / fn_born, 1.0, 1e-8);
    const double d1 = weakcheck::first_order_coefficient([&](double l) {
        weakcheck::Inputs j = in;
        j.mass_scale = l;
        return weakcheck::exact_decay_rate(j) - fn_born;
    });
    EXPECT_LT(d1 / fn_born, -1e-3);  // recoil lowers the rate
    EXPECT_NEAR((fn_fm - fn_born) / fn_born, d1 / fn_born, 2e-6);
}

TEST(WeakExact, FiniteMassTermsOfTabulatedSpectra) {
    // Tabulated spectra get the finite-mass terms too (the cross term of the two corrections).
    // (1) A table that encodes neutrinos 2% hotter: the distortion kinds must add what the plain
    // kinds gain from T_nu -> 1.02 T_nu, the finite-mass one included (the table is smoothed by a
    // spline in momentum; its lookup error is below 1e-3 of the cross term).
    const double r = 1.0, eps = 0.02;
    TableHistory hot(r, [&](double y) { return fermi_occupation(y / (1 + eps)) / fermi_occupation(y) - 1; });
    Library lib(r, &hot.h), lib_hot(r * (1 + eps));
    for (double T : {1.0, 2.6})
        for (int s : {+1, -1}) {
            const double cross = lib_hot(NVX_WEAK_FM, T, s) - lib(NVX_WEAK_FM, T, s);
            EXPECT_GT(std::fabs(cross), 1e-4 * lib(NVX_WEAK_BORN, T, s));
            EXPECT_NEAR(lib(NVX_WEAK_SDFM, T, s) / cross, 1.0, 1e-3) << "T " << T << " s " << s;
            const double cross_ccr = lib_hot(NVX_WEAK_FM_CCR, T, s) - lib(NVX_WEAK_FM_CCR, T, s);
            EXPECT_NEAR(lib(NVX_WEAK_SDFM_CCR, T, s) / cross_ccr, 1.0, 1e-3) << "T " << T << " s " << s;
            const double born_part = lib_hot(NVX_WEAK_BORN, T, s) - lib(NVX_WEAK_BORN, T, s);
            EXPECT_NEAR(lib(NVX_WEAK_SD, T, s) / born_part, 1.0, 2e-3) << "T " << T << " s " << s;
            // a configuration with both corrections takes the cross term into its rates
            lib.f.cfg.spectral_distortions = lib.f.cfg.finite_mass_corrections = 1;
            const double term = nvx_weak_rate_term(&lib.c, K_of_MeV(T), s);
            lib.f.cfg.spectral_distortions = lib.f.cfg.finite_mass_corrections = 0;
            EXPECT_NEAR(term, lib(NVX_WEAK_BORN, T, s) + lib(NVX_WEAK_FM, T, s) + lib(NVX_WEAK_SD, T, s) +
                                  lib(NVX_WEAK_SDFM, T, s), 1e-12 * term);
        }
    // (2) A non-thermal shape (a deficit below y = 4 and an excess above, the shape of the decoupling
    // distortion, five times larger): the first-order finite-mass term of the library's distortion
    // kind equals that of the exact rates with the distorted spectrum, minus the undistorted one.
    const auto delta = [](double y) { return 0.005 * (y * y / 4.0 - y) * std::exp(-y / 10.0); };
    TableHistory shaped(r, delta);
    Library lib_shaped(r, &shaped.h);
    for (double T : {0.7, 2.6}) {
        const weakcheck::Inputs fd = reference(T, weakcheck::fermi_dirac(r * T));
        const auto occ = [=](double E) {
            const double y = E / (r * T);
            return (1 + delta(y)) * fermi_occupation(y);
        };
        const weakcheck::Inputs dist = reference(T, {occ, occ});
        for (int s : {+1, -1}) {
            const double ex = exact_first_order(dist, s) - exact_first_order(fd, s);
            const double li = weakcheck::first_order_coefficient([&](double l) { return lib_shaped(NVX_WEAK_SDFM, T, s, l); });
            EXPECT_NEAR(li / ex, 1.0, 2e-3) << "T " << T << " s " << s;
        }
    }
}

TEST(WeakExact, FiniteMassTermsOfAnalyticDistortionsAndDegenerateNeutrinos) {
    // Degenerate neutrinos (xi = mu/T_nu): the finite-mass kernel acts on the occupation the Born
    // term uses, chemical potential included (without it the term was off by 5.6e-4 of the p->n
    // rate at 0.7 MeV for xi = 0.05). Then the closed-form moments of the analytic shapes against
    // the exact rates with the distorted spectrum (Compton-like with and without chemical potential,
    // grey body); the distorted occupations jump at zero energy, which limits the reference to 1e-4.
    for (double xi : {0.05, -0.1}) {
        Fixture f("weak_exact_xi");
        f.cfg.munuOverTnu_e = xi;
        nvx_weak_ctx c = f.ctx();
        const double M = 0.5 * (c.m_n_erg + c.m_p_erg), D = c.Delta_erg, T = 0.7;
        const weakcheck::Inputs in = reference(T, weakcheck::fermi_dirac(T, xi));
        for (int s : {+1, -1}) {
            const double born = weakcheck::born_rate(in, s);
            const double li = weakcheck::first_order_coefficient([&](double l) {
                c.m_n_erg = l * M + 0.5 * D;
                c.m_p_erg = l * M - 0.5 * D;
                return nvx_weak_rate_integral(&c, NVX_WEAK_FM, K_of_MeV(T), s);
            });
            EXPECT_NEAR(li / born, exact_first_order(in, s) / born, 1e-9) << "xi " << xi << " s " << s;
        }
        nvx_weak_ctx_free(&c);
    }
    struct Shape {
        double ySZ, ygray, xi, T;
    };
    for (const Shape& sh : {Shape{0.02, 0.0, 0.0, 0.7}, Shape{0.02, 0.0, 0.05, 2.6}, Shape{0.0, 0.03, 0.0, 1.0}}) {
        nvx_neutrino_history h = analytic_history(sh.ySZ, sh.ygray, sh.xi);
        Fixture f("weak_exact_shape");
        f.cfg.munuOverTnu_e = sh.xi;
        nvx_weak_ctx c = f.ctx(&h);
        const double M = 0.5 * (c.m_n_erg + c.m_p_erg), D = c.Delta_erg;
        {
            const double T = sh.T;
            // occupation of neutrinos (chemical potential +xi) or antineutrinos (-xi)
            const auto occ = [=](double xi) {
                return [=](double E) {
                    const double u = E / T, g = fermi_occupation(u - xi), hh = 1 + sh.ygray;
                    return g + sh.ySZ * g * (1 - g) * (4 - (1 - 2 * g) * u) + fermi_occupation(u / hh) / (hh * hh * hh) -
                           fermi_occupation(u);
                };
            };
            const weakcheck::Inputs fd = reference(T, weakcheck::fermi_dirac(T, sh.xi));
            const weakcheck::Inputs dist = reference(T, {occ(sh.xi), occ(-sh.xi)});
            for (int s : {+1, -1}) {
                const double ex = exact_first_order(dist, s) - exact_first_order(fd, s);
                const double li = weakcheck::first_order_coefficient([&](double l) {
                    c.m_n_erg = l * M + 0.5 * D;
                    c.m_p_erg = l * M - 0.5 * D;
                    return nvx_weak_rate_integral(&c, NVX_WEAK_SDFM, K_of_MeV(T), s);
                });
                EXPECT_NEAR(li / ex, 1.0, 1e-4) << "T " << T << " s " << s << " y_SZ " << sh.ySZ << " xi " << sh.xi;
            }
        }
        nvx_weak_ctx_free(&c);
    }
}
