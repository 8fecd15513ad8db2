// The solver session behind nvx_session_* and didiva_run: the stages a run builds, kept with the
// record they were built from, rebuilt only when the parameter-to-stage table says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "network/data_cache.hpp"
#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/network.h"
#include "nuvex/neutrino.h"
#include "nuvex/plasma.h"
#include "nuvex/results.h"
#include "nuvex/weak.h"

namespace nvx::session {

// A parameter record owned by its holder.
struct OwnedConfig {
    NVXConfig c{};
    bool set = false;
    OwnedConfig() = default;
    OwnedConfig(const OwnedConfig&) = delete;
    OwnedConfig& operator=(const OwnedConfig&) = delete;
    ~OwnedConfig() { reset(); }
    void reset() {
        if (set) nvx_config_free(&c);
        set = false;
    }
    int copy_from(const NVXConfig& src, char** err);
};

// Identity of a file on disk at the time it was read (a custom background may be rewritten
// between runs under the same name).
struct FileId {
    bool exists = false;
    int64_t size = 0, mtime_ns = 0, inode = 0;
    static FileId of(const char* path);
    bool operator==(const FileId&) const = default;
};

// Built stages. They are never modified after their build, so forks of a session (the Monte Carlo
// workers) share them across threads; every pointer a run needs is re-pointed in its own views.
// `id` is the content identity of a stage built through a snapshot (0 otherwise): the snapshots of
// the stages built on it record it, so they follow any change of what they were built from.
struct PlasmaStage {
    uint64_t id = 0;
    nvx_plasma plasma{};
    ~PlasmaStage() { nvx_plasma_free(&plasma); }
};
struct HistoryStage {
    uint64_t id = 0;
    std::shared_ptr<const PlasmaStage> plasma;
    nvx_neutrino_history history{};
    ~HistoryStage() { nvx_neutrino_history_free(&history); }
};
struct BackgroundStage {
    uint64_t id = 0;
    std::shared_ptr<const PlasmaStage> plasma;
    std::shared_ptr<const HistoryStage> history;
    FileId custom_file;
    nvx_background bg{};  // lends its history; holds no weak rates
    ~BackgroundStage() { nvx_background_free(&bg); }
};
struct WeakStage {
    uint64_t id = 0;
    std::shared_ptr<const HistoryStage> history;
    bool computed = false;                 // a table was computed: it depends on the grid below
    std::vector<double> grid_T, grid_Tnue;  // the background's weak-rate grid it was computed on
    nvx_weak_rates weak{};
    ~WeakStage() { nvx_weak_rates_free(&weak); }
};
// The networks are rewritten by every run (rate variations, evaluation buffers): never shared.
struct NetworkStage {
    NVXNuclearRates rates{};
    std::shared_ptr<const std::string> bytes;  // the snapshot form, when there is one: forks copy it
    ~NetworkStage() { nvx_nuclear_rates_free(&rates); }
};

template <typename S>
struct Slot {
    std::shared_ptr<S> stage;
    OwnedConfig built_with;  // the record of the build (kept only by sessions that run again)
};

// What a run hands to the network integration: the stages seen through the run's record.
struct Views {
    nvx_plasma plasma{};
    nvx_background background{};
};

class Session {
public:
    // keep_records = false: a one-shot run (didiva_run), which never compares records later.
    explicit Session(bool keep_records) : keep_records_(keep_records) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Takes copies of the record (without its hooks, which belong to the caller's call) and of the
    // custom network. 0, or 1 with *err.
    int init(const NVXConfig& config, const NVXCustomNetwork* custom, bool validate, char** err);
    // A one-shot session on the caller's custom network (borrowed for the session's life).
    void init_borrowed(const NVXCustomNetwork* custom) { custom_borrowed_ = custom; }
    const NVXConfig& config() const { return base_.c; }
    const NVXCustomNetwork* custom() const { return has_custom_ ? &custom_ : custom_borrowed_; }

    // A run of the session's record with overrides (validated). NVX_OK, NVX_FAIL or NVX_CANCELLED.
    int run(const NVXKeyParam* overrides, size_t n, const NVXRunHooks* hooks, NVXResults* results, char** err);
    // A run of a record made by the caller (not validated here); the record must outlive the call.
    int run_record(const NVXConfig* config, NVXResults* results, char** err);
    // Builds every stage for `config` without integrating (before forking). Same codes as run.
    int prepare(const NVXConfig* config, char** err);
    // A session that shares this one's built stages and owns a copy of its networks; nullptr with
    // *err on failure. The copy is for another thread: it never touches this session again.
    std::unique_ptr<Session> fork(char** err) const;

    // How many times each stage was built (diagnostics and tests).
    struct Builds {
        int plasma = 0, history = 0, background = 0, weak = 0, network = 0;
    };
    const Builds& builds() const { return builds_; }

    // The networks of the last run or preparation (nullptr before the first).
    const NVXNuclearRates* networks() const { return network_.stage ? &network_.stage->rates : nullptr; }

    // Guards against two threads in one session: true when the caller may go on.
    bool enter() { return !busy_.exchange(true, std::memory_order_acquire); }
    void leave() { busy_.store(false, std::memory_order_release); }

    ~Session();

private:
    int ensure_stages(const NVXConfig* config, Views& views, char** err);
    int ensure_plasma(const NVXConfig* c, char** err);
    int ensure_network(const NVXConfig* c, char** err);
    int ensure_history(const NVXConfig* c, const nvx_plasma* plasma, char** err);
    int ensure_background(const NVXConfig* c, const nvx_plasma* plasma, const nvx_neutrino_history* h,
                          char** err);
    int ensure_weak(const NVXConfig* c, const nvx_neutrino_history* h, char** err);
    bool stale(const OwnedConfig& built, const NVXConfig* now, unsigned stage, bool* only_lambda) const;
    int remember(OwnedConfig& slot, const NVXConfig* c, char** err);
    int integrate(const NVXConfig* config, Views& views, NVXResults* results, char** err);

    bool keep_records_;
    OwnedConfig base_;
    NVXCustomNetwork custom_{};
    bool has_custom_ = false;
    const NVXCustomNetwork* custom_borrowed_ = nullptr;
    Slot<PlasmaStage> plasma_;
    Slot<HistoryStage> history_;
    Slot<BackgroundStage> background_;
    Slot<WeakStage> weak_;
    Slot<NetworkStage> network_;
    std::unique_ptr<net::DataFiles> files_ = std::make_unique<net::DataFiles>();
    std::atomic<bool> busy_{false};
    Builds builds_;
    std::string inert_warned_;  // the settings without effect this session has warned about
};

// Copies a custom network (entries and removed names). 0, or 1 on allocation failure.
int copy_custom_network(const NVXCustomNetwork& src, NVXCustomNetwork& dst);

}  // namespace nvx::session

// The C handle of a session.
struct NVXSession {
    nvx::session::Session impl{true};
};
