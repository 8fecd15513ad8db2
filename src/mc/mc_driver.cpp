// The Monte Carlo driver: a central session run (or reused centrals), worker sessions forked from
// it over consecutive blocks of sample indices, per-sample draws seeded by index, progress,
// cancellation through the call's token, and the sample statistics.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/err.hpp"
#include "config/stderr_lines.hpp"
#include "mc/mc_internal.hpp"
#include "nuvex/mc.h"
#include "nuvex/numerics.h"
#include "nuvex/run.h"
#include "nuvex/session.h"
#include "run/session.hpp"

namespace nvx::mc {
namespace {

using session::OwnedConfig;
using session::Session;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Call {
    const NVXMCOptions& o;
    const NVXConfig* config;            // the validated copy; its hooks are the caller's
    const volatile int32_t* extra_cancel;
    NVXMCResult* result;
    std::atomic<int> done{0};           // finished samples, reused ones included
    std::atomic<bool> failed{false};    // a worker failed: the others stop early

    bool cancelled() const {
        return nvx_run_cancelled(config) || (extra_cancel && __atomic_load_n(extra_cancel, __ATOMIC_RELAXED));
    }
};

// "[MC]" lines on standard error every 250 ms while samples run, for callers without a progress hook.
struct ProgressLines {
    const Call& call;
    std::atomic<bool> running{true};
    std::thread thread;

    explicit ProgressLines(const Call& c) : call(c) {}

