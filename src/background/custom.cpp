// Custom background: T, t, a read from a tab- or comma-separated table with a header line, kept
// sorted three ways for the lookups, and the late-time Friedmann estimate of the neutrino density.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "background/bg_internal.hpp"
#include "config/err.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/constants.h"

namespace nvx::bg {
namespace {

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Fields of one line; carriage returns end a field like the separator does.
std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char ch : line) {
        if (ch == sep || ch == '\r' || ch == '\n') {
            out.push_back(cur);
            cur.clear();
            if (ch != sep) return out;
        } else {
            cur.push_back(ch);
        }
    }
    out.push_back(cur);
    return out;
}

// The whole field (blanks around it aside) must be the number: "1.5e3x" is no value, not 1500.
double parse_field(const std::vector<std::string>& fields, size_t col) {
    if (col >= fields.size()) return std::nan("");
    const std::string text(trim(fields[col]));
    const char* s = text.c_str();
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    return end == s || *end != '\0' ? std::nan("") : v;
}

struct Rows {
    std::vector<double> T, t, a;
};

int read_table(const char* path, Rows& rows, char** err) {
    nvx::inputs::read(path);
    std::ifstream in(path, std::ios::binary);
    if (!in && ::access(path, F_OK) != 0) return fail(err, "custom_background file '%s' not found", path);
    if (!in) return fail(err, "cannot read custom_background file '%s': %s", path, std::strerror(errno));
    std::string header;
    if (!std::getline(in, header)) return fail(err, "custom_background file is empty");
    const char sep = header.find('\t') != std::string::npos ? '\t' : ',';
    long col_T = -1, col_t = -1, col_a = -1;
    const auto titles = split(header, sep);
    for (size_t i = 0; i < titles.size(); ++i) {
        const std::string_view name = trim(titles[i]);
        if (name == "T" && col_T < 0) col_T = long(i);
        else if (name == "t" && col_t < 0) col_t = long(i);
        else if (name == "a" && col_a < 0) col_a = long(i);
    }
    if (col_T < 0 || col_t < 0 || col_a < 0)
        return fail(err, "custom_background file is missing required column(s): %s%s%s",
                    col_T < 0 ? "T " : "", col_t < 0 ? "t " : "", col_a < 0 ? "a " : "");
    rows.T.reserve(64); rows.t.reserve(64); rows.a.reserve(64);
    std::string line;
    size_t lineno = 1;
    while (std::getline(in, line)) {
        ++lineno;
        if (line.empty() || line == "\r") continue;  // blank line (also with a CRLF ending)
        const auto fields = split(line, sep);
        const double T = parse_field(fields, size_t(col_T));
        const double t = parse_field(fields, size_t(col_t));
        const double a = parse_field(fields, size_t(col_a));
        // NaN fails these comparisons; infinities would break every interpolation.
        const auto ok = [](double v) { return v > 0.0 && std::isfinite(v); };
        if (!ok(T) || !ok(t) || !ok(a))
            return fail(err, "%s:%zu: custom_background file: columns T, t, a must all be strictly positive numbers",
                        path, lineno);
        rows.T.push_back(T); rows.t.push_back(t); rows.a.push_back(a);
    }
    if (rows.T.size() < 2)
        return fail(err, "custom_background file '%s' needs at least two data rows (found %zu)",
                    path, rows.T.size());
    // A column holding one value throughout leaves nothing to interpolate along it.
    const std::pair<const char*, const std::vector<double>*> cols[] = {
        {"T", &rows.T}, {"t", &rows.t}, {"a", &rows.a}};
    for (const auto& [title, v] : cols) {
        const auto [lo, hi] = std::minmax_element(v->begin(), v->end());
        if (!(*hi > *lo))
            return fail(err, "custom_background file '%s': column %s has the same value in every row",
                        path, title);
    }
    return 0;
}

}  // namespace

