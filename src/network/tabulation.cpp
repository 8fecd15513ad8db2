// Rate tabulation of an assembled network: forward rates and uncertainty factors on one log grid
// in T9 (tables, decays or custom overrides), reverse coefficients, nuclear QED factors, reverse caps.
#include <algorithm>
#include <cmath>

#include "config/err.hpp"
#include "network/assembly.hpp"
#include "network/data_cache.hpp"
#include "network/network_internal.hpp"
#include "nuvex/constants.h"
#include "nuvex/numerics.h"

using nvx::fail;
using namespace nvx::net;

namespace {

int resample_linear(const std::vector<double>& u_src, const double* y_src, const std::vector<double>& u_dst,
                    double* y_dst) {
    const size_t n = u_src.size();
    for (size_t k = 0; k < u_dst.size(); ++k) {
        const double u = u_dst[k];
        size_t i = u <= u_src[0] ? 0 : u >= u_src[n - 1] ? n - 2 : nvx_find_segment(u_src.data(), n, u);
        y_dst[k] = y_src[i] + (y_src[i + 1] - y_src[i]) * (u - u_src[i]) / (u_src[i + 1] - u_src[i]);
    }
    return 0;
}

int resample_spline(const std::vector<double>& u_src, const double* y_src, const std::vector<double>& u_dst,
                    double* y_dst, char** error) {
    std::vector<double> ly(u_src.size());
    for (size_t i = 0; i < ly.size(); ++i) ly[i] = std::log10(y_src[i]);
    nvx_cubic_spline sp{};
    if (nvx_cubic_spline_fit_notaknot(u_src.data(), ly.data(), ly.size(), &sp, error)) return 1;
    for (size_t k = 0; k < u_dst.size(); ++k) y_dst[k] = std::pow(10.0, nvx_cubic_spline_eval(&sp, u_dst[k]));
    nvx_cubic_spline_free(&sp);
    return 0;
}

// Rates are finite and never negative. An uncertainty factor u multiplies the rate by u^p for a
// variation of p sigma: it is >= 1 (below 1, a positive p would lower the rate; 0 or less has no
// meaning); 0 only where a custom row left the factor out ("not varied"). Anything else would be
// interpolated into a wrong network.
int check_rate_rows(const double* rate, const double* factor, size_t n, bool zero_factor_ok, const char* rxn,
                    const char* what, char** error) {
    for (size_t i = 0; i < n; ++i) {
        if (!std::isfinite(rate[i]) || rate[i] < 0.0)
            return fail(error, "reaction '%s', %s, data row %zu: rate %g must be finite and >= 0", rxn, what, i + 1,
                        rate[i]);
        const bool factor_ok = std::isfinite(factor[i]) && (factor[i] >= 1.0 || (zero_factor_ok && factor[i] == 0.0));
        if (!factor_ok)
            return fail(error, "reaction '%s', %s, data row %zu: uncertainty factor %g must be finite and >= 1 "
                               "(a multiplicative 1-sigma factor)", rxn, what, i + 1, factor[i]);
    }
    return 0;
}

struct Tabulator {
    const NVXConfig* cfg;
    const NVXCustomNetwork* custom;
    const NVXReactionTable& catalogue;
    const NVXDetailedBalanceTable& balance;
    DataFiles& data;
    NVXNetworkDef* def;
    const NVXDecayTable* decays = nullptr;

    size_t M() const { return def->n_grid; }
    double* base(size_t r) { return def->rates_base + (r - 1) * M(); }
    double* unc(size_t r) { return def->rates_unc + (r - 1) * M(); }

    int resample(const double* x, const double* y, size_t n, double* out, const char* rxn, const char* what,
                 char** error) {
        char* msg = nullptr;
        if (nvx_resample_rate_table(x, y, n, def->grid_T9, out, M(), &msg) == 0) return 0;
        fail(error, "%s (reaction '%s', %s)", msg ? msg : "resampling failed", rxn, what);
        std::free(msg);
        return 1;
    }

