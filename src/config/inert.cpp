// Settings without effect in the configuration of a record: each rule names a key, the value it was
// given and why no stage reads it; an unchanged default is never reported.
#include "config/inert.hpp"

#include <cmath>
#include <cstring>

#include "config/err.hpp"
#include "config/field_table.hpp"

namespace nvx {
namespace {

// The number a field holds and its default, for the numeric and flag kinds.
bool off_default(const NVXConfig* c, const char* key, double* value = nullptr) {
    const FieldSpec* f = find_field(key);
    if (!f || f->kind == FieldKind::StringOrNone) return false;
    const char* at = reinterpret_cast<const char*>(c) + f->offset;
    double v;
    if (f->kind == FieldKind::Bool) v = *reinterpret_cast<const int32_t*>(at) != 0;
    else if (f->kind == FieldKind::Int || f->kind == FieldKind::IntOrNone) v = *reinterpret_cast<const int32_t*>(at);
    else v = *reinterpret_cast<const double*>(at);
    if (value) *value = v;
    const double d = f->kind == FieldKind::Bool ? (f->default_number != 0.0) : f->default_number;
    return !(v == d || (std::isnan(v) && std::isnan(d)));
}

bool string_off_default(const NVXConfig* c, const char* key) {
    const FieldSpec* f = find_field(key);
    if (!f || f->kind != FieldKind::StringOrNone) return false;
    const char* v = *reinterpret_cast<char* const*>(reinterpret_cast<const char*>(c) + f->offset);
    const char* d = f->default_string;
    return (v == nullptr) != (d == nullptr) || (v && std::strcmp(v, d) != 0);
}

}  // namespace

std::string inert_settings(const NVXConfig* c) {
    std::string out;
    auto note = [&](const char* key, const char* why) {
        double v = 0.0;
        if (!off_default(c, key, &v)) return;
        const FieldSpec* f = find_field(key);
        const std::string shown = f->kind == FieldKind::Bool ? (v != 0.0 ? "True" : "False") : strprintf("%g", v);
        out += strprintf("%s%s=%s (%s)", out.empty() ? "" : "; ", key, shown.c_str(), why);
    };
    note("debug", "carried for host programs, no stage reads it");
    note("numba_installed", "carried for compatibility, no stage reads it");
    if (!c->analytic_distortions) {
        note("y_SZ", "read only with analytic_distortions=True");
        note("y_gray", "read only with analytic_distortions=True");
    }
    if (!c->output_time_evolution)
        note("output_rates_time_evolution", "read only with output_time_evolution=True");
    // the decay era runs only when both switches are on (and writes its file then)
    const bool decay_runs = c->decay_era && c->output_decay_evolution;
    if (!decay_runs) {
        if (c->decay_era) note("decay_era", "the decay era runs only with output_decay_evolution=True");
        if (c->output_decay_evolution) note("output_decay_evolution", "written only with decay_era=True");
        note("t_decay_end", "read only when the decay era runs");
        note("decay_n_points", "read only when the decay era runs");
        if (string_off_default(c, "output_decay_file"))
            out += strprintf("%soutput_decay_file=%s (read only when the decay era runs)", out.empty() ? "" : "; ",
                             c->output_decay_file ? c->output_decay_file : "None");
    }
    if (!(c->fEDE > 0.0)) {
        note("zcEDE", "read only with fEDE > 0");
        note("wnEDE", "read only with fEDE > 0");
    }
    return out;
}

}  // namespace nvx
