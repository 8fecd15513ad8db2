// Thermodynamics of an MeV-scale thermal relic (Bose-Einstein or Fermi-Dirac, zero chemical
// potential) and its share of the electron-photon plasma entropy when it couples to electrons.
#include <array>
#include <cmath>
#include <initializer_list>

#include "nuvex/plasma.h"

namespace {

constexpr double kTwoPi2 = 19.739208802178716;  // 2 pi^2
constexpr double kSixPi2 = 59.21762640653615;   // 6 pi^2

// 8-point Gauss-Legendre rule on [-1, 1].
constexpr std::array<double, 4> kNode = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267,
                                         0.9602898564975363};
constexpr std::array<double, 4> kWeight = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745,
                                           0.1012285362903763};
constexpr int kPanels = 16;

// The three momentum integrals of one occupation at x = m/T, in u = k/T:
// R = int u^2 E f, P = int u^4 f / E, D = int u^2 E^2 f (1 -+ f), E = sqrt(u^2 + x^2).
// A fixed rule keeps them smooth functions of x, which the adaptive integrators that call them
// need: 8-point Gauss-Legendre panels, geometric below u = 1, then 16 equal ones up to
// 50 + 10 sqrt(x), which covers the relativistic tail (e^-u) and the non-relativistic peak of width
// sqrt(x).
void integrals(double x, bool fermion, double& R, double& P, double& D) {
    R = P = D = 0.0;
    const double sign = fermion ? 1.0 : -1.0;
    auto panel = [&](double a, double b) {
        const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
        for (int i = 0; i < 8; ++i) {
            const double u = mid + (i < 4 ? -kNode[i] : kNode[i - 4]) * half;
            const double w = kWeight[i < 4 ? i : i - 4] * half;
            const double u2 = u * u, E = std::sqrt(u2 + x * x);
            // f = 1/(e^E + sign) written with e^-E so that nothing overflows
            const double em = std::exp(-E);
            const double f = em / (1.0 + sign * em);
            R += w * u2 * E * f;
            P += w * u2 * u2 / E * f;
            D += w * u2 * E * E * f * (1.0 - sign * f);
        }
    };
    // Geometric panels below u = 1 resolve the branch point of E at u = i x for small x.
    double a = 0.0;
    for (double b : {1.0 / 64, 1.0 / 32, 1.0 / 16, 1.0 / 8, 0.25, 0.5, 1.0}) {
        panel(a, b);
        a = b;
    }
    const double u_max = 50.0 + 10.0 * std::sqrt(x);
    const double width = (u_max - 1.0) / kPanels;
    for (int k = 0; k < kPanels; ++k) panel(1.0 + k * width, 1.0 + (k + 1) * width);
}

}  // namespace

extern "C" {

void nvx_relic_thermo(double m_MeV, double g, int fermion, double T, double out[3]) {
    out[0] = out[1] = out[2] = 0.0;
    if (!(T > 0.0) || !(g > 0.0)) return;
    const double x = m_MeV / T;
    if (x > 700.0) return;  // e^-700: nothing left
    double R, P, D;
    integrals(x, fermion != 0, R, P, D);
    const double T3 = T * T * T;
    out[0] = g * T3 * T * R / kTwoPi2;
    out[1] = g * T3 * T * P / kSixPi2;
    out[2] = g * T3 * D / kTwoPi2;
}

double nvx_relic_entropy(double m_MeV, double g, int fermion, double T) {
    double v[3];
    nvx_relic_thermo(m_MeV, g, fermion, T, v);
    return T > 0.0 ? (v[0] + v[1]) / T : 0.0;
}

int nvx_plasma_relic_in_plasma(const nvx_plasma* p) {
    return p && p->config && nvx_config_has_relic(p->config) && !nvx_config_relic_neutrinophilic(p->config);
}

void nvx_plasma_relic_thermo(const nvx_plasma* p, double T, double out[3]) {
    const NVXConfig* c = p ? p->config : nullptr;
    if (!c || !nvx_config_has_relic(c)) {
        out[0] = out[1] = out[2] = 0.0;
        return;
    }
    nvx_relic_thermo(c->relic_mass_MeV, c->relic_g, nvx_config_relic_is_fermion(c), T, out);
}

}  // extern "C"