    const NVXCustomEntry* override_of(const char* name) const {
        for (size_t i = 0; custom && i < custom->n_entries; ++i)
            if (std::strncmp(custom->entries[i].name, name, NVX_RXN_NAME_LEN) == 0) return &custom->entries[i];
        return nullptr;
    }

    int from_override(size_t r, const NVXCustomEntry& e, char** error) {
        const char* name = def->reaction_names[r];
        // a custom row given with two numbers carries factor 0: "not varied"
        if (check_rate_rows(e.col2, e.col3, e.n_rows, true, name, "custom rate table", error)) return 1;
        if (resample(e.col1, e.col2, e.n_rows, base(r), name, "custom rate table", error) ||
            resample(e.col1, e.col3, e.n_rows, unc(r), name, "custom uncertainty column", error))
            return 1;
        std::strcpy(def->sources[r], "custom");
        return 0;
    }

    int from_decays(size_t r, char** error) {
        if (!decays) {
            std::string path = std::string(cfg->data_dir) + "/nuclear/tables/decays.txt";
            decays = data.decays(path.c_str(), error);
            if (!decays) return 1;
        }
        const NVXDecayRow* row = find_row(*decays, def->reaction_names[r]);
        if (!row) return fail(error, "decay reaction '%s' has no entry in decays.txt", def->reaction_names[r]);
        std::fill(base(r), base(r) + M(), row->rate);
        std::fill(unc(r), unc(r) + M(), row->unc);
        nvx::copy_name(def->sources[r], NVX_SOURCE_LEN, row->note[0] ? row->note : "?");
        return 0;
    }

    int from_table(size_t r, const std::string& file, char** error) {
        const char* name = def->reaction_names[r];
        std::string rel = nvx::strprintf("nuclear/tables/%s/%s", name, file.c_str());
        char path[4608];
        nvx_config_resolve_rates_path(cfg, rel.c_str(), path, sizeof path);
        const DataFiles::RateTable* rt = data.rate_table(path, error);
        if (!rt) return 1;
        const NVXTable& t = rt->table;
        std::string what = nvx::strprintf("table '%s'", path);
        if (t.nrows && check_rate_rows(t.columns[1], t.columns[2], t.nrows, false, name, what.c_str(), error))
            return 1;
        int rc = resample(t.columns ? t.columns[0] : nullptr, t.columns ? t.columns[1] : nullptr, t.nrows, base(r),
                          name, what.c_str(), error);
        if (rc == 0)
            rc = resample(t.columns ? t.columns[0] : nullptr, t.columns ? t.columns[2] : nullptr, t.nrows, unc(r),
                          name, what.c_str(), error);
        if (rc == 0) std::memcpy(def->sources[r], rt->source, NVX_SOURCE_LEN);
        return rc;
    }

    // Reverse coefficients: tabulated row, else (for decays, when asked) computed from the sides.
    void reverse_coefficients(size_t r) {
        double* abg = def->reverse_coeffs + 3 * (r - 1);
        abg[0] = abg[1] = abg[2] = 0.0;
        const char* name = def->reaction_names[r];
        if (const NVXDetailedBalanceRow* b = find_row(balance, name)) {
            abg[0] = b->alpha, abg[1] = b->beta, abg[2] = b->gamma;
            return;
        }
        if (!def->weak[r] || !cfg->decay_reverse_rates) return;
        const NVXReactionRow* row = find_row(catalogue, name);
        NVXSide sa, sb;
        int32_t ba, bb;
        if (!row || nvx_parse_side(row->reactants, &sa, &ba, nullptr) || nvx_parse_side(row->products, &sb, &bb, nullptr))
            return;
        double computed[3];
        if (side_balance(sa, sb, cfg, computed) && computed[2] < 0) std::copy(computed, computed + 3, abg);
    }

