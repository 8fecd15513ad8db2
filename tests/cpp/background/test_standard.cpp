// Standard background against physics: entropy conservation after annihilation, the neutrino
// temperature ratio, Neff with and without QED and extra species, the radiation-era time law,
// baryon density today, weak rates per second and the lookup rules at the table ends.
#include <cmath>
#include <cstring>

#include "bg_fixture.hpp"

using namespace bgtest;

namespace {

const double kFourElevenCbrt = std::cbrt(4.0 / 11.0);

TEST(StandardBackground, InstantaneousDecouplingWithoutQed) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    // lround(600 log10(40 / 0.001)) points on the default range
    EXPECT_EQ(bg.n, 2761u);
    EXPECT_EQ(bg.n_grid, 2761u);
    EXPECT_NEAR(r.Neff(), 3.0, 1e-3);

    // Far below m_e: T_nu / T = (4/11)^(1/3) and T a is constant.
    const size_t last = bg.n - 1;
    EXPECT_NEAR(bg.Tnue[last] / bg.T[last], kFourElevenCbrt, 1e-5);
    EXPECT_NEAR(bg.Tnu_avg[last] / bg.T[last], kFourElevenCbrt, 1e-5);
    const double Ta_end = bg.T[last] * bg.a[last];
    // On the sampling grid the integrated ln(aT) is flat to the integrator's tolerance; the final
    // tables add the error of linear interpolation of T ~ 1/a between grid points.
    const double lnTa_end = bg.lnT_grid[0] + bg.lna_grid[0];
    for (size_t k = 0; k < bg.n_grid; ++k) {
        if (bg.lnT_grid[k] < std::log(0.01)) {
            EXPECT_NEAR(bg.lnT_grid[k] + bg.lna_grid[k], lnTa_end, 1e-9);
        }
    }
    for (size_t l = 0; l < bg.n; ++l) {
        if (bg.T[l] < 0.01) {
            EXPECT_NEAR(bg.T[l] * bg.a[l] / Ta_end, 1.0, 1e-5) << "T=" << bg.T[l];
        }
    }
    // Before annihilation T a is larger by (11/4)^(1/3) (entropy handed to the photons).
    EXPECT_NEAR(bg.T[0] * bg.a[0] / Ta_end, kFourElevenCbrt, 2e-3);
    // Today a = 1 at T0 with s a^3 conserved: T a at the end is T0 (photons alone).
    EXPECT_NEAR(Ta_end / (g_const[NVX_C_T_CMB] / nvx_MeV_to_Kelvin()), 1.0, 1e-6);

    double rel = 0, nr = 0;
    ASSERT_EQ(nvx_bg_Omeganuh2_relnu(&bg, &rel), 0);
    ASSERT_EQ(nvx_bg_Omeganuh2_nrnu(&bg, &nr), 0);
    // T_nu0 = (4/11)^(1/3) 2.7255 K: 112 neutrinos per cm^3 and flavour, so Omega_nu h^2 =
    // m_nu / 94.08 eV; relativistic, (7/8)(4/11)^(4/3) Omega_gamma h^2 = 5.617e-6 per flavour.
    EXPECT_NEAR(1.0 / (nr * 1e-6), 94.08, 0.2);
    EXPECT_NEAR(rel / 5.617e-6, 1.0, 2e-3);
}

TEST(StandardBackground, NeffGrowsWithQedAndExtraSpecies) {
    BgRun base(instantaneous(false));
    ASSERT_TRUE(base.ok()) << base.error;
    BgRun qed(instantaneous(true));
    ASSERT_TRUE(qed.ok()) << qed.error;
    EXPECT_GT(qed.Neff(), 3.005);
    EXPECT_LT(qed.Neff(), 3.02);

    Settings s = instantaneous(false);
    s.push_back({"DeltaNeff", F(1.0)});
    BgRun extra(s);
    ASSERT_TRUE(extra.ok()) << extra.error;
    EXPECT_NEAR(extra.Neff() - base.Neff(), 1.0, 1e-3);
    // An extra relativistic species speeds the expansion up: the same T is reached earlier.
    EXPECT_LT(nvx_bg_t_of_T(&extra.bg, 0.1), nvx_bg_t_of_T(&base.bg, 0.1));
}

