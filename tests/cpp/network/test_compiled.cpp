// Compiled abundance equations: conservation of baryon number and charge on random networks,
// the analytic Jacobian against central differences, special reactions and the N/Z check.
#include <gtest/gtest.h>

#include <random>

#include "net_fixture.hpp"
#include "network/evaluator.hpp"

using namespace net_test;

namespace {

struct Nuc {
    int N, Z;
};
const std::vector<Nuc> kPool = {{1, 0}, {0, 1}, {1, 1}, {2, 1}, {1, 2}, {2, 2}, {3, 3}, {4, 3}, {3, 4}, {5, 3}, {3, 5}};

NVXReactionStoich side_pair(const std::vector<int>& ra, const std::vector<int>& pr) {
    NVXReactionStoich s{};
    auto fill = [](const std::vector<int>& v, int64_t* idx, int64_t* mult, size_t& n) {
        for (int sp : v) {
            size_t j = 0;
            while (j < n && idx[j] != sp) ++j;
            if (j == n) idx[n++] = sp;
            ++mult[j];
        }
    };
    fill(ra, s.reactants, s.reactant_mult, s.n_reactants);
    fill(pr, s.products, s.product_mult, s.n_products);
    return s;
}

// Random reactions of the pool that conserve N and Z (rejection sampling).
std::vector<NVXReactionStoich> random_network(std::mt19937_64& rng, size_t count) {
    std::uniform_int_distribution<int> sp(0, static_cast<int>(kPool.size()) - 1), len(1, 3);
    std::vector<NVXReactionStoich> out;
    while (out.size() < count) {
        std::vector<int> a(len(rng)), b(len(rng));
        for (int& x : a) x = sp(rng);
        for (int& x : b) x = sp(rng);
        int na = 0, za = 0, nb = 0, zb = 0;
        for (int x : a) na += kPool[x].N, za += kPool[x].Z;
        for (int x : b) nb += kPool[x].N, zb += kPool[x].Z;
        if (na == nb && za == zb && std::is_permutation(a.begin(), a.end(), b.begin(), b.end()) == false)
            out.push_back(side_pair(a, b));
    }
    return out;
}

TEST(CompiledNetwork, RandomNetworkConservesBaryonsAndCharge) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 20; ++trial) {
        auto st = random_network(rng, 40);
        NVXCompiledNetwork c{};
        ASSERT_EQ(nvx_compile_network(st.data(), st.size(), kPool.size(), &c, nullptr), 0);
        std::vector<double> Y(kPool.size()), rates(2 * st.size()), dY(kPool.size());
        for (double& y : Y) y = std::pow(10.0, -8.0 * u(rng));
        for (double& r : rates) r = std::pow(10.0, 6.0 * u(rng) - 3.0);
        nvx_network_rhs(&c, Y.data(), rates.data(), dY.data(), 0.5 + u(rng));
        double sumA = 0, sumZ = 0, scale = 0;
        for (size_t k = 0; k < Y.size(); ++k) {
            sumA += (kPool[k].N + kPool[k].Z) * dY[k];
            sumZ += kPool[k].Z * dY[k];
            scale += (kPool[k].N + kPool[k].Z) * std::fabs(dY[k]);
        }
        ASSERT_GT(scale, 0.0);
        EXPECT_LE(std::fabs(sumA), 1e-13 * scale);
        EXPECT_LE(std::fabs(sumZ), 1e-13 * scale);
        nvx_compiled_network_free(&c);
        nvx_compiled_network_free(&c);
    }
}

