// Fast evaluator of a compiled network for the stiff integrator: the rate-and-density coefficients
// of every reaction are formed once per plasma point, then dY/dt and the Jacobian walk packed arrays.
#pragma once

#include <cstdint>
#include <vector>

#include "nuvex/network.h"

namespace nvx {

// Gives the same bits as nvx_network_rhs and nvx_network_jacobian: every product is formed in the
// same order, only the density, rate and symmetry factors are multiplied once per point instead
// of once per call. Reactions without a net change are dropped at build time. An evaluator holds
// per-point state and scratch: one per integration, never shared between threads.
class NetworkEvaluator {
public:
    NetworkEvaluator() = default;
    explicit NetworkEvaluator(const NVXCompiledNetwork& c);

    // Coefficients at one plasma point: the rate buffer (forward, reverse pairs) and the baryon
    // density in g cm^-3. Must precede rhs() and jacobian().
    void set_point(const double* rates, double rho_gcm3);
    void rhs(const double* Y, double* dYdt) const;
    void jacobian(const double* Y, double* J) const;  // row-major S x S, overwritten

    size_t n_species() const { return n_species_; }

private:
    struct Factor {
        int32_t species;
        int32_t mult;
    };
    struct Change {
        int32_t species;
        double coeff;
    };
    // An involved species of a reaction with its slot among the reactants and the products (-1: absent).
    struct Involved {
        int32_t species;
        int16_t reactant_slot, product_slot;
    };
    struct Reaction {
        uint32_t source;  // index in the compiled network (and in the rate buffer)
        uint8_t n_reactants, n_products, n_changes, n_involved;
        uint32_t first_factor, first_change, first_involved;
        uint32_t reactant_rho_slot, product_rho_slot;  // density power slots, see rho_slot()
        double reactant_symmetry, product_symmetry;
    };
    static constexpr int kMaxTablePower = 63;  // larger or negative powers go through pow()
    uint32_t rho_slot(int32_t power);
    static double side_derivative(const Factor* side, size_t n, const double* Y, int slot);

    size_t n_species_ = 0;
    int max_rho_power_ = 0;
    std::vector<Reaction> reactions_;
    struct Term {
        uint32_t reaction;  // index in reactions_
        double coeff;
    };
    std::vector<uint32_t> term_start_;  // species k's terms are terms_[term_start_[k] .. term_start_[k+1])
    std::vector<Term> terms_;
    mutable std::vector<double> net_;  // scratch of rhs(): net rate of each reaction
    std::vector<int32_t> other_powers_;  // density powers outside 0..kMaxTablePower
    std::vector<double> rho_powers_;     // per point: rho^0..rho^63, then the other powers
    std::vector<Factor> factors_;  // per reaction: its reactants, then its products
    std::vector<Change> changes_;
    std::vector<Involved> involved_;
    // Per point: forward and reverse coefficients, and whether the reverse rate is nonzero.
    std::vector<double> kf_, kb_;
    std::vector<uint8_t> has_reverse_;
};

}  // namespace nvx
