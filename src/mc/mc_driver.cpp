// The Monte Carlo driver: central run (or reused centrals), worker threads over consecutive
// sample blocks, a progress thread, cancellation, and the sample statistics.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/err.hpp"
#include "mc/mc_worker.hpp"
#include "nuvex/mc.h"
#include "nuvex/run.h"

namespace nvx {
namespace {

bool cancel_requested() { return __atomic_load_n(&g_nvx_mc_cancel, __ATOMIC_RELAXED) != 0; }

struct Progress {
    std::mutex mutex;
    int finished = 0;
    int total = 0;
    std::atomic<bool> running{false};

    void add_one() {
        std::lock_guard<std::mutex> lock(mutex);
        ++finished;
    }
    int read() {
        std::lock_guard<std::mutex> lock(mutex);
        return finished;
    }
    void print(int done) const {
        int pct = total > 0 ? static_cast<int>(static_cast<long long>(done) * 100 / total) : 0;
        std::fprintf(stderr, "\r[MC] %d/%d samples (%3d%%)", done, total, pct);
        std::fflush(stderr);
    }
    void loop() {
        int shown = read();
        print(shown);
        while (running.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            int now = read();
            if (now != shown) print(shown = now);
        }
    }
};

// A fresh parameter record with the call's parameter list applied and validated.
int make_config(const char* data_dir, const NVXKeyParam* params, size_t n_params, NVXConfig& c, char** err) {
    if (nvx_config_init_defaults(&c, data_dir, err)) return 1;
    for (size_t i = 0; i < n_params; ++i)
        if (nvx_config_set_by_name(&c, params[i].key, params[i].value.kind, params[i].value.payload, err)) {
            nvx_config_free(&c);
            return 1;
        }
    if (nvx_config_validate(&c, err)) {
        nvx_config_free(&c);
        return 1;
    }
    return 0;
}

struct Call {
    int num_mc;
    const char* const* quantities;
    size_t n_quantities;
    const char* data_dir;
    const NVXKeyParam* params;
    size_t n_params;
    uint64_t seed;
    const NVXCustomNetwork* custom;
    NVXMCResult* result;
    Progress* progress;  // nullptr when not shown
};

struct WorkerTask {
    int first, last;  // sample slots [first, last)
    std::string message;
    bool failed = false;
};

void run_worker(const Call& call, WorkerTask& task) {
    auto record_failure = [&](char* err) {
        task.failed = true;
        task.message = err ? err : "nvx_mc_uncertainty: a worker failed without a message";
        std::free(err);
    };
    char* err = nullptr;
    NVXConfig config;
    if (make_config(call.data_dir, call.params, call.n_params, config, &err)) return record_failure(err);
    config.show_progress = 0;
    // The output files belong to the central run: samples that wrote them would leave a perturbed
    // sample's abundances behind, written by several threads into one file at once.
    config.output_time_evolution = 0;
    config.output_final_result = 0;
    McWorker worker;
    if (worker.init(std::move(config), call.custom, &err)) return record_failure(err);
    for (int k = task.first; k < task.last && !cancel_requested(); ++k) {
        NVXResults results{};
        if (worker.run_sample(call.seed + static_cast<uint64_t>(k), &results, &err)) {
            didiva_results_free(&results);
            return record_failure(err);
        }
        for (size_t q = 0; q < call.n_quantities; ++q) {
            int found = 0;
            double v = nvx_results_get_quantity(&results, call.quantities[q], &found);
            call.result->entries[q].values[k] = found ? v : std::numeric_limits<double>::quiet_NaN();
        }
        didiva_results_free(&results);
        if (call.progress) call.progress->add_one();
    }
}

int central_run(const Call& call, char** err) {
    NVXConfig config;
    if (make_config(call.data_dir, call.params, call.n_params, config, err)) return 1;
    NVXResults results{};
    int rc = didiva_run(&config, call.custom, &results, err);
    nvx_config_free(&config);
    if (rc) {
        didiva_results_free(&results);
        return 1;
    }
    for (size_t q = 0; q < call.n_quantities; ++q) {
        int found = 0;
        double v = nvx_results_get_quantity(&results, call.quantities[q], &found);
        if (!found) {
            didiva_results_free(&results);
            return fail(err, "nvx_mc_uncertainty: unknown quantity name");
        }
        call.result->entries[q].central = v;
    }
    didiva_results_free(&results);
    return 0;
}

int allocate_entries(NVXMCResult* r, const char* const* quantities, size_t n, int num_mc) {
    r->entries = static_cast<NVXMCEntry*>(std::calloc(n ? n : 1, sizeof(NVXMCEntry)));
    if (!r->entries) return 1;
    r->count = n;
    r->num_mc = static_cast<size_t>(num_mc > 0 ? num_mc : 0);
    for (size_t q = 0; q < n; ++q) {
        copy_name(r->entries[q].name, sizeof r->entries[q].name, quantities[q]);
        r->entries[q].values = static_cast<double*>(std::calloc(r->num_mc ? r->num_mc : 1, sizeof(double)));
        if (!r->entries[q].values) return 1;
    }
    return 0;
}

void statistics(NVXMCResult* r) {
    const size_t n = r->num_mc;
    for (size_t q = 0; q < r->count; ++q) {
        NVXMCEntry& e = r->entries[q];
        double sum = 0.0;
        for (size_t k = 0; k < n; ++k) sum += e.values[k];
        e.mean = n ? sum / static_cast<double>(n) : 0.0;
        double ss = 0.0;
        for (size_t k = 0; k < n; ++k) ss += (e.values[k] - e.mean) * (e.values[k] - e.mean);
        e.std = n >= 2 ? std::sqrt(ss / static_cast<double>(n - 1)) : 0.0;
    }
}

constexpr int kStartFailure = 3;

int online_processors() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

// Starts the workers over consecutive blocks and joins them; returns the first failure in worker
// order (or a start failure) through *err.
int run_workers(const Call& call, int n_reuse, int n_jobs, char** err) {
    const int S = call.num_mc - n_reuse;
    int J = n_jobs > 0 ? n_jobs : online_processors();
    const int W = J < S ? J : S;
    std::vector<WorkerTask> tasks(static_cast<size_t>(W));
    int slot = n_reuse;
    for (int w = 0; w < W; ++w) {
        int size = S / W + (w < S % W ? 1 : 0);
        tasks[static_cast<size_t>(w)].first = slot;
        tasks[static_cast<size_t>(w)].last = slot + size;
        slot += size;
    }
    std::vector<std::thread> threads;
    std::string start_failure;
    for (int w = 0; w < W; ++w) {
        try {
            threads.emplace_back(run_worker, std::cref(call), std::ref(tasks[static_cast<size_t>(w)]));
        } catch (const std::exception&) {
            // stop the ones already running; their samples are discarded
            start_failure = "nvx_mc_uncertainty: could not start a worker thread";
            nvx_mc_request_cancel();
            break;
        }
    }
    for (auto& t : threads) t.join();
    if (!start_failure.empty()) {
        fail_str(err, start_failure);
        return kStartFailure;
    }
    for (const WorkerTask& t : tasks)
        if (t.failed) return fail_str(err, t.message);
    return 0;
}

}  // namespace
}  // namespace nvx

