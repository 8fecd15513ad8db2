// Fuzzes the INI loader (and validation after it): any file ends in a configured record, a
// refused file with a message, or, under strict_params, an error; nothing crashes or leaks.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_common.hpp"

namespace {

// A data folder with a three-row nuclide table: the loader does not need more, and each run
// initialises a fresh record.
const std::string& data_dir() {
    static const std::string dir = [] {
        const std::string d = fuzz::scratch() + "/data";
        ::mkdir(d.c_str(), 0755);
        ::mkdir((d + "/csv").c_str(), 0755);
        std::ofstream(d + "/csv/nuclides.csv") << "name,N,Z,mass_excess_keV,spin\nn,1,0,8071.3181,0.5\n"
                                                  "p,0,1,7288.971064,0.5\nHe4,2,2,2424.91561,0\n";
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NVXConfig c;
    if (!fuzz::init_config(c, data_dir().c_str())) std::abort();
    if (size && (data[0] & 1)) c.strict_params = 1;
    const std::string path = fuzz::write("run.ini", data, size);
    char* err = nullptr;
    if (nvx_ini_load(&c, path.c_str(), &err) == 0) {
        std::free(err);
        err = nullptr;
        nvx_config_validate(&c, &err);
    } else if (!err) {
        std::abort();
    }
    std::free(err);
    nvx_config_free(&c);
    return 0;
}
