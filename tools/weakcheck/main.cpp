// nuvex_weakcheck: compares the library's finite-nucleon-mass weak rates with the independent
// brute-force reference of exact_rates.cpp, at photon temperatures 0.7-3 MeV and T_nu/T = 1.000-1.002.
//
// Prints, per temperature, neutrino-temperature ratio and direction, the finite-mass term over the
// Born rate (library at the real masses; both first-order coefficients, extrapolated from scaled
// nucleon masses; the exact rate to all orders), then the response of lambda(p->n)/lambda(n->p) to
// T_nu/T = 1.002 and the free-decay normalisation.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exact_rates.hpp"
#include "nuvex/config.h"
#include "nuvex/constants.h"
#include "nuvex/weak.h"

namespace {

// The library's rate integrals with T_nu = r T and nucleon masses scaled as in weakcheck::Inputs.
struct Library {
    NVXConfig cfg{};
    nvx_weak_ctx ctx{};
    double M_erg = 0, Delta_erg = 0;
    bool ok = false;

    Library(const char* data_dir, double r, double delta_kappa) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&cfg, data_dir, &err) != 0) {
            std::fprintf(stderr, "nuvex_weakcheck: %s\n", err ? err : "configuration failed");
            std::free(err);
            return;
        }
        const double T[3] = {1e-4, 1.0, 100.0}, Tnu[3] = {r * 1e-4, r, r * 100.0};
        if (nvx_weak_ctx_init(&ctx, T, Tnu, 3, &cfg, nullptr, &err) != 0) {
            std::fprintf(stderr, "nuvex_weakcheck: %s\n", err ? err : "rate context failed");
            std::free(err);
            return;
        }
        ctx.delta_kappa = delta_kappa;
        M_erg = 0.5 * (ctx.m_n_erg + ctx.m_p_erg);
        Delta_erg = ctx.Delta_erg;
        ok = true;
    }
    ~Library() {
        nvx_weak_ctx_free(&ctx);
        nvx_config_free(&cfg);
    }
    double integral(int kind, double T_MeV, int s, double scale = 1.0) {
        ctx.m_n_erg = scale * M_erg + 0.5 * Delta_erg;
        ctx.m_p_erg = scale * M_erg - 0.5 * Delta_erg;
        return nvx_weak_rate_integral(&ctx, kind, T_MeV * nvx_MeV_to_Kelvin(), s);
    }
};

struct Row {
    double born[2], lib[2], lib1[2], exact1[2], exact[2];  // index 0: n->p, 1: p->n
};

Row evaluate(const char* data_dir, double T, double r, double f2, const weakcheck::Inputs& base) {
    Library lib(data_dir, r, f2);
    Row row{};
    if (!lib.ok) std::exit(1);
    weakcheck::Inputs in = base;
    in.T_MeV = T;
    in.f2 = f2;
    in.spectrum = weakcheck::fermi_dirac(r * T);
    for (int i = 0; i < 2; ++i) {
        const int s = i == 0 ? +1 : -1;
        const double b = weakcheck::born_rate(in, s);
        row.born[i] = b;
        row.lib[i] = lib.integral(NVX_WEAK_FM, T, s);
        row.lib1[i] = weakcheck::first_order_coefficient([&](double l) { return lib.integral(NVX_WEAK_FM, T, s, l); });
        row.exact1[i] = weakcheck::first_order_coefficient([&](double l) {
            weakcheck::Inputs j = in;
            j.mass_scale = l;
            return weakcheck::exact_rate(j, s) - b;
        });
        row.exact[i] = weakcheck::exact_rate(in, s) - b;
    }
    return row;
}

double ln_ratio(const Row& r, const double* fm) {
    return std::log((r.born[1] + fm[1]) / (r.born[0] + fm[0]));
}

}  // namespace

