// The parameter-to-stage table of solver sessions: for every key, the kept stages that read it
// when they are built. A key read only while a run integrates (tolerances, outputs, rate
// variations, the neutron lifetime) maps to no stage and never costs a rebuild.
#include "run/stage_table.hpp"

#include <cstring>

#include "config/field_table.hpp"

namespace nvx::session {

namespace {
constexpr unsigned P = kStagePlasma, H = kStageHistory, W = kStageWeak, N = kStageNetwork,
                   B = kStageBackground, none = kStageNone;
}  // namespace

// Stages that read each parameter while they are built. The history and everything built on it
// also follow the plasma (instantaneous decoupling reads the plasma entropy), the background and
// the weak rates follow the history, and computed weak rates the background's grid; sessions add
// these dependencies themselves.
const KeyStages KEY_STAGES[] = {
    {"verbose", none, false},
    {"show_progress", none, false},
    {"debug", none, false},
    {"numerical_precision", none, false},
    {"numba_installed", none, false},
    {"strict_params", none, false},
    {"incomplete_decoupling", H | W | B, false},
    {"QED_corrections", P | H | W, false},
    {"n_electron_table", P, false},
    {"recompute_electron_thermo", P, false},
    {"recompute_qed_corrections", P, false},
    {"spectral_distortions", H | W, false},
    {"analytic_distortions", H | W, false},
    {"y_SZ", H | W, false},
    {"y_gray", H | W, false},
    {"solan_file", H | W, false},
    {"solan_spectral_file", H | W, false},
    {"solan_grid_file", H | W, false},
    {"solan_file_prefix", H | W, false},
    {"external_scale_factor", B, false},
    {"custom_background", W | B, false},  // the custom table also sets the weak-rate grid
    {"T_start_cosmo_MeV", P | W | B, false},
    {"T_end_MeV", W | B, false},
    {"sampling_temperature_per_decade", B, false},
    {"radiative_corrections", W, false},
    {"finite_mass_corrections", W, false},
    {"thermal_corrections", W, false},
    {"weak_rate_cache", W, false},
    {"save_nTOp", W, false},
    {"sampling_nTOp_per_decade", W, false},
    {"save_nTOp_thermal", W, false},
    {"sampling_nTOp_thermal_per_decade", W, false},
    {"tau_n_normalization", none, false},  // the decay normalisation is set per run
    {"tau_n", none, false},
    {"std_tau_n", none, false},
    {"vegas_n_eval", W, false},
    {"vegas_n_itn", W, false},
    {"epsrel_thermal", W, false},  // part of what identifies a thermal-correction cache
    {"output_time_evolution", none, false},
    {"output_rates_time_evolution", none, false},
    {"output_n_points", none, false},
    {"output_file", none, false},
    {"output_final_result", none, false},
    {"output_final_file", none, false},
    {"output_background_evolution", none, false},
    {"output_background_file", none, false},
    {"output_mc_samples", none, false},
    {"output_mc_covariance", none, false},
    {"output_mc_correlation", none, false},
    {"output_mc_file_prefix", none, false},
    {"rate_grid_npts", N, false},
    {"rate_grid_T9_min", N, false},
    {"rate_grid_T9_max", N, false},
    {"network", N, false},
    {"rate_set", N, false},
    {"amax", N, false},
    {"atol_large_LT", none, false},
    {"rescale_nuclear_rates", none, false},
    {"mc_rate_rescale_cap", none, false},  // rate variations are applied per run
    {"nuclear_qed_corrections", N, false},
    {"user_nuclear_dir", N, false},
    {"cache_dir", P | W, false},
    {"Omegach2", B, false},
    {"h", B, true},
    {"DeltaNeff", B, false},
    {"munuOverTnu", H | W | B, false},
    {"munuOverTnu_e", H | W | B, false},
    {"munuOverTnu_mu", B, false},
    {"munuOverTnu_tau", B, false},
    {"decay_reverse_rates", N, false},
    {"decay_era", none, false},
    {"t_decay_end", none, false},
    {"decay_n_points", none, false},
    {"output_decay_evolution", none, false},
    {"output_decay_file", none, false},
    {"fEDE", B, false},
    {"zcEDE", B, false},
    {"wnEDE", B, false},
    // the relic reshapes the decoupling history, hence the neutrino temperatures of the weak rates
    {"relic_mass_MeV", H | W | B, false},
    {"relic_g", H | W | B, false},
    {"relic_spin", H | W | B, false},
    {"relic_couples_to", H | W | B, false},
    {"Omegabh2", B, true},  // the cosmological constant; the baryon density is read per run
    {"GN", B, false},
    {"p_", none, false},
    {"delta_", none, false},
};

const size_t KEY_STAGES_SIZE = sizeof(KEY_STAGES) / sizeof(KEY_STAGES[0]);

const KeyStages* key_stages(const char* key) {
    if (!key) return nullptr;
    for (size_t i = 0; i < KEY_STAGES_SIZE; ++i) {
        const char* k = KEY_STAGES[i].key;
        const size_t n = std::strlen(k);
        const bool prefix = k[n - 1] == '_';
        if (prefix ? std::strncmp(key, k, n) == 0 : std::strcmp(key, k) == 0) return &KEY_STAGES[i];
    }
    return nullptr;
}

namespace {

// equal values (-0.0 is 0.0: the same physics) or the same bits (a NaN meaning None is itself)
bool same_double(double a, double b) { return a == b || std::memcmp(&a, &b, sizeof a) == 0; }

bool same_text(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

bool same_field(const NVXConfig& a, const NVXConfig& b, const FieldSpec& f) {
    const char* pa = reinterpret_cast<const char*>(&a) + f.offset;
    const char* pb = reinterpret_cast<const char*>(&b) + f.offset;
    switch (f.kind) {
        case FieldKind::Bool:
            return (*reinterpret_cast<const int32_t*>(pa) != 0) == (*reinterpret_cast<const int32_t*>(pb) != 0);
        case FieldKind::Int:
        case FieldKind::IntOrNone:
            return *reinterpret_cast<const int32_t*>(pa) == *reinterpret_cast<const int32_t*>(pb);
        case FieldKind::Number:
        case FieldKind::NumberOrNoneZero:
        case FieldKind::NumberOrNoneNaN:
            return same_double(*reinterpret_cast<const double*>(pa), *reinterpret_cast<const double*>(pb));
        case FieldKind::StringOrNone:
            return same_text(*reinterpret_cast<char* const*>(pa), *reinterpret_cast<char* const*>(pb));
    }
    return false;
}

bool same_extra_rho(const NVXConfig& a, const NVXConfig& b) {
    if (a.extra_rho_n != b.extra_rho_n) return false;
    const size_t n = a.extra_rho_n;
    if (n == 0) return true;
    if (!a.extra_rho_T || !b.extra_rho_T || !a.extra_rho_val || !b.extra_rho_val)
        return a.extra_rho_T == b.extra_rho_T && a.extra_rho_val == b.extra_rho_val;
    return std::memcmp(a.extra_rho_T, b.extra_rho_T, n * sizeof(double)) == 0 &&
           std::memcmp(a.extra_rho_val, b.extra_rho_val, n * sizeof(double)) == 0;
}

void note(unsigned stages, bool lambda_only, unsigned& changed, bool& only_lambda) {
    changed |= stages;
    if ((stages & kStageBackground) && !lambda_only) only_lambda = false;
}

}  // namespace

unsigned changed_stages(const NVXConfig& a, const NVXConfig& b, bool* only_lambda_out) {
    unsigned changed = 0;
    bool only_lambda = true;
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i) {
        const FieldSpec& f = FIELD_TABLE[i];
        if (same_field(a, b, f)) continue;
        const KeyStages* row = key_stages(f.key);
        // a key missing from the table is a programming error: treat it as touching everything
        if (!row) note(kStageAll, false, changed, only_lambda);
        else note(row->stages, row->lambda_only, changed, only_lambda);
    }
    if (!same_double(a.Omegabh2, b.Omegabh2)) note(key_stages("Omegabh2")->stages, true, changed, only_lambda);
    if (!same_double(a.G, b.G)) note(key_stages("GN")->stages, false, changed, only_lambda);
    if (!same_extra_rho(a, b)) note(kStageBackground, false, changed, only_lambda);
    if (std::strcmp(a.data_dir, b.data_dir) != 0) note(kStageAll, false, changed, only_lambda);
    if (only_lambda_out) *only_lambda_out = only_lambda;
    return changed;
}

}  // namespace nvx::session
