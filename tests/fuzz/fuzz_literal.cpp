// Fuzzes the literal parser and setting by key: every text becomes a tagged value, and setting it
// on any kind of key succeeds or fails with a message, leaving a record that validates or refuses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NVXConfig c;
    static const bool ready = fuzz::init_config(c, NUVEX_DATA_DIR);
    if (!ready) std::abort();
    if (size == 0) return 0;
    static const char* const kKeys[] = {"tau_n",         "amax",          "network", "verbose", "cache_dir",
                                        "p_d_p__He3_g", "mc_rate_rescale_cap", "munuOverTnu_e", "Omegabh2", "GN",
                                        "output_n_points", "delta_n_p__d_g", "unknown_key", "T_end_MeV",
                                        "numerical_precision", "strict_params"};
    const char* key = kKeys[data[0] % (sizeof kKeys / sizeof kKeys[0])];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const NVXParam p = nvx_parse_literal(text.c_str());
    if (p.kind < NVX_PARAM_NONE || p.kind > NVX_PARAM_STRING) std::abort();
    if (p.kind == NVX_PARAM_STRING && std::strlen(p.payload.s) > text.size()) std::abort();
    char* err = nullptr;
    if (nvx_config_set_by_name(&c, key, p.kind, p.payload, &err) != 0 && !err) std::abort();
    std::free(err);
    err = nullptr;
    NVXConfig copy = c;  // validation may clear switches: check a shallow copy, keep the record
    nvx_config_validate(&copy, &err);
    std::free(err);
    return 0;
}
