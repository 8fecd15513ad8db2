// Canonical JSON text of a fingerprint (sorted keys, no white space, shortest round-trip floats)
// and the two standard fingerprints of the weak-rate and thermal-correction tables.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "nuvex/cache.h"
#include "nuvex/neutrino.h"

namespace nvx {
namespace {

void append_json_string(std::string& out, const char* s) {
    out += '"';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s ? s : ""); *p; ++p) {
        unsigned char ch = *p;
        if (ch == '\t') out += "\\t";
        else if (ch == '\n') out += "\\n";
        else if (ch == '"' || ch == '\\') { out += '\\'; out += static_cast<char>(ch); }
        else if (ch < 0x20) { char b[8]; std::snprintf(b, sizeof b, "\\u%04x", ch); out += b; }
        else out += static_cast<char>(ch);
    }
    out += '"';
}

// Shortest "%.*e" precision that reads back exactly, split into digits and decimal exponent.
void shortest_digits(double v, std::string& digits, int& exponent) {
    char buf[64];
    int p = 0;
    for (; p <= 16; ++p) {
        std::snprintf(buf, sizeof buf, "%.*e", p, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    if (p > 16) std::snprintf(buf, sizeof buf, "%.*e", 16, v);
    const char* e = std::strchr(buf, 'e');
    digits.clear();
    for (const char* q = buf; q < e; ++q)
        if (*q >= '0' && *q <= '9') digits += *q;
    exponent = std::atoi(e + 1);
}

}  // namespace

std::string canonical_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
    if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
    std::string D;
    int E = 0;
    shortest_digits(std::fabs(v), D, E);
    std::string out = v < 0 ? "-" : "";
    if (E >= -4 && E <= 15) {
        if (E < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-E - 1), '0');
            out += D;
        } else {
            size_t head = static_cast<size_t>(E + 1);
            std::string lead = D.substr(0, std::min(head, D.size()));
            lead.append(head - lead.size(), '0');
            out += lead;
            out += '.';
            if (D.size() > head)
                out.append(D, head, std::string::npos);
            else
                out += '0';
        }
    } else {
        out += D[0];
        if (D.size() > 1) {
            out += '.';
            out.append(D, 1, std::string::npos);
        }
        char b[16];
        std::snprintf(b, sizeof b, "e%+03d", E);
        out += b;
    }
    return out;
}

std::string fingerprint_json(const NVXFingerprintEntry* entries, size_t count) {
    std::vector<const NVXFingerprintEntry*> order;
    for (size_t i = 0; i < count; ++i) {
        // stable insertion by byte order of the keys
        size_t pos = order.size();
        while (pos > 0 && std::strcmp(order[pos - 1]->key, entries[i].key) > 0) --pos;
        order.insert(order.begin() + static_cast<long>(pos), &entries[i]);
    }
    std::string out = "{";
    for (size_t i = 0; i < order.size(); ++i) {
        if (i) out += ',';
        append_json_string(out, order[i]->key);
        out += ':';
        const NVXParam& v = order[i]->value;
        switch (v.kind) {
            case NVX_PARAM_BOOL: out += v.payload.i ? "true" : "false"; break;
            case NVX_PARAM_INT: out += std::to_string(static_cast<long>(v.payload.i)); break;
            case NVX_PARAM_FLOAT: out += canonical_float(v.payload.d); break;
            case NVX_PARAM_STRING: append_json_string(out, v.payload.s); break;
            default: out += "null"; break;
        }
    }
    return out + "}";
}

}  // namespace nvx

namespace {

NVXFingerprintEntry entry_int(const char* key, int64_t v) {
    NVXFingerprintEntry e{key, {NVX_PARAM_INT, {}}};
    e.value.payload.i = v;
    return e;
}
NVXFingerprintEntry entry_bool(const char* key, int v) {
    NVXFingerprintEntry e{key, {NVX_PARAM_BOOL, {}}};
    e.value.payload.i = v ? 1 : 0;
    return e;
}
// A parameter of -0.0 computes exactly what 0.0 computes: both get one fingerprint, so that a
// sign bit never costs a rebuild of the tables (minutes for the weak rates).
NVXFingerprintEntry entry_float(const char* key, double v) {
    NVXFingerprintEntry e{key, {NVX_PARAM_FLOAT, {}}};
    e.value.payload.d = v == 0.0 ? 0.0 : v;
    return e;
}
NVXFingerprintEntry entry_str(const char* key, const char* s) {
    NVXFingerprintEntry e{key, {s ? NVX_PARAM_STRING : NVX_PARAM_NONE, {}}};
    e.value.payload.s = s;
    return e;
}

constexpr size_t kPathLen = 4608;

const char* hash_of(const char* path) { return path && *path ? nvx_file_content_hash(path) : nullptr; }

// Content hashes of the files behind the neutrino temperatures that the weak tables integrate over:
// the decoupling tables, or (instantaneous decoupling) the QED tables of the plasma entropy, and a
// custom background table. Entries of files the configuration does not read are null.
size_t input_file_entries(const NVXConfig* c, NVXFingerprintEntry* e) {
    char main_path[kPathLen], spectra_path[kPathLen], grid_path[kPathLen];
    nvx_nu_table_paths(c, main_path, spectra_path, grid_path, kPathLen);
    const bool tables = c->incomplete_decoupling != 0;
    const bool spectrum = tables && c->spectral_distortions && !c->analytic_distortions;
    const bool qed = !tables && c->QED_corrections;
    char e2[kPathLen], e3[kPathLen];
    nvx_config_resolve_shipped_file(c, "plasma", "QED_pressure_correction_e2.txt", e2, sizeof e2);
    nvx_config_resolve_shipped_file(c, "plasma", "QED_pressure_correction_e3.txt", e3, sizeof e3);
    const bool custom = c->custom_background && *c->custom_background;
    size_t n = 0;
    e[n++] = entry_str("decoupling_table_sha256", tables ? hash_of(main_path) : nullptr);
    e[n++] = entry_str("spectrum_table_sha256", spectrum ? hash_of(spectra_path) : nullptr);
    e[n++] = entry_str("spectrum_grid_sha256", spectrum ? hash_of(grid_path) : nullptr);
    e[n++] = entry_str("qed_table_e2_sha256", qed ? hash_of(e2) : nullptr);
    e[n++] = entry_str("qed_table_e3_sha256", qed ? hash_of(e3) : nullptr);
    e[n++] = entry_str("custom_background_sha256", custom ? hash_of(c->custom_background) : nullptr);
    return n;
}

}  // namespace

