// Settings that have no effect in a record's configuration (a key read only with another switch
// on, or carried for host programs): named so that a run can warn and strict_params can refuse.
#pragma once

#include <string>

#include "nuvex/config.h"

namespace nvx {

// "key=value (reason); ..." for every setting off its default that no stage of this configuration
// reads; empty when there is none.
std::string inert_settings(const NVXConfig* config);

}  // namespace nvx
