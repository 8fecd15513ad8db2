// The history's thermal rows (ascending photon temperature) handed over from vectors: the reader of
// the decoupling tables and the relic's correction of them fill the same record fields the same way.
#pragma once

#include <cstdlib>
#include <cstring>
#include <vector>

#include "nuvex/neutrino.h"

namespace nvx::history_rows {

// A malloc'ed copy (the record is freed with free()); one element at least, so that empty is not null.
inline double* copy_out(const std::vector<double>& v) {
    auto* p = static_cast<double*>(std::malloc((v.empty() ? 1 : v.size()) * sizeof(double)));
    if (p && !v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(double));
    return p;
}

struct ThermalRows {
    std::vector<double> Tg, nue, numu, nutau, N, lnT, lnx;
    explicit ThermalRows(size_t n) : Tg(n), nue(n), numu(n), nutau(n), N(n), lnT(n), lnx(n) {}
};

// Copies the rows into the record (its old arrays are the caller's to free first) and sets n and the
// temperature range; false when out of memory.
inline bool set(nvx_neutrino_history* h, const ThermalRows& r) {
    h->Tg = copy_out(r.Tg);
    h->ratio_nue = copy_out(r.nue);
    h->ratio_numu = copy_out(r.numu);
    h->ratio_nutau = copy_out(r.nutau);
    h->Nheating = copy_out(r.N);
    h->lnTg = copy_out(r.lnT);
    h->lnx = copy_out(r.lnx);
    h->n = r.Tg.size();
    h->Tg_min = r.Tg.front();
    h->Tg_max = r.Tg.back();
    return h->Tg && h->ratio_nue && h->ratio_numu && h->ratio_nutau && h->Nheating && h->lnTg && h->lnx;
}

}  // namespace nvx::history_rows
