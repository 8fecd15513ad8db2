// Neutrino decoupling history: the decoupling-code tables (main, spectral, grid) or instantaneous
// decoupling by entropy conservation, and the temperature, heating and scale-factor lookups.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "nuvex/constants.h"
#include "nuvex/neutrino.h"
#include "neutrino/history_rows.hpp"
#include "neutrino/relic_decoupling.hpp"

namespace {

constexpr size_t kMainColumns = 7;
constexpr size_t kSpectralColumns = 86;
constexpr size_t kFirstDistortionColumn = 6;  // 0-based: the seventh column
constexpr size_t kMaxMomenta = kSpectralColumns - kFirstDistortionColumn;
constexpr double kSRel = 2.4125699647107317;  // (11/2)(2 pi^2/45)

struct OwnedTable {
    NVXTable t{};
    ~OwnedTable() { nvx_table_free(&t); }
    double at(size_t col, size_t row) const { return t.columns[col][row]; }
};

using nvx::history_rows::copy_out;

std::string suffix(const NVXConfig* c) { return c->QED_corrections ? "" : "_NoQED"; }
std::string prefix(const NVXConfig* c) {
    return c->solan_file_prefix ? c->solan_file_prefix : "SOLANNUVEX";
}

int resolve(const NVXConfig* c, const char* name, const std::string& def, std::string& out,
            char** err) {
    char buf[4608];
    if (nvx_resolve_solan_path(c, name, def.c_str(), buf, sizeof buf) != 0)
        return nvx::fail(err, "nvx_resolve_solan_path: path too long: %s", buf);
    out = buf;
    return 0;
}

bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

// Main table: photon and flavour temperatures per row, rows in ascending photon temperature.
int load_main(nvx_neutrino_history* h, const NVXConfig* c, double m_e, char** err) {
    std::string path;
    const std::string def = prefix(c) + suffix(c) + "_col_1_7.csv";
    if (resolve(c, c->solan_file, def, path, err)) return 1;
    OwnedTable t;
    if (nvx_table_read(path.c_str(), kMainColumns, &t.t, err) != 0) return 1;
    const size_t n = t.t.nrows;
    if (n == 0) return nvx::fail(err, "%s: no data rows found", path.c_str());
    for (size_t r = 0; r < n; ++r)
        for (size_t col = 0; col < 5; ++col)
            if (!positive_finite(t.at(col, r)))
                return nvx::fail(err, "%s: data row %zu: column %zu must be a positive number",
                                 path.c_str(), r + 1, col + 1);
    for (size_t r = 0; r < n; ++r)
        if (!std::isfinite(t.at(5, r)))
            return nvx::fail(err, "%s: data row %zu: heating term is not a finite number",
                             path.c_str(), r + 1);
    auto Tg_of = [&](size_t r) { return m_e * t.at(1, r) / t.at(0, r); };
    const bool reverse = n >= 2 && Tg_of(0) > Tg_of(n - 1);
    nvx::history_rows::ThermalRows rows(n);
    auto &Tg = rows.Tg, &rn = rows.nue, &rm = rows.numu, &rt = rows.nutau, &N = rows.N, &lnT = rows.lnT,
         &lnx = rows.lnx;
    for (size_t k = 0; k < n; ++k) {
        const size_t r = reverse ? n - 1 - k : k;
        const double x = t.at(0, r);
        Tg[k] = Tg_of(r);
        rn[k] = (m_e * t.at(2, r) / x) / Tg[k];
        rm[k] = (m_e * t.at(3, r) / x) / Tg[k];
        rt[k] = (m_e * t.at(4, r) / x) / Tg[k];
        N[k] = t.at(5, r);
        lnT[k] = std::log(Tg[k]);
        lnx[k] = std::log(x);
        // interpolation in Tg needs a monotonic table; a folded one would be read silently wrong
        if (k > 0 && !(Tg[k] > Tg[k - 1]))
            return nvx::fail(err, "%s: data row %zu: photon temperature is not monotonic",
                             path.c_str(), r + 1);
    }
    if (!nvx::history_rows::set(h, rows)) return nvx::fail(err, "nvx_neutrino_history_init: out of memory");
    const size_t first = reverse ? n - 1 : 0, last = reverse ? 0 : n - 1;
    h->x_at_Tg_min = t.at(0, first);
    h->x_at_Tg_max = t.at(0, last);
    h->spectral_loaded = 0;
    return 0;
}

// Reads one of the spectral-side tables; a file without data gives the documented message.
int read_spectral_side(const std::string& path, size_t columns, OwnedTable& t, char** err) {
    char* msg = nullptr;
    if (nvx_table_read(path.c_str(), columns, &t.t, &msg) == 0 && t.t.nrows > 0) return 0;
    const std::string text = msg ? msg : "";
    std::free(msg);
    const std::string no_rows = "no data rows found";
    if (text.empty() || (text.size() >= no_rows.size() &&
                         text.compare(text.size() - no_rows.size(), no_rows.size(), no_rows) == 0))
        return nvx::fail(err, "nvx_resolve_solan_path: SOLAN spectral/grid table has no data rows");
    return nvx::fail_str(err, text);
}

int load_spectral(nvx_neutrino_history* h, const NVXConfig* c, char** err) {
    std::string spath, gpath;
    if (resolve(c, c->solan_spectral_file, prefix(c) + suffix(c) + ".csv", spath, err) ||
        resolve(c, c->solan_grid_file, "SOLANGrid.csv", gpath, err))
        return 1;
    OwnedTable s, g;
    if (read_spectral_side(spath, kSpectralColumns, s, err)) return 1;
    if (read_spectral_side(gpath, 1, g, err)) return 1;
    const size_t n_spec = s.t.nrows, n_mom = g.t.nrows;
    // Column 7 + j of the spectral table holds the distortion at grid momentum j. More momenta than
    // columns would read past the table; fewer are allowed only when the columns left over are
    // padding (all zero): a grid that lost a row would otherwise pair every column with the wrong
    // momentum without a word.
    if (n_mom > kMaxMomenta)
        return nvx::fail(err, "%s: %zu grid momenta, but the spectral table has only %zu distortion "
                              "columns", gpath.c_str(), n_mom, kMaxMomenta);
    if (n_mom < 2) return nvx::fail(err, "%s: need at least 2 grid momenta", gpath.c_str());
    for (size_t j = kMaxMomenta; j-- > n_mom;)
        for (size_t r = 0; r < s.t.nrows; ++r)
            if (s.at(kFirstDistortionColumn + j, r) != 0.0)
                return nvx::fail(err, "%s: %zu grid momenta, but the spectral table %s holds distortions in %zu "
                                      "columns (column %zu, data row %zu, is not zero): the grid needs one "
                                      "momentum per distortion column",
                                 gpath.c_str(), n_mom, spath.c_str(), j + 1, kFirstDistortionColumn + j + 1, r + 1);
    for (size_t j = 0; j < n_mom; ++j) {
        const double y = g.t.columns[0][j];
        if (!(std::isfinite(y) && y >= 0.0) || (j > 0 && !(y > g.t.columns[0][j - 1])))
            return nvx::fail(err, "%s: data row %zu: grid momenta must be finite, non-negative and increasing",
                             gpath.c_str(), j + 1);
    }
    if (n_spec < 2) return nvx::fail(err, "%s: need at least 2 data rows", spath.c_str());
    for (size_t r = 0; r < n_spec; ++r)
        if (!positive_finite(s.at(0, r)) || !positive_finite(s.at(1, r)))
            return nvx::fail(err, "%s: data row %zu: x and z_gamma must be positive numbers",
                             spath.c_str(), r + 1);
    const bool reverse = s.at(0, 0) > s.at(0, n_spec - 1);
    std::vector<double> lnx(n_spec), w(n_spec), x(n_spec), df(n_spec * n_mom);
    for (size_t k = 0; k < n_spec; ++k) {
        const size_t r = reverse ? n_spec - 1 - k : k;
        x[k] = s.at(0, r);
        lnx[k] = std::log(x[k]);
        if (k > 0 && lnx[k] < lnx[k - 1])
            return nvx::fail(err, "%s: data row %zu: scale-factor variable is not monotonic",
                             spath.c_str(), r + 1);
        w[k] = x[k] / s.at(1, r);
        for (size_t j = 0; j < n_mom; ++j) df[k * n_mom + j] = s.at(kFirstDistortionColumn + j, r);
    }
    std::vector<size_t> order(n_spec);
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return w[a] < w[b]; });
    std::vector<double> ws(n_spec), xw(n_spec);
    for (size_t k = 0; k < n_spec; ++k) {
        ws[k] = w[order[k]];
        xw[k] = x[order[k]];
    }
    std::vector<double> grid(g.t.columns[0], g.t.columns[0] + n_mom);
    h->lnx_spec = copy_out(lnx);
    h->w_sorted = copy_out(ws);
    h->x_by_w = copy_out(xw);
    h->dfnu = copy_out(df);
    h->grid = copy_out(grid);
    h->n_spec = n_spec;
    h->n_mom = n_mom;
    if (!h->lnx_spec || !h->w_sorted || !h->x_by_w || !h->dfnu || !h->grid)
        return nvx::fail(err, "nvx_neutrino_history_init: out of memory");
    h->w_min = ws.front();
    h->w_max = ws.back();
    h->grid_min = grid.front();
    h->grid_max = grid.back();
    h->spectral_loaded = 1;
    return 0;
}

