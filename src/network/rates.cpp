// Nuclear rates of a run: the MT and LT networks with their compiled equations, rate variations,
// per-temperature rate evaluation with reverse rates, the integrator entry points and the summary.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "network/data_cache.hpp"
#include "network/network_internal.hpp"
#include "nuvex/numerics.h"

namespace {

int compile_and_check(NVXNetworkDef& def, NVXCompiledNetwork& comp, char** error) {
    if (nvx_compile_network(def.stoich, def.n_reactions, def.n_species, &comp, error)) return 1;
    std::vector<size_t> exempt;
    for (size_t i = 0; i < def.n_reactions; ++i)
        if (def.weak[i]) exempt.push_back(i);
    return nvx_check_conservation(&comp, def.species_N, def.species_Z, exempt.data(), exempt.size(),
                                  def.beta_change, error);
}

// Label "a + a <-> b + c" of one reaction from its stoichiometry.
std::string reaction_label(const NVXNetworkDef& d, size_t r) {
    const NVXReactionStoich& s = d.stoich[r];
    std::string out;
    auto side = [&](const int64_t* idx, const int64_t* mult, size_t n) {
        bool first = true;
        for (size_t j = 0; j < n; ++j)
            for (int64_t m = 0; m < mult[j]; ++m) {
                if (!first) out += " + ";
                first = false;
                out += idx[j] >= 0 ? d.species[idx[j]] : "?";
            }
    };
    side(s.reactants, s.reactant_mult, s.n_reactants);
    out += " <-> ";
    side(s.products, s.product_mult, s.n_products);
    if (out.size() > 255) out.resize(255);
    return out;
}

std::string species_list(const NVXNetworkDef& d) {
    std::string out;
    for (size_t k = 0; k < d.n_species; ++k) {
        std::string add = (k ? ", " : "") + std::string(d.species[k]);
        if (out.size() + add.size() > 8160) break;
        out += add;
    }
    return out;
}

// x^e for one x and the few exponents of the detailed-balance law (1.5, 0, -1.5, 3, -3): each
// distinct exponent costs one pow() per temperature instead of one per reaction.
class PowerCache {
public:
    explicit PowerCache(double x) : x_(x) {}
    double operator()(double e) {
        if (n_ > 0 && exps_[last_] == e) return vals_[last_];  // reactions often share it in a row
        for (int i = 0; i < n_; ++i)
            if (exps_[i] == e) return vals_[last_ = i];
        const double v = std::pow(x_, e);
        if (n_ < kSize) exps_[n_] = e, vals_[n_] = v, last_ = n_++;
        return v;
    }

private:
    static constexpr int kSize = 8;
    double x_;
    int n_ = 0, last_ = 0;
    double exps_[kSize], vals_[kSize];
};

}  // namespace

extern "C" {

void nvx_nuclear_rates_free(NVXNuclearRates* r) {
    if (!r) return;
    nvx_compiled_network_free(&r->lt_compiled);
    nvx_compiled_network_free(&r->mt_compiled);
    nvx_network_def_free(&r->lt);
    nvx_network_def_free(&r->mt);
}

int nvx_nuclear_rates_init(NVXNuclearRates* r, const NVXConfig* record, const NVXCustomNetwork* custom, char** error) {
    try {
        nvx::net::DataFiles files;  // both eras read each file once
        return nvx::net::nuclear_rates_init(r, record, custom, &files, error);
    } catch (const std::bad_alloc&) {
        return nvx::fail(error, "nvx_nuclear_rates_init: out of memory");
    }
}

}  // extern "C"

int nvx::net::nuclear_rates_init(NVXNuclearRates* r, const NVXConfig* record, const NVXCustomNetwork* custom,
                                 DataFiles* files, char** error) {
    if (!r) return nvx::fail(error, "nvx_nuclear_rates_init: no rates record");
    *r = NVXNuclearRates{};
    if (load_network(record, "MT", nullptr, 0, custom, files, &r->mt, error)) return 1;
    if (load_network(record, "LT", nullptr, 0, custom, files, &r->lt, error)) {
        nvx_network_def_free(&r->mt);
        return 1;
    }
    if (nvx_nuclear_rates_check_variation_keys(r, record, error)) {
        nvx_nuclear_rates_free(r);
        return 1;
    }
    nvx_nuclear_rates_apply_variations(r, record);
    if (compile_and_check(r->mt, r->mt_compiled, error) || compile_and_check(r->lt, r->lt_compiled, error)) {
        nvx_nuclear_rates_free(r);
        return 1;
    }
    // every run reports Yp: a network without helium-4 would end in a result check that blames the
    // tolerances
    bool has_he4 = false;
    for (size_t i = 0; i < r->lt.n_species && !has_he4; ++i) has_he4 = std::strcmp(r->lt.species[i], "He4") == 0;
    if (!has_he4) {
        nvx_nuclear_rates_free(r);
        return nvx::fail(error, "nvx_nuclear_rates_init: the network '%s' holds no helium-4 (He4), whose abundance "
                                "Yp every run reports",
                         record->network ? record->network : "(none)");
    }
    return 0;
}

