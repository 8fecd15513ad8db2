// The 82 parameter keys with their kinds, defaults and field offsets, in the order users see them.
// Defaults here are the only place a parameter's default value is written down.
#include "config/field_table.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace nvx {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

#define NVX_F(key, kind, def) {#key, FieldKind::kind, offsetof(NVXConfig, key), def, nullptr, false}
#define NVX_S(key, def, path) {#key, FieldKind::StringOrNone, offsetof(NVXConfig, key), 0.0, def, path}

const FieldSpec FIELD_TABLE[] = {
    NVX_F(verbose, Bool, 0),
    NVX_F(show_progress, Bool, 1),
    NVX_F(debug, Bool, 0),
    NVX_F(numerical_precision, Number, 1e-7),
    NVX_F(numba_installed, Bool, 1),
    NVX_F(strict_params, Bool, 0),
    NVX_F(incomplete_decoupling, Bool, 1),
    NVX_F(QED_corrections, Bool, 1),
    NVX_F(n_electron_table, Int, 2000),
    NVX_F(recompute_electron_thermo, Bool, 0),
    NVX_F(recompute_qed_corrections, Bool, 0),
    NVX_F(spectral_distortions, Bool, 1),
    NVX_F(analytic_distortions, Bool, 0),
    NVX_F(y_SZ, Number, 0),
    NVX_F(y_gray, Number, 0),
    NVX_S(solan_file, nullptr, true),
    NVX_S(solan_spectral_file, nullptr, true),
    NVX_S(solan_grid_file, nullptr, true),
    NVX_S(solan_file_prefix, "SOLANNUVEX", false),
    NVX_F(external_scale_factor, Bool, 0),
    NVX_S(custom_background, nullptr, true),
    NVX_F(T_start_cosmo_MeV, Number, 40),
    NVX_F(T_end_MeV, Number, 0.001),
    NVX_F(sampling_temperature_per_decade, Int, 600),
    NVX_F(radiative_corrections, Bool, 1),
    NVX_F(finite_mass_corrections, Bool, 1),
    NVX_F(thermal_corrections, Bool, 1),
    NVX_F(weak_rate_cache, Bool, 1),
    NVX_F(save_nTOp, Bool, 1),
    NVX_F(sampling_nTOp_per_decade, Int, 80),
    NVX_F(save_nTOp_thermal, Bool, 1),
    NVX_F(sampling_nTOp_thermal_per_decade, Int, 20),
    NVX_F(tau_n_normalization, Bool, 1),
    NVX_F(tau_n, Number, 878.4),
    NVX_F(std_tau_n, Number, 0.5),
    NVX_F(vegas_n_eval, Int, 20000),
    NVX_F(vegas_n_itn, Int, 20),
    NVX_F(epsrel_thermal, Number, 0.01),
    NVX_F(output_time_evolution, Bool, 0),
    NVX_F(output_rates_time_evolution, Bool, 0),
    NVX_F(output_n_points, Int, 500),
    NVX_S(output_file, "results/output_tables.tsv", true),
    NVX_F(output_final_result, Bool, 0),
    NVX_S(output_final_file, "results/output_final.dat", true),
    NVX_F(output_background_evolution, Bool, 0),
    NVX_S(output_background_file, "results/output_background.tsv", true),
    NVX_F(output_mc_samples, Bool, 0),
    NVX_F(output_mc_covariance, Bool, 0),
    NVX_F(output_mc_correlation, Bool, 0),
    NVX_S(output_mc_file_prefix, "results/output_mc", true),
    NVX_F(rate_grid_npts, Int, 1000),
    NVX_F(rate_grid_T9_min, Number, 0.001),
    NVX_F(rate_grid_T9_max, Number, 10),
    NVX_S(network, "small", false),
    NVX_S(rate_set, "nuvex", false),
    NVX_F(amax, IntOrNone, -1),
    NVX_F(atol_large_LT, Number, 1e-26),
    NVX_F(rescale_nuclear_rates, Bool, 0),
    NVX_F(mc_rate_rescale_cap, NumberOrNoneZero, 30),
    NVX_F(nuclear_qed_corrections, Bool, 1),
    NVX_S(user_nuclear_dir, nullptr, true),
    NVX_S(cache_dir, nullptr, true),
    NVX_F(Omegach2, Number, 0.11933),
    NVX_F(h, Number, 0.6766),
    NVX_F(DeltaNeff, Number, 0),
    NVX_F(munuOverTnu, Number, 0),
    NVX_F(munuOverTnu_e, NumberOrNoneNaN, kNaN),
    NVX_F(munuOverTnu_mu, NumberOrNoneNaN, kNaN),
    NVX_F(munuOverTnu_tau, NumberOrNoneNaN, kNaN),
    NVX_F(decay_reverse_rates, Bool, 0),
    NVX_F(decay_era, Bool, 0),
    NVX_F(t_decay_end, Number, 3.156e16),
    NVX_F(decay_n_points, Int, 200),
    NVX_F(output_decay_evolution, Bool, 0),
    NVX_S(output_decay_file, "results/output_decay_evolution.tsv", true),
    NVX_F(fEDE, Number, 0),
    NVX_F(zcEDE, Number, 1e8),
    NVX_F(wnEDE, Number, 1),
    NVX_F(relic_mass_MeV, NumberOrNoneNaN, kNaN),
    NVX_F(relic_g, Number, 1),
    NVX_S(relic_spin, "boson", false),
    NVX_S(relic_couples_to, "electrons", false),
};

#undef NVX_F
#undef NVX_S

const size_t FIELD_TABLE_SIZE = sizeof(FIELD_TABLE) / sizeof(FIELD_TABLE[0]);
static_assert(sizeof(FIELD_TABLE) / sizeof(FIELD_TABLE[0]) == 82, "82 parameter keys");

const FieldSpec* find_field(const char* key) {
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i)
        if (std::strcmp(FIELD_TABLE[i].key, key) == 0) return &FIELD_TABLE[i];
    return nullptr;
}

}  // namespace nvx
