// Result assembly after a solved network: abundance ratios, neutrino quantities of the background,
// final abundances and, on request, the sampled time evolution with the forward reaction rates.
#include <cstdlib>
#include <cstring>

#include "nuvex/background.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/run.h"

namespace {

double* alloc_doubles(size_t n) { return static_cast<double*>(std::calloc(n ? n : 1, sizeof(double))); }

void fill_neutrino_quantities(NVXResults* r, const nvx_background* bg) {
    double T = 0.0, rho = 0.0, v = 0.0;
    if (nvx_bg_rho_nu_total_final(bg, &T, &rho) == 0) {
        r->has_Neff = 1;
        r->Neff = nvx_bg_N_eff(bg, T, rho);
    }
    if (nvx_bg_Omeganuh2_relnu(bg, &v) == 0) {
        r->has_Omeganurel = 1;
        r->Omeganurel = 1e6 * v;
    }
    if (nvx_bg_Omeganuh2_nrnu(bg, &v) == 0) {
        r->has_OneOverOmeganunr = 1;
        r->OneOverOmeganunr = 1.0 / (1e-6 * v);
    }
}

int fill_evolution(NVXResults* r, const NVXConfig* config, const nvx_nuclear_network* nn) {
    const size_t n = config->output_n_points > 0 ? static_cast<size_t>(config->output_n_points) : 0;
    r->has_evolution = 1;
    r->n_points = n;
    double** cols[] = {&r->t, &r->a, &r->T_gamma, &r->T_nue, &r->T_numu, &r->T_nutau};
    for (double** c : cols)
        if (!(*c = alloc_doubles(n))) return 1;
    if (!(r->Y = alloc_doubles(n * r->n_nuclides))) return 1;
    nvx_nuclear_network_sample_time_evolution(nn, n, r->t, r->T_gamma, r->a, r->T_nue, r->T_numu, r->T_nutau, r->Y);
    const size_t m = nvx_nuclear_network_rate_columns(nn, nullptr);
    if (m == 0) return 0;
    r->rate_names = static_cast<char(*)[NVX_RXN_NAME_LEN]>(std::calloc(m, NVX_RXN_NAME_LEN));
    r->rate_values = alloc_doubles(n * m);
    if (!r->rate_names || !r->rate_values) return 1;
    r->n_rate_columns = m;
    nvx_nuclear_network_rate_columns(nn, r->rate_names);
    nvx_nuclear_network_sample_rates(nn, r->T_gamma, n, r->rate_values);
    return 0;
}

}  // namespace

extern "C" int nvx_assemble_results(NVXResults* results, const NVXConfig* config,
                                    const nvx_nuclear_network* network, const nvx_background* background) {
    if (nvx_results_fill_abundances(results, config, network->species, network->Y_final, network->n_species))
        return 1;
    fill_neutrino_quantities(results, background);
    if (config->output_time_evolution && fill_evolution(results, config, network)) {
        didiva_results_free(results);
        return 1;
    }
    return 0;
}