extern "C" {

void nvx_network_apply_variations(NVXNetworkDef* d, const NVXConfig* record) {
    const size_t M = d->n_grid;
    const double cap = record->mc_rate_rescale_cap;
    for (size_t r = 1; r < d->n_reactions; ++r) {
        const double p = nvx_rxnmap_get(&record->p_map, d->reaction_names[r]);
        const double delta = nvx_rxnmap_get(&record->delta_map, d->reaction_names[r]);
        const double* base = d->rates_base + (r - 1) * M;
        const double* unc = d->rates_unc + (r - 1) * M;
        double* cur = d->rates_current + (r - 1) * M;
        if (p == 0.0 && delta == 0.0) {
            std::copy(base, base + M, cur);
            continue;
        }
        for (size_t j = 0; j < M; ++j) {
            // A missing uncertainty factor (custom table without a third column) means "not varied by p".
            const double u = unc[j] > 0.0 ? unc[j] : 1.0;
            double f = std::exp(p * std::log(u)) + delta;
            // Upper bound first, then lower: also defined for a cap below 1 (where 1/cap > cap).
            if (cap > 0.0) {
                if (f > cap) f = cap;
                if (f < 1.0 / cap) f = 1.0 / cap;
            }
            cur[j] = f * base[j];
        }
    }
    d->cache_valid = 0;
    d->curv_valid = 0;
}

void nvx_nuclear_rates_apply_variations(NVXNuclearRates* r, const NVXConfig* record) {
    nvx_network_apply_variations(&r->mt, record);
    nvx_network_apply_variations(&r->lt, record);
}

const double* nvx_network_fill_buffer(NVXNetworkDef* d, int lt, double T_K, double lambda_np, double lambda_pn) {
    double* buf = d->rate_buffer;
    if (d->cache_valid && d->cached_T_K == T_K && d->cached_lt == lt) return buf;
    buf[0] = lambda_np;
    buf[1] = lambda_pn;
    const double T9 = 1e-9 * T_K;
    const size_t M = d->n_grid;
    if (M >= 2 && !d->curv_valid) nvx::net::refresh_curvature(d);
    const nvx::net::GridPoint at = M >= 2 ? nvx::net::grid_point(*d, T9) : nvx::net::GridPoint{};
    PowerCache T9_pow(T9);
    for (size_t r = 1; r < d->n_reactions; ++r) {
        const double* cur = d->rates_current + (r - 1) * M;
        const double f = M >= 2 ? nvx::net::interpolate(cur, d->rates_curv + (r - 1) * M, at) : cur[0];
        double b = 0.0;
        const double* abg = d->reverse_coeffs + 3 * (r - 1);
        if (f > 1.0001e-35 && abg[0] != 0.0) {
            // Below -746 the exponential is exactly 0 in double precision: no need to call it.
            const double exponent = std::min(abg[2] / T9, 600.0);
            if (exponent > -746.0) b = abg[0] * T9_pow(abg[1]) * std::exp(exponent) * f;
            if (b < 0.0) b = 0.0;
            if (lt && b > d->reverse_caps[r - 1]) b = d->reverse_caps[r - 1];
        }
        buf[2 * r] = f;
        buf[2 * r + 1] = b;
    }
    d->cached_T_K = T_K;
    d->cached_lt = lt;
    d->cache_valid = 1;
    return buf;
}

void nvx_nuclear_rates_rhs_mt(NVXNuclearRates* r, const double* Y, double* dYdt, double T_K, double rho,
                              double lambda_np, double lambda_pn) {
    nvx_network_rhs(&r->mt_compiled, Y, nvx_network_fill_buffer(&r->mt, 0, T_K, lambda_np, lambda_pn), dYdt, rho);
}
void nvx_nuclear_rates_jac_mt(NVXNuclearRates* r, const double* Y, double* J, double T_K, double rho,
                              double lambda_np, double lambda_pn) {
    nvx_network_jacobian(&r->mt_compiled, Y, nvx_network_fill_buffer(&r->mt, 0, T_K, lambda_np, lambda_pn), J, rho);
}
void nvx_nuclear_rates_rhs_lt(NVXNuclearRates* r, const double* Y, double* dYdt, double T_K, double rho,
                              double lambda_np, double lambda_pn) {
    nvx_network_rhs(&r->lt_compiled, Y, nvx_network_fill_buffer(&r->lt, 1, T_K, lambda_np, lambda_pn), dYdt, rho);
}
void nvx_nuclear_rates_jac_lt(NVXNuclearRates* r, const double* Y, double* J, double T_K, double rho,
                              double lambda_np, double lambda_pn) {
    nvx_network_jacobian(&r->lt_compiled, Y, nvx_network_fill_buffer(&r->lt, 1, T_K, lambda_np, lambda_pn), J, rho);
}

void nvx_nuclear_rates_log_summary(const NVXNuclearRates* r, const NVXConfig* c) {
    auto n_rx = [](const NVXNetworkDef& d) { return d.n_reactions ? d.n_reactions - 1 : 0; };
    nvx_log(c, "rates", "MT network: %zu reactions over %zu nuclides.", n_rx(r->mt), r->mt.n_species);
    nvx_log(c, "rates", "LT network: %zu reactions over %zu nuclides.", n_rx(r->lt), r->lt.n_species);
    if (!c->verbose) return;
    nvx_log(c, "rates", "MT nuclides: %s", species_list(r->mt).c_str());
    nvx_log(c, "rates", "LT nuclides: %s", species_list(r->lt).c_str());
    std::vector<std::string> labels;
    int width = 0;
    for (size_t i = 0; i < r->lt.n_reactions; ++i) {
        labels.push_back(reaction_label(r->lt, i));
        width = std::max(width, static_cast<int>(labels.back().size()));
    }
    const std::string dashes(60, '-');
    std::string out = dashes + "\nLoaded " + std::to_string(r->lt.n_reactions) + " reactions (LT network):\n" + dashes + "\n";
    for (size_t i = 0; i < labels.size(); ++i) {
        const char* ref = r->lt.sources[i];
        std::string line = "  " + labels[i] + std::string(size_t(width) - labels[i].size(), ' ');
        out += ref[0] ? line + "   [" + ref + "]\n" : line + "\n";
    }
    nvx_message(c, NVX_MSG_TEXT, "rates", "%s", out.c_str());
}

}  // extern "C"
