// Network outputs: the evolution resampled on a logarithmic time grid with the background and the
// forward reaction rates, the time-evolution file and the final-abundance file.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "config/err.hpp"
#include "cache/output_file.hpp"
#include "integration/nn_internal.hpp"
#include "nuvex/cache.h"
#include "nuvex/constants.h"
#include "nuvex/numerics.h"

namespace nvx {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool rates_requested(const nvx_nuclear_network* nn) {
    return nn && nn->config && nn->rates && nn->config->output_rates_time_evolution && nn->rates->lt.n_reactions >= 2;
}

// Forward rate of table row `row` at T9, linear in T9, end segments extended.
double rate_at(const NVXNetworkDef& lt, size_t row, double T9) {
    const double* r = lt.rates_current + row * lt.n_grid;
    if (lt.n_grid < 2) return lt.n_grid ? r[0] : 0.0;
    const size_t k = nvx_find_segment(lt.grid_T9, lt.n_grid, T9);
    const double w = (T9 - lt.grid_T9[k]) / (lt.grid_T9[k + 1] - lt.grid_T9[k]);
    return (1.0 - w) * r[k] + w * r[k + 1];
}

}  // namespace


void build_rate_columns(const NVXNetworkDef& lt, char (*names)[NVX_RXN_NAME_LEN], size_t* order) {
    if (lt.n_reactions < 2) return;
    const size_t m = lt.n_reactions - 1;
    for (size_t i = 0; i < m; ++i) {
        copy_name(names[i], NVX_RXN_NAME_LEN, (std::string(lt.reaction_names[i + 1]) + "_frwrd").c_str());
        order[i] = i;
    }
    char key[NVX_RXN_NAME_LEN];
    for (size_t i = 1; i < m; ++i) {  // stable insertion sort
        std::memcpy(key, names[i], NVX_RXN_NAME_LEN);
        const size_t key_order = order[i];
        size_t j = i;
        while (j > 0 && std::strcmp(names[j - 1], key) > 0) {
            std::memcpy(names[j], names[j - 1], NVX_RXN_NAME_LEN);
            order[j] = order[j - 1];
            --j;
        }
        std::memcpy(names[j], key, NVX_RXN_NAME_LEN);
        order[j] = key_order;
    }
}

}  // namespace nvx

