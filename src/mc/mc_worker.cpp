// One Monte Carlo worker's run context and its per-sample perturbation and integration.
// The stages are wired as they become available; until then a worker refuses to run.
#include "mc/mc_worker.hpp"

#include <cstring>

#include "config/err.hpp"

namespace nvx {

struct McWorkerState {
    NVXConfig config{};
};

McWorker::McWorker() = default;
McWorker::~McWorker() {
    if (state_) nvx_config_free(&state_->config);
}

int McWorker::init(NVXConfig&& config, const NVXCustomNetwork*, char** err) {
    state_ = std::make_unique<McWorkerState>();
    state_->config = config;
    std::memset(&config, 0, sizeof config);
    return fail(err, "nvx_mc_uncertainty: the network integration stage is not built yet");
}

int McWorker::run_sample(uint64_t, NVXResults*, char** err) {
    return fail(err, "nvx_mc_uncertainty: the network integration stage is not built yet");
}

}  // namespace nvx
