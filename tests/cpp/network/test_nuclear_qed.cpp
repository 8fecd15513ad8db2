// QED corrections of the radiative captures pinned point by point: the shipped rates with and
// without the correction, against the correction formula written out here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "nuvex/config.h"
#include "nuvex/network.h"

namespace {

// Radiative captures a + b -> c + gamma of light charged nuclei: the photon emitted in the
// capture carries the vacuum-polarisation and real-emission corrections evaluated at the energy
// released, Q plus the Gamow-peak energy E0 = 0.122 (Z1 Z2)^(2/3) mu^(1/3) T9^(2/3) MeV
// (Clayton, Principles of Stellar Evolution, eq. 4-53; mu the reduced mass in u).
struct Capture {
    const char* name;
    double Z1, Z2, A1, A2, Q_MeV;
};
const Capture kCaptures[] = {{"d_p__He3_g", 1, 1, 1, 2, 5.493475},
                             {"t_p__a_g", 1, 1, 1, 3, 19.813866},
                             {"t_a__Li7_g", 1, 2, 4, 3, 2.467622},
                             {"He3_a__Be7_g", 2, 2, 4, 3, 1.587135}};

// Correction at photon energy x (in electron masses): the constant term (order-alpha normalisation)
// of the code, the running-coupling logarithm -alpha/(3 pi) ln(4/x^2) and the pair term
// 3 alpha (1 + ln 4x^2)/(4 pi x^4) of the low-energy expansion.
double capture_factor(const Capture& c, double T9) {
    const double alpha = 1 / 137.035999084, me_MeV = 0.51099895;
    const double mu = c.A1 * c.A2 / (c.A1 + c.A2);
    const double E0 = 0.122 * std::pow(c.Z1 * c.Z1 * c.Z2 * c.Z2 * mu, 1.0 / 3) * std::pow(T9, 2.0 / 3);
    const double x = (E0 + c.Q_MeV) / me_MeV;
    return 0.999565830500675 - alpha / (3 * M_PI) * std::log(4 / (x * x)) +
           3 * alpha * (1 + std::log(4 * x * x)) / (4 * M_PI * std::pow(x, 4));
}

// n + p -> d + gamma: quartic fit in T9, capped at its high-temperature value.
double np_factor(double T9) {
    const double c[5] = {1.0003328617393168, 1.0013475534938917e-4, 4.089993260910648e-5, -1.1824673537229535e-5,
                         1.0522377796855455e-6};
    const double f = c[0] + c[1] * T9 + c[2] * T9 * T9 + c[3] * std::pow(T9, 3) + c[4] * std::pow(T9, 4);
    return std::fmin(f, 1.0009003934476768);
}

struct Era {
    NVXNetworkDef def{};
    std::string error;
    Era(const char* era, bool qed) {
        NVXConfig c{};
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) == 0) {
            std::free(c.network);
            c.network = strdup("large");
            c.nuclear_qed_corrections = qed;
            if (nvx_load_network(&c, era, nullptr, 0, nullptr, &def, &err) == 0) {
                nvx_config_free(&c);
                return;
            }
        }
        error = err ? err : "failed";
        std::free(err);
        nvx_config_free(&c);
    }
    ~Era() { nvx_network_def_free(&def); }
    int index(const char* name) const {
        for (size_t r = 0; r < def.n_reactions; ++r)
            if (std::strcmp(def.reaction_names[r], name) == 0) return int(r);
        return -1;
    }
};

}  // namespace

// Sizes: the charged captures rise by +3.4e-4 (He3_a__Be7_g, T9 = 0.001) to +4.2e-3 (t_p__a_g),
// n_p__d_g by +3.3e-4 to +9.0e-4; the smallest term, the pair term, is 7e-9 (t_p__a_g) to 9e-5
// (He3_a__Be7_g): the 1e-12 match resolves every term. Every other reaction is left untouched.
TEST(NuclearQed, CaptureFactorsMatchTheFormulaAtEveryGridTemperature) {
    for (const char* era : {"MT", "LT"}) {
        Era with(era, true), without(era, false);
        ASSERT_EQ(with.error, "") << era;
        ASSERT_EQ(without.error, "") << era;
        ASSERT_EQ(with.def.n_reactions, without.def.n_reactions);
        const size_t M = with.def.n_grid;
        std::map<std::string, int> checked;
        for (size_t r = 1; r < with.def.n_reactions; ++r) {
            const std::string name = with.def.reaction_names[r];
            for (size_t j = 0; j < M; j += 37) {
                const double T9 = with.def.grid_T9[j], base = without.def.rates_base[(r - 1) * M + j];
                if (base == 0.0) continue;
                double want = 1.0;
                if (name == "n_p__d_g") want = np_factor(T9);
                for (const Capture& c : kCaptures)
                    if (name == c.name) want = capture_factor(c, T9);
                const double got = with.def.rates_base[(r - 1) * M + j] / base;
                EXPECT_NEAR(got, want, 1e-12) << era << " " << name << " T9 " << T9;
                if (want != 1.0) ++checked[name];
            }
        }
        // the large network's eras hold the captures (else the test checks nothing)
        EXPECT_GT(checked["n_p__d_g"] + checked["d_p__He3_g"], 0) << era;
        if (std::string(era) == "LT") {
            for (const Capture& c : kCaptures) EXPECT_GT(checked[c.name], 0) << era << " " << c.name;
        }
    }
}
