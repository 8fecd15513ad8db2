// Loaders of the network data files (network lists, reaction catalogue, detailed-balance table,
// decays, rate-set manifests), the side grammar, rate-table source labels and detailed-balance coefficients.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/err.hpp"
#include "network/network_internal.hpp"
#include "nuvex/constants.h"

using nvx::fail;
using namespace nvx::net;

namespace {

// A field that must be a whole finite number.
bool number_field(const char* s, double& out) {
    const std::string t(trim(s));
    if (t.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// Copies a name into its fixed field; false when it does not fit (a cut name would silently name
// another reaction, or none).
bool name_fits(char* dst, size_t size, const char* src) {
    const std::string_view v = trim(src);
    if (v.size() >= size) return false;
    copy_view(dst, size, v);
    return true;
}

// Splits a line in place at commas into at most 5 fields; a sixth comma ends the fifth field.
size_t csv_split(char* line, char* fields[5]) {
    size_t n = 0;
    fields[n++] = line;
    for (char* p = line; *p && n <= 5; ++p) {
        if (*p != ',') continue;
        *p = '\0';
        if (n == 5) break;
        fields[n++] = p + 1;
    }
    return n;
}

// Reads the comma-separated catalogue-like files: header skipped, blank lines skipped, each data
// line handed to `row` as its 5 fields with its line number; `row` reports its own errors.
template <typename RowFn>
int read_csv5(const char* path, const char* open_msg, char** error, RowFn row) {
    File f(path);
    if (!f.fp) return fail(error, open_msg, path);
    std::string raw;
    int line_no = 0;
    bool header = true;
    while (read_line(f.fp, raw)) {
        ++line_no;
        std::string line(trim(raw));
        if (line.empty()) continue;
        if (header) {
            header = false;
            continue;
        }
        char* fields[5] = {};
        if (csv_split(line.data(), fields) < 5)
            return fail(error, "%s:%d: expected 5 CSV fields, got '%s'", path, line_no, fields[0]);
        if (row(fields, line_no) != 0) return 1;
    }
    return 0;
}

}  // namespace

extern "C" {

void nvx_network_list_free(NVXNetworkList* l) {
    if (!l) return;
    std::free(l->entries);
    *l = NVXNetworkList{};
}
void nvx_reaction_table_free(NVXReactionTable* t) {
    if (!t) return;
    std::free(t->rows);
    *t = NVXReactionTable{};
}
void nvx_detailed_balance_free(NVXDetailedBalanceTable* t) {
    if (!t) return;
    std::free(t->rows);
    *t = NVXDetailedBalanceTable{};
}
void nvx_decay_table_free(NVXDecayTable* t) {
    if (!t) return;
    std::free(t->rows);
    *t = NVXDecayTable{};
}
void nvx_rate_set_free(NVXRateSet* s) {
    if (!s) return;
    std::free(s->entries);
    *s = NVXRateSet{};
}

int nvx_load_network_list(const char* path, NVXNetworkList* list, char** error) {
    nvx_network_list_free(list);
    File f(path);
    if (!f.fp) return fail(error, "cannot open network list '%s'", path);
    std::string raw;
    int line_no = 0;
    while (read_line(f.fp, raw)) {
        ++line_no;
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        size_t comma = line.find(',');
        std::string_view name = trim(line.substr(0, comma));
        std::string_view source = comma == std::string_view::npos ? std::string_view{} : trim(line.substr(comma + 1));
        char cut[NVX_RXN_NAME_LEN];
        copy_view(cut, sizeof cut, name);
        if (!cut[0]) {
            nvx_network_list_free(list);
            return fail(error, "%s:%d: empty reaction name", path, line_no);
        }
        if (name.size() >= sizeof cut || source.size() >= sizeof list->entries[0].source) {
            nvx_network_list_free(list);
            return fail(error, "%s:%d: reaction name or source longer than the %zu or %zu characters kept", path,
                        line_no, sizeof cut - 1, sizeof list->entries[0].source - 1);
        }
        for (size_t i = 0; i < list->count; ++i)
            if (std::strcmp(list->entries[i].name, cut) == 0) {
                nvx_network_list_free(list);
                return fail(error, "%s:%d: duplicate reaction entry '%s' (likely copy-paste mistake)", path,
                            line_no, cut);
            }
        NVXNetworkListEntry* e = grow_push(list->entries, list->count, list->capacity, 64);
        if (!e) {
            nvx_network_list_free(list);
            return fail(error, "%s:%d: out of memory", path, line_no);
        }
        std::memcpy(e->name, cut, sizeof cut);
        copy_view(e->source, sizeof e->source, source);
    }
    return 0;
}

int nvx_load_reactions_large(const char* path, NVXReactionTable* t, char** error) {
    nvx_reaction_table_free(t);
    int rc = read_csv5(path, "cannot open reactions_large file '%s'", error, [&](char** fl, int line_no) {
        NVXReactionRow r{};
        if (!name_fits(r.name, sizeof r.name, fl[0]) || !name_fits(r.reactants, sizeof r.reactants, fl[1]) ||
            !name_fits(r.products, sizeof r.products, fl[2]))
            return fail(error, "%s:%d: a reaction name or side is longer than %zu characters", path, line_no,
                        sizeof r.name - 1);
        nvx::copy_name(r.kind, sizeof r.kind, fl[3]);
        nvx::copy_name(r.note, sizeof r.note, fl[4]);
        if (r.name[0] && find_row(*t, r.name))
            return fail(error, "%s:%d: duplicate reaction '%s'", path, line_no, r.name);
        NVXReactionRow* slot = grow_push(t->rows, t->count, t->capacity, 128);
        if (!slot) return fail(error, "%s:%d: out of memory", path, line_no);
        *slot = r;
        return 0;
    });
    if (rc) nvx_reaction_table_free(t);
    return rc;
}

int nvx_load_detailed_balance(const char* path, NVXDetailedBalanceTable* t, char** error) {
    nvx_detailed_balance_free(t);
    int rc = read_csv5(path, "cannot open detailed_balance file '%s'", error, [&](char** fl, int line_no) {
        NVXDetailedBalanceRow r{};
        if (!name_fits(r.name, sizeof r.name, fl[0]))
            return fail(error, "%s:%d: reaction name longer than %zu characters", path, line_no, sizeof r.name - 1);
        double* dst[4] = {&r.c0, &r.alpha, &r.beta, &r.gamma};
        static const char* const kWhat[4] = {"Q", "alpha", "beta", "gamma"};
        for (int k = 0; k < 4; ++k)
            if (!number_field(fl[k + 1], *dst[k]))
                return fail(error, "%s:%d: cannot parse %s '%s' as a finite number", path, line_no, kWhat[k],
                            fl[k + 1]);
        if (find_row(*t, r.name)) return fail(error, "%s:%d: duplicate reaction '%s'", path, line_no, r.name);
        NVXDetailedBalanceRow* slot = grow_push(t->rows, t->count, t->capacity, 128);
        if (!slot) return fail(error, "%s:%d: out of memory", path, line_no);
        *slot = r;
        return 0;
    });
    if (rc) nvx_detailed_balance_free(t);
    return rc;
}

int nvx_load_decays(const char* path, NVXDecayTable* t, char** error) {
    nvx_decay_table_free(t);
    File f(path);
    if (!f.fp) return fail(error, "cannot open decays file '%s'", path);
    std::string raw;
    int line_no = 0;
    while (read_line(f.fp, raw)) {
        ++line_no;
        std::string line(trim(raw));
        if (line.empty() || line.front() == '#') continue;
        NVXDecayRow row{};
        int used = 0;
        char name[256] = {};
        const bool parsed = std::sscanf(line.c_str(), "%255s %lf %lf %lf%n", name, &row.aux, &row.rate, &row.unc,
                                        &used) == 4;
        // a number glued to text ("1.5e-9x") ends at a blank, never inside the field
        const bool whole = parsed && (line[size_t(used)] == '\0' || line[size_t(used)] == ' ' || line[size_t(used)] == '\t');
        if (!whole || !name_fits(row.name, sizeof row.name, name)) {
            nvx_decay_table_free(t);
            return fail(error, "%s:%d: cannot parse decay row '%s'", path, line_no, line.c_str());
        }
        if (!std::isfinite(row.rate) || row.rate < 0 || !std::isfinite(row.unc) || !(row.unc >= 1)) {
            nvx_decay_table_free(t);
            return fail(error, "%s:%d: decay '%s' needs a finite rate >= 0 and an uncertainty factor >= 1", path,
                        line_no, row.name);
        }
        if (find_row(*t, row.name)) {
            nvx_decay_table_free(t);
            return fail(error, "%s:%d: duplicate decay '%s'", path, line_no, row.name);
        }
        copy_view(row.note, sizeof row.note, trim(std::string_view(line).substr(static_cast<size_t>(used))));
        NVXDecayRow* r = grow_push(t->rows, t->count, t->capacity, 64);
        if (!r) {
            nvx_decay_table_free(t);
            return fail(error, "%s:%d: out of memory", path, line_no);
        }
        *r = row;
    }
    return 0;
}

// A manifest line names the reaction, the file replacing its table (a plain name inside the
// reaction's table folder: no folder part, so a set cannot reach files elsewhere), the source of
// the rate and its 1-sigma band; every field must be given, so that no set is without provenance.
int nvx_load_rate_set(const char* path, NVXRateSet* set, char** error) {
    nvx_rate_set_free(set);
    File f(path);
    if (!f.fp) return fail(error, "cannot open rate-set manifest '%s'", path);
    std::string raw;
    int line_no = 0;
    auto bad = [&](const std::string& what) {
        nvx_rate_set_free(set);
        return nvx::fail_str(error, nvx::strprintf("%s:%d: ", path, line_no) + what);
    };
    using nvx::strprintf;
    while (read_line(f.fp, raw)) {
        ++line_no;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        for (char ch : line)
            if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t')
                return bad(strprintf("control character 0x%02x in the line", static_cast<unsigned>(ch)));
        std::vector<std::string_view> field;
        for (std::string_view rest = line;;) {
            const size_t bar = rest.find('|');
            field.push_back(trim(rest.substr(0, bar)));
            if (bar == std::string_view::npos) break;
            rest.remove_prefix(bar + 1);
        }
        if (field.size() != 4)
            return bad(strprintf("expected 4 fields 'reaction | table file | source | uncertainty', got '%s'",
                                 std::string(line).c_str()));
        static const char* const kField[4] = {"reaction", "table file", "source", "uncertainty"};
        for (size_t k = 0; k < 4; ++k)
            if (field[k].empty()) return bad(strprintf("empty %s field", kField[k]));
        NVXRateSetEntry e{};
        if (field[0].size() >= sizeof e.name || field[1].size() >= sizeof e.file)
            return bad(strprintf("reaction name or table file longer than the %zu or %zu characters kept",
                                 sizeof e.name - 1, sizeof e.file - 1));
        copy_view(e.name, sizeof e.name, field[0]);
        copy_view(e.file, sizeof e.file, field[1]);
        if (std::strchr(e.file, '/') || e.file[0] == '.')
            return bad(strprintf("table file '%s' must be a plain file name inside nuclear/tables/%s/", e.file, e.name));
        copy_view(e.source, sizeof e.source, field[2]);
        copy_view(e.uncertainty, sizeof e.uncertainty, field[3]);
        e.line = line_no;
        for (size_t i = 0; i < set->count; ++i)
            if (std::strcmp(set->entries[i].name, e.name) == 0)
                return bad(strprintf("duplicate reaction '%s' (first on line %d)", e.name, set->entries[i].line));
        NVXRateSetEntry* slot = grow_push(set->entries, set->count, set->capacity, 16);
        if (!slot) return bad("out of memory");
        *slot = e;
    }
    return 0;
}

int nvx_parse_side(const char* text, NVXSide* side, int32_t* beta, char** error) {
    *side = NVXSide{};
    *beta = 0;
    char buf[NVX_RXN_NAME_LEN];
    nvx::copy_name(buf, sizeof buf, text ? text : "");
    std::string_view rest(buf);
    for (;;) {
        size_t plus = rest.find('+');
        std::string_view tok = trim(rest.substr(0, plus));
        if (tok == "Bm" || tok == "Bp") {
            *beta += tok == "Bm" ? -1 : 1;
        } else if (!tok.empty() && tok != "g") {
            char name[NVX_NAME_LEN];
            copy_view(name, sizeof name, tok);
            size_t i = 0;
            while (i < side->count && std::strcmp(side->names[i], name) != 0) ++i;
            if (i == side->count) {
                if (side->count == NVX_SIDE_MAX)
                    return fail(error, "reaction side '%s' has more than %d distinct species", buf, NVX_SIDE_MAX);
                std::memcpy(side->names[side->count++], name, sizeof name);
            }
            ++side->mult[i];
        }
        if (plus == std::string_view::npos) break;
        rest = rest.substr(plus + 1);
    }
    return 0;
}

void nvx_read_reaction_source(const char* path, char label[NVX_SOURCE_LEN]) {
    std::strcpy(label, "?");
    File f(path);
    if (!f.fp) return;
    std::string line, head;
    while (read_line(f.fp, line) && !line.empty() && line[0] == '#') head += line + "\n";
    nvx::net::reaction_source_of_text(head, label);
}

}  // extern "C"

void nvx::net::reaction_source_of_text(std::string_view text, char label[NVX_SOURCE_LEN]) {
    std::strcpy(label, "?");
    // the "ref=" of the first leading comment line that has one
    while (!text.empty() && text[0] == '#') {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t ref = line.find("ref=");
        if (ref == std::string_view::npos) continue;
        std::string_view v = line.substr(ref + 4);
        while (!v.empty() && (static_cast<unsigned char>(v.back()) <= ' ' || v.back() == 0x7f)) v.remove_suffix(1);
        copy_view(label, NVX_SOURCE_LEN, v);
        return;
    }
}

extern "C" {

int nvx_compute_detailed_balance_coefficients(const char* const* reactants, size_t n_reactants,
                                              const char* const* products, size_t n_products,
                                              const NVXConfig* record, double* alpha, double* beta,
                                              double* gamma, char** error) {
    const double* C = nvx_constants_init();
    const double kB = C[NVX_C_k_B], c = C[NVX_C_c_light], hbar = C[NVX_C_hbar];
    const double MeV = C[NVX_C_MeV], keV = C[NVX_C_keV], me = C[NVX_C_m_e], u = C[NVX_C_m_u];
    const char* who = "compute_detailed_balance_coefficients";
    const NVXNuclide* nn = nvx_config_find_nuclide(record, "n");
    const NVXNuclide* np = nvx_config_find_nuclide(record, "p");
    if (!nn || !np) return fail(error, "%s: the nuclide table has no '%s'", who, nn ? "p" : "n");

    struct Particle {
        const NVXNuclide* nuc;
        double M_erg;
        double B_keV;
    };
    std::vector<Particle> parts;
    auto collect = [&](const char* const* names, size_t n) -> int {
        for (size_t i = 0; i < n; ++i) {
            const NVXNuclide* x = nvx_config_find_nuclide(record, names[i]);
            if (!x) {
                char msg[128];
                std::snprintf(msg, sizeof msg, "%s: unknown nuclide '%s'", who, names[i]);
                return nvx::fail(error, "%s", msg);
            }
            double M = (x->N + x->Z) * u * MeV + x->mass_excess_keV * keV - x->Z * me * MeV;
            double B = x->N * nn->mass_excess_keV + x->Z * np->mass_excess_keV - x->mass_excess_keV;
            parts.push_back({x, M, B});
        }
        return 0;
    };
    if (collect(reactants, n_reactants) || collect(products, n_products)) return 1;

    const double kT = kB * 1e9;
    // Partition factor of one side: distinct species in first-occurrence order, 1/m! for m identical.
    auto side_factor = [&](size_t first, size_t n) {
        double F = 1.0;
        std::vector<bool> done(n, false);
        for (size_t i = 0; i < n; ++i) {
            if (done[i]) continue;
            int m = 0;
            for (size_t j = i; j < n; ++j)
                if (parts[first + j].nuc == parts[first + i].nuc) done[j] = true, ++m;
            const Particle& s = parts[first + i];
            double g = 2.0 * s.nuc->spin + 1.0;
            double one = g * std::pow(s.M_erg * kT / (2.0 * M_PI), 1.5);
            double fact = 1.0;
            for (int k = 2; k <= m; ++k) fact *= k;
            F *= std::pow(one, m) / fact;
        }
        return F;
    };
    double Q_keV = 0.0;
    for (size_t i = 0; i < n_reactants; ++i) Q_keV -= parts[i].B_keV;
    for (size_t i = 0; i < n_products; ++i) Q_keV += parts[n_reactants + i].B_keV;
    const double dn = static_cast<double>(n_reactants) - static_cast<double>(n_products);
    const double m_u_g = u * MeV / (c * c);
    *beta = 1.5 * dn;
    *gamma = -Q_keV * keV / kT;
    *alpha = side_factor(0, n_reactants) / side_factor(n_reactants, n_products) *
             std::pow(m_u_g / std::pow(c * hbar, 3), dn);
    return 0;
}

}  // extern "C"