    void print(int d) const {
        const int total = call.o.num_mc;
        const int pct = total > 0 ? int(int64_t(d) * 100 / total) : 0;
        char line[96];
        std::snprintf(line, sizeof line, "[MC] %d/%d samples (%3d%%)", d, total, pct);
        nvx::stderr_progress(line);
    }
    void loop() {
        int shown = call.done.load();
        print(shown);
        while (running.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const int now = call.done.load();
            if (now != shown) print(shown = now);
        }
    }
};

struct Worker {
    int64_t first = 0, last = 0;  // sample indices [first, last)
    std::unique_ptr<Session> session;
    OwnedConfig record;           // the sample record: the central one without outputs and noise
    NVXRunHooks hooks{};
    std::string message;
    bool failed = false;
};

// The record of a worker's samples: the central record without output files (they hold the
// central run), progress marks or verbose logs; only warnings reach the caller's message hook.
int make_worker_record(const Call& call, Worker& w, char** err) {
    if (w.record.copy_from(*call.config, err) != 0) return 1;
    NVXConfig& c = w.record.c;
    c.show_progress = 0;
    c.verbose = 0;
    c.output_time_evolution = 0;
    c.output_final_result = 0;
    c.output_background_evolution = 0;
    c.decay_era = 0;
    if (const NVXRunHooks* h = call.config->hooks) {
        w.hooks = *h;
        w.hooks.progress = nullptr;
        w.hooks.min_level = std::max(h->min_level, int(NVX_MSG_WARNING));
        c.hooks = &w.hooks;
    } else {
        c.hooks = nullptr;
    }
    return 0;
}

// Sample k: one normal deviate per LT reaction after the weak n<->p one (network order) into
// p_map, then one for the neutron lifetime, always drawn so the rate draws never depend on it.
int draw_sample(const Call& call, Worker& w, int64_t k, double tau0, char** err) {
    NVXConfig& c = w.record.c;
    nvx_rng rng;
    nvx_rng_seed(&rng, call.o.seed + uint64_t(k));
    const NVXNetworkDef& lt = w.session->networks()->lt;
    for (size_t i = 1; i < lt.n_reactions; ++i) nvx_rxnmap_set(&c.p_map, lt.reaction_names[i], nvx_rng_normal(&rng));
    double z = nvx_rng_normal(&rng);
    if (c.tau_n_normalization) {
        // A lifetime is positive: a draw at or below zero (z < -5 with the largest accepted spread,
        // once in millions of samples) is drawn again, so the distribution is the normal one cut at
        // zero and sample k still depends on seed + k alone.
        c.tau_n = tau0 + c.std_tau_n * z;
        for (int redraw = 0; !(c.tau_n > 0.0) && redraw < 1000; ++redraw) c.tau_n = tau0 + c.std_tau_n * nvx_rng_normal(&rng);
        if (!(c.tau_n > 0.0) || !std::isfinite(c.tau_n))
            return fail(err, "nvx_mc_run: sample %lld draws no positive neutron lifetime (tau_n = %g, std_tau_n = %g)",
                        static_cast<long long>(k), tau0, c.std_tau_n);
    }
    return 0;
}

void run_worker(Call& call, Worker& w) {
    auto failure = [&](char* err) {
        w.failed = true;
        w.message = err ? err : "nvx_mc_run: a worker failed without a message";
        std::free(err);
        call.failed.store(true);
    };
    char* err = nullptr;
    const double tau0 = w.record.c.tau_n;
    if (w.session->prepare(&w.record.c, &err) != NVX_OK) return failure(err);
    const NVXMCOptions& o = call.o;
    for (int64_t k = w.first; k < w.last && !call.cancelled() && !call.failed.load(); ++k) {
        if (draw_sample(call, w, k, tau0, &err)) return failure(err);
        NVXResults res{};
        const int rc = w.session->run_record(&w.record.c, &res, &err);
        if (rc != NVX_OK) {
            didiva_results_free(&res);
            if (rc == NVX_CANCELLED) return;
            std::string m = strprintf("nvx_mc_run: sample %lld: %s", static_cast<long long>(k), err ? err : "failed");
            std::free(err);
            return failure(dup_cstr(m.c_str()));
        }
        const size_t slot = size_t(k - o.first);
        for (size_t q = 0; q < o.n_quantities; ++q) {
            int found = 0;
            const double v = nvx_results_get_quantity(&res, o.quantities[q], &found);
            call.result->entries[q].values[slot] = found ? v : kNaN;
        }
        didiva_results_free(&res);
        const int d = call.done.fetch_add(1) + 1;
        nvx_progress(call.config, "mc", d, o.num_mc);
    }
}

int allocate_entries(NVXMCResult* r, const NVXMCOptions& o) {
    r->entries = static_cast<NVXMCEntry*>(std::calloc(o.n_quantities ? o.n_quantities : 1, sizeof(NVXMCEntry)));
    if (!r->entries) return 1;
    r->count = o.n_quantities;
    r->num_mc = size_t(o.num_mc);
    r->first = o.first;
    for (size_t q = 0; q < o.n_quantities; ++q) {
        copy_name(r->entries[q].name, sizeof r->entries[q].name, o.quantities[q]);
        r->entries[q].values = static_cast<double*>(std::calloc(r->num_mc, sizeof(double)));
        if (!r->entries[q].values) return 1;
    }
    return 0;
}

int online_processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

// Central values of a run of the central session; an absent quantity is refused by name.
int central_run(Call& call, Session& central, char** err) {
    NVXResults res{};
    const int rc = central.run_record(call.config, &res, err);
    if (rc != NVX_OK) {
        didiva_results_free(&res);
        return rc;
    }
    for (size_t q = 0; q < call.o.n_quantities; ++q) {
        int found = 0;
        const double v = nvx_results_get_quantity(&res, call.o.quantities[q], &found);
        if (!found) {
            char* hint = nvx_quantity_suggestion(call.o.quantities[q], &res);
            fail(err, "nvx_mc_run: unknown quantity '%s': neither a result quantity of this run nor a nuclide "
                      "of its network%s", call.o.quantities[q], hint ? hint : "");
            std::free(hint);
            didiva_results_free(&res);
            return NVX_INVALID;
        }
        call.result->entries[q].central = v;
    }
    didiva_results_free(&res);
    return NVX_OK;
}

// Forks the workers (on this thread: the central session must be idle while they run), runs them
// over consecutive blocks and joins them. The first failure in worker order is reported.
int run_workers(Call& call, Session& central, int64_t first_new, int S, char** err) {
    const int J = call.o.n_jobs > 0 ? call.o.n_jobs : online_processors();
    const int W = std::min(J, S);
    std::vector<Worker> workers(static_cast<size_t>(W));
    int64_t slot = first_new;
    for (int w = 0; w < W; ++w) {
        Worker& wk = workers[size_t(w)];
        wk.first = slot;
        wk.last = slot + S / W + (w < S % W ? 1 : 0);
        slot = wk.last;
        wk.session = central.fork(err);
        if (!wk.session || make_worker_record(call, wk, err)) return NVX_FAIL;
    }
    std::vector<std::thread> threads;
    int rc = NVX_OK;
    for (Worker& wk : workers) {
        try {
            threads.emplace_back(run_worker, std::ref(call), std::ref(wk));
        } catch (const std::exception&) {
            call.failed.store(true);  // stop those already running; their samples are discarded
            rc = fail(err, "nvx_mc_run: could not start a worker thread");
            break;
        }
    }
    for (auto& t : threads) t.join();
    if (rc != NVX_OK) return rc;
    for (const Worker& wk : workers)
        if (wk.failed) return fail_str(err, wk.message);
    return NVX_OK;
}

void statistics(NVXMCResult* r) {
    const size_t n = r->num_mc;
    for (size_t q = 0; q < r->count; ++q) {
        NVXMCEntry& e = r->entries[q];
        double sum = 0.0;
        for (size_t k = 0; k < n; ++k) sum += e.values[k];
        e.mean = sum / double(n);
        double ss = 0.0;
        for (size_t k = 0; k < n; ++k) ss += (e.values[k] - e.mean) * (e.values[k] - e.mean);
        // one sample has no spread to estimate
        e.std = n >= 2 ? std::sqrt(ss / double(n - 1)) : kNaN;
    }
}

int check_options(const NVXMCOptions* o, char** err) {
    if (!o) return fail(err, "nvx_mc_run: no options");
    if (o->num_mc < 1) return fail(err, "nvx_mc_run: num_mc=%d: at least one sample is needed", o->num_mc);
    // an empty request would run the central computation and report an empty result as success
    if (o->n_quantities == 0)
        return fail(err, "nvx_mc_run: no quantities requested: name at least one (for example YPBBN, DoH)");
    if (!o->quantities) return fail(err, "nvx_mc_run: no quantity names");
    for (size_t q = 0; q < o->n_quantities; ++q)
        if (!o->quantities[q] || !o->quantities[q][0]) return fail(err, "nvx_mc_run: quantity %zu has no name", q);
    if (o->first < 0) return fail(err, "nvx_mc_run: first=%lld: sample indices start at 0", (long long)o->first);
    if (o->n_prev && o->prev_values)
        for (size_t q = 0; q < o->n_quantities; ++q)
            if (!o->prev_values[q]) return fail(err, "nvx_mc_run: prev_values[%zu] is missing", q);
    return 0;
}

}  // namespace

int run_in(Session& central, const NVXConfig* record, const NVXMCOptions* options,
           const volatile int32_t* extra_cancel, NVXMCResult* result, char** err) {
    if (!result) return fail(err, "nvx_mc_run: no result record"), NVX_INVALID;
    std::memset(result, 0, sizeof *result);
    if (check_options(options, err)) return NVX_INVALID;
    const NVXMCOptions& o = *options;
    Call call{o, record, extra_cancel, result};
    if (allocate_entries(result, o)) {
        nvx_mc_result_free(result);
        return fail(err, "nvx_mc_run: out of memory"), NVX_FAIL;
    }

    const int n_reuse = (o.prev_values && o.prev_centrals) ? int(std::min<size_t>(o.n_prev, size_t(o.num_mc))) : 0;
    int rc;
    if (n_reuse > 0) {
        for (size_t q = 0; q < o.n_quantities; ++q) {
            result->entries[q].central = o.prev_centrals[q];
            std::memcpy(result->entries[q].values, o.prev_values[q], size_t(n_reuse) * sizeof(double));
        }
        rc = n_reuse < o.num_mc ? central.prepare(record, err) : NVX_OK;
    } else {
        rc = central_run(call, central, err);
    }
    if (rc == NVX_OK && call.cancelled()) rc = NVX_CANCELLED;

    const int S = o.num_mc - n_reuse;
    call.done = n_reuse;
    const bool lines = o.progress && !(record->hooks && record->hooks->progress) && S > 0 && rc == NVX_OK;
    std::unique_ptr<ProgressLines> prog;
    if (lines) {
        std::fprintf(stderr, "[MC] Running %d sample%s...\n", o.num_mc, o.num_mc == 1 ? "" : "s");
        std::fflush(stderr);
        prog = std::make_unique<ProgressLines>(call);
        try {
            prog->thread = std::thread(&ProgressLines::loop, prog.get());
        } catch (const std::exception&) {
            prog.reset();  // progress is a courtesy: run without it
        }
    }
    if (rc == NVX_OK && S > 0) rc = run_workers(call, central, o.first + n_reuse, S, err);
    if (rc == NVX_OK && call.cancelled()) rc = NVX_CANCELLED;
    if (prog) {
        prog->running = false;
        prog->thread.join();
        char line[96];
        if (rc == NVX_CANCELLED) {
            std::snprintf(line, sizeof line, "[MC] cancelled after %d/%d samples", call.done.load(), o.num_mc);
            nvx::stderr_progress(line);
        } else if (rc == NVX_OK) {
            std::snprintf(line, sizeof line, "[MC] %d/%d samples (100%%)", o.num_mc, o.num_mc);
            nvx::stderr_progress(line);
        }
        nvx::stderr_progress_end();
    }
    if (rc != NVX_OK && call.cancelled()) rc = NVX_CANCELLED;
    if (rc == NVX_CANCELLED && err && *err) {
        std::free(*err);
        *err = nullptr;
    }
    if (rc != NVX_OK) {
        nvx_mc_result_free(result);
        return rc;
    }
    statistics(result);
    if (nvx_mc_write_outputs(result, record, err) != 0) {  // the files the record asks for
        nvx_mc_result_free(result);
        return NVX_FAIL;
    }
    return NVX_OK;
}

int run(const NVXConfig* config, const NVXCustomNetwork* custom, const NVXMCOptions* options,
        const volatile int32_t* extra_cancel, NVXMCResult* result, char** err) {
    if (result) std::memset(result, 0, sizeof *result);
    if (!config) return fail(err, "nvx_mc_run: no parameter record"), NVX_INVALID;
    if (check_options(options, err)) return NVX_INVALID;
    Session central(true);
    if (central.init(*config, custom, true, err) != 0) return NVX_INVALID;
    OwnedConfig rec;  // the central record with the caller's hooks
    if (rec.copy_from(central.config(), err) != 0) return NVX_FAIL;
    rec.c.hooks = config->hooks;
    return run_in(central, &rec.c, options, extra_cancel, result, err);
}

}  // namespace nvx::mc