using namespace nvx;

extern "C" int nvx_mc_uncertainty(int num_mc, const char* const* quantities, size_t n_quantities,
                                  const char* data_dir, const NVXKeyParam* params, size_t n_params,
                                  uint64_t seed, int n_jobs, const NVXCustomNetwork* custom_network,
                                  const double* prev_centrals, const double* const* prev_values, size_t n_prev,
                                  int progress, NVXMCResult* mc_result, char** err) {
    __atomic_store_n(&g_nvx_mc_cancel, 0, __ATOMIC_RELAXED);
    if (!mc_result) return fail(err, "nvx_mc_uncertainty: no result record");
    std::memset(mc_result, 0, sizeof *mc_result);
    if (num_mc < 0) return fail(err, "nvx_mc_uncertainty: num_mc must be >= 0");
    if (n_quantities && !quantities) return fail(err, "nvx_mc_uncertainty: no quantity names");
    if (allocate_entries(mc_result, quantities, n_quantities, num_mc)) {
        nvx_mc_result_free(mc_result);
        return fail(err, "nvx_mc_uncertainty: out of memory");
    }
    Call call{num_mc, quantities, n_quantities, data_dir, params, n_params, seed, custom_network, mc_result, nullptr};

    const int n_reuse = (num_mc > 0 && prev_values && prev_centrals)
                            ? static_cast<int>(n_prev < static_cast<size_t>(num_mc) ? n_prev : num_mc)
                            : 0;
    if (n_reuse > 0) {
        for (size_t q = 0; q < n_quantities; ++q) {
            mc_result->entries[q].central = prev_centrals[q];
            std::memcpy(mc_result->entries[q].values, prev_values[q], static_cast<size_t>(n_reuse) * sizeof(double));
        }
    } else if (central_run(call, err)) {
        nvx_mc_result_free(mc_result);
        return 1;
    }

    const int S = num_mc - n_reuse;
    Progress prog;
    std::thread progress_thread;
    bool show = progress && S > 0;
    if (show) {
        prog.finished = n_reuse;
        prog.total = num_mc;
        prog.running = true;
        std::fprintf(stderr, "[MC] Running %d sample%s...\n", num_mc, num_mc == 1 ? "" : "s");
        std::fflush(stderr);
        try {
            progress_thread = std::thread(&Progress::loop, &prog);
            call.progress = &prog;
        } catch (const std::exception&) {
            show = false;  // progress is a courtesy: run without it
        }
    }
    int rc = S > 0 ? run_workers(call, n_reuse, n_jobs, err) : 0;
    if (show) {
        prog.running = false;
        progress_thread.join();
        if (cancel_requested())
            std::fprintf(stderr, "\r[MC] cancelled after %d/%d samples\n", prog.read(), num_mc);
        else
            std::fprintf(stderr, "\r[MC] %d/%d samples (100%%)\n", num_mc, num_mc);
        std::fflush(stderr);
    }
    if (cancel_requested() && rc != kStartFailure) {
        if (err && *err) {
            std::free(*err);
            *err = nullptr;
        }
        nvx_mc_result_free(mc_result);
        return 2;
    }
    if (rc) {
        nvx_mc_result_free(mc_result);
        return 1;
    }
    statistics(mc_result);
    if (nvx_mc_write_outputs_for(mc_result, data_dir, params, n_params, err)) {
        nvx_mc_result_free(mc_result);
        return 1;
    }
    return 0;
}