TEST(StandardBackground, TimeTemperatureRelation) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    const double T_hi = r.c.T_start_cosmo_MeV;
    const double H_hi = nvx_bg_Hubble(&bg, T_hi, nvx_nu_Tnue_of_Tg(&bg.history, T_hi),
                                      nvx_nu_Tnumu_of_Tg(&bg.history, T_hi),
                                      nvx_nu_Tnutau_of_Tg(&bg.history, T_hi), bg.a[0]);
    // t is integrated from T_end upwards and shifted: ~1e-10 s of rounding remains at T_hi.
    EXPECT_NEAR(bg.t[0] * 2.0 * H_hi, 1.0, 1e-6);
    EXPECT_NEAR(nvx_bg_t_of_T(&bg, T_hi) * 2.0 * H_hi, 1.0, 1e-6);
    // Well after annihilation t = 1.32 s (1 MeV / T)^2 (three neutrinos at (4/11)^(1/3) T).
    for (double T : {0.01, 0.005, 0.002})
        EXPECT_NEAR(nvx_bg_t_of_T(&bg, T) / (1.32 / (T * T)), 1.0, 0.01) << "T=" << T;
    // Time grows monotonically along the final tables.
    for (size_t l = 1; l < bg.n; ++l) ASSERT_GT(bg.t[l], bg.t[l - 1]);
    // Round trips through the lookups.
    for (double T : {20.0, 1.0, 0.07, 0.003}) {
        EXPECT_NEAR(nvx_bg_T_of_t(&bg, nvx_bg_t_of_T(&bg, T)) / T, 1.0, 1e-6);
        EXPECT_NEAR(nvx_bg_T_of_a(&bg, nvx_bg_a_of_T(&bg, T)) / T, 1.0, 1e-5);
        const double t = nvx_bg_t_of_T(&bg, T);
        EXPECT_NEAR(nvx_bg_t_of_a(&bg, nvx_bg_a_of_t(&bg, t)) / t, 1.0, 1e-6);
        EXPECT_NEAR(nvx_bg_a_of_t(&bg, t) / nvx_bg_a_of_T(&bg, T), 1.0, 1e-5);
    }
}

TEST(StandardBackground, EndRulesOfTheLookups) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    const double t_end = bg.t[bg.n - 1];
    // a(t) and t(a) hold their end values ...
    EXPECT_EQ(nvx_bg_a_of_t(&bg, 10 * t_end), bg.a[bg.n - 1]);
    EXPECT_EQ(nvx_bg_a_of_t(&bg, 0.1 * bg.t[0]), bg.a[0]);
    EXPECT_EQ(nvx_bg_t_of_a(&bg, 10 * bg.a[bg.n - 1]), t_end);
    // ... while T(t) continues its last segment.
    const double slope = (bg.T[bg.n - 1] - bg.T[bg.n - 2]) / (bg.t[bg.n - 1] - bg.t[bg.n - 2]);
    EXPECT_NEAR(nvx_bg_T_of_t(&bg, t_end + 1.0), bg.T[bg.n - 1] + slope, 1e-12);
    double e = -1, m = -1, tau = -1;
    EXPECT_EQ(nvx_bg_Tnu_of_t(&bg, &e, &m, &tau, bg.t[10]), 1);
    EXPECT_NEAR(e, bg.Tnue[10], 1e-12 * e);
}

TEST(StandardBackground, BaryonDensityTodayAndWeakRates) {
    BgRun r(instantaneous(false));
    ASSERT_TRUE(r.ok()) << r.error;
    const nvx_background& bg = r.bg;
    // rho_B a^3 is the baryon density today: Omega_b h^2 x 1.87834e-29 g cm^-3.
    const double t = nvx_bg_t_of_T(&bg, 0.05);
    const double a = nvx_bg_a_of_t(&bg, t);
    const double rhoB0 = nvx_bg_rhoB_BBN(&bg, t) * a * a * a;
    EXPECT_NEAR(rhoB0 / (nvx_config_get_Omegabh2(&r.c) * 1.87834e-29), 1.0, 0.01);

    EXPECT_DOUBLE_EQ(bg.lambda_n, 1.0 / r.c.tau_n);
    // Far below the electron mass only free neutron decay is left.
    const double T_K = 0.01 * nvx_MeV_to_Kelvin();
    EXPECT_NEAR(nvx_bg_weak_nTOp_frwrd(&bg, T_K) * r.c.tau_n, 1.0, 0.02);
    EXPECT_EQ(nvx_bg_weak_nTOp_bkwrd(&bg, T_K), 0.0);
    // At high temperature both directions approach each other and exceed the expansion rate.
    const double T_hi = 5.0 * nvx_MeV_to_Kelvin();
    EXPECT_NEAR(nvx_bg_weak_nTOp_bkwrd(&bg, T_hi) / nvx_bg_weak_nTOp_frwrd(&bg, T_hi),
                std::exp(-1.29333 / 5.0), 0.05);
}