    void qed_corrections(size_t r) {
        bool applies = false;
        nuclear_qed_factor(def->reaction_names[r], def->grid_T9[0], &applies);
        if (!applies) return;
        for (size_t j = 0; j < M(); ++j) base(r)[j] *= nuclear_qed_factor(def->reaction_names[r], def->grid_T9[j], nullptr);
    }

    void reverse_caps() {
        const double T9n = nvx_T_nucl() * 1e-9;
        size_t k = M() - 1;
        for (size_t j = 0; j < M(); ++j)
            if (def->grid_T9[j] >= T9n) {
                k = j;
                break;
            }
        const double T9 = def->grid_T9[k];
        for (size_t r = 1; r < def->n_reactions; ++r) {
            const double* abg = def->reverse_coeffs + 3 * (r - 1);
            def->reverse_caps[r - 1] = abg[0] * std::pow(T9, abg[1]) * std::exp(std::min(abg[2] / T9, 600.0)) *
                                       def->rates_current[(r - 1) * M() + k];
        }
    }
};

int allocate_rate_fields(NVXNetworkDef* def, size_t M) {
    const size_t R = def->n_reactions, rows = R - 1;
    auto zeros = [](size_t n) { return static_cast<double*>(std::calloc(n ? n : 1, sizeof(double))); };
    def->n_grid = M;
    def->grid_T9 = zeros(M);
    def->rates_current = zeros(rows * M);
    def->rates_base = zeros(rows * M);
    def->rates_unc = zeros(rows * M);
    def->reverse_coeffs = zeros(3 * rows);
    def->reverse_caps = zeros(rows);
    def->rate_buffer = zeros(2 * R);
    def->rates_curv = zeros(rows * M);
    return def->grid_T9 && def->rates_current && def->rates_base && def->rates_unc && def->reverse_coeffs &&
                   def->reverse_caps && def->rate_buffer && def->rates_curv
               ? 0
               : 1;
}

}  // namespace

