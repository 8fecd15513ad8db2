// Fuzzes the custom background table reader: any file gives a checked table or a message.
#include <cstdint>
#include <cstdlib>

#include "fuzz_common.hpp"
#include "nuvex/background.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write("background.csv", data, size);
    size_t n = 0;
    char* err = nullptr;
    const int rc = nvx_bg_custom_table_read(path.c_str(), &n, &err);
    if ((rc == 0) != (err == nullptr) || (rc == 0 && n < 2)) std::abort();
    std::free(err);
    return 0;
}
