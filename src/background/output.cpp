// Background time-evolution file: the standard background sampled at logarithmically spaced
// times with its Hubble rate, neutrino temperatures and energy-density budget.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "background/bg_internal.hpp"
#include "cache/output_file.hpp"
#include "config/err.hpp"
#include "nuvex/cache.h"

namespace nvx::bg {
namespace {

std::vector<double> sample_times(double t_first, double t_last, int n_points) {
    std::vector<double> t;
    if (n_points <= 0) return t;
    if (n_points == 1) return {t_first};
    t.resize(size_t(n_points));
    const double l0 = std::log10(t_first), l1 = std::log10(t_last);
    for (int i = 0; i < n_points; ++i) t[size_t(i)] = std::pow(10.0, l0 + i * (l1 - l0) / (n_points - 1));
    return t;
}

// One output row in header order; the optional columns only when present.
void sample_row(const nvx_background* bg, double t, bool with_heating, bool with_extra,
                std::vector<double>& row) {
    const double T = nvx_interp_linear(bg->t, bg->T, bg->n, 1, t);
    const double a = nvx_interp_linear(bg->t, bg->a, bg->n, 0, t);
    double Tnue = 0, Tnumu = 0, Tnutau = 0;
    nvx_bg_Tnu_of_t(bg, &Tnue, &Tnumu, &Tnutau, t);
    const double H = nvx_bg_Hubble(bg, T, Tnue, Tnumu, Tnutau, a);
    const double rho_pl = rho_plasma(bg, T);
    const double rho_nu = rho_neutrinos(bg, T, Tnue, Tnumu, Tnutau);
    const double rho_x = rho_extra(bg, T, a);
    row = {T, t, a, H, Tnue, Tnumu, Tnutau};
    if (with_heating) row.push_back(nvx_nu_N_SOLAN_of_Tg(&bg->history, T));
    row.push_back(rho_pl);
    row.push_back(rho_nu);
    if (with_extra) row.push_back(rho_x);
    row.push_back(rho_pl + rho_nu + rho_x);
}

std::string header_line(bool with_heating, bool with_extra) {
    std::string h = "T [MeV]\tt [s]\ta [1]\tH [s^-1]\tTnue [MeV]\tTnumu [MeV]\tTnutau [MeV]";
    if (with_heating) h += "\tNheating [1]";
    h += "\trho_plasma [MeV^4]\trho_nu_tot [MeV^4]";
    if (with_extra) h += "\trho_extra [MeV^4]";
    h += "\trho_tot [MeV^4]\n";
    return h;
}

int write_evolution(const nvx_background* bg, const char* path, int n_points, char** err) {
    const NVXConfig* c = bg->config;
    const double t_first = nvx_bg_t_of_T(bg, c->T_start_cosmo_MeV);
    const double t_last = nvx_bg_t_of_T(bg, c->T_end_MeV);
    if (!(t_first > 0.0) || !(t_last > 0.0) || !(t_last > t_first))
        return fail(err, "nvx_bg_write_time_evolution: invalid time range [%.3e, %.3e] s", t_first,
                    t_last);
    std::vector<double> t_out;
    try {
        t_out = sample_times(t_first, t_last, n_points);
    } catch (const std::bad_alloc&) {
        return fail(err, "nvx_bg_write_time_evolution: out of memory for t_out");
    }
    const bool with_heating = bg->incomplete_decoupling != 0;
    const bool with_extra = bg->has_matter_lambda || bg->has_ede || bg->has_extra_rho;
    std::vector<std::vector<double>> data;
    try {
        data.resize(t_out.size());
        for (size_t i = 0; i < t_out.size(); ++i)
            sample_row(bg, t_out[i], with_heating, with_extra, data[i]);
    } catch (const std::bad_alloc&) {
        return fail(err, "nvx_bg_write_time_evolution: out of memory for data");
    }
    OutputFile out;
    if (!out.open(path)) return fail(err, "nvx_bg_write_time_evolution: cannot open %s", path);
    FILE* f = out.get();
    std::fputs(header_line(with_heating, with_extra).c_str(), f);
    for (const auto& row : data) {
        for (size_t j = 0; j < row.size(); ++j) std::fprintf(f, j ? "\t%.10e" : "%.10e", row[j]);
        std::fputc('\n', f);
    }
    if (!out.commit()) return fail(err, "nvx_bg_write_time_evolution: cannot write %s", path);
    nvx_message(bg->config, NVX_MSG_NOTICE, "output", "[output] Background time-evolution data (%d rows) written to %s",
                n_points, path);
    return 0;
}

}  // namespace
}  // namespace nvx::bg

extern "C" int nvx_bg_write_time_evolution(const nvx_background* bg, const char* path, int n_points,
                                           char** err) {
    if (!bg || !path) return nvx::fail(err, "nvx_bg_write_time_evolution: no background or path");
    if (bg->mode != NVX_BG_STANDARD)
        return nvx::fail(err, "nvx_bg_write_time_evolution only supported for NVX_BG_STANDARD");
    if (!bg->ready) return nvx::fail(err, "nvx_bg_write_time_evolution: background not built");
    try {
        return nvx::bg::write_evolution(bg, path, n_points, err);
    } catch (const std::bad_alloc&) {
        return nvx::fail(err, "nvx_bg_write_time_evolution: out of memory for data");
    }
}
