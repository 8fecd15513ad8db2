// Which stage of a run each parameter feeds: the one table a session consults to decide what a
// changed parameter invalidates, and the comparison of two records through it.
#pragma once

#include <cstddef>

#include "nuvex/config.h"

namespace nvx::session {

// Stages a session keeps between runs. A parameter mapped to none of them is read by every run.
enum Stage : unsigned {
    kStageNone = 0,
    kStagePlasma = 1u << 0,      // QED and electron-positron tables
    kStageHistory = 1u << 1,     // neutrino decoupling history
    kStageWeak = 1u << 2,        // weak n<->p rate tables (and their thermal corrections)
    kStageNetwork = 1u << 3,     // assembled MT/LT networks with their tabulated rates
    kStageBackground = 1u << 4,  // background tables a(T), t(T), ...
    kStageAll = 0x1f,
};

// Row of the table. `lambda_only`: the parameter reaches the background only through the
// cosmological constant (see lambda_below_rounding in the background).
struct KeyStages {
    const char* key;  // a key of the parameter table, "Omegabh2", "GN", or the prefixes "p_", "delta_"
    unsigned stages;
    bool lambda_only;
};

extern const KeyStages KEY_STAGES[];
extern const size_t KEY_STAGES_SIZE;

// The row of a key (prefix rows for "p_..." and "delta_..."); nullptr for an unknown key.
const KeyStages* key_stages(const char* key);

// Stages whose parameters differ between two records (bitwise for numbers, by content for text,
// by truth value for switches). Inputs outside the key table count too: the data directory
// (every stage) and the extra energy density table (background). *only_lambda is set when every
// differing background parameter is lambda_only.
unsigned changed_stages(const NVXConfig& built, const NVXConfig& now, bool* only_lambda);

}  // namespace nvx::session
