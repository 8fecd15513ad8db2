// Physics of the weak-rate integrals: free-neutron phase space and lifetime, detailed balance of
// the Born rates, the free-decay limit at low temperature, and the sizes of the corrections.
#include "weak_fixture.hpp"

using namespace weak_test;

namespace {

double lifetime_s(const NVXConfig* cfg) {
    const double* c = nvx_constants_init();
    const double me = c[NVX_C_m_e], GV = c[NVX_C_G_F] * c[NVX_C_V_ud], gA = c[NVX_C_g_A];
    const double rate_MeV = std::pow(me, 5) * GV * GV * (1 + 3 * gA * gA) * nvx_compute_fn(cfg) /
                            (2 * std::pow(M_PI, 3));
    return 1.0 / (rate_MeV * nvx_MeV_to_secm1());
}

}  // namespace

TEST(WeakPhaseSpace, BornValueAndLifetime) {
    Fixture f("weak_fn");
    EXPECT_NEAR(nvx_compute_fn(&f.cfg), 1.63610, 5e-6);
    EXPECT_NEAR(nvx_compute_fn(nullptr), 1.63610, 5e-6);
    f.cfg.radiative_corrections = 1;
    const double tau_ccr = lifetime_s(&f.cfg);
    f.cfg.finite_mass_corrections = 1;
    const double tau_all = lifetime_s(&f.cfg);
    RecordProperty("tau_ccr_s", std::to_string(tau_ccr));
    RecordProperty("tau_ccr_fm_s", std::to_string(tau_all));
    std::printf("theoretical lifetime: CCR %.3f s, CCR+FM %.3f s\n", tau_ccr, tau_all);
    EXPECT_GT(tau_ccr, 875.0);
    EXPECT_LT(tau_ccr, 885.0);
    EXPECT_GT(tau_all, 875.0);
    EXPECT_LT(tau_all, 885.0);
}

TEST(WeakPhaseSpace, FermiFunctionAndRadiativeFactor) {
    // Non-relativistic limit: F ~ 2 pi eta / (1 - exp(-2 pi eta)) up to finite-size terms.
    const double alpha = nvx_constants_init()[NVX_C_alpha_fs];
    const double beta = 0.05, eta = alpha / beta;
    EXPECT_NEAR(nvx_fermi_coulomb(beta), 2 * M_PI * eta / (1 - std::exp(-2 * M_PI * eta)), 0.01);
    EXPECT_GT(nvx_fermi_coulomb(0.99), 1.0);
    EXPECT_TRUE(std::isfinite(nvx_fermi_coulomb(0.0)));
    // beta = 0 is the smooth limit of small beta, not a division by zero.
    const double r0 = nvx_rad_corr_resum(0.0, 1.0, 1.0);
    EXPECT_TRUE(std::isfinite(r0));
    EXPECT_NEAR(r0, nvx_rad_corr_resum(1e-7, 1.0, 1.0), 1e-5);
    // A few per cent above 1 across the decay spectrum.
    for (double E : {1.1, 1.5, 2.0, 2.4}) {
        const double b = std::sqrt(E * E - 1) / E;
        const double R = nvx_rad_corr_resum(b, 2.531 - E, E);
        EXPECT_GT(R, 1.0);
        EXPECT_LT(R, 1.12);
    }
}

TEST(WeakRates, DetailedBalanceOfBornRates) {
    Fixture f("weak_db");
    nvx_weak_ctx c = f.ctx();
    const double Q = nvx_constants_init()[NVX_C_m_n] - nvx_constants_init()[NVX_C_m_p];
    for (double T : {0.1, 0.3, 1.0, 3.0, 10.0}) {
        const double np = nvx_weak_rate_integral(&c, NVX_WEAK_BORN, K_of_MeV(T), +1);
        const double pn = nvx_weak_rate_integral(&c, NVX_WEAK_BORN, K_of_MeV(T), -1);
        EXPECT_NEAR(pn / np / std::exp(-Q / T), 1.0, 1e-6) << "T = " << T << " MeV";
    }
    nvx_weak_ctx_free(&c);
}

