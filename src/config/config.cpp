// Parameter record: defaults, the nuclide table of the data directory, setting parameters by key
// with kind checks, home-directory expansion of path keys, reaction maps and derived getters.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "config/field_table.hpp"
#include "nuvex/config.h"
#include "nuvex/constants.h"

namespace nvx {
namespace {

// Turns Newton's constant from SI units (m^3 kg^-1 s^-2) into MeV^-2.
double GN_SI_to_MeVm2() {
    double c = g_const[NVX_C_c_light], hbar = g_const[NVX_C_hbar], MeV = g_const[NVX_C_MeV];
    return 1.0 / (std::pow(c, 5) * hbar / (MeV * MeV) * 1e-3);
}

void recompute_eta(NVXConfig* c) {
    double mB = g_const[NVX_C_m_u] / nvx_maOvermB();
    c->eta_per_Omegabh2 = nvx_config_rhocOverh2(c) / (nvx_n0CMB() * mB);
    c->eta0b = c->eta_per_Omegabh2 * c->Omegabh2;
}

template <typename T>
T& field_at(NVXConfig* c, const FieldSpec& f) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(c) + f.offset);
}

// Splits at every ',' (a line end's '\r' removed): an empty field keeps its place, so the columns
// after it stay where the header says they are.
std::vector<std::string> split_csv_fields(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// Checked conversions of one nuclides.csv field: the whole field must be the number.
bool parse_int32(const std::string& text, int32_t& out) {
    const std::string t = strip(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool parse_real(const std::string& text, double& out) {
    const std::string t = strip(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

struct NuclideRows {
    NVXNuclide* rows = nullptr;
    size_t n = 0, cap = 0;
    ~NuclideRows() { std::free(rows); }
    bool push(const NVXNuclide& r) {
        if (n == cap) {
            const size_t grown_cap = cap ? 2 * cap : 64;
            void* grown = std::realloc(rows, grown_cap * sizeof(NVXNuclide));
            if (!grown) return false;
            rows = static_cast<NVXNuclide*>(grown);
            cap = grown_cap;
        }
        rows[n++] = r;
        return true;
    }
};

// One data row of nuclides.csv; a message naming the file and line for anything that is not a
// complete row of numbers (a cut or hand-edited file must not turn into zeros).
int parse_nuclide_row(const std::string& path, size_t lineno, const std::vector<std::string>& f,
                      const int pos[5], int need, NVXNuclide& r, char** err) {
    if (static_cast<int>(f.size()) < need)
        return fail(err, "%s:%zu: expected at least %d fields, found %zu (file cut short?)", path.c_str(),
                    lineno, need, f.size());
    static const char* const kWhat[5] = {"name", "N", "Z", "mass_excess_keV", "spin"};
    for (int k = 0; k < 5; ++k)
        if (strip(f[pos[k]]).empty())
            return fail(err, "%s:%zu:%d: empty %s field (column %d)", path.c_str(), lineno, pos[k] + 1, kWhat[k],
                        pos[k] + 1);
    const std::string name = strip(f[pos[0]]);
    if (name.size() >= sizeof r.name)
        return fail(err, "%s:%zu: nuclide name '%s' is longer than %zu characters", path.c_str(), lineno,
                    name.c_str(), sizeof r.name - 1);
    copy_name(r.name, sizeof r.name, name.c_str());
    for (int k = 1; k < 5; ++k) {
        const std::string& text = f[pos[k]];
        const bool ok = k <= 2 ? parse_int32(text, k == 1 ? r.N : r.Z)
                               : parse_real(text, k == 3 ? r.mass_excess_keV : r.spin);
        if (!ok)
            return fail(err, "%s:%zu: cannot parse %s '%s' as %s", path.c_str(), lineno, kWhat[k],
                        text.c_str(), k <= 2 ? "an integer" : "a finite number");
    }
    if (r.N < 0 || r.Z < 0 || r.N + r.Z < 1)
        return fail(err, "%s:%zu: nuclide '%s' has N=%d, Z=%d (need N, Z >= 0 and N + Z >= 1)", path.c_str(),
                    lineno, r.name, r.N, r.Z);
    if (r.spin < 0) return fail(err, "%s:%zu: nuclide '%s' has a negative spin", path.c_str(), lineno, r.name);
    return 0;
}

int read_nuclide_table(NVXConfig* c, char** err) {
    std::string path = std::string(c->data_dir) + "/csv/nuclides.csv";
    FILE* fp = std::fopen(path.c_str(), "r");
    if (!fp && errno == ENOENT) return fail(err, "nuclides.csv not found (data_dir misconfigured?)");
    if (!fp) return fail(err, "cannot read %s: %s", path.c_str(), std::strerror(errno));
    std::string line;
    if (!read_line(fp, line)) {
        const int read_errno = std::ferror(fp) ? errno : 0;
        std::fclose(fp);
        if (read_errno) return fail(err, "cannot read %s: %s", path.c_str(), std::strerror(read_errno));
        return fail(err, "nuclides.csv is empty");
    }
    if (line.find('\0') != std::string::npos) {
        std::fclose(fp);
        return fail(err, "%s:1: NUL byte in the line (not a text file?)", path.c_str());
    }
    static const char* const kCols[5] = {"name", "N", "Z", "mass_excess_keV", "spin"};
    int pos[5] = {-1, -1, -1, -1, -1};
    std::vector<std::string> header = split_csv_fields(line);
    for (size_t i = 0; i < header.size(); ++i)
        for (int k = 0; k < 5; ++k)
            if (pos[k] < 0 && strip(header[i]) == kCols[k]) pos[k] = static_cast<int>(i);
    int need = 0;
    for (int k = 0; k < 5; ++k) {
        if (pos[k] < 0) {
            std::fclose(fp);
            return fail(err, "nuclides.csv header missing one of name,N,Z,mass_excess_keV,spin");
        }
        if (pos[k] + 1 > need) need = pos[k] + 1;
    }
    NuclideRows table;
    size_t lineno = 1;
    int rc = 0;
    while (rc == 0 && read_line(fp, line)) {
        ++lineno;
        // a NUL byte would end the name (or number) it sits in without a word
        if (line.find('\0') != std::string::npos) {
            rc = fail(err, "%s:%zu: NUL byte in the line (not a text file?)", path.c_str(), lineno);
            break;
        }
        if (strip(line).empty()) continue;
        NVXNuclide r{};
        rc = parse_nuclide_row(path, lineno, split_csv_fields(line), pos, need, r, err);
        if (rc) break;
        for (size_t i = 0; i < table.n && rc == 0; ++i)
            if (std::strcmp(table.rows[i].name, r.name) == 0)
                rc = fail(err, "%s:%zu: duplicate nuclide '%s'", path.c_str(), lineno, r.name);
        if (rc == 0 && !table.push(r)) rc = fail(err, "out of memory while reading nuclides.csv");
    }
    if (rc == 0 && std::ferror(fp)) rc = fail(err, "%s: read error", path.c_str());
    std::fclose(fp);
    if (rc) return 1;
    if (table.n == 0) return fail(err, "%s: no nuclide rows", path.c_str());
    c->nuclides = table.rows;
    c->n_nuclides = table.n;
    table.rows = nullptr;
    return 0;
}

std::string home_of_current_user() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir &&
        *res->pw_dir)
        return res->pw_dir;
    return "";
}

std::string home_of_user(const std::string& user) {
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir &&
        *res->pw_dir)
        return res->pw_dir;
    return "";
}

// '~' and '~/...' use HOME (or the password entry); '~user[/...]' the named user's home.
std::string expand_home(const char* value) {
    if (value[0] != '~') return value;
    if (value[1] == '\0' || value[1] == '/') {
        std::string home = home_of_current_user();
        return home.empty() ? std::string(value) : home + (value + 1);
    }
    const char* slash = std::strchr(value + 1, '/');
    std::string user = slash ? std::string(value + 1, static_cast<size_t>(slash - value - 1))
                             : std::string(value + 1);
    if (user.empty() || user.size() > 255) return value;
    std::string home = home_of_user(user);
    if (home.empty()) return value;
    return home + (slash ? slash : "");
}

double param_as_double(int32_t kind, NVXParamPayload p) {
    switch (kind) {
        case NVX_PARAM_BOOL:
        case NVX_PARAM_INT: return static_cast<double>(p.i);
        case NVX_PARAM_FLOAT: return p.d;
        default: return 0.0;
    }
}

// The record stores 32-bit integers: a wider value must be refused, not wrapped.
bool fits_int32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

int set_field(NVXConfig* c, const FieldSpec& f, int32_t kind, NVXParamPayload p, char** err) {
    const bool is_bool = kind == NVX_PARAM_BOOL, is_int = kind == NVX_PARAM_INT;
    const bool is_float = kind == NVX_PARAM_FLOAT, is_none = kind == NVX_PARAM_NONE;
    const bool int_field = f.kind == FieldKind::Bool || f.kind == FieldKind::Int || f.kind == FieldKind::IntOrNone;
    if (int_field && (is_bool || is_int) && !fits_int32(p.i))
        return fail(err, "%s=%lld is out of range: must lie in [%d, %d]", f.key, static_cast<long long>(p.i),
                    INT32_MIN, INT32_MAX);
    switch (f.kind) {
        case FieldKind::Bool:
        case FieldKind::Int:
            if (!(is_bool || is_int))
                return fail(err, f.kind == FieldKind::Bool ? "%s expects a bool" : "%s expects an int",
                            f.key);
            field_at<int32_t>(c, f) = static_cast<int32_t>(static_cast<uint32_t>(p.i));
            return 0;
        case FieldKind::IntOrNone:
            if (!(is_int || is_none)) return fail(err, "%s expects an int or None", f.key);
            field_at<int32_t>(c, f) = is_none ? -1 : static_cast<int32_t>(static_cast<uint32_t>(p.i));
            return 0;
        case FieldKind::Number:
            if (!(is_int || is_float)) return fail(err, "%s expects a number", f.key);
            field_at<double>(c, f) = param_as_double(kind, p);
            return 0;
        case FieldKind::NumberOrNoneZero:
        case FieldKind::NumberOrNoneNaN:
            if (!(is_int || is_float || is_none)) return fail(err, "%s expects a number or None", f.key);
            if (is_none)
                field_at<double>(c, f) = f.kind == FieldKind::NumberOrNoneZero ? 0.0 : std::nan("");
            else
                field_at<double>(c, f) = param_as_double(kind, p);
            return 0;
        case FieldKind::StringOrNone: {
            if (!(kind == NVX_PARAM_STRING || is_none)) return fail(err, "%s expects a string or None", f.key);
            char*& slot = field_at<char*>(c, f);
            std::free(slot);
            slot = nullptr;
            if (is_none || !p.s) return 0;
            std::string v = f.is_path ? expand_home(p.s) : std::string(p.s);
            slot = dup_cstr(v.c_str());
            if (!slot) return fail(err, "out of memory while copying string parameter");
            return 0;
        }
    }
    return fail(err, "unknown parameter key: %s", f.key);
}

// A rate variation is a number; a text or None would silently act as 0, and a name longer than
// the map keeps would never match its reaction.
int set_variation(NVXRxnMap* map, const char* key, const char* reaction, int32_t kind, NVXParamPayload p,
                  char** err) {
    if (kind != NVX_PARAM_BOOL && kind != NVX_PARAM_INT && kind != NVX_PARAM_FLOAT)
        return fail(err, "%s expects a number", key);
    if (!*reaction) return fail(err, "%s: missing reaction name after the prefix", key);
    if (std::strlen(reaction) >= NVX_RXNMAP_NAME_LEN)
        return fail(err, "%s: reaction name longer than %d characters", key, NVX_RXNMAP_NAME_LEN - 1);
    nvx_rxnmap_set(map, reaction, param_as_double(kind, p));
    return 0;
}

int set_numeric_special(NVXConfig* c, const char* key, int32_t kind, NVXParamPayload p, char** err) {
    bool ok = kind == NVX_PARAM_INT || (kind == NVX_PARAM_FLOAT && !std::isnan(p.d));
    bool omega = std::strcmp(key, "Omegabh2") == 0;
    if (!ok) return fail(err, omega ? "Omegabh2 requires a numeric value" : "GN requires a numeric value");
    double v = param_as_double(kind, p);
    if (omega)
        nvx_config_set_Omegabh2(c, v);
    else
        nvx_config_set_GN(c, v);
    return 0;
}

// Open-addressing hash index of a reaction map: slot value 0 is empty, k names entry k - 1. The
// table keeps at most half of its slots used, so a lookup probes a few slots.
struct RxnIndex {
    std::vector<size_t> slots;
};

size_t name_hash(const char* s) {
    size_t h = 1469598103934665603ull;  // FNV-1a
    for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ull;
    return h;
}

void index_insert(RxnIndex& ix, const NVXRxnMap& map, size_t entry) {
    const size_t mask = ix.slots.size() - 1;
    size_t k = name_hash(map.entries[entry].name) & mask;
    while (ix.slots[k]) k = (k + 1) & mask;
    ix.slots[k] = entry + 1;
}

// Builds the index for the current entries (a map filled before it had one, or grown past half).
bool rxnmap_reindex(NVXRxnMap* map) {
    size_t n = 64;
    while (n < 2 * (map->count + 1)) n *= 2;
    auto* ix = new (std::nothrow) RxnIndex;
    if (!ix) return false;
    try {
        ix->slots.assign(n, 0);
    } catch (const std::bad_alloc&) {
        delete ix;
        return false;
    }
    for (size_t i = 0; i < map->count; ++i) index_insert(*ix, *map, i);
    delete static_cast<RxnIndex*>(map->index);
    map->index = ix;
    return true;
}

// Adds the last entry to the index, growing it when more than half full.
bool rxnmap_index_last(NVXRxnMap* map) {
    auto* ix = static_cast<RxnIndex*>(map->index);
    if (!ix || 2 * map->count > ix->slots.size()) return rxnmap_reindex(map);
    index_insert(*ix, *map, map->count - 1);
    return true;
}

// The entry of that exact name, or map.count; a map without an index (none built yet) is searched
// in order.
size_t rxnmap_find(const NVXRxnMap& map, const char* name) {
    const auto* ix = static_cast<const RxnIndex*>(map.index);
    if (!ix) {
        for (size_t i = 0; i < map.count; ++i)
            if (std::strcmp(map.entries[i].name, name) == 0) return i;
        return map.count;
    }
    const size_t mask = ix->slots.size() - 1;
    for (size_t k = name_hash(name) & mask; ix->slots[k]; k = (k + 1) & mask) {
        const size_t i = ix->slots[k] - 1;
        if (i < map.count && std::strcmp(map.entries[i].name, name) == 0) return i;
    }
    return map.count;
}

}  // namespace
}  // namespace nvx