TEST(CompiledNetwork, JacobianMatchesCentralDifferences) {
    std::mt19937_64 rng(777);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto st = random_network(rng, 60);
    // A triple-multiplicity reactant and a catalyst (species 5 on both sides).
    st.push_back(side_pair({5, 5, 5}, {4, 4, 1, 1, 0, 0}));
    st.push_back(side_pair({5, 2, 2}, {5, 5}));
    const size_t S = kPool.size();
    NVXCompiledNetwork c{};
    ASSERT_EQ(nvx_compile_network(st.data(), st.size(), S, &c, nullptr), 0);
    std::vector<double> Y(S), rates(2 * st.size()), J(S * S), fp(S), fm(S);
    for (double& y : Y) y = 0.05 + u(rng);
    for (double& r : rates) r = 0.1 + u(rng);
    const double rho = 1.7;
    nvx_network_jacobian(&c, Y.data(), rates.data(), J.data(), rho);
    double jmax = 0;
    for (double v : J) jmax = std::max(jmax, std::fabs(v));
    for (size_t j = 0; j < S; ++j) {
        const double h = 1e-5 * Y[j];
        std::vector<double> yp = Y, ym = Y;
        yp[j] += h;
        ym[j] -= h;
        nvx_network_rhs(&c, yp.data(), rates.data(), fp.data(), rho);
        nvx_network_rhs(&c, ym.data(), rates.data(), fm.data(), rho);
        for (size_t k = 0; k < S; ++k) {
            const double fd = (fp[k] - fm[k]) / (2 * h);
            EXPECT_NEAR(fd, J[k * S + j], 1e-6 * std::max(std::fabs(J[k * S + j]), 1e-3 * jmax))
                << "k=" << k << " j=" << j;
        }
    }
    nvx_compiled_network_free(&c);
}

// The integrator's packed evaluator must reproduce the reference evaluators bit for bit (the
// solver's results are pinned to them), including signed powers of negative abundances, zero
// forward or reverse rates, multiplicities up to four, catalysts and reactions without net change.
TEST(CompiledNetwork, PackedEvaluatorReproducesTheReferenceBitForBit) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const size_t S = kPool.size();
    for (int trial = 0; trial < 20; ++trial) {
        auto st = random_network(rng, 50);
        st.push_back(side_pair({5, 5, 5}, {4, 4, 1, 1, 0, 0}));
        st.push_back(side_pair({5, 2, 2}, {5, 5}));
        st.push_back(side_pair({3, 3, 3, 3}, {5, 5, 1, 1, 0, 0, 0, 0}));
        st.push_back(side_pair({6}, {6}));  // no net change: contributes nothing
        st.push_back(side_pair({}, {1}));   // no reactant: density power -1 goes through pow()
        NVXCompiledNetwork c{};
        ASSERT_EQ(nvx_compile_network(st.data(), st.size(), S, &c, nullptr), 0);
        std::vector<double> Y(S), rates(2 * st.size());
        for (double& y : Y) y = (u(rng) < 0.15 ? -1.0 : 1.0) * std::pow(10.0, -12.0 * u(rng));
        for (double& r : rates) r = u(rng) < 0.2 ? 0.0 : std::pow(10.0, 10.0 * u(rng) - 5.0);
        const double rho = std::pow(10.0, 6.0 * u(rng) - 3.0);
        nvx::NetworkEvaluator ev(c);
        ev.set_point(rates.data(), rho);
        std::vector<double> f_ref(S), f(S, 7.0), J_ref(S * S), J(S * S, 7.0);
        nvx_network_rhs(&c, Y.data(), rates.data(), f_ref.data(), rho);
        nvx_network_jacobian(&c, Y.data(), rates.data(), J_ref.data(), rho);
        ev.rhs(Y.data(), f.data());
        ev.jacobian(Y.data(), J.data());
        for (size_t k = 0; k < S; ++k) ASSERT_EQ(f[k], f_ref[k]) << "trial " << trial << " k=" << k;
        for (size_t k = 0; k < S * S; ++k) ASSERT_EQ(J[k], J_ref[k]) << "trial " << trial << " entry " << k;
        nvx_compiled_network_free(&c);
    }
}