TEST(StandardBackground, TheoreticalNeutronRate) {
    Settings s = instantaneous(false);
    s.push_back({"tau_n_normalization", B(false)});
    BgRun r(s);
    ASSERT_TRUE(r.ok()) << r.error;
    // The computed free-neutron lifetime is within a few percent of the measured 879 s.
    EXPECT_NEAR(1.0 / r.bg.lambda_n / 879.0, 1.0, 0.03);
}

TEST(StandardBackground, DarkEnergyAndExtraDensityTerms) {
    Settings s = instantaneous(false);
    s.push_back({"Omegach2", F(0.7)});
    testing::internal::CaptureStderr();
    BgRun neg(s);
    const std::string warn = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(neg.ok()) << neg.error;
    EXPECT_LT(neg.bg.rho_Lambda, 0.0);
    EXPECT_NE(warn.find("[bckg] warning: Omega_Lambda h^2 = "), std::string::npos) << warn;
    EXPECT_NE(warn.find("Cosmological constant is negative -- non-standard cosmology."),
              std::string::npos);

    BgRun base(instantaneous(false));
    ASSERT_TRUE(base.ok());
    EXPECT_EQ(base.bg.has_ede, 0);
    EXPECT_EQ(base.bg.has_extra_rho, 0);
    EXPECT_EQ(base.bg.has_matter_lambda, 1);

    // A constant extra density adds exactly that much to H^2.
    BgRun extra(instantaneous(false), nullptr, false);
    ASSERT_TRUE(extra.ok()) << extra.error;
    const double rho_x = 1e-3;
    const size_t n = 5;
    extra.c.extra_rho_T = static_cast<double*>(std::malloc(n * sizeof(double)));
    extra.c.extra_rho_val = static_cast<double*>(std::malloc(n * sizeof(double)));
    extra.c.extra_rho_n = n;
    for (size_t i = 0; i < n; ++i) {
        extra.c.extra_rho_T[i] = std::pow(10.0, -3.0 + i);
        extra.c.extra_rho_val[i] = rho_x;
    }
    extra.build();
    ASSERT_TRUE(extra.ok()) << extra.error;
    EXPECT_EQ(extra.bg.has_extra_rho, 1);
    const double T = 0.5, Tn = 0.45, a = 1e-9;
    const double H0 = nvx_bg_Hubble(&base.bg, T, Tn, Tn, Tn, a);
    const double H1 = nvx_bg_Hubble(&extra.bg, T, Tn, Tn, Tn, a);
    const double conv = nvx_MeV_to_secm1();
    EXPECT_NEAR((H1 * H1 - H0 * H0) / (conv * conv) * 3.0 / (8 * M_PI * extra.c.G) / rho_x, 1.0,
                1e-9);
}

// The host's table must be a function of temperature: unordered or non-positive temperatures
// and non-finite densities are refused by name instead of turning every H into NaN.
TEST(StandardBackground, ExtraDensityTableIsChecked) {
    struct Case {
        std::vector<double> T, val;
        const char* key;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {{1e-3, 1e-1, 1e-2, 1.0}, {1, 1, 1, 1}, "extra_rho_T[2]"},
        {{1e-3, 1e-2, 1e-2, 1.0}, {1, 1, 1, 1}, "extra_rho_T[2]"},
        {{0.0, 1e-2, 1e-1, 1.0}, {1, 1, 1, 1}, "extra_rho_T[0]"},
        {{1e-3, 1e-2, 1e-1, 1.0}, {1, nan, 1, 1}, "extra_rho_val[1]"},
    };
    for (const Case& k : cases) {
        BgRun r(instantaneous(false), nullptr, false);
        ASSERT_TRUE(r.ok()) << r.error;
        const size_t n = k.T.size();
        r.c.extra_rho_T = static_cast<double*>(std::malloc(n * sizeof(double)));
        r.c.extra_rho_val = static_cast<double*>(std::malloc(n * sizeof(double)));
        r.c.extra_rho_n = n;
        for (size_t i = 0; i < n; ++i) {
            r.c.extra_rho_T[i] = k.T[i];
            r.c.extra_rho_val[i] = k.val[i];
        }
        r.build();
        EXPECT_NE(r.error.find(k.key), std::string::npos) << r.error;
        EXPECT_EQ(r.bg.ready, 0);
        EXPECT_EQ(r.bg.has_extra_rho, 0);
    }
}

