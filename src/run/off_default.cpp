// The parameters of a record that differ from their defaults, as "key=value" text: what a failure
// message names when an integration breaks down, so that the input behind it is in sight.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/err.hpp"
#include "config/field_table.hpp"
#include "nuvex/custom_network.h"
#include "run/driver_internal.hpp"

namespace nvx {
namespace {

// Keys that change what a run prints or where it writes, never its numbers.
bool is_bookkeeping(const char* key) {
    static const char* const kKeys[] = {"verbose", "show_progress", "debug", "numba_installed", "strict_params",
                                        "recompute_electron_thermo", "recompute_qed_corrections", "weak_rate_cache",
                                        "save_nTOp", "save_nTOp_thermal", "cache_dir"};
    for (const char* k : kKeys)
        if (std::strcmp(key, k) == 0) return true;
    return std::strncmp(key, "output_", 7) == 0;
}

bool same_number(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

std::string off_default_parameters(const NVXConfig* c) {
    std::string out;
    auto add = [&](const std::string& item) { out += (out.empty() ? "" : ", ") + item; };
    if (!same_number(c->Omegabh2, 0.02242)) add(strprintf("Omegabh2=%.6g", c->Omegabh2));
    if (const double GN = nvx_config_get_GN(c); std::fabs(GN / 6.6743e-11 - 1.0) > 1e-12)
        add(strprintf("GN=%.6g", GN));
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i) {
        const FieldSpec& f = FIELD_TABLE[i];
        if (is_bookkeeping(f.key)) continue;
        const char* at = reinterpret_cast<const char*>(c) + f.offset;
        switch (f.kind) {
            case FieldKind::Bool: {
                const bool v = *reinterpret_cast<const int32_t*>(at) != 0;
                if (v != (f.default_number != 0.0)) add(strprintf("%s=%s", f.key, v ? "True" : "False"));
                break;
            }
            case FieldKind::Int:
            case FieldKind::IntOrNone: {
                const int32_t v = *reinterpret_cast<const int32_t*>(at);
                if (v != static_cast<int32_t>(f.default_number)) add(strprintf("%s=%d", f.key, v));
                break;
            }
            case FieldKind::Number:
            case FieldKind::NumberOrNoneZero:
            case FieldKind::NumberOrNoneNaN: {
                const double v = *reinterpret_cast<const double*>(at);
                if (!same_number(v, f.default_number)) add(strprintf("%s=%.6g", f.key, v));
                break;
            }
            case FieldKind::StringOrNone: {
                const char* v = *reinterpret_cast<char* const*>(at);
                const char* d = f.default_string;
                if ((v == nullptr) != (d == nullptr) || (v && std::strcmp(v, d) != 0))
                    add(strprintf("%s=%s", f.key, v ? v : "None"));
                break;
            }
        }
    }
    const struct {
        const char* prefix;
        const NVXRxnMap& map;
    } maps[] = {{"p_", c->p_map}, {"delta_", c->delta_map}};
    for (const auto& m : maps) {
        size_t shown = 0;
        for (size_t i = 0; i < m.map.count; ++i) {
            if (m.map.entries[i].value == 0.0) continue;
            if (shown++ < 8) add(strprintf("%s%s=%.6g", m.prefix, m.map.entries[i].name, m.map.entries[i].value));
        }
        if (shown > 8) add(strprintf("%zu more %s keys", shown - 8, m.prefix));
    }
    if (c->extra_rho_n) add(strprintf("an extra_rho table of %zu rows", c->extra_rho_n));
    return out;
}

int name_off_default(const NVXConfig* c, char** err, const NVXCustomNetwork* custom) {
    if (!err || !*err) return 1;
    std::string off = off_default_parameters(c);
    if (custom && (custom->n_entries || custom->n_removed)) {
        std::string names;
        for (size_t i = 0; i < custom->n_entries && i < 8; ++i)
            names += (names.empty() ? "" : ", ") + std::string(custom->entries[i].name);
        if (custom->n_entries > 8) names += strprintf(" and %zu more", custom->n_entries - 8);
        std::string what = names.empty() ? "" : "rate tables of " + names;
        if (custom->n_removed) what += strprintf("%s%zu reactions removed", what.empty() ? "" : "; ", custom->n_removed);
        off += (off.empty() ? "" : ", ") + std::string("custom_network (") + what + ")";
    }
    const std::string m = strprintf("%s [parameters off their defaults: %s]", *err,
                                    off.empty() ? "none" : off.c_str());
    std::free(*err);
    *err = dup_cstr(m.c_str());
    return 1;
}

}  // namespace nvx
