// Fuzzes the rate-set manifest reader: any file ends in a set whose every entry names a reaction,
// a plain table file (no folder part), a source and an uncertainty, without repeats, or a message.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_common.hpp"
#include "nuvex/network.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write("set.txt", data, size);
    NVXRateSet s{};
    char* err = nullptr;
    if (nvx_load_rate_set(path.c_str(), &s, &err) == 0) {
        if (err) std::abort();
        for (size_t i = 0; i < s.count; ++i) {
            const NVXRateSetEntry& e = s.entries[i];
            if (!e.name[0] || !e.file[0] || !e.source[0] || !e.uncertainty[0]) std::abort();
            if (std::strchr(e.file, '/') || e.file[0] == '.' || e.line < 1) std::abort();
            for (size_t j = 0; j < i; ++j)
                if (std::strcmp(s.entries[j].name, e.name) == 0) std::abort();
        }
    } else if (!err || s.entries || s.count) {
        std::abort();
    }
    std::free(err);
    nvx_rate_set_free(&s);
    return 0;
}
