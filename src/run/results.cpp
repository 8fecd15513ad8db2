// Result record: abundance ratios derived from the final abundances, lookup of result
// quantities by name, and release of every array of the record.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "config/err.hpp"
#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "nuvex/run.h"

namespace {

double find_Y(const char (*names)[NVX_NAME_LEN], const double* Y, size_t n, const char* name) {
    for (size_t i = 0; i < n; ++i)
        if (std::strcmp(names[i], name) == 0) return Y[i];
    return 0.0;
}

// Ratio whose zero denominator gives NaN for a zero numerator and +inf otherwise.
double ratio(double num, double den) {
    if (den == 0.0) return num == 0.0 ? std::numeric_limits<double>::quiet_NaN()
                                      : std::numeric_limits<double>::infinity();
    return num / den;
}

// "C", "N" or "O" followed by one or more digits and nothing else.
bool is_cno_name(const char* s) {
    if (s[0] != 'C' && s[0] != 'N' && s[0] != 'O') return false;
    if (!s[1]) return false;
    for (const char* p = s + 1; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

double helium_mass_fraction_atomic(double YPBBN) {
    nvx_constants_init();
    double mHe = g_const[NVX_C_m_He4_u], mH = g_const[NVX_C_m_H_u];
    return (mHe / 4.0 * YPBBN) / ((1.0 - YPBBN) * mH + mHe / 4.0 * YPBBN);
}

}  // namespace

extern "C" {

int nvx_results_fill_abundances(NVXResults* r, const NVXConfig* config, const char (*names)[NVX_NAME_LEN],
                                const double* Y, size_t n) {
    // cleared, not freed: a record that was never filled may hold anything
    std::memset(r, 0, sizeof *r);
    double p = find_Y(names, Y, n, "p"), d = find_Y(names, Y, n, "H2"), t = find_Y(names, Y, n, "H3");
    double he3 = find_Y(names, Y, n, "He3"), he4 = find_Y(names, Y, n, "He4");
    double li7 = find_Y(names, Y, n, "Li7"), be7 = find_Y(names, Y, n, "Be7");
    double li6 = find_Y(names, Y, n, "Li6");
    r->YPBBN = 4.0 * he4;
    r->YPCMB = helium_mass_fraction_atomic(r->YPBBN);
    r->DoH = ratio(d, p);
    r->He3oH = ratio(t + he3, p);
    r->He3oHe4 = ratio(t + he3, he4);
    r->Li7oH = ratio(li7 + be7, p);
    if (li6 > 0) {
        r->has_Li6oLi7 = 1;
        r->Li6oLi7 = li6 / (li7 + be7);
    }
    double cno = 0.0;
    for (size_t i = 0; i < n; ++i) {
        if (!is_cno_name(names[i])) continue;
        const NVXNuclide* nuc = nvx_config_find_nuclide(config, names[i]);
        cno += (nuc ? nuc->N + nuc->Z : 0) * Y[i];
    }
    if (cno > 0) {
        r->has_YCNO = 1;
        r->YCNO = cno;
    }
    if (n == 0) return 0;
    r->nuclide_names = static_cast<char(*)[NVX_NAME_LEN]>(std::malloc(n * NVX_NAME_LEN));
    r->Y_final = static_cast<double*>(std::malloc(n * sizeof(double)));
    if (!r->nuclide_names || !r->Y_final) {
        didiva_results_free(r);
        return 1;
    }
    std::memcpy(r->nuclide_names, names, n * NVX_NAME_LEN);
    std::memcpy(r->Y_final, Y, n * sizeof(double));
    r->n_nuclides = n;
    return 0;
}

double nvx_results_get_quantity(const NVXResults* r, const char* name, int* found) {
    struct Q {
        const char* name;
        const int32_t* present;
        double value;
    };
    const Q table[] = {
        {"YPCMB", nullptr, r->YPCMB},
        {"YPBBN", nullptr, r->YPBBN},
        {"DoH", nullptr, r->DoH},
        {"He3oH", nullptr, r->He3oH},
        {"He3oHe4", nullptr, r->He3oHe4},
        {"Li7oH", nullptr, r->Li7oH},
        {"Li6oLi7", &r->has_Li6oLi7, r->Li6oLi7},
        {"YCNO", &r->has_YCNO, r->YCNO},
        {"Neff", &r->has_Neff, r->Neff},
        {"Omeganurel", &r->has_Omeganurel, r->Omeganurel},
        {"OneOverOmeganunr", &r->has_OneOverOmeganunr, r->OneOverOmeganunr},
    };
    if (found) *found = 0;
    if (!name) return 0.0;
    const NVXQuantity* known = nvx_quantity_find(name);
    const char* key = known ? known->name : name;
    for (const Q& q : table) {
        if (std::strcmp(q.name, key) != 0) continue;
        if (q.present && !*q.present) return 0.0;
        if (found) *found = 1;
        return q.value;
    }
    for (size_t i = 0; i < r->n_nuclides; ++i)
        if (std::strcmp(r->nuclide_names[i], name) == 0) {
            if (found) *found = 1;
            return r->Y_final[i];
        }
    return 0.0;
}

void didiva_results_free(NVXResults* r) {
    if (!r) return;
    std::free(r->nuclide_names);
    std::free(r->Y_final);
    std::free(r->t);
    std::free(r->a);
    std::free(r->T_gamma);
    std::free(r->T_nue);
    std::free(r->T_numu);
    std::free(r->T_nutau);
    std::free(r->Y);
    std::free(r->rate_names);
    std::free(r->rate_values);
    std::memset(r, 0, sizeof *r);
}

}  // extern "C"
