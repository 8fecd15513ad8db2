// Packed right-hand side and Jacobian of a compiled network with per-point coefficients; the
// arithmetic is ordered exactly as in the reference evaluators of compiled.cpp.
#include "network/evaluator.hpp"

#include <algorithm>
#include <cmath>

namespace nvx {
namespace {


// Y^m with the exact shortcuts of the common multiplicities (as the reference evaluators).
inline double ipow(double y, int32_t m) {
    if (m == 1) return y;
    if (m == 2) return y * y;
    return std::pow(y, static_cast<double>(m));
}

}  // namespace

NetworkEvaluator::NetworkEvaluator(const NVXCompiledNetwork& c) : n_species_(c.n_species) {
    const size_t rs = c.reactant_stride, ps = c.product_stride, cs = c.change_stride, is = c.involved_stride;
    for (size_t i = 0; i < c.n_reactions; ++i) {
        if (c.n_changes[i] == 0) continue;  // contributes nothing to either evaluator
        Reaction r{};
        r.source = static_cast<uint32_t>(i);
        r.n_reactants = static_cast<uint8_t>(c.n_reactants[i]);
        r.n_products = static_cast<uint8_t>(c.n_products[i]);
        r.n_changes = static_cast<uint8_t>(c.n_changes[i]);
        r.n_involved = static_cast<uint8_t>(c.n_involved[i]);
        r.first_factor = static_cast<uint32_t>(factors_.size());
        r.first_change = static_cast<uint32_t>(changes_.size());
        r.first_involved = static_cast<uint32_t>(involved_.size());
        r.reactant_rho_slot = rho_slot(static_cast<int32_t>(c.reactant_rho_power[i]));
        r.product_rho_slot = rho_slot(static_cast<int32_t>(c.product_rho_power[i]));
        r.reactant_symmetry = c.reactant_symmetry[i];
        r.product_symmetry = c.product_symmetry[i];
        for (size_t j = 0; j < c.n_reactants[i]; ++j)
            factors_.push_back({static_cast<int32_t>(c.reactant_species[i * rs + j]),
                                static_cast<int32_t>(c.reactant_mult[i * rs + j])});
        for (size_t j = 0; j < c.n_products[i]; ++j)
            factors_.push_back({static_cast<int32_t>(c.product_species[i * ps + j]),
                                static_cast<int32_t>(c.product_mult[i * ps + j])});
        for (size_t j = 0; j < c.n_changes[i]; ++j)
            changes_.push_back({static_cast<int32_t>(c.change_species[i * cs + j]), c.change_coeff[i * cs + j]});
        for (size_t j = 0; j < c.n_involved[i]; ++j) {
            const int64_t sp = c.involved_species[i * is + j];
            auto slot = [sp](const int64_t* side, size_t n) {
                for (size_t k = 0; k < n; ++k)
                    if (side[k] == sp) return static_cast<int16_t>(k);
                return int16_t{-1};
            };
            involved_.push_back({static_cast<int32_t>(sp), slot(c.reactant_species + i * rs, c.n_reactants[i]),
                                 slot(c.product_species + i * ps, c.n_products[i])});
        }
        reactions_.push_back(r);
    }
    rho_powers_.assign(kMaxTablePower + 1 + other_powers_.size(), 1.0);
    // Species-major copy of the net changes, reaction order kept within each species.
    term_start_.assign(n_species_ + 1, 0);
    for (const Change& ch : changes_) ++term_start_[static_cast<size_t>(ch.species) + 1];
    for (size_t k = 0; k < n_species_; ++k) term_start_[k + 1] += term_start_[k];
    terms_.resize(changes_.size());
    std::vector<uint32_t> fill(term_start_.begin(), term_start_.end() - 1);
    for (size_t n = 0; n < reactions_.size(); ++n) {
        const Reaction& r = reactions_[n];
        for (size_t e = 0; e < r.n_changes; ++e) {
            const Change& ch = changes_[r.first_change + e];
            terms_[fill[static_cast<size_t>(ch.species)]++] = {static_cast<uint32_t>(n), ch.coeff};
        }
    }
    net_.assign(reactions_.size(), 0.0);
    kf_.assign(reactions_.size(), 0.0);
    kb_.assign(reactions_.size(), 0.0);
    has_reverse_.assign(reactions_.size(), 0);
}

// d/dY_j of the product of Y^m over one side, j being the species in `slot` (-1: not on the side).
double NetworkEvaluator::side_derivative(const Factor* f, size_t n, const double* Y, int slot) {
    if (slot < 0) return 0.0;
    const int32_t m = f[slot].mult;
    const double d = static_cast<double>(m) * (m == 1 ? 1.0 : ipow(Y[f[slot].species], m - 1));
    double rest = 1.0;
    for (size_t k = 0; k < n; ++k)
        if (static_cast<int>(k) != slot) rest *= ipow(Y[f[k].species], f[k].mult);
    return d * rest;
}

// Slot of rho^p in the per-point table: p itself for 0..63, past them one slot per other power.
uint32_t NetworkEvaluator::rho_slot(int32_t p) {
    if (p >= 0 && p <= kMaxTablePower) {
        max_rho_power_ = std::max(max_rho_power_, p);
        return static_cast<uint32_t>(p);
    }
    auto it = std::find(other_powers_.begin(), other_powers_.end(), p);
    if (it == other_powers_.end()) it = other_powers_.insert(other_powers_.end(), p);
    return static_cast<uint32_t>(kMaxTablePower + 1 + (it - other_powers_.begin()));
}

void NetworkEvaluator::set_point(const double* rates, double rho) {
    // rho^k by repeated products for the small powers, pow() for any other (as the reference).
    double* rp = rho_powers_.data();
    rp[0] = 1.0;
    for (int k = 1; k <= max_rho_power_; ++k) rp[k] = rp[k - 1] * rho;
    for (size_t e = 0; e < other_powers_.size(); ++e)
        rp[kMaxTablePower + 1 + e] = std::pow(rho, static_cast<double>(other_powers_[e]));
    for (size_t n = 0; n < reactions_.size(); ++n) {
        const Reaction& r = reactions_[n];
        kf_[n] = rp[r.reactant_rho_slot] * rates[2 * r.source] * r.reactant_symmetry;
        kb_[n] = rp[r.product_rho_slot] * rates[2 * r.source + 1] * r.product_symmetry;
        has_reverse_[n] = rates[2 * r.source + 1] != 0.0;
    }
}

void NetworkEvaluator::rhs(const double* Y, double* dYdt) const {
    // Net rate of every reaction, then each species sums its terms in reaction order (the order
    // in which the reference adds them into dY/dt, so the sums are the same).
    const Factor* fac = factors_.data();
    const size_t R = reactions_.size();
    double* net = net_.data();
    for (size_t n = 0; n < R; ++n) {
        const Reaction& r = reactions_[n];
        double f = kf_[n];
        for (const Factor* e = fac + r.n_reactants; fac != e; ++fac) f *= ipow(Y[fac->species], fac->mult);
        double b = 0.0;
        if (has_reverse_[n]) {
            b = kb_[n];
            for (const Factor* e = fac + r.n_products; fac != e; ++fac) b *= ipow(Y[fac->species], fac->mult);
        } else {
            fac += r.n_products;
        }
        net[n] = f - b;
    }
    const Term* t = terms_.data();
    for (size_t k = 0; k < n_species_; ++k) {
        double s = 0.0;
        for (const Term* e = terms_.data() + term_start_[k + 1]; t != e; ++t) s += t->coeff * net[t->reaction];
        dYdt[k] = s;
    }
}

void NetworkEvaluator::jacobian(const double* Y, double* J) const {
    const size_t S = n_species_;
    std::fill(J, J + S * S, 0.0);
    for (size_t n = 0; n < reactions_.size(); ++n) {
        const Reaction& r = reactions_[n];
        const double kf = kf_[n], kb = kb_[n];
        const Factor* reactants = factors_.data() + r.first_factor;
        const Factor* products = reactants + r.n_reactants;
        const Change* ch = changes_.data() + r.first_change;
        const Involved* inv = involved_.data() + r.first_involved;
        for (size_t v = 0; v < r.n_involved; ++v) {
            const int32_t j = inv[v].species;
            double A = 0.0;
            if (kf != 0.0) A += kf * side_derivative(reactants, r.n_reactants, Y, inv[v].reactant_slot);
            if (kb != 0.0) A -= kb * side_derivative(products, r.n_products, Y, inv[v].product_slot);
            if (A == 0.0) continue;
            for (size_t e = 0; e < r.n_changes; ++e)
                J[static_cast<size_t>(ch[e].species) * S + static_cast<size_t>(j)] += ch[e].coeff * A;
        }
    }
}

}  // namespace nvx