TEST(CompiledNetwork, IdenticalReactantsCatalystAndWeakReaction) {
    // 0: n -> p; 1: d + d -> He4 (species 2, 3); 2: d + p -> p + ... catalyst p: p + n + p -> p + d
    std::vector<NVXReactionStoich> st = {side_pair({0}, {1}), side_pair({2, 2}, {3}), side_pair({1, 0}, {1, 2})};
    NVXCompiledNetwork c{};
    ASSERT_EQ(nvx_compile_network(st.data(), st.size(), 4, &c, nullptr), 0);
    EXPECT_EQ(c.n_changes[2], 2u);   // p is a catalyst: no change entry
    EXPECT_EQ(c.n_involved[2], 3u);  // but still involved
    EXPECT_DOUBLE_EQ(c.reactant_symmetry[1], 0.5);
    EXPECT_DOUBLE_EQ(c.reactant_rho_power[1], 1.0);
    EXPECT_DOUBLE_EQ(c.reactant_rho_power[0], 0.0);

    const double Y[4] = {0.1, 0.7, 0.02, 0.0};
    const double rho = 3.0;
    double rates[6] = {2.0, 0.5, 0, 0, 0, 0};
    double dY[4], J[16];
    nvx_network_rhs(&c, Y, rates, dY, rho);
    EXPECT_DOUBLE_EQ(dY[0], -2.0 * 0.1 + 0.5 * 0.7);  // no density factor for n <-> p
    EXPECT_DOUBLE_EQ(dY[1], 2.0 * 0.1 - 0.5 * 0.7);
    double r2[6] = {0, 0, 4.0, 0, 0, 0};
    nvx_network_rhs(&c, Y, r2, dY, rho);
    EXPECT_DOUBLE_EQ(dY[3], rho * 4.0 * 0.02 * 0.02 / 2);  // rho lambda Y^2 / 2!
    EXPECT_DOUBLE_EQ(dY[2], -2 * rho * 4.0 * 0.02 * 0.02 / 2);
    nvx_network_jacobian(&c, Y, r2, J, rho);
    EXPECT_DOUBLE_EQ(J[3 * 4 + 2], rho * 4.0 * 0.02);  // d(dY_He4)/dY_d = rho lambda Y_d
    nvx_compiled_network_free(&c);
}

TEST(CompiledNetwork, RejectsSpeciesOutsideTheOrder) {
    std::vector<NVXReactionStoich> st = {side_pair({0}, {1})};
    st[0].products[0] = -1;
    NVXCompiledNetwork c{};
    Msg m;
    EXPECT_EQ(nvx_compile_network(st.data(), 1, 2, &c, &m.p), 1);
    EXPECT_NE(m.str().find("reaction 0"), std::string::npos);
    EXPECT_EQ(c.n_reactions, 0u);
}

TEST(Conservation, NeutronLossSixViolationsAndWeakExemption) {
    // species: n p d ; N, Z
    const int64_t N[3] = {1, 0, 1}, Z[3] = {0, 1, 1};
    std::vector<NVXReactionStoich> st = {side_pair({0}, {1}), side_pair({0, 1}, {2}), side_pair({0, 1}, {1})};
    NVXCompiledNetwork c{};
    ASSERT_EQ(nvx_compile_network(st.data(), st.size(), 3, &c, nullptr), 0);
    const size_t exempt[1] = {0};
    const int64_t beta[3] = {-1, 0, 0};
    Msg m;
    EXPECT_EQ(nvx_check_conservation(&c, N, Z, exempt, 1, beta, &m.p), 1);
    EXPECT_EQ(m.str(), "network violates N/Z conservation in 1 reaction(s) (index, dN, dZ): (2: dN=-1, dZ=0)");
    // Without the exemption, n -> p itself violates strict conservation.
    Msg m2;
    EXPECT_EQ(nvx_check_conservation(&c, N, Z, nullptr, 0, nullptr, &m2.p), 1);
    EXPECT_NE(m2.str().find("(0: dN=-1, dZ=1)"), std::string::npos);
    nvx_compiled_network_free(&c);

    // Good network with the exempt weak reaction passes.
    std::vector<NVXReactionStoich> good = {side_pair({0}, {1}), side_pair({0, 1}, {2})};
    ASSERT_EQ(nvx_compile_network(good.data(), good.size(), 3, &c, nullptr), 0);
    EXPECT_EQ(nvx_check_conservation(&c, N, Z, exempt, 1, beta, nullptr), 0);
    EXPECT_EQ(nvx_check_conservation(&c, N, Z, exempt, 1, nullptr, nullptr), 0);
    nvx_compiled_network_free(&c);

    std::vector<NVXReactionStoich> six(6, side_pair({0, 1}, {1}));
    ASSERT_EQ(nvx_compile_network(six.data(), six.size(), 3, &c, nullptr), 0);
    Msg m3;
    EXPECT_EQ(nvx_check_conservation(&c, N, Z, nullptr, 0, nullptr, &m3.p), 1);
    EXPECT_EQ(m3.str(),
              "network violates N/Z conservation in 6 reaction(s) (index, dN, dZ): (0: dN=-1, dZ=0), (1: dN=-1, "
              "dZ=0), (2: dN=-1, dZ=0), (3: dN=-1, dZ=0), (4: dN=-1, dZ=0)...");
    nvx_compiled_network_free(&c);
}

}  // namespace
