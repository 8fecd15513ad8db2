// Scratch data directories for the network tests: a light-nuclide table with real masses and
// spins, a small reaction catalogue, detailed-balance rows, decays and analytic rate tables.
#pragma once

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/network.h"
#include "test_util.hpp"

namespace net_test {

inline void mkdirs(const std::string& path) {
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!cur.empty()) ::mkdir(cur.c_str(), 0755);
        }
        if (i < path.size()) cur += path[i];
    }
}

// AME2020 mass excesses (keV) and ground-state spins.
inline const char* kNuclides =
    "name,N,Z,mass_excess_keV,spin\n"
    "n,1,0,8071.3181,0.5\n"
    "p,0,1,7288.971064,0.5\n"
    "H2,1,1,13135.722895,1\n"
    "H3,2,1,14949.8109,0.5\n"
    "He3,1,2,14931.2155,0.5\n"
    "He4,2,2,2424.91561,0\n"
    "Li6,3,3,14086.8789,1\n"
    "Li7,4,3,14907.105,1.5\n"
    "Be7,3,4,15768.999,1.5\n"
    "Li8,5,3,20945.80,2\n"
    "B8,3,5,22921.6,2\n"
    "C12,6,6,0,0\n"
    "X2,1,1,13135.722895,1\n";

struct Reaction {
    std::string name, reactants, products;
};

// Catalogue of the fixture: MT reactions and a few LT-only ones, one decay.
inline std::vector<Reaction> catalogue() {
    return {{"n_p__d_g", "n+p", "H2+g"},       {"d_p__He3_g", "H2+p", "He3+g"},
            {"d_d__He3_n", "H2+H2", "He3+n"},  {"d_d__t_p", "H2+H2", "H3+p"},
            {"t_d__a_n", "H3+H2", "He4+n"},    {"He3_n__t_p", "He3+n", "H3+p"},
            {"He3_a__Be7_g", "He3+He4", "Be7+g"}, {"Be7_n__Li7_p", "Be7+n", "Li7+p"},
            {"Li7_p__a_a", "Li7+p", "He4+He4"}, {"Li7_n__Li8_g", "Li7+n", "Li8+g"},
            {"Be7_p__B8_g", "Be7+p", "B8+g"},  {"t__He3_Bm", "H3", "He3+Bm"},
            {"d_a__Li6_g", "H2+He4", "Li6+g"}, {"n_lost__p", "n+p", "p"}};
}

// Analytic rate of a reaction at T9 (positive, smooth) used for every table of the fixture.
inline double rate_of(double T9, double scale) { return scale * std::pow(T9, 0.7) * std::exp(-0.3 / T9); }

struct DataDir {
    std::string root;
    explicit DataDir(const std::string& name) : root(nvx_test::scratch_dir(name)) {
        mkdirs(root + "/csv");
        mkdirs(root + "/nuclear/networks");
        nvx_test::write_file(root + "/csv/nuclides.csv", kNuclides);
        std::string cat = "name,reactants,products,kind,note\n", db = "name,Q,alpha,beta,gamma\n";
        for (const Reaction& r : catalogue()) {
            cat += r.name + "," + r.reactants + "," + r.products + ",strong,\n";
            if (r.name != "t__He3_Bm" && r.name != "n_lost__p") db += r.name + ",0,1.5e10,1.5,-20\n";
            write_table(r.name, 161, 1e-3, 10.0, 1.0);
        }
        nvx_test::write_file(root + "/csv/reactions_large.csv", cat);
        nvx_test::write_file(root + "/csv/detailed_balance.csv", db);
        nvx_test::write_file(root + "/nuclear/tables/decays.txt",
                             "# name aux rate unc note\nt__He3_Bm 3.9e8 1.78e-9 1.0016 NUBASE test\n");
        write_list("test", {"n_p__d_g", "d_p__He3_g", "d_d__He3_n", "d_d__t_p", "t_d__a_n", "He3_n__t_p",
                            "He3_a__Be7_g", "Be7_n__Li7_p", "Li7_p__a_a", "t__He3_Bm"});
    }
    // A 3-column rate table on a log grid, with unc = 1.2 everywhere.
    void write_table(const std::string& name, int n, double lo, double hi, double scale,
                     const std::string& header = "# ref=TestRef2024  \n") {
        mkdirs(root + "/nuclear/tables/" + name);
        std::string text = header;
        for (int i = 0; i < n; ++i) {
            double T9 = std::pow(10.0, std::log10(lo) + i * (std::log10(hi) - std::log10(lo)) / (n - 1));
            char row[128];
            std::snprintf(row, sizeof row, "%.17g %.17g 1.2\n", T9, rate_of(T9, scale));
            text += row;
        }
        nvx_test::write_file(root + "/nuclear/tables/" + name + "/" + name + "_nuvex.txt", text);
    }
    void write_list(const std::string& network, const std::vector<std::string>& names) {
        std::string text = "# test network\n";
        for (const auto& n : names) text += n + "\n";
        nvx_test::write_file(root + "/nuclear/networks/" + network + ".txt", text);
    }
};

// A parameter record on a data directory with the given network.
struct Config {
    NVXConfig c{};
    bool ok = false;
    Config(const std::string& dir, const char* network) {
        char* err = nullptr;
        ok = nvx_config_init_defaults(&c, dir.c_str(), &err) == 0;
        std::free(err);
        if (ok && network) set_string("network", network);
    }
    ~Config() { nvx_config_free(&c); }
    void set_string(const char* key, const char* value) {
        NVXParam p{};
        p.kind = NVX_PARAM_STRING;
        p.payload.s = value;
        char* err = nullptr;
        if (nvx_config_set_param(&c, key, p, &err) != 0) ok = false;
        std::free(err);
    }
};

inline int index_of(const NVXNetworkDef& d, const char* name) {
    for (size_t i = 0; i < d.n_reactions; ++i)
        if (std::strcmp(d.reaction_names[i], name) == 0) return static_cast<int>(i);
    return -1;
}
inline int species_index(const NVXNetworkDef& d, const char* name) {
    for (size_t i = 0; i < d.n_species; ++i)
        if (std::strcmp(d.species[i], name) == 0) return static_cast<int>(i);
    return -1;
}

// Message of a failing call, released.
struct Msg {
    char* p = nullptr;
    ~Msg() { std::free(p); }
    std::string str() const { return p ? p : ""; }
};

}  // namespace net_test
