// The table of keyed parameters: key text, field kind and location inside NVXConfig, and defaults.
// One row per key, in the documented key order; setting by name and initialisation both walk it.
#pragma once

#include <cstddef>

#include "nuvex/config.h"

namespace nvx {

enum class FieldKind : int {
    Bool = 0,
    Int = 1,
    IntOrNone = 2,
    Number = 3,
    NumberOrNoneZero = 4,
    NumberOrNoneNaN = 5,
    StringOrNone = 6,
};

struct FieldSpec {
    const char* key;
    FieldKind kind;
    size_t offset;
    double default_number;      // bool/int/number kinds (NaN allowed)
    const char* default_string; // string kind; nullptr means no string
    bool is_path;               // '~' expansion applies
};

extern const FieldSpec FIELD_TABLE[];
extern const size_t FIELD_TABLE_SIZE;

const FieldSpec* find_field(const char* key);

}  // namespace nvx