using namespace nvx;

extern "C" {

int nvx_config_init_defaults(NVXConfig* c, const char* data_dir, char** err) {
    if (!c) return fail(err, "nvx_config_init_defaults: no record");
    std::memset(c, 0, sizeof *c);
    nvx_constants_init();
    copy_name(c->data_dir, sizeof c->data_dir, data_dir ? data_dir : "");
    for (size_t i = 0; i < FIELD_TABLE_SIZE; ++i) {
        const FieldSpec& f = FIELD_TABLE[i];
        switch (f.kind) {
            case FieldKind::Bool:
            case FieldKind::Int:
            case FieldKind::IntOrNone: field_at<int32_t>(c, f) = static_cast<int32_t>(f.default_number); break;
            case FieldKind::Number:
            case FieldKind::NumberOrNoneZero:
            case FieldKind::NumberOrNoneNaN: field_at<double>(c, f) = f.default_number; break;
            case FieldKind::StringOrNone:
                if (f.default_string) {
                    field_at<char*>(c, f) = dup_cstr(f.default_string);
                    if (!field_at<char*>(c, f)) {
                        nvx_config_free(c);
                        return fail(err, "out of memory while copying string parameter");
                    }
                }
                break;
        }
    }
    c->G = 6.6743e-11 * GN_SI_to_MeVm2();
    c->Omegabh2 = 0.02242;
    if (read_nuclide_table(c, err)) {
        nvx_config_free(c);
        return 1;
    }
    recompute_eta(c);
    return 0;
}

int nvx_config_set_by_name(NVXConfig* c, const char* key, int32_t kind, NVXParamPayload p, char** err) {
    if (!c || !key) return fail(err, "unknown parameter key: %s", key ? key : "(null)");
    if (std::strncmp(key, "p_", 2) == 0) return set_variation(&c->p_map, key, key + 2, kind, p, err);
    if (std::strncmp(key, "delta_", 6) == 0) return set_variation(&c->delta_map, key, key + 6, kind, p, err);
    if (std::strcmp(key, "Omegabh2") == 0 || std::strcmp(key, "GN") == 0)
        return set_numeric_special(c, key, kind, p, err);
    const FieldSpec* f = find_field(key);
    if (!f) return fail(err, "unknown parameter key: %s", key);
    return set_field(c, *f, kind, p, err);
}

int nvx_config_set_param(NVXConfig* c, const char* key, NVXParam value, char** err) {
    return nvx_config_set_by_name(c, key, value.kind, value.payload, err);
}

void nvx_rxnmap_set(NVXRxnMap* map, const char* name, double value) {
    if (!map || !name) return;
    char cut[NVX_RXNMAP_NAME_LEN];
    copy_name(cut, sizeof cut, name);
    if (!map->index && map->count && !rxnmap_reindex(map)) return;
    if (const size_t i = rxnmap_find(*map, cut); i < map->count) {
        map->entries[i].value = value;
        return;
    }
    if (map->count == map->capacity) {
        size_t cap = map->capacity ? 2 * map->capacity : 64;
        void* grown = std::realloc(map->entries, cap * sizeof(NVXRxnMapEntry));
        if (!grown) return;
        map->entries = static_cast<NVXRxnMapEntry*>(grown);
        map->capacity = cap;
    }
    NVXRxnMapEntry& e = map->entries[map->count];
    std::memcpy(e.name, cut, sizeof cut);
    e.value = value;
    ++map->count;
    if (!rxnmap_index_last(map)) --map->count;  // no memory for the index: the set did not happen
}

double nvx_rxnmap_get(const NVXRxnMap* map, const char* name) {
    if (!map || !name) return 0.0;
    const size_t i = rxnmap_find(*map, name);
    return i < map->count ? map->entries[i].value : 0.0;
}

void nvx_rxnmap_free(NVXRxnMap* map) {
    if (!map) return;
    std::free(map->entries);
    delete static_cast<RxnIndex*>(map->index);
    map->entries = nullptr;
    map->index = nullptr;
    map->count = map->capacity = 0;
}

void nvx_config_set_Omegabh2(NVXConfig* c, double value) {
    c->Omegabh2 = value;
    recompute_eta(c);
}
double nvx_config_get_Omegabh2(const NVXConfig* c) { return c->Omegabh2; }
void nvx_config_set_GN(NVXConfig* c, double GN_SI) {
    nvx_constants_init();
    c->G = GN_SI * GN_SI_to_MeVm2();
}
double nvx_config_get_GN(const NVXConfig* c) { return c->G / GN_SI_to_MeVm2(); }

double nvx_config_Mpl(const NVXConfig* c) { return 1.0 / std::sqrt(c->G); }
double nvx_config_rhocOverh2(const NVXConfig* c) {
    double H100 = nvx_HubbleOverh();
    return 3.0 * H100 * H100 / (8.0 * M_PI * c->G);
}
double nvx_config_T_start_cosmo(const NVXConfig* c) { return c->T_start_cosmo_MeV * nvx_MeV_to_Kelvin(); }
double nvx_config_T_end(const NVXConfig* c) { return c->T_end_MeV * nvx_MeV_to_Kelvin(); }
double nvx_config_xi_nu_e(const NVXConfig* c) {
    return std::isnan(c->munuOverTnu_e) ? c->munuOverTnu : c->munuOverTnu_e;
}
double nvx_config_xi_nu_mu(const NVXConfig* c) {
    return std::isnan(c->munuOverTnu_mu) ? c->munuOverTnu : c->munuOverTnu_mu;
}
double nvx_config_xi_nu_tau(const NVXConfig* c) {
    return std::isnan(c->munuOverTnu_tau) ? c->munuOverTnu : c->munuOverTnu_tau;
}
int nvx_config_is_small(const NVXConfig* c) { return c->network && std::strcmp(c->network, "small") == 0; }
int nvx_config_is_large(const NVXConfig* c) { return c->network && std::strcmp(c->network, "large") == 0; }
int nvx_config_has_relic(const NVXConfig* c) { return c && !std::isnan(c->relic_mass_MeV); }
int nvx_config_relic_is_fermion(const NVXConfig* c) {
    return nvx_config_has_relic(c) && c->relic_spin && std::strcmp(c->relic_spin, "fermion") == 0;
}
int nvx_config_relic_neutrinophilic(const NVXConfig* c) {
    return nvx_config_has_relic(c) && c->relic_couples_to && std::strcmp(c->relic_couples_to, "neutrinos") == 0;
}

const NVXNuclide* nvx_config_find_nuclide(const NVXConfig* c, const char* name) {
    if (!c || !name) return nullptr;
    for (size_t i = 0; i < c->n_nuclides; ++i)
        if (std::strcmp(c->nuclides[i].name, name) == 0) return &c->nuclides[i];
    return nullptr;
}

}  // extern "C"
