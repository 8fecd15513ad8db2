// Compiled abundance equations: flat per-reaction arrays built once from the stoichiometry, the
// right-hand side dY/dt, its analytic Jacobian and the N/Z conservation check.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "network/network_internal.hpp"

using nvx::fail;

namespace {

template <typename T>
T* alloc_zero(size_t n) {
    return static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
}

double factorial(int64_t m) {
    double f = 1.0;
    for (int64_t k = 2; k <= m; ++k) f *= static_cast<double>(k);
    return f;
}

// Y^m with the exact shortcuts of the common multiplicities.
inline double ipow(double y, int64_t m) {
    if (m == 1) return y;
    if (m == 2) return y * y;
    return std::pow(y, static_cast<double>(m));
}

struct Change {
    int64_t species;
    int64_t total;
};

// Per-reaction net change: reactants first, then products, entries in first-seen order, zeros dropped.
std::vector<Change> net_change(const NVXReactionStoich& s) {
    std::vector<Change> out;
    auto add = [&](int64_t sp, int64_t d) {
        for (Change& c : out)
            if (c.species == sp) return void(c.total += d);
        out.push_back({sp, d});
    };
    for (size_t j = 0; j < s.n_reactants; ++j) add(s.reactants[j], -s.reactant_mult[j]);
    for (size_t j = 0; j < s.n_products; ++j) add(s.products[j], s.product_mult[j]);
    std::erase_if(out, [](const Change& c) { return c.total == 0; });
    return out;
}

std::vector<int64_t> involved(const NVXReactionStoich& s) {
    std::vector<int64_t> v(s.reactants, s.reactants + s.n_reactants);
    v.insert(v.end(), s.products, s.products + s.n_products);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

int validate(const NVXReactionStoich* st, size_t R, size_t S, char** error) {
    for (size_t i = 0; i < R; ++i) {
        const NVXReactionStoich& s = st[i];
        if (s.n_reactants > NVX_SIDE_MAX || s.n_products > NVX_SIDE_MAX)
            return fail(error, "nvx_compile_network: reaction %zu has more than %d species on a side", i, NVX_SIDE_MAX);
        auto bad = [&](const int64_t* idx, const int64_t* mult, size_t n) {
            for (size_t j = 0; j < n; ++j)
                if (idx[j] < 0 || static_cast<size_t>(idx[j]) >= S || mult[j] < 1) return true;
            return false;
        };
        if (bad(s.reactants, s.reactant_mult, s.n_reactants) || bad(s.products, s.product_mult, s.n_products))
            return fail(error,
                        "nvx_compile_network: reaction %zu refers to a species outside 0..%zu or has a "
                        "multiplicity below 1",
                        i, S ? S - 1 : 0);
    }
    return 0;
}

// Fills the ρ^k table for the density powers of one evaluation (no allocation).
constexpr int kMaxRhoPow = 64;
inline void rho_powers(double rho, double* out) {
    out[0] = 1.0;
    for (int k = 1; k < kMaxRhoPow; ++k) out[k] = out[k - 1] * rho;
}
inline double rho_pow(const double* table, double rho, double p) {
    int k = static_cast<int>(p);
    return (k >= 0 && k < kMaxRhoPow && k == p) ? table[k] : std::pow(rho, p);
}

}  // namespace

extern "C" {

void nvx_compiled_network_free(NVXCompiledNetwork* c) {
    if (!c) return;
    void* arrays[] = {c->reactant_species, c->reactant_mult, c->n_reactants, c->product_species, c->product_mult,
                      c->n_products, c->change_species, c->change_coeff, c->n_changes, c->involved_species,
                      c->n_involved, c->reactant_rho_power, c->product_rho_power, c->reactant_symmetry,
                      c->product_symmetry};
    for (void* p : arrays) std::free(p);
    *c = NVXCompiledNetwork{};
}

int nvx_compile_network(const NVXReactionStoich* st, size_t R, size_t S, NVXCompiledNetwork* c, char** error) {
    *c = NVXCompiledNetwork{};
    if (R && !st) return fail(error, "nvx_compile_network: no stoichiometry");
    if (validate(st, R, S, error)) return 1;
    c->n_reactions = R;
    c->n_species = S;
    size_t rs = 1, ps = 1, cs = 1, is = 1;
    for (size_t i = 0; i < R; ++i) {
        rs = std::max(rs, st[i].n_reactants);
        ps = std::max(ps, st[i].n_products);
        cs = std::max(cs, net_change(st[i]).size());
        is = std::max(is, involved(st[i]).size());
    }
    c->reactant_stride = rs, c->product_stride = ps, c->change_stride = cs, c->involved_stride = is;
    c->reactant_species = alloc_zero<int64_t>(R * rs);
    c->reactant_mult = alloc_zero<int64_t>(R * rs);
    c->n_reactants = alloc_zero<size_t>(R);
    c->product_species = alloc_zero<int64_t>(R * ps);
    c->product_mult = alloc_zero<int64_t>(R * ps);
    c->n_products = alloc_zero<size_t>(R);
    c->change_species = alloc_zero<int64_t>(R * cs);
    c->change_coeff = alloc_zero<double>(R * cs);
    c->n_changes = alloc_zero<size_t>(R);
    c->involved_species = alloc_zero<int64_t>(R * is);
    c->n_involved = alloc_zero<size_t>(R);
    c->reactant_rho_power = alloc_zero<double>(R);
    c->product_rho_power = alloc_zero<double>(R);
    c->reactant_symmetry = alloc_zero<double>(R);
    c->product_symmetry = alloc_zero<double>(R);
    if (!c->reactant_species || !c->reactant_mult || !c->n_reactants || !c->product_species || !c->product_mult ||
        !c->n_products || !c->change_species || !c->change_coeff || !c->n_changes || !c->involved_species ||
        !c->n_involved || !c->reactant_rho_power || !c->product_rho_power || !c->reactant_symmetry ||
        !c->product_symmetry) {
        nvx_compiled_network_free(c);
        return fail(error, "nvx_compile_network: out of memory");
    }
    for (size_t i = 0; i < R; ++i) {
        const NVXReactionStoich& s = st[i];
        int64_t nr = 0, np = 0;
        double fr = 1.0, fp = 1.0;
        for (size_t j = 0; j < s.n_reactants; ++j) {
            c->reactant_species[i * rs + j] = s.reactants[j];
            c->reactant_mult[i * rs + j] = s.reactant_mult[j];
            nr += s.reactant_mult[j];
            fr *= factorial(s.reactant_mult[j]);
        }
        for (size_t j = 0; j < s.n_products; ++j) {
            c->product_species[i * ps + j] = s.products[j];
            c->product_mult[i * ps + j] = s.product_mult[j];
            np += s.product_mult[j];
            fp *= factorial(s.product_mult[j]);
        }
        c->n_reactants[i] = s.n_reactants;
        c->n_products[i] = s.n_products;
        c->reactant_rho_power[i] = static_cast<double>(nr - 1);
        c->product_rho_power[i] = static_cast<double>(np - 1);
        c->reactant_symmetry[i] = 1.0 / fr;
        c->product_symmetry[i] = 1.0 / fp;
        std::vector<Change> ch = net_change(s);
        for (size_t j = 0; j < ch.size(); ++j) {
            c->change_species[i * cs + j] = ch[j].species;
            c->change_coeff[i * cs + j] = static_cast<double>(ch[j].total);
        }
        c->n_changes[i] = ch.size();
        std::vector<int64_t> inv = involved(s);
        std::copy(inv.begin(), inv.end(), c->involved_species + i * is);
        c->n_involved[i] = inv.size();
    }
    return 0;
}

void nvx_network_rhs(const NVXCompiledNetwork* c, const double* Y, const double* rates, double* dYdt, double rho) {
    const size_t R = c->n_reactions, rs = c->reactant_stride, ps = c->product_stride, cs = c->change_stride;
    double rp[kMaxRhoPow];
    rho_powers(rho, rp);
    std::fill(dYdt, dYdt + c->n_species, 0.0);
    for (size_t i = 0; i < R; ++i) {
        const size_t nch = c->n_changes[i];
        if (nch == 0) continue;
        double f = rho_pow(rp, rho, c->reactant_rho_power[i]) * rates[2 * i] * c->reactant_symmetry[i];
        for (size_t j = 0; j < c->n_reactants[i]; ++j)
            f *= ipow(Y[c->reactant_species[i * rs + j]], c->reactant_mult[i * rs + j]);
        double b = 0.0;
        if (rates[2 * i + 1] != 0.0) {
            b = rho_pow(rp, rho, c->product_rho_power[i]) * rates[2 * i + 1] * c->product_symmetry[i];
            for (size_t j = 0; j < c->n_products[i]; ++j)
                b *= ipow(Y[c->product_species[i * ps + j]], c->product_mult[i * ps + j]);
        }
        const double net = f - b;
        for (size_t j = 0; j < nch; ++j) dYdt[c->change_species[i * cs + j]] += c->change_coeff[i * cs + j] * net;
    }
}

namespace {
// d/dY_j of prod_k Y_k^{m_k} over one side; 0 when j is not on the side.
inline double side_derivative(const int64_t* sp, const int64_t* mult, size_t n, const double* Y, int64_t j) {
    double d = 0.0;
    bool found = false;
    double rest = 1.0;
    for (size_t k = 0; k < n; ++k) {
        if (sp[k] == j) {
            found = true;
            d = static_cast<double>(mult[k]) * (mult[k] == 1 ? 1.0 : ipow(Y[j], mult[k] - 1));
        } else {
            rest *= ipow(Y[sp[k]], mult[k]);
        }
    }
    return found ? d * rest : 0.0;
}
}  // namespace

void nvx_network_jacobian(const NVXCompiledNetwork* c, const double* Y, const double* rates, double* J, double rho) {
    const size_t R = c->n_reactions, S = c->n_species, rs = c->reactant_stride, ps = c->product_stride;
    const size_t cs = c->change_stride, is = c->involved_stride;
    double rp[kMaxRhoPow];
    rho_powers(rho, rp);
    std::fill(J, J + S * S, 0.0);
    for (size_t i = 0; i < R; ++i) {
        const size_t nch = c->n_changes[i];
        if (nch == 0) continue;
        const double kf = rho_pow(rp, rho, c->reactant_rho_power[i]) * rates[2 * i] * c->reactant_symmetry[i];
        const double kb = rho_pow(rp, rho, c->product_rho_power[i]) * rates[2 * i + 1] * c->product_symmetry[i];
        for (size_t v = 0; v < c->n_involved[i]; ++v) {
            const int64_t j = c->involved_species[i * is + v];
            double A = 0.0;
            if (kf != 0.0)
                A += kf * side_derivative(c->reactant_species + i * rs, c->reactant_mult + i * rs, c->n_reactants[i], Y, j);
            if (kb != 0.0)
                A -= kb * side_derivative(c->product_species + i * ps, c->product_mult + i * ps, c->n_products[i], Y, j);
            if (A == 0.0) continue;
            for (size_t e = 0; e < nch; ++e)
                J[static_cast<size_t>(c->change_species[i * cs + e]) * S + static_cast<size_t>(j)] +=
                    c->change_coeff[i * cs + e] * A;
        }
    }
}

int nvx_check_conservation(const NVXCompiledNetwork* c, const int64_t* N, const int64_t* Z, const size_t* exempt,
                           size_t exempt_count, const int64_t* beta_changes, char** error) {
    int violations = 0;
    std::string list;
    for (size_t i = 0; i < c->n_reactions; ++i) {
        long dN = 0, dZ = 0;
        for (size_t e = 0; e < c->n_changes[i]; ++e) {
            const long k = static_cast<long>(std::lround(c->change_coeff[i * c->change_stride + e]));
            const int64_t sp = c->change_species[i * c->change_stride + e];
            dN += k * static_cast<long>(N[sp]);
            dZ += k * static_cast<long>(Z[sp]);
        }
        const bool is_exempt = exempt && std::find(exempt, exempt + exempt_count, i) != exempt + exempt_count;
        bool bad;
        if (!is_exempt) bad = dN != 0 || dZ != 0;
        else if (beta_changes) bad = !(dZ == -static_cast<long>(beta_changes[i]) && dN == -dZ);
        else bad = dN + dZ != 0;
        if (!bad) continue;
        if (++violations <= 5)
            list += nvx::strprintf("%s(%zu: dN=%ld, dZ=%ld)", violations == 1 ? "" : ", ", i, dN, dZ);
    }
    if (violations == 0) return 0;
    if (list.size() > 2047) list.resize(2047);
    std::string msg = nvx::strprintf("network violates N/Z conservation in %d reaction(s) (index, dN, dZ): %s%s",
                                     violations, list.c_str(), violations > 5 ? "..." : "");
    if (msg.size() > 2199) msg.resize(2199);
    return nvx::fail_str(error, msg);
}

}  // extern "C"