namespace nvx::net {

double nuclear_qed_factor(const char* reaction, double T9, bool* applies) {
    struct Capture {
        const char* name;
        double Z1, Z2, A1, A2, Q_MeV;
    };
    static constexpr Capture kCaptures[] = {{"d_p__He3_g", 1, 1, 1, 2, 5.493475},
                                            {"t_p__a_g", 1, 1, 1, 3, 19.813865999999997},
                                            {"t_a__Li7_g", 1, 2, 4, 3, 2.4676219999999995},
                                            {"He3_a__Be7_g", 2, 2, 4, 3, 1.5871349999999984}};
    if (applies) *applies = true;
    if (std::strcmp(reaction, "n_p__d_g") == 0) {
        double f = 1.0003328617393168 +
                   T9 * (0.00010013475534938917 +
                         T9 * (4.089993260910648e-05 + T9 * (-1.1824673537229535e-05 + T9 * 1.0522377796855455e-06)));
        return std::min(f, 1.0009003934476768);
    }
    for (const Capture& c : kCaptures) {
        if (std::strcmp(reaction, c.name) != 0) continue;
        const double mu = c.A1 * c.A2 / (c.A1 + c.A2);
        const double E0 = 0.122 * std::cbrt(c.Z1 * c.Z1) * std::cbrt(c.Z2 * c.Z2) * std::cbrt(mu) * std::cbrt(T9 * T9);
        const double x = (E0 + c.Q_MeV) / 0.51099895, a = 0.0072973525692838015;
        return 0.999565830500675 - a / (3.0 * M_PI) * std::log(4.0 / (x * x)) +
               3.0 * a * (1.0 + std::log(4.0 * x * x)) / (4.0 * M_PI * x * x * x * x);
    }
    if (applies) *applies = false;
    return 1.0;
}

int tabulate_rates(const NVXConfig* cfg, const NVXCustomNetwork* custom, const NVXReactionTable& catalogue,
                   const NVXDetailedBalanceTable& balance, const std::vector<std::string>& files, DataFiles& data,
                   NVXNetworkDef* def, char** error) {
    nvx_constants_init();
    const double lo = cfg->rate_grid_T9_min, hi = cfg->rate_grid_T9_max;
    if (cfg->rate_grid_npts < 1 || !(lo > 0.0) || !(hi >= lo) || !std::isfinite(hi))
        return fail(error, "nvx_load_network: the rate grid needs rate_grid_npts >= 1 and 0 < rate_grid_T9_min <= "
                           "rate_grid_T9_max");
    const size_t M = static_cast<size_t>(cfg->rate_grid_npts);
    if (allocate_rate_fields(def, M)) return fail(error, "nvx_load_network: out of memory");
    const double l0 = std::log10(lo), l1 = std::log10(hi);
    for (size_t i = 0; i < M; ++i)
        def->grid_T9[i] = M == 1 ? lo : std::pow(10.0, l0 + static_cast<double>(i) * (l1 - l0) / static_cast<double>(M - 1));
    // The interpolation places point i at ln T9_0 + i d exactly (the grid is uniform in ln T9).
    def->grid_lnT9_0 = std::log(def->grid_T9[0]);
    def->grid_inv_dlnT9 = M > 1 ? static_cast<double>(M - 1) / (std::log(def->grid_T9[M - 1]) - def->grid_lnT9_0) : 0.0;

    Tabulator tab{cfg, custom, catalogue, balance, data, def};
    for (size_t r = 1; r < def->n_reactions; ++r) {
        int rc;
        if (const NVXCustomEntry* e = tab.override_of(def->reaction_names[r])) rc = tab.from_override(r, *e, error);
        else if (def->weak[r]) rc = tab.from_decays(r, error);
        else rc = tab.from_table(r, files[r - 1], error);
        if (rc) return 1;
        tab.reverse_coefficients(r);
        if (cfg->nuclear_qed_corrections) tab.qed_corrections(r);
    }
    std::copy(def->rates_base, def->rates_base + (def->n_reactions - 1) * M, def->rates_current);
    tab.reverse_caps();
    def->cache_valid = 0;
    def->curv_valid = 0;
    return 0;
}

}  // namespace nvx::net

extern "C" int nvx_resample_rate_table(const double* x_src, const double* y_src, size_t n_src, const double* x_dst,
                                       double* y_dst, size_t n_dst, char** error) {
    if (n_src == n_dst) {
        bool same = true;
        for (size_t i = 0; i < n_src && same; ++i) same = std::fabs(x_src[i] / x_dst[i] - 1.0) < 1e-6;
        if (same) {
            if (n_src) std::copy(y_src, y_src + n_src, y_dst);
            return 0;
        }
    }
    bool nonpositive = false;
    for (size_t i = 0; i < n_src; ++i) {
        if (!(x_src[i] > 0.0) || !std::isfinite(x_src[i]) || (i > 0 && !(x_src[i] > x_src[i - 1])))
            return fail(error, "nvx_resample_rate_table: temperatures must be positive and strictly increasing "
                               "(row %zu)", i + 1);
        if (!std::isfinite(y_src[i])) return fail(error, "nvx_resample_rate_table: non-finite value in row %zu", i + 1);
        nonpositive = nonpositive || y_src[i] <= 0.0;
    }
    std::vector<double> u_src(n_src), u_dst(n_dst);
    for (size_t i = 0; i < n_src; ++i) u_src[i] = std::log10(x_src[i]);
    for (size_t k = 0; k < n_dst; ++k) u_dst[k] = std::log10(x_dst[k]);
    if (nonpositive) {
        if (n_src < 2)
            return fail(error, "nvx_resample_rate_table: a table of %zu row(s) with a rate <= 0 cannot be "
                               "interpolated (need at least 2 rows)", n_src);
        return resample_linear(u_src, y_src, u_dst, y_dst);
    }
    return resample_spline(u_src, y_src, u_dst, y_dst, error);
}
