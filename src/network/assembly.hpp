// Last stage of network assembly shared between the assembly and the rate tabulation: fills the
// grid, forward rates, uncertainty factors, reverse coefficients, caps and the rate buffer.
#pragma once

#include <string>
#include <vector>

#include "nuvex/network.h"

namespace nvx::net {

class DataFiles;

// files[r-1] is the rate-table file name of reaction r (inside nuclear/tables/<name>/).
int tabulate_rates(const NVXConfig* cfg, const NVXCustomNetwork* custom, const NVXReactionTable& catalogue,
                   const NVXDetailedBalanceTable& balance, const std::vector<std::string>& files,
                   DataFiles& data, NVXNetworkDef* def, char** error);

// Nuclear QED correction factor of a radiative capture at T9 (1 for other reactions).
double nuclear_qed_factor(const char* reaction, double T9, bool* applies);

}  // namespace nvx::net