double qed_entropy_coefficient(double alpha) {
    return 0.8772981689857207 * (2.75 - 25.0 * alpha / 25.132741228718345 +
                                 10.0 * 1.0233267079464885 * std::pow(alpha, 1.5) / 9.869604401089358);
}

double flavour_T(const nvx_neutrino_history* h, const double* ratio, double T) {
    if (h->mode == NVX_NU_MODE_TABULATED) return T * nvx_interp_linear(h->Tg, ratio, h->n, 0, T);
    return std::cbrt(nvx_plasma_spl(h->plasma, T) / h->entropy_coefficient);
}

}  // namespace

extern "C" {

int nvx_resolve_solan_path(const NVXConfig* config, const char* name, const char* default_name,
                           char* buf, size_t size) {
    if (!buf || size == 0) return 1;
    const char* file = (name && *name) ? name : (default_name ? default_name : "");
    int len;
    if (file[0] == '/')
        len = std::snprintf(buf, size, "%s", file);
    else
        len = std::snprintf(buf, size, "%s/SOLAN/%s", config->data_dir, file);
    return (len < 0 || size_t(len) >= size) ? 1 : 0;
}

int nvx_neutrino_history_init(nvx_neutrino_history* h, const NVXConfig* config,
                              const nvx_plasma* plasma, char** err) {
    std::memset(h, 0, sizeof *h);
    h->config = config;
    h->plasma = plasma;
    const double* c = nvx_constants_init();
    if (config->incomplete_decoupling) {
        h->mode = NVX_NU_MODE_TABULATED;
        int rc = load_main(h, config, c[NVX_C_m_e], err);
        if (!rc && nvx_config_has_relic(config)) rc = nvx::relic::apply_relic(h, config, plasma, err);
        if (!rc && config->spectral_distortions && !config->analytic_distortions)
            rc = load_spectral(h, config, err);
        if (rc) {
            nvx_neutrino_history_free(h);
            return 1;
        }
    } else {
        h->mode = NVX_NU_MODE_INSTANTANEOUS;
        h->entropy_coefficient =
            config->QED_corrections ? qed_entropy_coefficient(c[NVX_C_alpha_fs]) : kSRel;
    }
    if (config->analytic_distortions) {
        h->analytic = 1;
        h->xi_nue = nvx_config_xi_nu_e(config);
        h->y_SZ = config->y_SZ;
        h->y_gray = config->y_gray;
    }
    return 0;
}

void nvx_neutrino_history_free(nvx_neutrino_history* h) {
    if (!h) return;
    double* arrays[] = {h->Tg,       h->ratio_nue, h->ratio_numu, h->ratio_nutau, h->Nheating,
                        h->lnTg,     h->lnx,       h->w_sorted,   h->x_by_w,      h->lnx_spec,
                        h->dfnu,     h->grid,      h->ratio_relic};
    for (double* a : arrays) std::free(a);
    std::memset(h, 0, sizeof *h);
}

double nvx_nu_Tnue_of_Tg(const nvx_neutrino_history* h, double T) {
    return flavour_T(h, h->ratio_nue, T);
}
double nvx_nu_Tnumu_of_Tg(const nvx_neutrino_history* h, double T) {
    return flavour_T(h, h->ratio_numu, T);
}
double nvx_nu_Tnutau_of_Tg(const nvx_neutrino_history* h, double T) {
    return flavour_T(h, h->ratio_nutau, T);
}

double nvx_nu_T_relic_of_Tg(const nvx_neutrino_history* h, double T) {
    if (!h->has_relic || !h->ratio_relic) return 0.0;
    return T * nvx_interp_linear(h->Tg, h->ratio_relic, h->n, 0, T);
}

double nvx_nu_N_SOLAN_of_Tg(const nvx_neutrino_history* h, double T) {
    if (h->mode != NVX_NU_MODE_TABULATED || !(T >= h->Tg_min && T <= h->Tg_max)) return 0.0;
    return nvx_interp_linear(h->Tg, h->Nheating, h->n, 0, T);
}

double nvx_nu_x_of_Tg(const nvx_neutrino_history* h, double T) {
    if (h->mode != NVX_NU_MODE_TABULATED) return 0.0;
    if (T < h->Tg_min) return h->Tg_min * h->x_at_Tg_min / T;
    if (T > h->Tg_max) return h->Tg_max * h->x_at_Tg_max / T;
    return std::exp(nvx_interp_linear(h->lnTg, h->lnx, h->n, 0, std::log(T)));
}

}  // extern "C"