int main(int argc, char** argv) {
    std::string data_dir = NUVEX_DEFAULT_DATA_DIR;
    std::vector<double> temps = {0.7, 1.0, 1.5, 2.0, 2.6, 3.0};
    weakcheck::Inputs base;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--data-dir") && i + 1 < argc) {
            data_dir = argv[++i];
        } else if (!std::strcmp(argv[i], "--quick")) {
            temps = {1.0, 2.6};
        } else {
            std::fprintf(stderr, "usage: nuvex_weakcheck [--data-dir DIR] [--quick]\n");
            return 2;
        }
    }
    base.n_P = 16;
    base.n_p = 32;
    base.n_cos_e = base.n_cos_nu = base.n_phi = 8;
    const double f2 = nvx_deltakappa();

    std::printf("Finite-nucleon-mass term over the Born rate (no Coulomb/radiative factors)\n");
    std::printf("%5s %6s %4s %14s %14s %14s %10s %14s\n", "T/MeV", "Tnu/T", "dir", "library", "library O(1/M)",
                "exact O(1/M)", "difference", "exact, all");
    std::vector<std::vector<Row>> rows;
    const double ratios[3] = {1.000, 1.001, 1.002};
    for (double T : temps) {
        rows.emplace_back();
        for (double r : ratios) {
            const Row row = evaluate(data_dir.c_str(), T, r, f2, base);
            rows.back().push_back(row);
            for (int i = 0; i < 2; ++i) {
                const double b = row.born[i];
                std::printf("%5.2f %6.3f %4s %+14.7e %+14.7e %+14.7e %+10.1e %+14.7e\n", T, r, i ? "p>n" : "n>p",
                            row.lib[i] / b, row.lib1[i] / b, row.exact1[i] / b, (row.lib1[i] - row.exact1[i]) / b,
                            row.exact[i] / b);
            }
        }
    }

    std::printf("\nResponse of lambda(p->n)/lambda(n->p) to T_nu/T = 1.002 (relative change)\n");
    std::printf("%5s %12s %12s %12s %12s %12s\n", "T/MeV", "Born", "+library FM", "+exact 1/M", "exact, all",
                "WM share");
    for (size_t k = 0; k < temps.size(); ++k) {
        const Row &a = rows[k][0], &c = rows[k][2];
        const double zero[2] = {0, 0};
        const double born = ln_ratio(c, zero) - ln_ratio(a, zero);
        const double lib = ln_ratio(c, c.lib) - ln_ratio(a, a.lib);
        const double ex1 = ln_ratio(c, c.exact1) - ln_ratio(a, a.exact1);
        const double ex = ln_ratio(c, c.exact) - ln_ratio(a, a.exact);
        // weak-magnetism share of the finite-mass part: the same without weak magnetism
        const Row a0 = evaluate(data_dir.c_str(), temps[k], 1.000, 0.0, base);
        const Row c0 = evaluate(data_dir.c_str(), temps[k], 1.002, 0.0, base);
        const double no_wm = ln_ratio(c0, c0.lib) - ln_ratio(a0, a0.lib);
        std::printf("%5.2f %+12.4e %+12.4e %+12.4e %+12.4e %11.0f%%\n", temps[k], std::expm1(born), std::expm1(lib),
                    std::expm1(ex1), std::expm1(ex), 100.0 * (lib - no_wm) / (lib - born));
    }

    NVXConfig cfg{};
    char* err = nullptr;
    if (nvx_config_init_defaults(&cfg, data_dir.c_str(), &err) != 0) {
        std::fprintf(stderr, "nuvex_weakcheck: %s\n", err ? err : "configuration failed");
        std::free(err);
        return 1;
    }
    cfg.radiative_corrections = 0;
    cfg.finite_mass_corrections = 0;
    const double fn_born = nvx_compute_fn(&cfg);
    cfg.finite_mass_corrections = 1;
    const double fn_fm = nvx_compute_fn(&cfg);
    nvx_config_free(&cfg);
    const double d1 = weakcheck::first_order_coefficient([&](double l) {
        weakcheck::Inputs j = base;
        j.mass_scale = l;
        return weakcheck::exact_decay_rate(j) - fn_born;
    });
    std::printf("\nFree-neutron decay f_n: Born %.9f, library finite-mass term %+.6e, exact O(1/M) %+.6e, "
                "exact all orders %+.6e\n",
                fn_born, fn_fm - fn_born, d1, weakcheck::exact_decay_rate(base) - fn_born);
    return 0;
}
