// Fuzzes the nuclide table of a data folder: initialisation gives a record whose rows are whole
// and unique, or a message naming the file and line.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        const std::string d = fuzz::scratch() + "/nuclides";
        ::mkdir(d.c_str(), 0755);
        ::mkdir((d + "/csv").c_str(), 0755);
        return d;
    }();
    fuzz::write("nuclides/csv/nuclides.csv", data, size);
    NVXConfig c;
    char* err = nullptr;
    if (nvx_config_init_defaults(&c, dir.c_str(), &err) == 0) {
        if (err || c.n_nuclides == 0) std::abort();
        for (size_t i = 0; i < c.n_nuclides; ++i) {
            if (c.nuclides[i].N < 0 || c.nuclides[i].Z < 0 || !c.nuclides[i].name[0]) std::abort();
            for (size_t j = 0; j < i; ++j)
                if (std::strcmp(c.nuclides[i].name, c.nuclides[j].name) == 0) std::abort();
        }
        nvx_config_free(&c);
    } else if (!err) {
        std::abort();
    }
    std::free(err);
    return 0;
}