extern "C" {

void nvx_nuclear_network_sample_time_evolution(const nvx_nuclear_network* nn, size_t count, double* t,
                                               double* T_gamma, double* a, double* T_nue, double* T_numu,
                                               double* T_nutau, double* Y) {
    if (!nn || count == 0) return;
    const nvx_background* bg = nn->bg;
    const double lo = std::log10(nvx_bg_t_of_T(bg, nn->config->T_start_cosmo_MeV));
    const double hi = std::log10(nn->t_end);
    const size_t ns = nn->n_species;
    for (size_t i = 0; i < count; ++i) {
        const double ti = count == 1 ? std::pow(10.0, lo)
                                     : std::pow(10.0, lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(count - 1));
        t[i] = ti;
        T_gamma[i] = nvx_bg_T_of_t(bg, ti);
        a[i] = bg->ready ? nvx_bg_a_of_t(bg, ti) : nvx::kNaN;
        if (!nvx_bg_Tnu_of_t(bg, &T_nue[i], &T_numu[i], &T_nutau[i], ti))
            T_nue[i] = T_numu[i] = T_nutau[i] = nvx::kNaN;
        for (size_t j = 0; j < ns; ++j) Y[i * ns + j] = nvx_nuclear_network_Y_of_t(nn, nn->species[j], ti);
    }
}

size_t nvx_nuclear_network_rate_columns(const nvx_nuclear_network* nn, char (*names)[NVX_RXN_NAME_LEN]) {
    if (!nvx::rates_requested(nn)) return 0;
    const size_t m = nn->rates->lt.n_reactions - 1;
    if (names) {
        std::vector<size_t> order(m);
        nvx::build_rate_columns(nn->rates->lt, names, order.data());
    }
    return m;
}

void nvx_nuclear_network_sample_rates(const nvx_nuclear_network* nn, const double* T_gamma, size_t count,
                                      double* values) {
    if (!nvx::rates_requested(nn)) return;
    const NVXNetworkDef& lt = nn->rates->lt;
    const size_t m = lt.n_reactions - 1;
    std::vector<char> names(m * NVX_RXN_NAME_LEN);
    std::vector<size_t> order(m);
    nvx::build_rate_columns(lt, reinterpret_cast<char(*)[NVX_RXN_NAME_LEN]>(names.data()), order.data());
    const double to_T9 = nvx_MeV_to_Kelvin() * 1e-9;
    for (size_t i = 0; i < count; ++i)
        for (size_t j = 0; j < m; ++j) values[i * m + j] = nvx::rate_at(lt, order[j], T_gamma[i] * to_T9);
}

int nvx_nuclear_network_write_time_evolution(const nvx_nuclear_network* nn, size_t count, char** err) {
    const NVXConfig* c = nn->config;
    if (!c->output_file || !c->output_file[0]) return 0;
    const size_t ns = nn->n_species;
    std::vector<double> t(count), Tg(count), a(count), Te(count), Tm(count), Tt(count), Y(count * ns);
    nvx_nuclear_network_sample_time_evolution(nn, count, t.data(), Tg.data(), a.data(), Te.data(), Tm.data(),
                                              Tt.data(), Y.data());
    const size_t m = nvx_nuclear_network_rate_columns(nn, nullptr);
    std::vector<char> names(m * NVX_RXN_NAME_LEN);
    std::vector<double> rates(count * m);
    auto* name_slots = reinterpret_cast<char(*)[NVX_RXN_NAME_LEN]>(names.data());
    if (m) {
        nvx_nuclear_network_rate_columns(nn, name_slots);
        nvx_nuclear_network_sample_rates(nn, Tg.data(), count, rates.data());
    }
    const char* path = c->output_file;
    nvx::OutputFile out;
    if (!out.open(path)) return nvx::fail(err, "nvx_nuclear_network_write_time_evolution: cannot open %s", path);
    FILE* fp = out.get();
    std::fputs("t_s\ta\tT_gamma_MeV\tT_nue_MeV\tT_numu_MeV\tT_nutau_MeV", fp);
    for (size_t j = 0; j < ns; ++j) std::fprintf(fp, "\tY_%s", nn->species[j]);
    for (size_t j = 0; j < m; ++j) std::fprintf(fp, "\t%s", name_slots[j]);
    std::fputc('\n', fp);
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(fp, "%.8e\t%.8e\t%.8e\t%.8e\t%.8e\t%.8e", t[i], a[i], Tg[i], Te[i], Tm[i], Tt[i]);
        for (size_t j = 0; j < ns; ++j) std::fprintf(fp, "\t%.8e", Y[i * ns + j]);
        for (size_t j = 0; j < m; ++j) std::fprintf(fp, "\t%.8e", rates[i * m + j]);
        std::fputc('\n', fp);
    }
    if (!out.commit()) return nvx::fail(err, "nvx_nuclear_network_write_time_evolution: cannot write %s", path);
    nvx_message(c, NVX_MSG_NOTICE, "output", "[output] Time-evolution data (%zu rows) written to %s", count, path);
    return 0;
}

int nvx_nuclear_network_write_final_result(const nvx_nuclear_network* nn, char** err) {
    const char* path = nn->config->output_final_file;
    if (!path || !path[0]) return 0;
    nvx::OutputFile out;
    if (!out.open(path)) return nvx::fail(err, "nvx_nuclear_network_write_final_result: cannot open %s", path);
    FILE* fp = out.get();
    std::fprintf(fp, "# %-12sY\n", "nuclide");
    for (size_t i = 0; i < nn->n_species; ++i) std::fprintf(fp, "%-14s%.6e\n", nn->species[i], nn->Y_final[i]);
    if (!out.commit()) return nvx::fail(err, "nvx_nuclear_network_write_final_result: cannot write %s", path);
    nvx_message(nn->config, NVX_MSG_NOTICE, "output", "[output] Final abundances (%zu nuclides) written to %s",
                nn->n_species, path);
    return 0;
}

}  // extern "C"
