// Solver sessions: the stages of a run (plasma, networks, neutrino history, background, weak rates)
// built on demand, kept with the record of their build, and reused while the parameter-to-stage
// table shows none of their parameters changed. didiva_run is a session of one run.
#include "run/session.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "background/bg_internal.hpp"
#include "config/err.hpp"
#include "config/inert.hpp"
#include "nuvex/nuclear_network.h"
#include "nuvex/run.h"
#include "nuvex/session.h"
#include "plasma/qed_pressure.hpp"
#include "run/driver_internal.hpp"
#include "run/stage_snapshot.hpp"
#include "run/stage_table.hpp"
#include "weak/weak_internal.hpp"

namespace nvx::session {

int OwnedConfig::copy_from(const NVXConfig& src, char** err) {
    reset();
    if (nvx_config_copy(&c, &src, err) != 0) return 1;
    set = true;
    return 0;
}

FileId FileId::of(const char* path) {
    FileId id;
    struct stat st;
    if (!path || ::stat(path, &st) != 0) return id;
    id.exists = true;
    id.size = st.st_size;
    id.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.inode = int64_t(st.st_ino);
    return id;
}

int copy_custom_network(const NVXCustomNetwork& src, NVXCustomNetwork& dst) {
    dst = NVXCustomNetwork{};
    for (size_t i = 0; i < src.n_removed; ++i)
        if (nvx_custom_network_add_removed(&dst, src.removed[i])) return free_custom_network(&dst), 1;
    for (size_t i = 0; i < src.n_entries; ++i) {
        const NVXCustomEntry& e = src.entries[i];
        if (nvx_custom_network_add_entry(&dst, e.name, e.col1, e.col2, e.col3, e.n_rows))
            return free_custom_network(&dst), 1;
    }
    return 0;
}

namespace {

bool custom_mode(const NVXConfig* c) { return c->custom_background && c->custom_background[0]; }

// The outcome of a run: a failure while the call's token is set is a cancellation.
int outcome(const NVXConfig* c, int rc, char** err) {
    if (rc == 0) return NVX_OK;
    if (nvx_run_cancelled(c)) {
        if (err && *err) {
            std::free(*err);
            *err = nullptr;
        }
        return NVX_CANCELLED;
    }
    return NVX_FAIL;
}

int cancelled(char** err, const char* where) { return fail(err, "%s: cancelled", where); }

// Names the stage whose build failed after the message, which keeps its beginning (the function or
// file at fault).
int stage_failure(char** err, const char* stage) {
    if (err && *err) {
        const std::string m = strprintf("%s (while building the %s)", *err, stage);
        std::free(*err);
        *err = dup_cstr(m.c_str());
    }
    return 1;
}

// A stage built through its snapshot when there is one: read from it when it is usable, else built
// while the files it reads are noted, then written to it. `load` fills the stage from bytes, `build`
// builds it (0, or 1 with the message), `save` gives its bytes. Without a snapshot: `build` alone.
// `*loaded` (when given) tells whether the stage came from the snapshot: the checks and warnings a
// build gives about the run's parameters are then the caller's to give.
template <typename Load, typename Build, typename Save>
int through_snapshot(StageSnapshot& snap, uint64_t* id, Load&& load, Build&& build, Save&& save,
                     bool* loaded = nullptr) {
    if (loaded) *loaded = false;
    if (!snap.enabled()) return build();
    snapshot::Mapped mapped;
    if (snap.load(&mapped, id)) {
        if (load(mapped.content)) {
            if (loaded) *loaded = true;
            return 0;
        }
        snap.reject("its tables do not form a valid record");
    }
    mapped.reset();
    inputs::Recorder notes;
    {
        inputs::Recording on(&notes);
        if (build() != 0) return 1;
    }
    const std::string bytes = save();
    *id = snapshot::content_id(bytes);
    snap.save(notes, bytes);
    return 0;
}

// Snapshots serve the first build of each stage in a session (a one-shot run is one): later
// rebuilds follow changed parameters of a scan, whose snapshots would only fill the folder.
const NVXConfig* snapshot_config(int builds, const NVXConfig* c) { return builds == 0 ? c : nullptr; }

// An integrator that gives up (too many steps, a vanishing step) says nothing of the input that
// drove it there: its message is completed with the parameters that were off their defaults.
int integration_failure(const NVXConfig* c, char** err, const NVXCustomNetwork* custom) {
    if (err && *err && std::strstr(*err, "nvx_ode_") && !nvx_run_cancelled(c)) return name_off_default(c, err, custom);
    return 1;
}

}  // namespace

Session::~Session() {
    if (has_custom_) free_custom_network(&custom_);
}

int Session::init(const NVXConfig& config, const NVXCustomNetwork* custom, bool validate, char** err) {
    if (base_.copy_from(config, err) != 0) return 1;
    base_.c.hooks = nullptr;  // each run brings its own
    if (validate && nvx_config_validate(&base_.c, err) != 0) return 1;
    if (custom && (custom->n_entries || custom->n_removed)) {
        if (copy_custom_network(*custom, custom_) != 0) return fail(err, "nvx_session_create: out of memory");
        has_custom_ = true;
    }
    return 0;
}

bool Session::stale(const OwnedConfig& built, const NVXConfig* now, unsigned stage, bool* only_lambda) const {
    if (!keep_records_) return false;  // a one-shot run builds each stage once
    if (!built.set) return true;       // its record could not be kept: build again
    return (changed_stages(built.c, *now, only_lambda) & stage) != 0;
}

int Session::remember(OwnedConfig& slot, const NVXConfig* c, char** err) {
    if (!keep_records_) return 0;
    return slot.copy_from(*c, err);
}

int Session::ensure_plasma(const NVXConfig* c, char** err) {
    if (plasma_.stage && !stale(plasma_.built_with, c, kStagePlasma, nullptr)) return 0;
    plasma_.stage.reset();
    auto st = std::make_shared<PlasmaStage>();
    // a requested recomputation of a plasma table computes it, whatever a snapshot holds
    const bool recompute = c->recompute_electron_thermo || c->recompute_qed_corrections;
    StageSnapshot snap(recompute ? nullptr : snapshot_config(builds_.plasma, c), "plasma", kStagePlasma, {});
    bool loaded = false;
    if (through_snapshot(
            snap, &st->id, [&](std::string_view b) { return load_plasma(b, st->plasma); },
            [&] { return nvx_plasma_init(&st->plasma, c, err); }, [&] { return save_plasma(st->plasma); },
            &loaded) != 0)
        return 1;
    if (loaded && st->plasma.qed_enabled) warn_above_table(c);
    st->plasma.config = nullptr;  // runs see the plasma through their own record
    plasma_.stage = std::move(st);
    ++builds_.plasma;
    return remember(plasma_.built_with, c, err);
}

int Session::ensure_network(const NVXConfig* c, char** err) {
    if (network_.stage && !stale(network_.built_with, c, kStageNetwork, nullptr)) return 0;
    network_.stage.reset();
    auto st = std::make_shared<NetworkStage>();
    StageSnapshot snap(snapshot_config(builds_.network, c), "network", kStageNetwork, {},
                       {{"custom_network", custom_network_hash(custom())}, {"nuclides", nuclides_hash(c)}});
    uint64_t id = 0;
    bool loaded = false;
    if (through_snapshot(
            snap, &id,
            [&](std::string_view b) {
                if (!load_networks(b, st->rates)) return false;
                // sessions keep the bytes for their forks (the Monte Carlo workers)
                if (keep_records_) st->bytes = std::make_shared<const std::string>(b);
                return true;
            },
            [&] { return net::nuclear_rates_init(&st->rates, c, custom(), files_.get(), err); },
            [&] {
                std::string bytes = save_networks(st->rates);
                if (keep_records_) st->bytes = std::make_shared<const std::string>(bytes);
                return bytes;
            },
            &loaded) != 0)
        return 1;
    // a build checks the run's rate variations against the networks: so does a snapshot's reading
    if (loaded && nvx_nuclear_rates_check_variation_keys(&st->rates, c, err) != 0) return 1;
    network_.stage = std::move(st);
    ++builds_.network;
    return remember(network_.built_with, c, err);
}

int Session::ensure_history(const NVXConfig* c, const nvx_plasma* plasma, char** err) {
    if (history_.stage && history_.stage->plasma == plasma_.stage &&
        !stale(history_.built_with, c, kStageHistory, nullptr))
        return 0;
    history_.stage.reset();
    auto st = std::make_shared<HistoryStage>();
    st->plasma = plasma_.stage;
    StageSnapshot snap(snapshot_config(builds_.history, c), "history", kStagePlasma | kStageHistory,
                       {plasma_.stage->id});
    if (through_snapshot(
            snap, &st->id, [&](std::string_view b) { return load_history(b, st->history); },
            [&] { return nvx_neutrino_history_init(&st->history, c, plasma, err); },
            [&] { return save_history(st->history); }) != 0)
        return 1;
    st->history.config = nullptr;
    st->history.plasma = nullptr;
    history_.stage = std::move(st);
    ++builds_.history;
    return remember(history_.built_with, c, err);
}

int Session::ensure_background(const NVXConfig* c, const nvx_plasma* plasma, const nvx_neutrino_history* h,
                               char** err) {
    const bool custom_bg = custom_mode(c);
    const FileId file = custom_bg ? FileId::of(c->custom_background) : FileId{};
    if (const auto& st = background_.stage;
        st && st->plasma == plasma_.stage && st->history == history_.stage && st->custom_file == file) {
        bool only_lambda = false;
        if (!stale(background_.built_with, c, kStageBackground, &only_lambda)) return 0;
        // A change of the cosmological constant alone leaves the tables as they are when it
        // vanishes in the rounding of every expansion rate, before and after (a custom
        // background never reads it).
        const NVXConfig& old = background_.built_with.c;
        if (only_lambda && (custom_bg || (bg::lambda_below_rounding(c, bg::lambda_density(c)) &&
                                          bg::lambda_below_rounding(&old, bg::lambda_density(&old)))))
            return 0;
    }
    background_.stage.reset();
    auto st = std::make_shared<BackgroundStage>();
    st->plasma = plasma_.stage;
    st->history = history_.stage;
    st->custom_file = file;
    bool loaded = false;
    StageSnapshot snap(snapshot_config(builds_.background, c), "background",
                       kStagePlasma | kStageHistory | kStageBackground, {plasma_.stage->id, history_.stage->id},
                       {{"extra_rho", extra_rho_hash(c)}});
    const int rc = through_snapshot(
        snap, &st->id, [&](std::string_view b) { return load_background(b, st->bg); },
        [&] {
            return custom_bg ? bg::build_custom_tables(&st->bg, c, plasma, h, c->custom_background, err)
                             : bg::build_standard_tables(&st->bg, c, plasma, h, err);
        },
        [&] { return save_background(st->bg); }, &loaded);
    if (rc != 0) return 1;
    if (loaded && !custom_bg) bg::warn_negative_lambda(c);
    st->bg.config = nullptr;
    st->bg.plasma = nullptr;
    background_.stage = std::move(st);
    ++builds_.background;
    return remember(background_.built_with, c, err);
}

// The weak rates are computed on the background's grid (its final tables, or a custom table's
// uniform grid), so a computed table is kept only while that grid is the same to the last bit; a
// table read from a cache or shipped file never saw the grid and stays while its parameters do.
int Session::ensure_weak(const NVXConfig* c, const nvx_neutrino_history* h, char** err) {
    const nvx_background& b = background_.stage->bg;
    const size_t n = bg::weak_grid_size(&b);
    const auto same_grid = [&](const WeakStage& st) {
        return st.grid_T.size() == n && std::memcmp(st.grid_T.data(), b.T, n * sizeof(double)) == 0 &&
               std::memcmp(st.grid_Tnue.data(), b.Tnue, n * sizeof(double)) == 0;
    };
    if (const auto& st = weak_.stage; st && st->history == history_.stage &&
                                      !stale(weak_.built_with, c, kStageWeak, nullptr) &&
                                      (!st->computed || same_grid(*st)))
        return 0;
    weak_.stage.reset();
    auto st = std::make_shared<WeakStage>();
    st->history = history_.stage;
    // without the cache (weak_rate_cache off, or a configuration that bypasses it) the tables are
    // computed every time, and so are they without a snapshot
    const bool uncached = !c->weak_rate_cache || (c->spectral_distortions && c->analytic_distortions);
    StageSnapshot snap(uncached ? nullptr : snapshot_config(builds_.weak, c), "weak",
                       kStagePlasma | kStageHistory | kStageWeak, {history_.stage->id});
    snapshot::Mapped mapped;
    if (snap.enabled() && snap.load(&mapped, &st->id)) {
        if (!load_weak(mapped.content, st->weak, &st->computed, &st->grid_T, &st->grid_Tnue)) {
            snap.reject("its tables do not form a valid record");
        } else if (!st->computed || same_grid(*st)) {
            weak_.stage = std::move(st);
            ++builds_.weak;
            return remember(weak_.built_with, c, err);
        }
        // a table computed on another background's grid: computed again for this one
        nvx_weak_rates_free(&st->weak);
        st->computed = false;
        st->grid_T.clear();
        st->grid_Tnue.clear();
    }
    inputs::Recorder notes;
    {
        inputs::Recording on(snap.enabled() ? &notes : nullptr);
        if (weak::rates_init(&st->weak, b.T, b.Tnue, n, c, h, &st->computed, err) != 0) return 1;
    }
    if (st->computed) {
        st->grid_T.assign(b.T, b.T + n);
        st->grid_Tnue.assign(b.Tnue, b.Tnue + n);
    }
    if (snap.enabled()) {
        const std::string bytes = save_weak(st->weak, st->computed, st->grid_T, st->grid_Tnue);
        st->id = snapshot::content_id(bytes);
        snap.save(notes, bytes);
    }
    weak_.stage = std::move(st);
    ++builds_.weak;
    return remember(weak_.built_with, c, err);
}

// The stages of a run in the order of a fresh run: plasma, networks (with their summary and the
// rate variations), then the background: history, tables, weak rates. Each ends in `views`,
// re-pointed to this run's record.
int Session::ensure_stages(const NVXConfig* c, Views& v, char** err) {
    if (nvx_run_cancelled(c)) return cancelled(err, "didiva_run");
    if (ensure_plasma(c, err) != 0) return stage_failure(err, "plasma tables");
    v.plasma = plasma_.stage->plasma;
    v.plasma.config = c;
    const int network_builds = builds_.network;
    if (ensure_network(c, err) != 0) return stage_failure(err, "reaction networks");
    NVXNuclearRates* rates = &network_.stage->rates;
    // a kept network checks this run's rate-variation keys as a fresh build did
    if (builds_.network == network_builds && nvx_nuclear_rates_check_variation_keys(rates, c, err) != 0)
        return stage_failure(err, "reaction networks");
    nvx_nuclear_rates_log_summary(rates, c);
    nvx_nuclear_rates_apply_variations(rates, c);
    if (nvx_run_cancelled(c)) return cancelled(err, "didiva_run");

    // the physics stages fail on the run's inputs (an integration that cannot proceed): their
    // messages name the parameters that were off their defaults
    if (ensure_history(c, &v.plasma, err) != 0) return stage_failure(err, "neutrino history");
    nvx_neutrino_history h = history_.stage->history;
    h.config = c;
    h.plasma = &v.plasma;
    if (ensure_background(c, &v.plasma, &h, err) != 0)
        return stage_failure(err, "background"), integration_failure(c, err, custom());
    if (ensure_weak(c, &h, err) != 0)
        return stage_failure(err, "weak-rate tables"), integration_failure(c, err, custom());

    nvx_background& b = v.background;
    b = background_.stage->bg;
    b.config = c;
    b.plasma = &v.plasma;
    b.history = h;
    b.history_ready = 0;
    b.weak = weak_.stage->weak;
    b.weak_ready = 0;
    if (b.mode == NVX_BG_STANDARD) b.rho_Lambda = bg::lambda_density(c);
    b.lambda_n = bg::neutron_decay_rate(c);
    return 0;
}

int Session::integrate(const NVXConfig* c, Views& v, NVXResults* results, char** err) {
    NVXNuclearRates* rates = &network_.stage->rates;
    nvx_nuclear_network nn{};
    struct Release {
        nvx_nuclear_network* nn;
        ~Release() { nvx_nuclear_network_free(nn); }
    } release{&nn};
    if (nvx_nuclear_network_solve(&nn, c, rates, &v.background, err) != 0)
        return integration_failure(c, err, custom());
    if (nvx_assemble_results(results, c, &nn, &v.background) != 0)
        return fail(err, "nvx_assemble_results: out of memory");
    if (nvx_results_check(results, c, err) != 0) return name_off_default(c, err, custom());
    if (c->output_background_evolution &&
        nvx_bg_write_time_evolution(&v.background, c->output_background_file, c->output_n_points, err) != 0)
        return 1;
    return nvx_nuclear_network_decay_era(&nn, err);
}

int Session::prepare(const NVXConfig* c, char** err) {
    Views v;
    int rc;
    try {
        rc = ensure_stages(c, v, err);
    } catch (const std::bad_alloc&) {
        rc = fail(err, "didiva_run: out of memory");
    }
    return outcome(c, rc, err);
}

int Session::run_record(const NVXConfig* c, NVXResults* results, char** err) {
    if (c->verbose) {
        print_banner(c);
        log_options(c);
    }
    // once per session and configuration: a scan's thousand runs warn once
    if (std::string inert = inert_settings(c); !inert.empty() && inert != inert_warned_) {
        nvx_message(c, NVX_MSG_WARNING, "opts", "settings without effect in this configuration: %s",
                    inert.c_str());
        inert_warned_ = std::move(inert);
    }
    std::fflush(stdout);
    Views v;
    int rc;
    try {
        rc = ensure_stages(c, v, err);
        if (rc == 0) rc = integrate(c, v, results, err);
    } catch (const std::bad_alloc&) {
        rc = fail(err, "didiva_run: out of memory");
    }
    std::fflush(stdout);
    return outcome(c, rc, err);
}

int Session::run(const NVXKeyParam* overrides, size_t n, const NVXRunHooks* hooks, NVXResults* results,
                 char** err) {
    OwnedConfig rec;
    if (rec.copy_from(base_.c, err) != 0) return NVX_FAIL;
    if (hooks) rec.c.hooks = hooks;
    for (size_t i = 0; i < n; ++i) {
        if (!overrides || !overrides[i].key) return fail(err, "nvx_session_run: override %zu has no key", i), NVX_INVALID;
        const NVXParam& p = overrides[i].value;
        if (nvx_config_set_by_name(&rec.c, overrides[i].key, p.kind, p.payload, err) != 0) return NVX_INVALID;
    }
    if (nvx_config_validate(&rec.c, err) != 0) return NVX_INVALID;
    return run_record(&rec.c, results, err);
}

std::unique_ptr<Session> Session::fork(char** err) const {
    auto s = std::make_unique<Session>(true);
    if (s->init(base_.c, custom(), false, err) != 0) return nullptr;
    s->files_ = std::make_unique<net::DataFiles>(files_.get());
    auto share = [&](auto& dst, const auto& src) {
        dst.stage = src.stage;
        return src.built_with.set ? dst.built_with.copy_from(src.built_with.c, err) : 0;
    };
    if (share(s->plasma_, plasma_) || share(s->history_, history_) || share(s->background_, background_) ||
        share(s->weak_, weak_))
        return nullptr;
    // The networks are rewritten by every run, so each fork owns a copy: made from their snapshot
    // form when there is one, else rebuilt by the fork's first run from the shared parsed files.
    if (network_.stage && network_.stage->bytes) {
        auto st = std::make_shared<NetworkStage>();
        if (!load_networks(*network_.stage->bytes, st->rates))
            return nvx::fail(err, "nvx_session_fork: out of memory"), nullptr;
        st->bytes = network_.stage->bytes;
        s->network_.stage = std::move(st);
        if (network_.built_with.set && s->network_.built_with.copy_from(network_.built_with.c, err) != 0)
            return nullptr;
    }
    return s;
}

}  // namespace nvx::session

