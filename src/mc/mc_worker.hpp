// One Monte Carlo worker's run context: parameter record, plasma, nuclear rates and background
// built once, then one perturbed network integration per sample.
#pragma once

#include <memory>
#include <string>

#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/results.h"

namespace nvx {

struct McWorkerState;  // the physics records, defined next to the stages it calls

class McWorker {
public:
    McWorker();
    ~McWorker();
    McWorker(const McWorker&) = delete;
    McWorker& operator=(const McWorker&) = delete;

    // Builds the run context from a validated parameter record (which the worker takes over).
    // Returns 0, or 1 with *err set.
    int init(NVXConfig&& config, const NVXCustomNetwork* custom, char** err);

    // Seeds the generator with `seed_plus_index`, draws the rate and lifetime perturbations in
    // their documented order, integrates the network and fills `results`. 0, or 1 with *err set.
    int run_sample(uint64_t seed_plus_index, NVXResults* results, char** err);

private:
    std::unique_ptr<McWorkerState> state_;
};

}  // namespace nvx
