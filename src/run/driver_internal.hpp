// Pieces of the run driver shared between its source files.
// Not part of the public interface.
#pragma once

#include <string>

#include "nuvex/config.h"
#include "nuvex/custom_network.h"

namespace nvx {

void print_banner(const NVXConfig* config);
void log_options(const NVXConfig* config);

// "key=value, ..." of the parameters that differ from their defaults (printing and output keys
// left out); empty when there are none.
std::string off_default_parameters(const NVXConfig* config);
// Appends "[parameters off their defaults: ...]" to the message in *err, the custom network's
// reactions included when there is one; returns 1.
int name_off_default(const NVXConfig* config, char** err, const NVXCustomNetwork* custom = nullptr);

}  // namespace nvx
