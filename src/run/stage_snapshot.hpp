// Snapshots of a session's stages: their fingerprints (derived from the stage table's key lists),
// the byte form of each stage record, and the place of the snapshot files in the cache directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cache/snapshot.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/network.h"
#include "nuvex/neutrino.h"
#include "nuvex/plasma.h"
#include "nuvex/weak.h"

namespace nvx::session {

// Process-wide switch (on by default): the tests and benchmarks compare runs with and without.
void set_snapshots(bool on);
bool snapshots_on();

// The snapshot of one stage for one build: where it lives and what it must match. Without a cache
// directory outside the data directory, or without a build identity, it is disabled.
class StageSnapshot {
public:
    // `stages`: the stage bits whose keys the stage reads (its own and those of the stages it is
    // built on); `deps`: the content identities of those stages; `extra`: further entries of the
    // fingerprint (key, text) for inputs outside the parameter record.
    StageSnapshot(const NVXConfig* config, const char* stage, unsigned stages, std::vector<uint64_t> deps,
                  const std::vector<std::pair<std::string, std::string>>& extra = {});
    bool enabled() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // The stage's bytes (in `mapped`) when a usable snapshot exists. A damaged one is reported
    // (warning) and left for the rebuild to replace; one of another configuration or with changed
    // inputs is skipped.
    bool load(snapshot::Mapped* mapped, uint64_t* id);
    // After a build: writes the snapshot (a failure is logged like a cache write failure) and keeps
    // at most kKeep snapshot files in the folder.
    void save(const inputs::Recorder& notes, std::string_view content);
    // Reports bytes that passed the checks but do not form a valid record.
    void reject(const char* why);

    static constexpr size_t kKeep = 48;

private:
    const NVXConfig* config_;
    std::string dir_, path_;
    snapshot::Identity identity_;
};

// The stage records as bytes and back. Loading fills a zeroed record (its borrowed pointers stay
// null for the session to point) and returns false, with the record freed, on malformed bytes.
std::string save_plasma(const nvx_plasma& p);
bool load_plasma(std::string_view bytes, nvx_plasma& p);
std::string save_history(const nvx_neutrino_history& h);
bool load_history(std::string_view bytes, nvx_neutrino_history& h);
std::string save_background(const nvx_background& b);
bool load_background(std::string_view bytes, nvx_background& b);
// The weak rates with whether they were computed on the background's grid (and that grid).
std::string save_weak(const nvx_weak_rates& w, bool computed, const std::vector<double>& grid_T,
                      const std::vector<double>& grid_Tnue);
bool load_weak(std::string_view bytes, nvx_weak_rates& w, bool* computed, std::vector<double>* grid_T,
               std::vector<double>* grid_Tnue);
// Both networks of a run; their compiled forms are compiled again from the stoichiometry.
std::string save_networks(const NVXNuclearRates& r);
bool load_networks(std::string_view bytes, NVXNuclearRates& r);

// Fingerprint entries of inputs outside the record, as hex hashes of their content.
std::string custom_network_hash(const NVXCustomNetwork* custom);
std::string nuclides_hash(const NVXConfig* config);
std::string extra_rho_hash(const NVXConfig* config);

}  // namespace nvx::session