// Orders three parallel arrays by ascending key (stable: equal keys keep their order).
void sort_by(const std::vector<double>& key, std::vector<double>& first,
             std::vector<double>& second, std::vector<double>& third) {
    const size_t n = key.size();
    std::vector<size_t> perm(n);
    for (size_t i = 0; i < n; ++i) perm[i] = i;
    // n log n: a table of many rows must not turn the sort into the run's longest stage
    std::stable_sort(perm.begin(), perm.end(), [&](size_t x, size_t y) { return key[x] < key[y]; });
    const std::vector<double> f = first, s = second, t = third;
    for (size_t i = 0; i < n; ++i) {
        first[i] = f[perm[i]];
        second[i] = s[perm[i]];
        third[i] = t[perm[i]];
    }
}

namespace {

int store_sorted(nvx_background* bg, const Rows& rows, char** err) {
    // by t: (t, T, a); by T: (T, t, a) from file order; by a: (a, T, t) from the t-sorted copy.
    std::vector<double> tt = rows.t, tT = rows.T, ta = rows.a;
    sort_by(std::vector<double>(tt), tt, tT, ta);
    std::vector<double> TT = rows.T, Tt = rows.t, Ta = rows.a;
    sort_by(std::vector<double>(TT), TT, Tt, Ta);
    std::vector<double> aa = ta, aT = tT, at = tt;
    sort_by(std::vector<double>(aa), aa, aT, at);
    const std::vector<double>* src[] = {&tt, &tT, &ta, &TT, &Tt, &Ta, &aa, &aT, &at};
    double** dst[] = {&bg->by_t_t, &bg->by_t_T, &bg->by_t_a, &bg->by_T_T, &bg->by_T_t,
                      &bg->by_T_a, &bg->by_a_a, &bg->by_a_T, &bg->by_a_t};
    for (size_t i = 0; i < 9; ++i) {
        *dst[i] = to_c_array(*src[i]);
        if (!*dst[i]) return fail(err, "nvx_bg_init_custom: out of memory for the tables");
    }
    bg->n_rows = rows.T.size();
    return 0;
}

// Weak-rate grid of a custom background: uniform in T over the table's range, with the history's
// electron-neutrino temperatures, stored in bg->T and bg->Tnue.
int weak_grid(nvx_background* bg, char** err) {
    const double T_min = bg->by_T_T[0], T_max = bg->by_T_T[bg->n_rows - 1];
    long n_grid = std::lround(std::log10(T_max / T_min) * bg->config->sampling_temperature_per_decade);
    if (n_grid < 3) n_grid = 2;
    const size_t n = size_t(n_grid);
    std::vector<double> T(n), Tnue(n);
    for (size_t i = 0; i < n; ++i) {
        T[i] = T_min + (double(i) / double(n - 1)) * (T_max - T_min);
        Tnue[i] = nvx_nu_Tnue_of_Tg(&bg->history, T[i]);
    }
    bg->T = to_c_array(T);
    bg->Tnue = to_c_array(Tnue);
    if (!bg->T || !bg->Tnue) return fail(err, "nvx_bg_init_custom: out of memory for the tables");
    bg->n_grid = n;
    return 0;
}

int read_and_sort(nvx_background* bg, const char* path, char** err) {
    Rows rows;
    if (read_table(path, rows, err) != 0) return 1;
    if (store_sorted(bg, rows, err) != 0) return 1;
    bg->ready = 1;
    return 0;
}

int init_custom(nvx_background* bg, const char* path, char** err) {
    if (read_and_sort(bg, path, err) != 0) return 1;
    if (nvx_neutrino_history_init(&bg->history, bg->config, bg->plasma, err) != 0) return 1;
    bg->history_ready = 1;
    if (weak_grid(bg, err) != 0) return 1;
    return init_weak(bg, bg->T, bg->Tnue, bg->n_grid, err);
}

int start_custom(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma) {
    *bg = nvx_background{};
    nvx_constants_init();
    bg->mode = NVX_BG_CUSTOM;
    bg->config = config;
    bg->plasma = plasma;
    return 0;
}

template <typename Step>
int guarded(nvx_background* bg, char** err, Step step) {
    int rc;
    try {
        rc = step();
    } catch (const std::bad_alloc&) {
        rc = fail(err, "nvx_bg_init_custom: out of memory");
    }
    if (rc != 0) nvx_background_free(bg);
    return rc;
}

}  // namespace

