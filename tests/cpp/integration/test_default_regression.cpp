// Regression of the true default results (thermal corrections from the shipped tables, both
// networks) against tests/reference/default_results.txt, at tolerances below every physics effect.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/results.h"
#include "nuvex/run.h"
#include "run_fixture.hpp"

namespace {

const std::string kReferenceFile = std::string(NUVEX_SOURCE_DIR) + "/tests/reference/default_results.txt";

// Relative tolerances. Halving or doubling numerical_precision (1e-7) moves Yp by 1.2e-6, D/H by
// 2.9e-6, 3He/H by 1.0e-6, 7Li/H by 1.8e-6, 6Li/7Li by 4.7e-6 and the CNO sum by 6e-6: the
// bounds are a few times that integrator noise, and far below the physics effects the code models
// (without the nuclear QED corrections D/H moves by +8.5e-4 and 7Li/H by -2.5e-3; without the
// plasma QED corrections Yp by +2.9e-5 and D/H by -1.0e-3; without finite nucleon mass Yp by -5e-3).
// Neff and the neutrino densities do not depend on the network integration at all.
double tolerance(const std::string& quantity) {
    static const std::map<std::string, double> tol = {
        {"YPBBN", 1e-5},  {"YPCMB", 1e-5},   {"DoH", 1e-5},   {"He3oH", 1e-5},        {"He3oHe4", 1e-5},
        {"Li7oH", 1e-5},  {"Li6oLi7", 2e-5}, {"YCNO", 5e-5},  {"Neff", 1e-7},         {"Omeganurel", 1e-7},
        {"OneOverOmeganunr", 1e-7}};
    auto it = tol.find(quantity);
    return it == tol.end() ? -1.0 : it->second;
}

struct Reference {
    std::string quantity;
    double value;
};

// network -> references, in file order; a malformed line is a test failure naming it.
std::map<std::string, std::vector<Reference>> read_references() {
    std::map<std::string, std::vector<Reference>> refs;
    std::ifstream in(kReferenceFile);
    EXPECT_TRUE(in.good()) << "cannot read " << kReferenceFile;
    std::string line;
    for (int lineno = 1; std::getline(in, line); ++lineno) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string net, q, extra;
        double v = 0.0;
        if (!(fields >> net >> q >> v) || (fields >> extra) || tolerance(q) < 0.0 || !(v != 0.0)) {
            ADD_FAILURE() << kReferenceFile << ":" << lineno << ": expected 'network quantity value' "
                          << "with a known quantity and a non-zero value, got '" << line << "'";
            continue;
        }
        refs[net].push_back({q, v});
    }
    return refs;
}

NVXResults run_defaults(const std::string& network) {
    return nvx_test::run_defaults_with({{"network", "'" + network + "'"}});
}

void expect_references(const std::string& network, const std::vector<const char*>& required) {
    const auto all = read_references();
    const auto it = all.find(network);
    ASSERT_NE(it, all.end()) << kReferenceFile << " has no line for network " << network;
    for (const char* q : required) {
        bool listed = false;
        for (const Reference& ref : it->second) listed = listed || ref.quantity == q;
        EXPECT_TRUE(listed) << kReferenceFile << " lacks " << network << " " << q;
    }
    NVXResults r = run_defaults(network);
    for (const Reference& ref : it->second) {
        int found = 0;
        const double v = nvx_results_get_quantity(&r, ref.quantity.c_str(), &found);
        if (!found) {
            ADD_FAILURE() << network << " " << ref.quantity << ": the run does not report it";
            continue;
        }
        const double shift = v / ref.value - 1.0, tol = tolerance(ref.quantity);
        char msg[400];
        std::snprintf(msg, sizeof msg,
                      "%s %s: reference %.10g, value %.10g, relative shift %+.3e (tolerance %.0e). A deliberate "
                      "physics change regenerates %s (tests/reference/update_default_results.py) and says why "
                      "in CHANGELOG.md.",
                      network.c_str(), ref.quantity.c_str(), ref.value, v, shift, tol, kReferenceFile.c_str());
        EXPECT_LE(std::fabs(shift), tol) << msg;
    }
    didiva_results_free(&r);
}

}  // namespace

TEST(DefaultRegression, SmallNetworkMatchesReferences) {
    expect_references("small", {"YPBBN", "DoH", "He3oH", "Li7oH", "Neff"});
}

TEST(DefaultRegression, LargeNetworkMatchesReferences) {
    expect_references("large", {"YPBBN", "DoH", "He3oH", "Li7oH", "Li6oLi7", "YCNO", "Neff"});
}
