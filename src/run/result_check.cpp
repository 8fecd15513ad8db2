// Plausibility check of a finished run: every returned quantity finite and in its physical range,
// and baryon number conserved, so a diverged or under-resolved integration fails instead of returning.
#include <cmath>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "nuvex/run.h"

namespace {

// Round-off of a stiff solve leaves abundances that should vanish a little below zero; the allowance
// scales with the largest abundance (hydrogen) and with the absolute tolerance of the last era.
double negative_allowance(const NVXResults* r, const NVXConfig* c) {
    double scale = 0.0;
    for (size_t i = 0; i < r->n_nuclides; ++i) scale = std::fmax(scale, std::fabs(r->Y_final[i]));
    return std::fmax(1e-12 * scale, 100.0 * c->atol_large_LT);
}

std::string likely_cause(const NVXConfig* c) {
    return nvx::strprintf("the integration did not converge: numerical_precision=%g or "
                          "atol_large_LT=%g may be too loose, or a rate table or custom network "
                          "is inconsistent", c->numerical_precision, c->atol_large_LT);
}

int bad(char** err, const NVXConfig* c, const char* what, double v, const char* range) {
    return nvx::fail(err, "result check: %s=%.6g is outside %s; %s", what, v, range, likely_cause(c).c_str());
}

// N_eff is the flavours' energy density (never negative) plus exactly DeltaNeff species, so a negative
// DeltaNeff may leave it below zero: N_eff = 0 asked as DeltaNeff = -3.044 gives 3.04394 - 3.044 with
// the computed three-flavour value. Below DeltaNeff the background itself is broken, not the network.
double neff_floor(const NVXConfig* c) {
    const double dN = c->DeltaNeff;
    return dN < 0.0 ? dN - 1e-9 * (1.0 - dN) : 0.0;
}

std::string neff_cause(const NVXConfig* c) {
    return nvx::strprintf("N_eff is the neutrino flavours' energy density plus DeltaNeff=%g species, so it cannot "
                          "fall below min(0, DeltaNeff): the neutrino history or background is inconsistent",
                          c->DeltaNeff);
}

struct Quantity {
    const char* name;
    bool present;
    double value;
    double lo, hi;  // closed range
};

int check_quantities(const NVXResults* r, const NVXConfig* c, double ratio_floor, char** err) {
    const double inf = INFINITY;
    const Quantity q[] = {
        {"YPCMB", true, r->YPCMB, 0.0, 1.0},
        {"YPBBN", true, r->YPBBN, 0.0, 1.0},
        {"DoH", true, r->DoH, -ratio_floor, inf},
        {"He3oH", true, r->He3oH, -ratio_floor, inf},
        {"He3oHe4", true, r->He3oHe4, -ratio_floor, inf},
        {"Li7oH", true, r->Li7oH, -ratio_floor, inf},
        {"Li6oLi7", r->has_Li6oLi7 != 0, r->Li6oLi7, -inf, inf},
        {"YCNO", r->has_YCNO != 0, r->YCNO, -ratio_floor, inf},
        {"Neff", r->has_Neff != 0, r->Neff, neff_floor(c), inf},
        {"Omeganurel", r->has_Omeganurel != 0, r->Omeganurel, 0.0, inf},
        {"OneOverOmeganunr", r->has_OneOverOmeganunr != 0, r->OneOverOmeganunr, 0.0, inf},
    };
    for (const Quantity& x : q) {
        if (!x.present) continue;
        if (!std::isfinite(x.value)) return bad(err, c, x.name, x.value, "the finite numbers");
        if (x.value < x.lo || x.value > x.hi) {
            if (std::strcmp(x.name, "Neff") == 0)
                return nvx::fail(err, "result check: Neff=%.6g is below %.6g; %s", x.value, std::fmin(0.0, c->DeltaNeff),
                                 neff_cause(c).c_str());
            const std::string range = std::isinf(x.hi) ? nvx::strprintf("[%g, inf)", x.lo < 0 ? 0.0 : x.lo)
                                                       : nvx::strprintf("[%g, %g]", x.lo, x.hi);
            return bad(err, c, x.name, x.value, range.c_str());
        }
    }
    return 0;
}

int check_abundances(const NVXResults* r, const NVXConfig* c, double allowance, char** err) {
    for (size_t i = 0; i < r->n_nuclides; ++i) {
        const double Y = r->Y_final[i];
        if (!std::isfinite(Y) || Y < -allowance) {
            const std::string what = nvx::strprintf("Y_final[%s]", r->nuclide_names[i]);
            return bad(err, c, what.c_str(), Y, "[0, inf)");
        }
    }
    return 0;
}

// Sum of A Y over the network is the baryon number per baryon. Every reaction conserves it and the
// integrators keep linear invariants, so it stays 1 to about 1e-12 whatever the tolerance (measured
// on both networks for numerical_precision from 1e-7 to 1e-2); 1e-6 leaves room for round-off.
int check_baryon_number(const NVXResults* r, const NVXConfig* c, char** err) {
    double sum = 0.0;
    bool all_known = true;
    for (size_t i = 0; i < r->n_nuclides; ++i) {
        const NVXNuclide* nu = nvx_config_find_nuclide(c, r->nuclide_names[i]);
        if (!nu) {
            all_known = false;
            break;
        }
        sum += double(nu->N + nu->Z) * r->Y_final[i];
    }
    const double tol = 1e-6;
    if (all_known && r->n_nuclides > 0 && !(std::fabs(sum - 1.0) <= tol))
        return nvx::fail(err, "result check: the baryon number sum of A*Y_final is %.9g instead of 1 "
                              "(allowed deviation %g); %s", sum, tol, likely_cause(c).c_str());
    return 0;
}

int check_evolution(const NVXResults* r, const NVXConfig* c, double allowance, char** err) {
    if (!r->has_evolution) return 0;
    for (size_t k = 0; k < r->n_points; ++k) {
        if (!std::isfinite(r->t[k]) || !std::isfinite(r->T_gamma[k]))
            return bad(err, c, "evolution time or temperature", std::isfinite(r->t[k]) ? r->T_gamma[k] : r->t[k],
                       "the finite numbers");
        for (size_t i = 0; i < r->n_nuclides; ++i) {
            const double Y = r->Y[k * r->n_nuclides + i];
            if (!std::isfinite(Y) || Y < -allowance) {
                const std::string what = nvx::strprintf("evolution Y[%s] at t=%g s", r->nuclide_names[i], r->t[k]);
                return bad(err, c, what.c_str(), Y, "[0, inf)");
            }
        }
    }
    return 0;
}

}  // namespace

extern "C" int nvx_results_check(const NVXResults* results, const NVXConfig* config, char** err) {
    if (!results || !config) return nvx::fail(err, "nvx_results_check: no result or parameter record");
    const double allowance = negative_allowance(results, config);
    // a ratio X/H inherits the allowance of X divided by the hydrogen abundance (about 0.75)
    double YH = 0.0;
    for (size_t i = 0; i < results->n_nuclides; ++i)
        if (std::strcmp(results->nuclide_names[i], "p") == 0) YH = results->Y_final[i];
    const double ratio_floor = YH > 0.0 ? allowance / YH : allowance;
    if (check_abundances(results, config, allowance, err) || check_quantities(results, config, ratio_floor, err) ||
        check_baryon_number(results, config, err) || check_evolution(results, config, allowance, err))
        return 1;
    return 0;
}