extern "C" {

char* nvx_fingerprint_json(const NVXFingerprintEntry* entries, size_t count) {
    return nvx::dup_cstr(nvx::fingerprint_json(entries, count).c_str());
}

char* nvx_fingerprint_hash(const NVXFingerprintEntry* entries, size_t count) {
    return nvx_sha256_hex16(nvx::fingerprint_json(entries, count).c_str());
}

size_t nvx_weak_rate_fingerprint(const NVXConfig* c, NVXFingerprintEntry* e) {
    size_t n = 0;
    e[n++] = entry_int("format_version", NVX_CACHE_VERSION_WEAK);
    e[n++] = entry_int("sampling_nTOp_per_decade", c->sampling_nTOp_per_decade);
    e[n++] = entry_bool("radiative_corrections", c->radiative_corrections);
    e[n++] = entry_bool("finite_mass_corrections", c->finite_mass_corrections);
    e[n++] = entry_float("munuOverTnu", nvx_config_xi_nu_e(c));
    e[n++] = entry_bool("QED_corrections", c->QED_corrections);
    e[n++] = entry_bool("incomplete_decoupling", c->incomplete_decoupling);
    e[n++] = entry_bool("spectral_distortions", c->spectral_distortions);
    e[n++] = entry_bool("analytic_distortions", c->analytic_distortions);
    e[n++] = entry_float("y_SZ", c->y_SZ);
    e[n++] = entry_float("y_gray", c->y_gray);
    e[n++] = entry_float("T_start_cosmo_MeV", c->T_start_cosmo_MeV);
    e[n++] = entry_float("T_end_MeV", c->T_end_MeV);
    e[n++] = entry_str("solan_file", c->solan_file);
    e[n++] = entry_str("solan_spectral_file", c->solan_spectral_file);
    e[n++] = entry_str("solan_file_prefix", c->solan_file_prefix);
    n += input_file_entries(c, e + n);
    // a relic changes the neutrino temperatures of the rates; without one the record is unchanged
    if (nvx_config_has_relic(c)) {
        e[n++] = entry_float("relic_mass_MeV", c->relic_mass_MeV);
        e[n++] = entry_float("relic_g", c->relic_g);
        e[n++] = entry_str("relic_spin", c->relic_spin);
        e[n++] = entry_str("relic_couples_to", c->relic_couples_to);
    }
    return n;
}

size_t nvx_thermal_fingerprint(const NVXConfig* c, NVXFingerprintEntry* e) {
    size_t n = 0;
    e[n++] = entry_int("format_version", NVX_CACHE_VERSION_THERMAL);
    e[n++] = entry_int("sampling_nTOp_thermal_per_decade", c->sampling_nTOp_thermal_per_decade);
    e[n++] = entry_float("T_start_cosmo_MeV", c->T_start_cosmo_MeV);
    e[n++] = entry_bool("QED_corrections", c->QED_corrections);
    e[n++] = entry_bool("incomplete_decoupling", c->incomplete_decoupling);
    e[n++] = entry_str("solan_file", c->solan_file);
    e[n++] = entry_str("solan_file_prefix", c->solan_file_prefix);
    // the integrands see the electron-neutrino degeneracy; the integrators their own parameters
    e[n++] = entry_float("munuOverTnu", nvx_config_xi_nu_e(c));
    e[n++] = entry_int("vegas_n_eval", c->vegas_n_eval);
    e[n++] = entry_int("vegas_n_itn", c->vegas_n_itn);
    e[n++] = entry_float("epsrel_thermal", c->epsrel_thermal);
    return n + input_file_entries(c, e + n);
}

size_t nvx_electron_fingerprint(const NVXConfig* c, NVXFingerprintEntry* e) {
    size_t n = 0;
    e[n++] = entry_int("format_version", NVX_CACHE_VERSION_ELECTRON);
    e[n++] = entry_int("n_electron_table", c->n_electron_table);
    e[n++] = entry_float("T_start_cosmo_MeV", c->T_start_cosmo_MeV);
    return n;
}

}  // extern "C"
