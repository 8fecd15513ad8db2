// Rate sets: a name selects the manifest nuclear/ratesets/<name>.txt (data or user nuclear
// directory) whose tables replace the listed reactions' own; "nuvex" is the network's own tables.
#pragma once

#include <string>
#include <vector>

#include "nuvex/config.h"

namespace nvx {

inline constexpr const char* kDefaultRateSet = "nuvex";

// True for the default set (no string, or "nuvex"): every reaction keeps its network-list table.
bool is_default_rate_set(const char* name);

// A usable set name: 1 to 63 letters, digits, '_', '-', '.' or '+', not starting with '.', so that
// it names one file of the ratesets folder and nothing outside it.
bool rate_set_name_ok(const char* name);

// Relative path of a set's manifest ("nuclear/ratesets/<name>.txt") and its resolved location
// (user nuclear directory first, as for every nuclear file).
std::string rate_set_relative_path(const char* name);
std::string rate_set_manifest_path(const NVXConfig* c, const char* name);

// Names of the sets found in the data directory and the user nuclear directory, "nuvex" included,
// sorted and without repeats.
std::vector<std::string> known_rate_sets(const NVXConfig* c);

// Edit distance (insertions, deletions, substitutions and swaps of neighbours, each 1), for "did
// you mean" hints.
size_t edit_distance(const std::string& a, const std::string& b);

// Checks `rate_set` (validation): 0, or 1 with a message naming the key, the known sets and the
// closest one.
int check_rate_set(const NVXConfig* c, char** err);

}  // namespace nvx
