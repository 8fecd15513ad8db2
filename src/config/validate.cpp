// Whole-record validation with one message per violated rule, path resolution for nuclear data
// and caches, and release of everything the parameter record owns.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "config/field_table.hpp"
#include "config/file_inputs.hpp"
#include "config/inert.hpp"
#include "config/rate_set.hpp"
#include "config/user_dirs.hpp"
#include "nuvex/config.h"

namespace nvx {
namespace {

bool exists(const char* path) {
    nvx::inputs::probe(path);
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool has_text(const char* s) { return s && *s; }

struct PositiveRule {
    const char* name;
    double value;
};

int check_positive_numbers(const NVXConfig* c, char** err) {
    const PositiveRule rules[] = {
        {"Omegabh2", c->Omegabh2},
        {"GN", nvx_config_get_GN(c)},
        {"numerical_precision", c->numerical_precision},
        {"T_start_cosmo_MeV", c->T_start_cosmo_MeV},
        {"T_end_MeV", c->T_end_MeV},
        {"tau_n", c->tau_n},
        {"Omegach2", c->Omegach2},
        {"h", c->h},
        {"atol_large_LT", c->atol_large_LT},
        {"epsrel_thermal", c->epsrel_thermal},
        {"t_decay_end", c->t_decay_end},
        {"zcEDE", c->zcEDE},
        {"rate_grid_T9_min", c->rate_grid_T9_min},
        {"rate_grid_T9_max", c->rate_grid_T9_max},
    };
    for (const auto& r : rules)
        if (!(r.value > 0)) return fail(err, "%s=%.6g is out of range: must be > 0", r.name, r.value);
    return 0;
}

int check_positive_ints(const NVXConfig* c, char** err) {
    const struct {
        const char* name;
        int32_t value;
    } rules[] = {
        {"n_electron_table", c->n_electron_table},
        {"sampling_temperature_per_decade", c->sampling_temperature_per_decade},
        {"sampling_nTOp_per_decade", c->sampling_nTOp_per_decade},
        {"sampling_nTOp_thermal_per_decade", c->sampling_nTOp_thermal_per_decade},
        {"vegas_n_eval", c->vegas_n_eval},
        {"vegas_n_itn", c->vegas_n_itn},
        {"output_n_points", c->output_n_points},
        {"rate_grid_npts", c->rate_grid_npts},
        {"decay_n_points", c->decay_n_points},
    };
    for (const auto& r : rules)
        if (r.value < 1)
            return fail(err, "%s=%d is out of range: must be a positive integer (>= 1)", r.name, r.value);
    return 0;
}

// Ranges beyond the sign rules: values outside them cannot give a meaningful run (measured on the
// default configuration: a loose tolerance or a coarse grid moves Yp by 1e-3 to 1e-1 without any
// sign of failure; a huge count asks for gigabytes before anything is computed).
int check_tolerances(const NVXConfig* c, char** err) {
    const struct {
        const char* name;
        double value, max;
    } rules[] = {
        {"numerical_precision", c->numerical_precision, 1e-2},
        {"atol_large_LT", c->atol_large_LT, 1e-10},
        {"epsrel_thermal", c->epsrel_thermal, 0.1},
    };
    for (const auto& r : rules)
        if (!(r.value <= r.max))
            return fail(err, "%s=%.6g is out of range: must lie in (0, %g]", r.name, r.value, r.max);
    return 0;
}

int check_int_ranges(const NVXConfig* c, char** err) {
    const struct {
        const char* name;
        int32_t value, lo, hi;
    } rules[] = {
        {"n_electron_table", c->n_electron_table, 100, 1000000},
        {"sampling_temperature_per_decade", c->sampling_temperature_per_decade, 100, 100000},
        {"sampling_nTOp_per_decade", c->sampling_nTOp_per_decade, 10, 100000},
        {"sampling_nTOp_thermal_per_decade", c->sampling_nTOp_thermal_per_decade, 1, 10000},
        {"vegas_n_eval", c->vegas_n_eval, 1, 100000000},
        {"vegas_n_itn", c->vegas_n_itn, 1, 10000},
        {"output_n_points", c->output_n_points, 1, 10000000},
        {"rate_grid_npts", c->rate_grid_npts, 100, 1000000},
        {"decay_n_points", c->decay_n_points, 1, 10000000},
    };
    for (const auto& r : rules)
        if (r.value < r.lo || r.value > r.hi)
            return fail(err, "%s=%d is out of range: must lie in [%d, %d]", r.name, r.value, r.lo, r.hi);
    return 0;
}

int check_orderings(const NVXConfig* c, char** err) {
    if (!(c->T_end_MeV < c->T_start_cosmo_MeV))
        return fail(err, "T_end_MeV=%.6g is out of range: must be below T_start_cosmo_MeV=%.6g", c->T_end_MeV,
                    c->T_start_cosmo_MeV);
    if (!(c->rate_grid_T9_min < c->rate_grid_T9_max))
        return fail(err, "rate_grid_T9_min=%.6g is out of range: must be below rate_grid_T9_max=%.6g",
                    c->rate_grid_T9_min, c->rate_grid_T9_max);
    // a Monte Carlo draw of the lifetime must stay positive: five standard deviations of room
    if (!(c->std_tau_n <= 0.2 * c->tau_n))
        return fail(err, "std_tau_n=%.6g is out of range: must lie in [0, %.6g] (a fifth of tau_n, so that no "
                         "sampled lifetime is negative)", c->std_tau_n, 0.2 * c->tau_n);
    // carried for the host package but acted on by no stage: refused rather than silently ignored
    if (c->rescale_nuclear_rates)
        return fail(err, "rescale_nuclear_rates=True is not supported: rate variations are set with the p_<reaction> "
                         "and delta_<reaction> keys");
    return 0;
}

// Ranges of the physics, checked before any stage is built: outside them a run either computes a
// universe that cannot exist or drives an integrator into a failure that names nothing.
int check_physical_ranges(const NVXConfig* c, char** err) {
    // N_eff today is the standard 3.044 plus DeltaNeff extra flavours; N_eff = 0 (no neutrino
    // radiation at all) is the lowest meaningful value, below it the radiation density is negative.
    // A grid value such as 0 - 3.044 may land a rounding step below: 1e-9 of room.
    constexpr double kNeffStandard = 3.044;
    if (!(kNeffStandard + c->DeltaNeff >= -1e-9))
        return fail(err, "DeltaNeff=%.6g is out of range: N_eff = %g + DeltaNeff = %.6g must be >= 0 (a negative "
                         "neutrino radiation density)", c->DeltaNeff, kNeffStandard, kNeffStandard + c->DeltaNeff);
    // every run reports the helium-4 abundance (Yp): the network must reach mass number 4
    if (c->amax > 0 && c->amax < 4)
        return fail(err, "amax=%d is out of range: must be None or >= 4 (the network must hold helium-4, whose "
                         "abundance Yp every run reports)", c->amax);
    // The weak-rate integrals follow electron energies up to 30 T: a neutrino Fermi sea filled up to
    // |mu| = 10 T keeps its edge and a tail of e^-10 inside that range at every temperature of the
    // run (the n-p mass difference added); beyond it the rates would be cut without a word.
    const struct {
        const char* name;
        double value;
    } degeneracies[] = {{"munuOverTnu", c->munuOverTnu},
                        {"munuOverTnu_e", c->munuOverTnu_e},
                        {"munuOverTnu_mu", c->munuOverTnu_mu},
                        {"munuOverTnu_tau", c->munuOverTnu_tau}};
    for (const auto& d : degeneracies)
        if (!std::isnan(d.value) && !(std::fabs(d.value) <= 10.0))
            return fail(err, "%s=%.6g is out of range: |mu/T| must be <= 10 (the weak-rate integrals cover "
                             "electron energies up to 30 T)", d.name, d.value);
    // The run treats an ionised plasma in the radiation era: matter-radiation equality (z_eq = 3402,
    // T = 0.80 eV) and recombination (z_* = 1090, T = 0.26 eV; Planck 2018 VI, A&A 641 (2020) A6) lie
    // below 1 eV, and every nuclear abundance is frozen long before. An end at 1e-7 MeV built its
    // own weak-rate tables (the end temperature is part of their fingerprint), then failed in the
    // integrator with a step-size underflow.
    if (!(c->T_end_MeV >= 1e-6))
        return fail(err, "T_end_MeV=%.6g is out of range: must be >= 1e-06 MeV (1 eV: below it the plasma "
                         "recombines and matter dominates, outside what the run computes)", c->T_end_MeV);
    // the decay era follows the decays of the large network only: asked for on another network it
    // would write nothing and report success
    if (c->decay_era && c->output_decay_evolution && !nvx_config_is_large(c))
        return fail(err, "decay_era=True with output_decay_evolution=True needs network='large' (the decay era "
                         "follows the decays of the large network; network='%s')", c->network ? c->network : "None");
    return 0;
}

// Infinite values pass the sign rules but turn every later stage into nonsense (an infinite
// lifetime, an endless decay era): refuse them for every plain number key.
int check_finite_numbers(const NVXConfig* c, char** err) {
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i) {
        const FieldSpec& f = FIELD_TABLE[i];
        if (f.kind != FieldKind::Number && f.kind != FieldKind::NumberOrNoneZero &&
            f.kind != FieldKind::NumberOrNoneNaN)
            continue;
        double v = *reinterpret_cast<const double*>(reinterpret_cast<const char*>(c) + f.offset);
        if (std::isinf(v) || (std::isnan(v) && f.kind != FieldKind::NumberOrNoneNaN))
            return fail(err, "%s=%.6g is out of range: must be finite", f.key, v);
    }
    if (!std::isfinite(c->Omegabh2)) return fail(err, "Omegabh2=%.6g is out of range: must be finite", c->Omegabh2);
    if (!std::isfinite(c->G)) return fail(err, "GN=%.6g is out of range: must be finite", nvx_config_get_GN(c));
    // a non-finite rate variation ends in an integrator failure that names nothing
    const struct {
        const char* prefix;
        const NVXRxnMap& map;
    } maps[] = {{"p_", c->p_map}, {"delta_", c->delta_map}};
    for (const auto& m : maps)
        for (size_t i = 0; i < m.map.count; ++i)
            if (!std::isfinite(m.map.entries[i].value))
                return fail(err, "%s%s=%.6g is out of range: must be finite", m.prefix, m.map.entries[i].name,
                            m.map.entries[i].value);
    return 0;
}

bool one_of(const char* s, const char* a, const char* b) {
    return s && (std::strcmp(s, a) == 0 || std::strcmp(s, b) == 0);
}

// A thermal relic: its mass switches it on; the other keys must describe a species the
// thermodynamics knows (zero chemical potential, one of the two statistics and sectors).
int check_relic(const NVXConfig* c, char** err) {
    if (!one_of(c->relic_spin, "boson", "fermion"))
        return fail(err, "relic_spin=%s is not accepted: must be \"boson\" or \"fermion\"",
                    c->relic_spin ? c->relic_spin : "None");
    if (!one_of(c->relic_couples_to, "electrons", "neutrinos"))
        return fail(err, "relic_couples_to=%s is not accepted: must be \"electrons\" or \"neutrinos\"",
                    c->relic_couples_to ? c->relic_couples_to : "None");
    if (!(c->relic_g > 0 && c->relic_g <= 1000))
        return fail(err, "relic_g=%.6g is out of range: must lie in (0, 1000] (internal degrees of freedom)",
                    c->relic_g);
    if (std::isnan(c->relic_mass_MeV)) return 0;
    if (!(c->relic_mass_MeV > 0 && c->relic_mass_MeV <= 1e6))
        return fail(err, "relic_mass_MeV=%.6g is out of range: must lie in (0, 1e6] MeV (None: no relic)",
                    c->relic_mass_MeV);
    if (!c->incomplete_decoupling)
        return fail(err, "relic_mass_MeV requires incomplete_decoupling=True: the neutrino decoupling with a relic "
                         "is computed (energy-transfer method), not instantaneous");
    if (has_text(c->custom_background))
        return fail(err, "relic_mass_MeV cannot be combined with custom_background: the relic changes the "
                         "expansion history that the custom table fixes");
    return 0;
}

void write_path(char* out, size_t size, const char* path) {
    if (out && size) copy_name(out, size, path);
}

}  // namespace
}  // namespace nvx