TEST(WeakRates, FreeDecayLimitForEveryCorrection) {
    nvx_neutrino_history h = analytic_history(0.01, 0.02, 0.05);
    for (int mask = 0; mask < 16; ++mask) {
        Fixture f("weak_lowT");
        f.cfg.radiative_corrections = mask & 1;
        f.cfg.finite_mass_corrections = (mask >> 1) & 1;
        f.cfg.spectral_distortions = (mask >> 2) & 1;
        f.cfg.analytic_distortions = (mask >> 3) & 1;
        nvx_weak_ctx c = f.ctx(&h);
        const double fn = nvx_compute_fn(&f.cfg);
        for (double T : {0.03, 0.02, 0.01}) {
            const double np = nvx_weak_rate_term(&c, K_of_MeV(T), +1) / fn;
            const double pn = nvx_weak_rate_term(&c, K_of_MeV(T), -1) / fn;
            EXPECT_NEAR(np, 1.0, T <= 0.02 ? 2e-4 : 2e-3) << "mask " << mask << " T " << T;
            EXPECT_LT(pn, 1e-17) << "mask " << mask << " T " << T;
        }
        nvx_weak_ctx_free(&c);
    }
}

TEST(WeakRates, CorrectionSizesAtOneMeV) {
    Fixture f("weak_sizes");
    nvx_weak_ctx c = f.ctx();
    const double T = K_of_MeV(1.0);
    for (int s : {+1, -1}) {
        const double born = nvx_weak_rate_integral(&c, NVX_WEAK_BORN, T, s);
        const double ccr = nvx_weak_rate_integral(&c, NVX_WEAK_CCR, T, s);
        const double fm = nvx_weak_rate_integral(&c, NVX_WEAK_FM, T, s);
        const double fm_ccr = nvx_weak_rate_integral(&c, NVX_WEAK_FM_CCR, T, s);
        std::printf("s=%+d  born %.6g  ccr/born-1 %+.4f  fm/born %+.4f  fm_ccr/born %+.4f\n", s, born,
                    ccr / born - 1, fm / born, fm_ccr / born);
        EXPECT_GT(ccr / born - 1, 0.01);
        EXPECT_LT(ccr / born - 1, 0.10);
        EXPECT_GT(std::fabs(fm / born), 1e-3);
        EXPECT_LT(std::fabs(fm / born), 0.05);
        EXPECT_NEAR(fm_ccr / fm, ccr / born, 0.05);
        // Without distortions the distortion kinds vanish.
        EXPECT_EQ(0.0, nvx_weak_rate_integral(&c, NVX_WEAK_SD, T, s));
        EXPECT_EQ(0.0, nvx_weak_rate_integral(&c, NVX_WEAK_SDFM_CCR, T, s));
    }
    nvx_weak_ctx_free(&c);
}

TEST(WeakRates, ColdPlasmaStaysFinite) {
    Fixture f("weak_cold");
    f.cfg.radiative_corrections = 1;
    f.cfg.finite_mass_corrections = 1;
    nvx_weak_ctx c = f.ctx();
    for (double T_K : {1e3, 1e6}) {
        for (int s : {+1, -1}) {
            const double v = nvx_weak_rate_term(&c, T_K, s);
            EXPECT_TRUE(std::isfinite(v));
            EXPECT_GE(v, 0.0);
        }
    }
    nvx_weak_ctx_free(&c);
}

TEST(WeakRates, TabulatedDecouplingHistory) {
    Fixture f("weak_solan");
    f.cfg.incomplete_decoupling = 1;
    f.cfg.spectral_distortions = 1;
    f.cfg.radiative_corrections = 1;
    f.cfg.finite_mass_corrections = 1;
    nvx_neutrino_history h{};
    char* err = nullptr;
    ASSERT_EQ(0, nvx_neutrino_history_init(&h, &f.cfg, nullptr, &err)) << (err ? err : "");
    f.T_MeV.clear();
    f.Tnu_MeV.clear();
    for (int i = 0; i <= 50; ++i) {
        f.T_MeV.push_back(std::pow(10.0, -3.0 + 5.0 * i / 50.0));
        f.Tnu_MeV.push_back(nvx_nu_Tnue_of_Tg(&h, f.T_MeV.back()));
    }
    nvx_weak_ctx c = f.ctx(&h);
    const double fn = nvx_compute_fn(&f.cfg);
    // Neutrinos are slightly colder than photons after annihilation: ratio -> ~(4/11)^(1/3).
    EXPECT_NEAR(nvx_weak_ctx_Tnu(&c, K_of_MeV(0.01)) / K_of_MeV(0.01), std::cbrt(4.0 / 11.0), 0.01);
    for (int s : {+1, -1}) {
        const double T = K_of_MeV(1.0);
        const double sd = nvx_weak_rate_integral(&c, NVX_WEAK_SD_CCR, T, s);
        const double ccr = nvx_weak_rate_integral(&c, NVX_WEAK_CCR, T, s);
        std::printf("tabulated distortion at 1 MeV, s=%+d: %+.3e of the CCR rate\n", s, sd / ccr);
        EXPECT_LT(std::fabs(sd / ccr), 5e-3);
        EXPECT_NE(sd, 0.0);
    }
    EXPECT_NEAR(nvx_weak_rate_term(&c, K_of_MeV(0.01), +1) / fn, 1.0, 2e-4);
    EXPECT_LT(nvx_weak_rate_term(&c, K_of_MeV(0.01), -1) / fn, 1e-17);
    nvx_weak_ctx_free(&c);
    nvx_neutrino_history_free(&h);
}