extern "C" {

void nvx_mc_default_options(NVXMCOptions* o) {
    if (!o) return;
    std::memset(o, 0, sizeof *o);
    o->num_mc = 1;
    o->n_jobs = -1;
}

int nvx_session_mc(NVXSession* s, const NVXMCOptions* options, const NVXRunHooks* hooks, NVXMCResult* result,
                   char** err) {
    if (result) std::memset(result, 0, sizeof *result);
    if (!s) return nvx::fail(err, "nvx_session_mc: no session"), NVX_INVALID;
    if (!s->impl.enter())
        return nvx::fail(err, "nvx_session_mc: the session is already running on another thread (a session "
                              "serves one thread at a time; create one session per thread)"),
               NVX_FAIL;
    int rc;
    try {
        nvx::session::OwnedConfig rec;
        rc = rec.copy_from(s->impl.config(), err) != 0 ? NVX_FAIL : NVX_OK;
        if (rc == NVX_OK) {
            rec.c.hooks = hooks;
            rc = nvx::mc::run_in(s->impl, &rec.c, options, nullptr, result, err);
        }
    } catch (const std::bad_alloc&) {
        if (result) nvx_mc_result_free(result);
        rc = nvx::fail(err, "nvx_session_mc: out of memory");
    }
    s->impl.leave();
    return rc;
}

int nvx_mc_run(const NVXConfig* config, const NVXCustomNetwork* custom, const NVXMCOptions* options,
               NVXMCResult* result, char** err) {
    try {
        return nvx::mc::run(config, custom, options, nullptr, result, err);
    } catch (const std::bad_alloc&) {
        if (result) nvx_mc_result_free(result);
        return nvx::fail(err, "nvx_mc_run: out of memory"), NVX_FAIL;
    }
}

}  // extern "C"
