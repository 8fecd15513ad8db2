// The result quantities by name: the names of the result dictionary and JSON, the package's names
// accepted for them everywhere, and the unit and definition every front end prints beside a value.
#include <cstring>
#include <string>
#include <vector>

#include "config/suggest.hpp"
#include "nuvex/results.h"

namespace {

// Order of the result dictionary. Abundances Y are numbers per baryon.
const NVXQuantity kQuantities[] = {
    {"YPCMB", "Yp_mass", "mass fraction",
     "helium-4 mass fraction with atomic masses, the YHe of CMB codes (CLASS, CAMB)"},
    {"YPBBN", "Yp", "nucleon fraction", "4 Y(He4): fraction of the nucleons bound in helium-4, the BBN convention"},
    {"DoH", nullptr, "ratio by number", "D/H = Y(H2) / Y(p)"},
    {"He3oH", nullptr, "ratio by number", "3He/H = (Y(H3) + Y(He3)) / Y(p), tritium included"},
    {"He3oHe4", nullptr, "ratio by number", "3He/4He = (Y(H3) + Y(He3)) / Y(He4)"},
    {"Li7oH", nullptr, "ratio by number", "7Li/H = (Y(Li7) + Y(Be7)) / Y(p), beryllium-7 included"},
    {"Li6oLi7", nullptr, "ratio by number", "6Li/7Li = Y(Li6) / (Y(Li7) + Y(Be7)); networks with Li6 only"},
    {"YCNO", nullptr, "nucleon fraction", "sum of A Y over the C, N and O isotopes; networks with them only"},
    {"Neff", nullptr, "number", "effective number of neutrino species from their final energy density"},
    {"Omeganurel", nullptr, "1e-6", "Omega_nu h^2 of one relativistic neutrino flavour today, in units of 1e-6"},
    {"OneOverOmeganunr", nullptr, "eV",
     "m_nu / (Omega_nu h^2) of one non-relativistic flavour: Omega_nu h^2 = m_nu / this"},
};
constexpr size_t kCount = sizeof kQuantities / sizeof kQuantities[0];

}  // namespace

extern "C" {

size_t nvx_quantity_count(void) { return kCount; }

const NVXQuantity* nvx_quantity_at(size_t i) { return i < kCount ? &kQuantities[i] : nullptr; }

const NVXQuantity* nvx_quantity_find(const char* name) {
    if (!name) return nullptr;
    for (const NVXQuantity& q : kQuantities)
        if (std::strcmp(q.name, name) == 0 || (q.alias && std::strcmp(q.alias, name) == 0)) return &q;
    return nullptr;
}

char* nvx_quantity_suggestion(const char* name, const NVXResults* results) {
    std::vector<std::string> pool;
    for (const NVXQuantity& q : kQuantities) {
        pool.emplace_back(q.name);
        if (q.alias) pool.emplace_back(q.alias);
    }
    if (results)
        for (size_t i = 0; i < results->n_nuclides; ++i) pool.emplace_back(results->nuclide_names[i]);
    const std::string hint = nvx::did_you_mean(name, pool);
    return strdup(hint.c_str());
}

}  // extern "C"
