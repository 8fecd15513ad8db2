// "Did you mean": the valid names closest to a misspelt one, shared by every front end (parameter
// keys, result quantities, reaction names), so that one typo gets one answer everywhere.
#pragma once

#include <string>
#include <vector>

namespace nvx {

// Up to max_out candidates closest to name, best first (see nvx_suggest).
std::vector<std::string> suggest(const char* name, const std::vector<std::string>& candidates, size_t max_out = 3);

// "; did you mean 'a', 'b'?" for those candidates, or "" when none is close.
std::string did_you_mean(const char* name, const std::vector<std::string>& candidates);

}  // namespace nvx
