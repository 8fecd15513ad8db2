// Fuzzes the neutrino decoupling tables: the input is a history table, or (first byte odd) a
// history table and a spectrum table separated by a NUL byte, read with the shipped momentum grid.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.hpp"
#include "nuvex/neutrino.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NVXConfig c;
    static const bool ready = fuzz::init_config(c, NUVEX_DATA_DIR);
    if (!ready) std::abort();
    if (size == 0) return 0;
    const bool spectrum = data[0] & 1;
    const uint8_t* rest = data + 1;
    const size_t n = size - 1;
    const uint8_t* sep = static_cast<const uint8_t*>(std::memchr(rest, 0, n));
    const size_t main_size = spectrum && sep ? size_t(sep - rest) : n;
    const std::string main_path = fuzz::write("history.csv", rest, main_size);
    std::string spec_path;
    if (spectrum) {
        const uint8_t* s = sep ? sep + 1 : rest + n;
        spec_path = fuzz::write("spectrum.csv", s, size_t(rest + n - s));
    }
    std::free(c.solan_file);
    c.solan_file = strdup(main_path.c_str());
    std::free(c.solan_spectral_file);
    c.solan_spectral_file = spectrum ? strdup(spec_path.c_str()) : nullptr;
    c.incomplete_decoupling = 1;
    c.spectral_distortions = spectrum;
    c.analytic_distortions = 0;
    nvx_neutrino_history h{};
    char* err = nullptr;
    if (nvx_neutrino_history_init(&h, &c, nullptr, &err) == 0) {
        if (err || h.n == 0) std::abort();
        // lookups anywhere must stay finite inside the table
        volatile double v = nvx_nu_Tnue_of_Tg(&h, h.Tg[h.n / 2]);
        (void)v;
    } else if (!err) {
        std::abort();
    }
    std::free(err);
    nvx_neutrino_history_free(&h);
    return 0;
}
