// Parsed network data files kept for reuse: each path is opened and parsed once per owner (one
// rate-table set per session, or per network build when no session lends its cache).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "nuvex/network.h"
#include "nuvex/numerics.h"

namespace nvx::net {

// Single-threaded: owned by one session (or one build) and used by its thread only. Every returned
// pointer stays valid, and its content unchanged, for the cache's lifetime.
class DataFiles {
public:
    DataFiles() = default;
    // A cache that first looks into `fallback` (read-only, and unchanged while this one lives: the
    // parent session of a fork waits while its forks run) before reading files itself.
    explicit DataFiles(const DataFiles* fallback) : fallback_(fallback) {}
    DataFiles(const DataFiles&) = delete;
    DataFiles& operator=(const DataFiles&) = delete;
    ~DataFiles();

    // A rate table (3 columns) with its "ref=" source label; nullptr with *err on failure.
    struct RateTable {
        NVXTable table{};
        char source[NVX_SOURCE_LEN] = {};
    };
    const RateTable* rate_table(const char* path, char** err);
    const NVXNetworkList* network_list(const char* path, char** err);
    const NVXReactionTable* reactions(const char* path, char** err);
    const NVXDetailedBalanceTable* detailed_balance(const char* path, char** err);
    const NVXDecayTable* decays(const char* path, char** err);
    const NVXRateSet* rate_set(const char* path, char** err);

private:
    const DataFiles* fallback_ = nullptr;
    std::map<std::string, std::unique_ptr<RateTable>> tables_;
    std::map<std::string, NVXNetworkList> lists_;
    std::map<std::string, NVXReactionTable> reactions_;
    std::map<std::string, NVXDetailedBalanceTable> balance_;
    std::map<std::string, NVXDecayTable> decays_;
    std::map<std::string, NVXRateSet> rate_sets_;
};

// Network assembly and rate setup reading through `files` (nullptr: a private cache for the call).
int load_network(const NVXConfig* record, const char* era, const char* const* reactions, size_t count,
                 const NVXCustomNetwork* custom, DataFiles* files, NVXNetworkDef* def, char** error);
int nuclear_rates_init(NVXNuclearRates* rates, const NVXConfig* record, const NVXCustomNetwork* custom,
                       DataFiles* files, char** error);

}  // namespace nvx::net
