// Fuzzes a custom reaction end to end: the first line is the reaction name (its sides in the
// a_b__c_d syntax), the rest its rate-table text. Parsing, side conversion, detailed balance and
// rate tabulation on a small data folder end in a network or a message.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_common.hpp"
#include "nuvex/custom_network.h"
#include "nuvex/network.h"

namespace {

// A data folder with the real nuclide table and a short catalogue, so one input costs little.
const std::string& data_dir() {
    static const std::string dir = [] {
        const std::string d = fuzz::scratch() + "/data";
        ::mkdir(d.c_str(), 0755);
        ::mkdir((d + "/csv").c_str(), 0755);
        std::ifstream in(std::string(NUVEX_DATA_DIR) + "/csv/nuclides.csv", std::ios::binary);
        std::ofstream(d + "/csv/nuclides.csv", std::ios::binary) << in.rdbuf();
        std::ofstream(d + "/csv/reactions_large.csv") << "name,reactants,products,kind,note\n"
                                                        "n_p__d_g,n+p,H2+g,strong,\n"
                                                        "d_p__He3_g,H2+p,He3+g,strong,\n";
        std::ofstream(d + "/csv/detailed_balance.csv") << "name,Q,alpha,beta,gamma\n"
                                                         "n_p__d_g,0,4.7e9,1.5,-25.82\n";
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NVXConfig c;
    static const bool ready = fuzz::init_config(c, data_dir().c_str());
    if (!ready) std::abort();
    c.rate_grid_npts = 100;
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t nl = in.find('\n');
    const std::string name = in.substr(0, nl), text = nl == std::string::npos ? "" : in.substr(nl + 1);
    NVXCustomNetwork net{};
    char* err = nullptr;
    const int rc = nvx_custom_network_parse_entry(&net, name.c_str(), text.c_str(), &err);
    if (rc != 0 && !err) std::abort();
    std::free(err);
    err = nullptr;
    if (rc == 0) {
        const char* list[2] = {"n_p__d_g", name.c_str()};
        NVXNetworkDef def{};
        if (nvx_load_network(&c, "LT", list, 2, &net, &def, &err) != 0 && !err) std::abort();
        std::free(err);
        nvx_network_def_free(&def);
    }
    free_custom_network(&net);
    return 0;
}