TEST(StandardBackground, EarlyDarkEnergy) {
    Settings s = instantaneous(false);
    s.push_back({"fEDE", F(0.1)});
    s.push_back({"zcEDE", F(1e9)});
    BgRun r(s);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.bg.has_ede, 1);
    EXPECT_DOUBLE_EQ(r.bg.ede_power, 6.0);
    BgRun base(instantaneous(false));
    // The extra fluid speeds up the expansion, most around the switch at z_c.
    EXPECT_LT(nvx_bg_t_of_T(&r.bg, 0.01), nvx_bg_t_of_T(&base.bg, 0.01));

    Settings bad = instantaneous(false);
    bad.push_back({"fEDE", F(0.1)});
    bad.push_back({"wnEDE", F(1.0 / 3.0)});
    BgRun w(bad);
    EXPECT_NE(w.error.find("wnEDE"), std::string::npos) << w.error;
    EXPECT_EQ(w.bg.ready, 0);
}

TEST(StandardBackground, SmallGridsAndFailures) {
    Settings s = instantaneous(false);
    s.push_back({"T_end_MeV", F(5.0)});
    Settings coarse = s;
    coarse.push_back({"sampling_temperature_per_decade", I(1)});
    EXPECT_EQ(BgRun(coarse).error, "sampling_temperature_per_decade=1 is out of range: must lie in [100, 100000]");
    // the background itself still copes with the smallest grid (validation keeps users away from it)
    BgRun r(s, nullptr, false);
    r.c.sampling_temperature_per_decade = 1;
    r.build();
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.bg.n, 2u);
    EXPECT_NEAR(nvx_bg_T_of_t(&r.bg, r.bg.t[1]), 5.0, 1e-12);

    Settings rev = instantaneous(false);
    rev.push_back({"T_end_MeV", F(50.0)});
    BgRun bad(rev);
    EXPECT_NE(bad.error.find("T_start_cosmo_MeV"), std::string::npos) << bad.error;
    nvx_background_free(&bad.bg);  // freeing twice is harmless
}

// The shipped decoupling tables: standard Neff values with and without QED corrections.
TEST(StandardBackground, DecouplingTablesGiveStandardNeff) {
    BgRun qed({{"QED_corrections", B(true)}, {"spectral_distortions", B(false)}});
    ASSERT_TRUE(qed.ok()) << qed.error;
    EXPECT_NEAR(qed.Neff(), 3.044, 0.002);
    BgRun noqed({{"QED_corrections", B(false)}, {"spectral_distortions", B(false)}});
    ASSERT_TRUE(noqed.ok()) << noqed.error;
    EXPECT_NEAR(noqed.Neff(), 3.034, 0.003);
    // The heated neutrinos end above the instantaneous (4/11)^(1/3) T.
    const size_t l = qed.bg.n - 1;
    EXPECT_GT(qed.bg.Tnue[l] / qed.bg.T[l], kFourElevenCbrt);
}

TEST(StandardBackground, ExternalScaleFactorAgreesWithIntegration) {
    Settings s = {{"spectral_distortions", B(false)}};
    BgRun integ(s);
    ASSERT_TRUE(integ.ok()) << integ.error;
    s.push_back({"external_scale_factor", B(true)});
    BgRun ext(s);
    ASSERT_TRUE(ext.ok()) << ext.error;
    for (double T : {10.0, 1.0, 0.1, 0.01}) {
        EXPECT_NEAR(nvx_bg_a_of_T(&ext.bg, T) / nvx_bg_a_of_T(&integ.bg, T), 1.0, 2e-3) << T;
        EXPECT_NEAR(nvx_bg_t_of_T(&ext.bg, T) / nvx_bg_t_of_T(&integ.bg, T), 1.0, 2e-3) << T;
    }
    const double T_hi = ext.c.T_start_cosmo_MeV;
    const double H = nvx_bg_Hubble(&ext.bg, T_hi, nvx_nu_Tnue_of_Tg(&ext.bg.history, T_hi),
                                   nvx_nu_Tnumu_of_Tg(&ext.bg.history, T_hi),
                                   nvx_nu_Tnutau_of_Tg(&ext.bg.history, T_hi), ext.bg.a[0]);
    EXPECT_NEAR(ext.bg.t[0] * 2 * H, 1.0, 1e-6);
}

}  // namespace