int custom_rho_nu_final(const nvx_background* bg, double* T_out, double* rho_nu_out) {
    const size_t n = bg->n_rows;
    if (!bg->ready || n < 2) return 1;
    size_t b = n < 100 ? n / 2 : 50;
    if (b < 2) b = 2;
    // Late-time power law a ~ t^p by least squares over the last b rows: H = p / t.
    double Sx = 0, Sy = 0, Sxx = 0, Sxy = 0;
    for (size_t i = n - b; i < n; ++i) {
        const double x = std::log(bg->by_t_t[i]), y = std::log(bg->by_t_a[i]);
        Sx += x; Sy += y; Sxx += x * x; Sxy += x * y;
    }
    const double denom = double(b) * Sxx - Sx * Sx;
    if (!(denom != 0.0)) return 1;  // all late rows at one time: no expansion rate
    const double p = (double(b) * Sxy - Sx * Sy) / denom;
    const double t_last = bg->by_t_t[n - 1], T_last = bg->by_t_T[n - 1];
    const double H = p / t_last;
    const double Mpl2 = 1.0 / bg->config->G;
    const double c = nvx_MeV_to_secm1();
    const double rho_tot = 3.0 * Mpl2 / kEightPi * (H / c) * (H / c);
    const double rho_pl = rho_plasma(bg, T_last);
    const double rho_nu = rho_tot - rho_pl;
    nvx_message(bg->config, NVX_MSG_WARNING, "bg",
                "[custom_background] Neff from Friedmann H^2=8piG/3*rho_tot at Tg = %.4e MeV: "
                "H = %.6e s^-1, rho_tot = %.6e MeV^4, rho_plasma = %.6e MeV^4, rho_nu = %.6e MeV^4",
                T_last, H, rho_tot, rho_pl, rho_nu);
    *T_out = T_last;
    *rho_nu_out = rho_nu;
    return 0;
}

int build_custom_tables(nvx_background* bg, const NVXConfig* config, const nvx_plasma* plasma,
                        const nvx_neutrino_history* history, const char* path, char** err) {
    start_custom(bg, config, plasma);
    return guarded(bg, err, [&] {
        if (read_and_sort(bg, path, err) != 0) return 1;
        bg->history = *history;  // lent: history_ready stays 0, so the record never frees it
        return weak_grid(bg, err);
    });
}

}  // namespace nvx::bg

extern "C" int nvx_bg_custom_table_read(const char* path, size_t* n_rows, char** err) {
    nvx::bg::Rows rows;
    if (!path) return nvx::fail(err, "nvx_bg_custom_table_read: no path");
    if (nvx::bg::read_table(path, rows, err) != 0) return 1;
    if (n_rows) *n_rows = rows.T.size();
    return 0;
}

extern "C" int nvx_bg_init_custom(nvx_background* bg, const NVXConfig* config,
                                  const nvx_plasma* plasma, const char* path, char** err) {
    if (!bg) return nvx::fail(err, "nvx_bg_init_custom: no background record");
    *bg = nvx_background{};
    if (!config || !plasma) return nvx::fail(err, "nvx_bg_init_custom: no parameter record or plasma");
    if (!path) return nvx::fail(err, "custom_background file '%s' not found", "");
    nvx::bg::start_custom(bg, config, plasma);
    return nvx::bg::guarded(bg, err, [&] { return nvx::bg::init_custom(bg, path, err); });
}

extern "C" int nvx_bg_rho_nu_total_final(const nvx_background* bg, double* T_out,
                                         double* rho_nu_out) {
    using namespace nvx::bg;
    if (bg->mode == NVX_BG_CUSTOM) return custom_rho_nu_final(bg, T_out, rho_nu_out);
    if (!bg->ready || bg->n == 0) return 1;
    const size_t l = bg->n - 1;
    const double T = bg->T[l];
    double rho_nu = rho_neutrinos(bg, T, bg->Tnue[l], bg->Tnumu[l], bg->Tnutau[l]);
    if (bg->history.has_relic) rho_nu = relic_late_rho_nu(bg, T, bg->Tnue[l], bg->Tnumu[l], bg->Tnutau[l], rho_nu);
    *T_out = T;
    *rho_nu_out = rho_nu;
    return 0;
}