// ---- C interface -------------------------------------------------------------------------------

using nvx::session::Session;

namespace {

NVXSession* create(const NVXConfig* config, const NVXCustomNetwork* custom, char** err) {
    if (!config) return nvx::fail(err, "nvx_session_create: no parameter record"), nullptr;
    NVXSession* s = new (std::nothrow) NVXSession;
    if (!s) return nvx::fail(err, "nvx_session_create: out of memory"), nullptr;
    if (s->impl.init(*config, custom, true, err) != 0) {
        delete s;
        return nullptr;
    }
    return s;
}

}  // namespace

extern "C" {

NVXSession* nvx_session_create(const NVXConfig* config, char** err) { return create(config, nullptr, err); }

NVXSession* nvx_session_create_custom(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                                      char** err) {
    return create(config, custom_network, err);
}

int nvx_session_run_hooks(NVXSession* s, const NVXKeyParam* overrides, size_t n, const NVXRunHooks* hooks,
                          NVXResults* results, char** err) {
    if (!s || !results) return nvx::fail(err, "nvx_session_run: no session or result record"), NVX_INVALID;
    if (!s->impl.enter())
        return nvx::fail(err, "nvx_session_run: the session is already running on another thread (a session "
                              "serves one thread at a time; create one session per thread)"),
               NVX_FAIL;
    int rc;
    try {
        rc = s->impl.run(overrides, n, hooks, results, err);
    } catch (const std::bad_alloc&) {
        rc = nvx::fail(err, "nvx_session_run: out of memory");
    }
    s->impl.leave();
    return rc;
}

int nvx_session_run(NVXSession* s, const NVXKeyParam* overrides, size_t n, NVXResults* results, char** err) {
    return nvx_session_run_hooks(s, overrides, n, nullptr, results, err);
}

const NVXConfig* nvx_session_config(const NVXSession* s) { return s ? &s->impl.config() : nullptr; }

void nvx_session_free(NVXSession* s) { delete s; }

}  // extern "C"