using namespace nvx;

extern "C" {

int nvx_config_validate(NVXConfig* c, char** err) {
    if (has_text(c->custom_background)) {
        if (c->external_scale_factor)
            return fail(err, "custom_background and external_scale_factor are mutually exclusive");
        c->incomplete_decoupling = 0;
        c->spectral_distortions = 0;
    }
    if (!(c->amax == -1 || c->amax > 0)) return fail(err, "amax must be None (-1) or a positive integer");
    if (check_positive_numbers(c, err)) return 1;
    if (!(c->mc_rate_rescale_cap >= 0))
        return fail(err, "mc_rate_rescale_cap=%.6g is out of range: must be > 0 or None", c->mc_rate_rescale_cap);
    if (!(c->std_tau_n >= 0)) return fail(err, "std_tau_n=%.6g is out of range: must be >= 0", c->std_tau_n);
    if (check_positive_ints(c, err)) return 1;
    if (!(c->fEDE >= 0 && c->fEDE < 1))
        return fail(err, "fEDE=%.6g is out of range: must satisfy 0 <= fEDE < 1", c->fEDE);
    if (c->external_scale_factor && !c->incomplete_decoupling)
        return fail(err, "external_scale_factor=True requires incomplete_decoupling=True");
    if (c->spectral_distortions && c->analytic_distortions && c->incomplete_decoupling)
        return fail(err,
                    "spectral_distortions=True with analytic_distortions=True requires instantaneous "
                    "decoupling (incomplete_decoupling=False).");
    if (c->spectral_distortions && !c->analytic_distortions && !c->incomplete_decoupling)
        return fail(err,
                    "spectral_distortions=True with analytic_distortions=False requires "
                    "incomplete_decoupling=True (the full SOLAN spectrum file is only available in the "
                    "non-instantaneous decoupling mode).");
    if (check_finite_numbers(c, err) || check_tolerances(c, err) || check_int_ranges(c, err)) return 1;
    if (check_relic(c, err) || check_orderings(c, err) || check_physical_ranges(c, err) || check_rate_set(c, err))
        return 1;
    // a setting that changes nothing is a warning of the run, an error under strict_params
    if (c->strict_params) {
        const std::string inert = inert_settings(c);
        if (!inert.empty())
            return fail(err, "strict_params: settings without effect in this configuration: %s", inert.c_str());
    }
    return 0;
}

void nvx_config_resolve_rates_path(const NVXConfig* c, const char* relative, char* out, size_t size) {
    char cand[4200];
    if (has_text(c->user_nuclear_dir)) {
        if (std::strncmp(relative, "nuclear/", 8) == 0) {
            std::snprintf(cand, sizeof cand, "%s/%s", c->user_nuclear_dir, relative + 8);
            if (exists(cand)) return write_path(out, size, cand);
        }
        std::snprintf(cand, sizeof cand, "%s/%s", c->user_nuclear_dir, relative);
        if (exists(cand)) return write_path(out, size, cand);
    }
    std::snprintf(cand, sizeof cand, "%s/%s", c->data_dir, relative);
    write_path(out, size, cand);
}

// Caches live in cache_dir, else in the per-user cache directory; never in the data directory, whose
// files are shipped data (caches that older versions wrote there are ignored, not deleted).
void nvx_config_cache_write_dir(const NVXConfig* c, const char* subdir, char* out, size_t size) {
    const std::string root = has_text(c->cache_dir) ? std::string(c->cache_dir) : user_cache_root();
    write_path(out, size, root.empty() ? "" : (root + "/" + subdir).c_str());
}

int nvx_config_user_cache_dir(char* out, size_t size) {
    const std::string root = user_cache_root();
    write_path(out, size, root.c_str());
    return root.empty() ? 1 : 0;
}

void nvx_config_resolve_cache_file(const NVXConfig* c, const char* subdir, const char* file, char* out,
                                   size_t size) {
    char dir[4608];
    nvx_config_cache_write_dir(c, subdir, dir, sizeof dir);
    write_path(out, size, dir[0] ? (std::string(dir) + "/" + file).c_str() : "");
}

void nvx_config_resolve_shipped_file(const NVXConfig* c, const char* subdir, const char* file, char* out,
                                     size_t size) {
    char cand[4608];
    nvx_config_resolve_cache_file(c, subdir, file, cand, sizeof cand);
    if (cand[0] && exists(cand)) return write_path(out, size, cand);
    std::snprintf(cand, sizeof cand, "%s/cache_plasma_weak/%s/%s", c->data_dir, subdir, file);
    write_path(out, size, cand);
}

void nvx_config_free(NVXConfig* c) {
    if (!c) return;
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i) {
        const FieldSpec& f = FIELD_TABLE[i];
        if (f.kind != FieldKind::StringOrNone) continue;
        char** slot = reinterpret_cast<char**>(reinterpret_cast<char*>(c) + f.offset);
        std::free(*slot);
        *slot = nullptr;
    }
    nvx_rxnmap_free(&c->p_map);
    nvx_rxnmap_free(&c->delta_map);
    std::free(c->nuclides);
    c->nuclides = nullptr;
    c->n_nuclides = 0;
    std::free(c->extra_rho_T);
    std::free(c->extra_rho_val);
    c->extra_rho_T = c->extra_rho_val = nullptr;
    c->extra_rho_n = 0;
}

}  // extern "C"