TEST(WeakRates, GreyBodyDistortionIsARescaledNeutrinoTemperature) {
    // A grey-body distortion without chemical potential is D(y) = F(y z_nu/h)/h^3 - F(y z_nu) for
    // y >= 0, odd in y. With f_h the Fermi-Dirac occupation at temperature h T_nu and theta the
    // step 1{y < 0} (the occupation of infinitely cold neutrinos), D = (f_h - theta)/h^3 - (f - theta)
    // for either sign. The distortion kinds must therefore follow from the plain kinds with hot,
    // normal and cold neutrinos: this ties the closed-form distortion moments to the Fermi-Dirac
    // occupation functions of the finite-mass terms.
    const double y_gray = 0.15, h = 1.0 + y_gray, h3 = h * h * h;
    const nvx_neutrino_history grey = analytic_history(0.0, y_gray, 0.0);
    Fixture normal("weak_grey"), hot("weak_grey_hot", h), cold("weak_grey_cold", 1e-7);
    nvx_weak_ctx c = normal.ctx(&grey), c_hot = hot.ctx(), c_cold = cold.ctx();
    const std::pair<int, int> kinds[] = {{NVX_WEAK_SD, NVX_WEAK_BORN},
                                         {NVX_WEAK_SD_CCR, NVX_WEAK_CCR},
                                         {NVX_WEAK_SDFM, NVX_WEAK_FM},
                                         {NVX_WEAK_SDFM_CCR, NVX_WEAK_FM_CCR}};
    for (double T_MeV : {0.2, 1.0, 3.0})
        for (int s : {+1, -1})
            for (const auto& [dist, plain] : kinds) {
                const double T = K_of_MeV(T_MeV);
                const double I = nvx_weak_rate_integral(&c, plain, T, s);
                const double I_hot = nvx_weak_rate_integral(&c_hot, plain, T, s);
                const double I_cold = nvx_weak_rate_integral(&c_cold, plain, T, s);
                const double want = (I_hot - I_cold) / h3 - (I - I_cold);
                const double got = nvx_weak_rate_integral(&c, dist, T, s);
                EXPECT_NEAR(got, want, 1e-9 * (std::fabs(I) + std::fabs(I_cold)))
                    << "kind " << dist << " T " << T_MeV << " MeV s " << s;
            }
    nvx_weak_ctx_free(&c);
    nvx_weak_ctx_free(&c_hot);
    nvx_weak_ctx_free(&c_cold);
}

TEST(WeakThermal, RadiativeCorrectionsKeepDetailedBalance) {
    // In full equilibrium (neutrinos at the photon temperature) the thermal radiative corrections
    // (thermal photons, the electron mass shift in the bath, the pair terms) must keep
    // Gamma(p->n) = exp(-Q/T) Gamma(n->p): their relative size is the same in both directions,
    // so they cannot move the equilibrium neutron fraction. A term whose sign or weight differs
    // between the two directions breaks the equality by its own size (1e-3 of the rate).
    Fixture f("weak_thdb");
    f.cfg.radiative_corrections = 1;
    f.cfg.vegas_n_eval = 4000;
    nvx_weak_ctx c = f.ctx();
    const double Q = nvx_constants_init()[NVX_C_m_n] - nvx_constants_init()[NVX_C_m_p];
    for (double T : {3.0, 0.3}) {
        const double np = nvx_weak_rate_integral(&c, NVX_WEAK_CCR, K_of_MeV(T), +1);
        const double pn = nvx_weak_rate_integral(&c, NVX_WEAK_CCR, K_of_MeV(T), -1);
        const double Lnp = nvx_weak_thermal_correction(&c, K_of_MeV(T), +1);
        const double Lpn = nvx_weak_thermal_correction(&c, K_of_MeV(T), -1);
        EXPECT_NEAR(pn / np / std::exp(-Q / T), 1.0, 1e-10) << "T = " << T;
        EXPECT_GT(std::fabs(Lnp / np), 3e-4) << "T = " << T;  // a correction worth testing
        EXPECT_NEAR(Lpn / pn, Lnp / np, 1e-4) << "T = " << T << " MeV";
    }
    nvx_weak_ctx_free(&c);
}
