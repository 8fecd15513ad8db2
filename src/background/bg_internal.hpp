// Internals shared by the background translation units: the density terms of the Friedmann sum,
// the recorded Dormand-Prince path and small table helpers.
#pragma once

#include <cstddef>
#include <vector>

#include "nuvex/background.h"

namespace nvx::bg {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kEightPi = 25.132741228718345;
// (7/8)(4/11)^(4/3): one neutrino flavour over the photon density after annihilation.
inline constexpr double kNeffDivisor = 0.22710731766023898;

// Photons, e+e- pairs and the QED correction T P' - P (when enabled), MeV^4.
double rho_plasma(const nvx_background* bg, double T);
// Neutrinos: three flavours with chemical potentials, the DeltaNeff species and, when the history
// carries analytic distortions, their density at the mean-energy temperature; MeV^4.
double rho_neutrinos(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau);
// The neutrino density rho_nu (from rho_neutrinos at the last row) as it will be once a thermal relic
// still present at T has annihilated: each sector keeps its comoving entropy, so a relic coupled to
// electrons heats the photons by (1 + s_X/s_gamma)^(1/3) and a neutrinophilic one the neutrinos by
// (1 + s_X/s_nu)^(1/3); Neff is quoted after that (as the CMB sees it). The relic's own density
// leaves rho_nu.
double relic_late_rho_nu(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau,
                         double rho_nu);
// The factor on T_nu/T_gamma of the last row once a thermal relic still present at T has annihilated
// (the same entropy bookkeeping as relic_late_rho_nu): (1 + s_X/s_gamma)^(-1/3) for a relic coupled
// to electrons, (1 + s_X/s_nu)^(1/3) for a neutrinophilic one.
double relic_late_Tnu_factor(const nvx_background* bg, double T, double Tnue, double Tnumu, double Tnutau);
// Matter and cosmological constant, early dark energy and the host's extra density, MeV^4.
double rho_extra(const nvx_background* bg, double T, double a);
// ((Tnue^4 + Tnumu^4 + Tnutau^4)/3)^(1/4): temperature of the mean neutrino energy density.
double Tnu_average(double Tnue, double Tnumu, double Tnutau);
// H in s^-1 for a total energy density in MeV^4.
double hubble_of_rho(const NVXConfig* config, double rho_MeV4);
// Theoretical free-neutron decay rate or 1/tau_n, s^-1.
double neutron_decay_rate(const NVXConfig* config);

// Every accepted Runge-Kutta step with what its continuous extension needs.
struct DensePath {
    size_t dim = 0;
    std::vector<double> start, size;                    // one per step
    std::vector<double> y0, K1, K3, K4, K5, K6, K7;     // dim per step
    explicit DensePath(size_t d) : dim(d) {}
    size_t steps() const { return start.size(); }
    // Solution at abscissa X: the last step starting at or before X, theta clamped into [0, 1].
    void eval(double X, double* out) const;
};

// Integrator per-step callback that appends a step to a DensePath.
void dense_path_push(const double* y_old, const double* K1, const double* K3, const double* K4,
                     const double* K5, const double* K6, double t_old, double h, const double* K7,
                     size_t n, void* user);
// Releases the recorded steps.
void dense_path_free(DensePath* path);

// Owning malloc'd copy of a vector (the record's arrays are released with free()).
double* to_c_array(const std::vector<double>& v);

// Shared tail of both constructors: weak-rate tables on (T, Tnue), owned by bg, and lambda_n.
int init_weak(nvx_background* bg, const double* T, const double* Tnue, size_t n, char** err);

// Cosmological-constant density of a record, MeV^4 (h^2 - Omegabh2 - Omegach2 times rho_c/h^2).
double lambda_density(const NVXConfig* config);
// The warning of a negative cosmological constant, given at every build of a standard background.
void warn_negative_lambda(const NVXConfig* config);
// True when rho_Lambda cannot change any expansion rate of a standard background built for
// `config`, because it vanishes in the rounding of the matter density it is added to: two such
// values give bit-identical tables.
bool lambda_below_rounding(const NVXConfig* config, double rho_Lambda);

// The background tables alone, on a history lent by the caller (copied into bg->history, not
// owned) and without weak rates (bg->weak stays empty, lambda_n 0). The weak rates are built on
// the grid these tables leave in bg->T, bg->Tnue: the final tables (n points) of a standard
// background, the uniform grid of a custom one (n_grid points); weak_grid() gives it. 0, or 1
// with *err (bg freed).
int build_standard_tables(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                          const nvx_neutrino_history* history, char** err);
int build_custom_tables(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                        const nvx_neutrino_history* history, const char* path, char** err);
// Number of points of the weak-rate grid in bg->T, bg->Tnue.
inline size_t weak_grid_size(const nvx_background* bg) { return bg->mode == NVX_BG_CUSTOM ? bg->n_grid : bg->n; }

}  // namespace nvx::bg
