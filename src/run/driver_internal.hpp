// Pieces of the run driver shared between its source files.
// Not part of the public interface.
#pragma once

#include "nuvex/config.h"

namespace nvx {

void print_banner(const NVXConfig* config);
void log_options(const NVXConfig* config);

}  // namespace nvx
