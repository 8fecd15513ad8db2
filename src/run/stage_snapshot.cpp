// Stage snapshots of sessions: fingerprints from the stage table, and every stage record written
// field by field (a new field of a record must be added here: the size checks below say so).
#include "run/stage_snapshot.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "background/time_table.hpp"
#include "config/err.hpp"
#include "config/field_table.hpp"
#include "nuvex/cache.h"
#include "run/stage_table.hpp"

// A field added to one of these records must also be written and read below, or a snapshot would
// silently drop it: these sizes make the build fail until the functions of this file are updated.
static_assert(sizeof(nvx_plasma) == 448, "nvx_plasma changed: update save_plasma/load_plasma");
static_assert(sizeof(nvx_neutrino_history) == 272, "nvx_neutrino_history changed: update save/load_history");
static_assert(sizeof(nvx_background) == 912, "nvx_background changed: update save/load_background");
static_assert(sizeof(nvx_weak_rates) == 248, "nvx_weak_rates changed: update save/load_weak");
static_assert(sizeof(NVXNetworkDef) == 192, "NVXNetworkDef changed: update save/load_networks");

namespace nvx {
std::string fingerprint_json(const NVXFingerprintEntry* entries, size_t count);
}

namespace nvx::session {

using snapshot::Reader;
using snapshot::Writer;

namespace {

std::atomic<bool> g_snapshots{true};

constexpr const char* kWriteFailed =
    "[init-c] could not write cache to %s: results are unaffected, but the next run will recompute. Set the "
    "cache_dir parameter to redirect the cache to a writable directory.";

bool has_text(const char* s) { return s && *s; }

std::string hex(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// The folder of the snapshots: "snapshots" in the cache directory, never inside the data directory.
std::string snapshot_dir(const NVXConfig* c) {
    char dir[4608];
    nvx_config_cache_write_dir(c, "snapshots", dir, sizeof dir);
    const std::string d = dir;
    if (has_text(c->data_dir)) {
        std::string data = c->data_dir;
        while (data.size() > 1 && data.back() == '/') data.pop_back();
        if (d.compare(0, data.size() + 1, data + "/") == 0) return {};
    }
    return d;
}

NVXParam field_value(const NVXConfig* c, const FieldSpec& f) {
    const char* p = reinterpret_cast<const char*>(c) + f.offset;
    NVXParam v{};
    switch (f.kind) {
        case FieldKind::Bool:
            v.kind = NVX_PARAM_BOOL;
            v.payload.i = *reinterpret_cast<const int32_t*>(p) != 0;
            break;
        case FieldKind::Int:
        case FieldKind::IntOrNone:
            v.kind = NVX_PARAM_INT;
            v.payload.i = *reinterpret_cast<const int32_t*>(p);
            break;
        case FieldKind::Number:
        case FieldKind::NumberOrNoneZero:
        case FieldKind::NumberOrNoneNaN:
            v.kind = NVX_PARAM_FLOAT;
            v.payload.d = *reinterpret_cast<const double*>(p);
            if (v.payload.d == 0.0) v.payload.d = 0.0;  // -0.0 computes what 0.0 does: one snapshot
            break;
        case FieldKind::StringOrNone: {
            const char* s = *reinterpret_cast<char* const*>(p);
            if (s) {
                v.kind = NVX_PARAM_STRING;
                v.payload.s = const_cast<char*>(s);
            } else {
                v.kind = NVX_PARAM_NONE;
            }
            break;
        }
    }
    return v;
}

// A text entry borrowing `s`, which must outlive the fingerprint's computation.
NVXParam text_value(const char* s) {
    NVXParam v{};
    v.kind = NVX_PARAM_STRING;
    v.payload.s = const_cast<char*>(s);
    return v;
}

// ---- records as bytes -----------------------------------------------------------------------

void put(Writer& w, const nvx_cubic_spline& s) {
    w.u64(s.n);
    const size_t m = s.n > 0 ? s.n - 1 : 0;
    w.array(s.x, s.n);
    for (const double* c : {s.a, s.b, s.c, s.d}) w.array(c, m);
}

void get(Reader& r, nvx_cubic_spline& s) {
    s.n = size_t(r.u64());
    const size_t m = s.n > 0 ? s.n - 1 : 0;
    s.x = r.array<double>(nullptr, s.n);
    s.a = r.array<double>(nullptr, m);
    s.b = r.array<double>(nullptr, m);
    s.c = r.array<double>(nullptr, m);
    s.d = r.array<double>(nullptr, m);
}

void put(Writer& w, const nvx_interp1d& ip) {
    w.u32(uint32_t(ip.use_spline));
    w.u64(ip.n);
    w.array(ip.x, ip.n);
    w.array(ip.y, ip.n);
    put(w, ip.spline);
}

void get(Reader& r, nvx_interp1d& ip) {
    ip.use_spline = int(r.u32());
    ip.n = size_t(r.u64());
    ip.x = r.array<double>(nullptr, ip.n);
    ip.y = r.array<double>(nullptr, ip.n);
    get(r, ip.spline);
}

void put(Writer& w, const nvx_weak_loglog& ip) {
    w.u64(ip.m);
    w.array(ip.logT, ip.m);
    w.array(ip.logRate, ip.m);
    w.f64(ip.T_min);
    put(w, ip.spline);
    w.u32(uint32_t(ip.use_spline));
}

void get(Reader& r, nvx_weak_loglog& ip) {
    ip.m = size_t(r.u64());
    ip.logT = r.array<double>(nullptr, ip.m);
    ip.logRate = r.array<double>(nullptr, ip.m);
    ip.T_min = r.f64();
    get(r, ip.spline);
    ip.use_spline = int(r.u32());
}

// Fixed-size names: the text up to its end, read back into zeroed buffers.
template <size_t N>
void put_names(Writer& w, const char (*names)[N], size_t n) {
    w.u64(names ? n : 0);
    for (size_t i = 0; names && i < n; ++i) w.text(std::string(names[i], strnlen(names[i], N)));
}

template <size_t N>
char (*get_names(Reader& r, size_t expect))[N] {
    const uint64_t n = r.u64();
    if (n != expect) r.fail();
    if (!r.ok() || n == 0) return nullptr;
    auto* out = static_cast<char (*)[N]>(std::calloc(size_t(n), N));
    if (!out) {
        r.fail();
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        const std::string_view s = r.view();
        if (s.size() >= N || s.find('\0') != std::string_view::npos) r.fail();
        if (!r.ok()) break;
        std::memcpy(out[i], s.data(), s.size());
    }
    return out;
}

}  // namespace

void set_snapshots(bool on) { g_snapshots.store(on, std::memory_order_relaxed); }
bool snapshots_on() { return g_snapshots.load(std::memory_order_relaxed); }

// ---- StageSnapshot ------------------------------------------------------------------------------

StageSnapshot::StageSnapshot(const NVXConfig* c, const char* stage, unsigned stages, std::vector<uint64_t> deps,
                             const std::vector<std::pair<std::string, std::string>>& extra)
    : config_(c) {
    if (!c || !snapshots_on()) return;
    const std::string& build = snapshot::build_id();
    if (build == "unknown") return;
    dir_ = snapshot_dir(c);
    if (dir_.empty()) return;
    std::vector<NVXFingerprintEntry> e;
    auto add = [&](const char* key, NVXParam v) { e.push_back(NVXFingerprintEntry{key, v}); };
    NVXParam version{};
    version.kind = NVX_PARAM_INT;
    version.payload.i = snapshot::kFormatVersion;
    add("format_version", version);
    add("stage", text_value(stage));
    add("build", text_value(build.c_str()));
    NVXParam data{};
    data.kind = has_text(c->data_dir) ? NVX_PARAM_STRING : NVX_PARAM_NONE;
    data.payload.s = const_cast<char*>(c->data_dir);
    add("data_dir", data);
    // every parameter that a stage of `stages` reads while it is built: the stage table's rows
    for (size_t i = 0; i < KEY_STAGES_SIZE; ++i) {
        const KeyStages& row = KEY_STAGES[i];
        if (!(row.stages & stages)) continue;
        if (const FieldSpec* f = find_field(row.key)) {
            add(row.key, field_value(c, *f));
        } else if (std::strcmp(row.key, "Omegabh2") == 0 || std::strcmp(row.key, "GN") == 0) {
            NVXParam v{};
            v.kind = NVX_PARAM_FLOAT;
            v.payload.d = row.key[0] == 'O' ? c->Omegabh2 : c->G;
            if (v.payload.d == 0.0) v.payload.d = 0.0;
            add(row.key, v);
        } else {
            // a row the record does not know: no fingerprint can cover it, so no snapshot
            dir_.clear();
            return;
        }
    }
    for (const auto& [key, value] : extra) add(key.c_str(), text_value(value.c_str()));
    identity_.fingerprint = fingerprint_json(e.data(), e.size());
    identity_.deps = std::move(deps);
    path_ = snapshot::path_for(dir_, stage, identity_.fingerprint);
}

bool StageSnapshot::load(snapshot::Mapped* mapped, uint64_t* id) {
    if (!enabled()) return false;
    std::string why;
    switch (snapshot::load(path_, identity_, mapped, id, &why)) {
        case snapshot::Status::Ok:
            snapshot::touch(path_);
            nvx_log(config_, "init", "stage tables read from the snapshot %s", path_.c_str());
            return true;
        case snapshot::Status::Missing:
            return false;
        case snapshot::Status::Stale:
            nvx_log(config_, "init", "snapshot %s not used (%s); rebuilding", path_.c_str(), why.c_str());
            return false;
        case snapshot::Status::Bad:
            reject(why.c_str());
            return false;
    }
    return false;
}

void StageSnapshot::reject(const char* why) {
    nvx_message(config_, NVX_MSG_WARNING, "init", "[init-c] ignoring the snapshot %s (%s); rebuilding", path_.c_str(),
                why);
}

void StageSnapshot::save(const inputs::Recorder& notes, std::string_view content) {
    if (!enabled()) return;
    std::string why;
    if (nvx_mkdirs(dir_.c_str()) != 0) {
        nvx_message(config_, NVX_MSG_WARNING, "init", kWriteFailed, dir_.c_str());
        return;
    }
    const int rc = snapshot::save(path_, identity_, notes, content, &why);
    if (rc == 2) nvx_message(config_, NVX_MSG_WARNING, "init", kWriteFailed, path_.c_str());
    if (rc != 0) {
        nvx_log(config_, "init", "snapshot %s not written: %s", path_.c_str(), why.c_str());
        return;
    }
    snapshot::evict(dir_, kKeep);
}

// ---- plasma -------------------------------------------------------------------------------------

std::string save_plasma(const nvx_plasma& p) {
    Writer w;
    w.u32(uint32_t(p.qed_enabled));
    for (const nvx_interp1d* ip : {&p.P_int, &p.dP_intdT, &p.d2P_intdT2}) put(w, *ip);
    for (const nvx_cubic_spline* s : {&p.rho_e, &p.p_e, &p.drho_e_dT, &p.dp_e_dT}) put(w, *s);
    return std::move(w.bytes());
}

bool load_plasma(std::string_view bytes, nvx_plasma& p) {
    p = nvx_plasma{};
    Reader r(bytes);
    p.qed_enabled = int(r.u32());
    for (nvx_interp1d* ip : {&p.P_int, &p.dP_intdT, &p.d2P_intdT2}) get(r, *ip);
    for (nvx_cubic_spline* s : {&p.rho_e, &p.p_e, &p.drho_e_dT, &p.dp_e_dT}) get(r, *s);
    if (r.ok() && r.at_end()) return true;
    nvx_plasma_free(&p);
    return false;
}

// ---- neutrino history ---------------------------------------------------------------------------

std::string save_history(const nvx_neutrino_history& h) {
    Writer w;
    w.u32(uint32_t(h.mode));
    w.u64(h.n);
    for (const double* a : {h.Tg, h.ratio_nue, h.ratio_numu, h.ratio_nutau, h.Nheating, h.lnTg, h.lnx}) w.array(a, h.n);
    for (double v : {h.Tg_min, h.Tg_max, h.x_at_Tg_min, h.x_at_Tg_max}) w.f64(v);
    w.u32(uint32_t(h.spectral_loaded));
    w.f64(h.w_min);
    w.f64(h.w_max);
    w.u64(h.n_spec);
    w.u64(h.n_mom);
    for (const double* a : {h.w_sorted, h.x_by_w, h.lnx_spec}) w.array(a, h.n_spec);
    w.array(h.dfnu, h.n_spec * h.n_mom);
    w.array(h.grid, h.n_mom);
    for (double v : {h.grid_min, h.grid_max, h.entropy_coefficient}) w.f64(v);
    w.u32(uint32_t(h.analytic));
    for (double v : {h.xi_nue, h.y_SZ, h.y_gray}) w.f64(v);
    w.u32(uint32_t(h.has_relic));
    w.array(h.ratio_relic, h.n);
    return std::move(w.bytes());
}

bool load_history(std::string_view bytes, nvx_neutrino_history& h) {
    h = nvx_neutrino_history{};
    Reader r(bytes);
    h.mode = int(r.u32());
    h.n = size_t(r.u64());
    for (double** a : {&h.Tg, &h.ratio_nue, &h.ratio_numu, &h.ratio_nutau, &h.Nheating, &h.lnTg, &h.lnx})
        *a = r.array<double>(nullptr, h.n);
    for (double* v : {&h.Tg_min, &h.Tg_max, &h.x_at_Tg_min, &h.x_at_Tg_max}) *v = r.f64();
    h.spectral_loaded = int(r.u32());
    h.w_min = r.f64();
    h.w_max = r.f64();
    h.n_spec = size_t(r.u64());
    h.n_mom = size_t(r.u64());
    // the spectral table has at most 80 momenta; a larger product could not index its rows
    if (h.n_mom > 80 || h.n_spec > (size_t(1) << 40)) r.fail();
    for (double** a : {&h.w_sorted, &h.x_by_w, &h.lnx_spec}) *a = r.array<double>(nullptr, h.n_spec);
    h.dfnu = r.array<double>(nullptr, h.n_spec * h.n_mom);
    h.grid = r.array<double>(nullptr, h.n_mom);
    for (double* v : {&h.grid_min, &h.grid_max, &h.entropy_coefficient}) *v = r.f64();
    h.analytic = int(r.u32());
    for (double* v : {&h.xi_nue, &h.y_SZ, &h.y_gray}) *v = r.f64();
    h.has_relic = int(r.u32());
    size_t n_relic = 0;
    h.ratio_relic = r.array<double>(&n_relic);  // absent without a relic
    if (n_relic != 0 && n_relic != h.n) r.fail();
    if (r.ok() && r.at_end()) return true;
    nvx_neutrino_history_free(&h);
    return false;
}

// ---- background ---------------------------------------------------------------------------------

std::string save_background(const nvx_background& b) {
    Writer w;
    w.u32(uint32_t(b.mode));
    w.u32(uint32_t(b.has_matter_lambda));
    w.f64(b.rho_cdm0);
    w.f64(b.rho_Lambda);
    w.u32(uint32_t(b.has_ede));
    for (double v : {b.T_ede, b.rho_ede_c, b.ede_power}) w.f64(v);
    w.u32(uint32_t(b.has_extra_rho));
    put(w, b.extra_rho);
    w.u64(b.n);
    for (const double* a : {b.t, b.T, b.Tnue, b.Tnumu, b.Tnutau, b.Tnu_avg, b.a, b.T_up, b.t_up}) w.array(a, b.n);
    w.u32(uint32_t(b.ready));
    w.u32(uint32_t(b.incomplete_decoupling));
    w.u32(uint32_t(b.external_scale_factor));
    w.f64(b.a_per_x);
    w.u64(b.n_grid);
    for (const double* a : {b.lnT_grid, b.lna_grid, b.a_asc, b.T_desc}) w.array(a, b.n_grid);
    const nvx_bg_time_table* tt = b.time_table;
    w.u32(tt ? 1 : 0);
    if (tt) {
        w.array(tt->t.data(), tt->t.size());
        w.array(tt->seg.data(), tt->seg.size());
        w.u64(tt->bits_lo);
        w.u32(tt->shift);
        w.array(tt->bucket.data(), tt->bucket.size());
    }
    w.f64(b.lambda_n);
    w.u64(b.n_rows);
    for (const double* a : {b.by_t_t, b.by_t_T, b.by_t_a, b.by_T_T, b.by_T_t, b.by_T_a, b.by_a_a, b.by_a_T, b.by_a_t})
        w.array(a, b.n_rows);
    return std::move(w.bytes());
}

bool load_background(std::string_view bytes, nvx_background& b) {
    b = nvx_background{};
    Reader r(bytes);
    b.mode = int(r.u32());
    b.has_matter_lambda = int(r.u32());
    b.rho_cdm0 = r.f64();
    b.rho_Lambda = r.f64();
    b.has_ede = int(r.u32());
    for (double* v : {&b.T_ede, &b.rho_ede_c, &b.ede_power}) *v = r.f64();
    b.has_extra_rho = int(r.u32());
    get(r, b.extra_rho);
    // the record frees its spline only when it has one: a spline without the flag is malformed
    if (!b.has_extra_rho && b.extra_rho.n != 0) {
        nvx_cubic_spline_free(&b.extra_rho);
        r.fail();
    }
    b.n = size_t(r.u64());
    for (double** a : {&b.t, &b.T, &b.Tnue, &b.Tnumu, &b.Tnutau, &b.Tnu_avg, &b.a, &b.T_up, &b.t_up})
        *a = r.array<double>(nullptr, b.n);
    b.ready = int(r.u32());
    b.incomplete_decoupling = int(r.u32());
    b.external_scale_factor = int(r.u32());
    b.a_per_x = r.f64();
    b.n_grid = size_t(r.u64());
    for (double** a : {&b.lnT_grid, &b.lna_grid, &b.a_asc, &b.T_desc}) *a = r.array<double>(nullptr, b.n_grid);
    if (r.flag() && r.ok()) {
        auto* tt = new (std::nothrow) nvx_bg_time_table;
        if (!tt) {
            r.fail();
        } else {
            b.time_table = tt;
            tt->t = r.vector<double>();
            tt->seg = r.vector<nvx_bg_time_table::Segment>();
            tt->bits_lo = r.u64();
            tt->shift = r.u32();
            tt->bucket = r.vector<uint32_t>();
            // every lookup starts at a bucket's knot and shifts a 64-bit pattern
            if (tt->seg.size() + 1 != tt->t.size() || tt->seg.empty() || tt->bucket.empty() || tt->shift >= 64) r.fail();
            for (uint32_t k : tt->bucket)
                if (k >= tt->seg.size()) r.fail();
            // knots positive and increasing, and every time between them inside the buckets
            for (size_t i = 0; r.ok() && i < tt->t.size(); ++i)
                if (!(tt->t[i] > 0.0) || (i > 0 && !(tt->t[i] > tt->t[i - 1]))) r.fail();
            if (r.ok()) {
                uint64_t lo, hi;
                std::memcpy(&lo, &tt->t.front(), sizeof lo);
                std::memcpy(&hi, &tt->t.back(), sizeof hi);
                if (tt->bits_lo > lo || ((hi - tt->bits_lo) >> tt->shift) >= tt->bucket.size()) r.fail();
            }
        }
    }
    b.lambda_n = r.f64();
    b.n_rows = size_t(r.u64());
    for (double** a : {&b.by_t_t, &b.by_t_T, &b.by_t_a, &b.by_T_T, &b.by_T_t, &b.by_T_a, &b.by_a_a, &b.by_a_T, &b.by_a_t})
        *a = r.array<double>(nullptr, b.n_rows);
    if (r.ok() && r.at_end()) return true;
    nvx_background_free(&b);
    return false;
}

// ---- weak rates ---------------------------------------------------------------------------------

std::string save_weak(const nvx_weak_rates& wr, bool computed, const std::vector<double>& grid_T,
                      const std::vector<double>& grid_Tnue) {
    Writer w;
    w.u64(wr.n);
    for (const double* a : {wr.T, wr.rate_nTOp, wr.rate_pTOn}) w.array(a, wr.n);
    put(w, wr.interp_nTOp);
    put(w, wr.interp_pTOn);
    w.u32(uint32_t(wr.has_thermal));
    w.u64(wr.n_th);
    for (const double* a : {wr.T_th, wr.L_nTOp, wr.L_pTOn}) w.array(a, wr.n_th);
    w.u32(computed ? 1 : 0);
    w.array(grid_T.data(), grid_T.size());
    w.array(grid_Tnue.data(), grid_Tnue.size());
    return std::move(w.bytes());
}

bool load_weak(std::string_view bytes, nvx_weak_rates& wr, bool* computed, std::vector<double>* grid_T,
               std::vector<double>* grid_Tnue) {
    wr = nvx_weak_rates{};
    Reader r(bytes);
    wr.n = size_t(r.u64());
    for (double** a : {&wr.T, &wr.rate_nTOp, &wr.rate_pTOn}) *a = r.array<double>(nullptr, wr.n);
    get(r, wr.interp_nTOp);
    get(r, wr.interp_pTOn);
    wr.has_thermal = int(r.u32());
    wr.n_th = size_t(r.u64());
    for (double** a : {&wr.T_th, &wr.L_nTOp, &wr.L_pTOn}) *a = r.array<double>(nullptr, wr.n_th);
    *computed = r.flag();
    *grid_T = r.vector<double>();
    *grid_Tnue = r.vector<double>();
    if (r.ok() && r.at_end()) return true;
    nvx_weak_rates_free(&wr);
    return false;
}

// ---- networks -----------------------------------------------------------------------------------

namespace {

// The definition as built; what every run rewrites (current rates and their curvature, the
// evaluation buffer and its flags) is not kept: a run computes it from the base rates anyway.
void put(Writer& w, const NVXNetworkDef& d) {
    w.u64(d.n_species);
    w.u64(d.n_reactions);
    w.u64(d.n_grid);
    const size_t R = d.n_reactions, S = d.n_species, M = d.n_grid, R1 = R > 0 ? R - 1 : 0;
    put_names(w, d.species, S);
    w.array(d.species_N, S);
    w.array(d.species_Z, S);
    w.array(d.stoich, R);
    put_names(w, d.reaction_names, R);
    put_names(w, d.sources, R);
    w.array(d.weak, R);
    w.array(d.beta_change, R);
    w.array(d.grid_T9, M);
    w.array(d.rates_base, R1 * M);
    w.array(d.rates_unc, R1 * M);
    w.array(d.reverse_coeffs, R1 * 3);
    w.array(d.reverse_caps, R1);
    w.f64(d.grid_lnT9_0);
    w.f64(d.grid_inv_dlnT9);
}

void get(Reader& r, NVXNetworkDef& d) {
    d.n_species = size_t(r.u64());
    d.n_reactions = size_t(r.u64());
    d.n_grid = size_t(r.u64());
    const size_t R = d.n_reactions, S = d.n_species, M = d.n_grid, R1 = R > 0 ? R - 1 : 0;
    if (R > NVX_MAX_REACTIONS || S > 10 * NVX_MAX_REACTIONS || M > (size_t(1) << 24)) r.fail();
    if (!r.ok()) return;
    d.species = get_names<NVX_NAME_LEN>(r, S);
    d.species_N = r.array<int64_t>(nullptr, S);
    d.species_Z = r.array<int64_t>(nullptr, S);
    d.stoich = r.array<NVXReactionStoich>(nullptr, R);
    d.reaction_names = get_names<NVX_RXN_NAME_LEN>(r, R);
    d.sources = get_names<NVX_SOURCE_LEN>(r, R);
    d.weak = r.array<int32_t>(nullptr, R);
    d.beta_change = r.array<int64_t>(nullptr, R);
    d.grid_T9 = r.array<double>(nullptr, M);
    d.rates_base = r.array<double>(nullptr, R1 * M);
    d.rates_unc = r.array<double>(nullptr, R1 * M);
    d.reverse_coeffs = r.array<double>(nullptr, R1 * 3);
    d.reverse_caps = r.array<double>(nullptr, R1);
    d.grid_lnT9_0 = r.f64();
    d.grid_inv_dlnT9 = r.f64();
    // current rates start as the base rates, the rest as a fresh build leaves it (marked invalid)
    if (r.ok() && R1 * M > 0) {
        d.rates_current = static_cast<double*>(std::malloc(R1 * M * sizeof(double)));
        d.rates_curv = static_cast<double*>(std::calloc(R1 * M, sizeof(double)));
        if (!d.rates_current || !d.rates_curv || !d.rates_base) r.fail();
        else std::memcpy(d.rates_current, d.rates_base, R1 * M * sizeof(double));
    }
    if (r.ok() && R > 0 && !(d.rate_buffer = static_cast<double*>(std::calloc(R * 2, sizeof(double))))) r.fail();
    d.cache_valid = 0;
    d.curv_valid = 0;
    // species indices of the stoichiometry must point into the species list
    for (size_t i = 0; r.ok() && d.stoich && i < R; ++i) {
        const NVXReactionStoich& s = d.stoich[i];
        if (s.n_reactants > NVX_SIDE_MAX || s.n_products > NVX_SIDE_MAX) r.fail();
        for (size_t j = 0; j < s.n_reactants && j < NVX_SIDE_MAX; ++j)
            if (s.reactants[j] < -1 || s.reactants[j] >= int64_t(S) || s.reactant_mult[j] < 0 || s.reactant_mult[j] > 8)
                r.fail();
        for (size_t j = 0; j < s.n_products && j < NVX_SIDE_MAX; ++j)
            if (s.products[j] < -1 || s.products[j] >= int64_t(S) || s.product_mult[j] < 0 || s.product_mult[j] > 8)
                r.fail();
    }
}

}  // namespace

std::string save_networks(const NVXNuclearRates& rates) {
    Writer w;
    put(w, rates.mt);
    put(w, rates.lt);
    return std::move(w.bytes());
}

bool load_networks(std::string_view bytes, NVXNuclearRates& rates) {
    rates = NVXNuclearRates{};
    Reader r(bytes);
    get(r, rates.mt);
    get(r, rates.lt);
    char* err = nullptr;
    if (r.ok() && r.at_end() &&
        nvx_compile_network(rates.mt.stoich, rates.mt.n_reactions, rates.mt.n_species, &rates.mt_compiled, &err) == 0 &&
        nvx_compile_network(rates.lt.stoich, rates.lt.n_reactions, rates.lt.n_species, &rates.lt_compiled, &err) == 0)
        return true;
    std::free(err);
    nvx_nuclear_rates_free(&rates);
    return false;
}

// ---- inputs outside the record ------------------------------------------------------------------

std::string custom_network_hash(const NVXCustomNetwork* custom) {
    if (!custom || (custom->n_entries == 0 && custom->n_removed == 0)) return "none";
    Writer w;
    put_names(w, custom->removed, custom->n_removed);
    w.u64(custom->n_entries);
    for (size_t i = 0; i < custom->n_entries; ++i) {
        const NVXCustomEntry& e = custom->entries[i];
        w.text(std::string(e.name, strnlen(e.name, NVX_RXN_NAME_LEN)));
        for (const double* c : {e.col1, e.col2, e.col3}) w.array(c, e.n_rows);
    }
    return hex(inputs::hash64(w.bytes().data(), w.bytes().size()));
}

std::string nuclides_hash(const NVXConfig* c) {
    Writer w;
    w.u64(c->n_nuclides);
    for (size_t i = 0; c->nuclides && i < c->n_nuclides; ++i) {
        const NVXNuclide& n = c->nuclides[i];
        w.text(std::string(n.name, strnlen(n.name, NVX_NAME_LEN)));
        w.u32(uint32_t(n.N));
        w.u32(uint32_t(n.Z));
        w.f64(n.mass_excess_keV);
        w.f64(n.spin);
    }
    return hex(inputs::hash64(w.bytes().data(), w.bytes().size()));
}

std::string extra_rho_hash(const NVXConfig* c) {
    if (c->extra_rho_n == 0) return "none";
    Writer w;
    w.array(c->extra_rho_T, c->extra_rho_n);
    w.array(c->extra_rho_val, c->extra_rho_n);
    return hex(inputs::hash64(w.bytes().data(), w.bytes().size()));
}

}  // namespace nvx::session
