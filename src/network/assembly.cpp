// Network assembly of one era: reaction list, removal, rate set, custom reactions, mass cut, MT
// selection, species set and canonical ordering, stoichiometry with reaction 0, then rate tabulation.
#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "config/rate_set.hpp"
#include "network/assembly.hpp"
#include "network/data_cache.hpp"
#include "network/network_internal.hpp"

using nvx::fail;
using namespace nvx::net;

namespace {

constexpr std::array<const char*, 17> kOrderMT = {
    "n_p__d_g",     "d_p__He3_g",   "d_d__He3_n",   "d_d__t_p",     "t_p__a_g",   "t_d__a_n",
    "t_a__Li7_g",   "He3_n__t_p",   "He3_d__a_p",   "He3_a__Be7_g", "Be7_n__Li7_p", "Li7_p__a_a",
    "Be7_d__a_a_p", "Be7_n__a_a",   "Li6_p__Be7_g", "Li7_p__a_a_g", "d_a__Li6_g"};
constexpr std::array<const char*, 8> kSpeciesSmall = {"n", "p", "H2", "H3", "He3", "He4", "Li7", "Be7"};
constexpr std::array<const char*, 12> kSpeciesMD = {"n",  "p",   "H2",  "H3",  "He3", "He4",
                                                    "Li7", "Be7", "He6", "Li8", "Li6", "B8"};
const char* const kTooMany = "nvx_load_network: too many reactions (raise NVX_MAX_REACTIONS)";

using NameSet = std::vector<std::string>;

void add_to_set(NameSet& set, const char* name) {
    char cut[NVX_NAME_LEN];
    nvx::copy_name(cut, sizeof cut, name);
    for (const std::string& s : set)
        if (s == cut) return;
    set.emplace_back(cut);
}

bool in_set(const NameSet& set, std::string_view name) {
    for (const std::string& s : set)
        if (s == name) return true;
    return false;
}

// Custom-name side ("p_Li7") to side grammar ("p+Li7"), spelling out d, t and a.
std::string build_side_field(std::string_view text) {
    std::string out;
    while (true) {
        size_t us = text.find('_');
        std::string_view tok = text.substr(0, us);
        if (!tok.empty()) {
            if (!out.empty()) out += '+';
            out += tok == "d" ? "H2" : tok == "t" ? "H3" : tok == "a" ? "He4" : std::string(tok);
        }
        if (us == std::string_view::npos) break;
        text.remove_prefix(us + 1);
    }
    if (out.size() > NVX_RXN_NAME_LEN - 1) out.resize(NVX_RXN_NAME_LEN - 1);
    return out;
}

int mass_number(const NVXConfig* cfg, const char* name) {
    const NVXNuclide* x = nvx_config_find_nuclide(cfg, name);
    return x ? x->N + x->Z : 0;
}

// Canonical species present in the set, then the remaining set members in nuclide-table order.
NameSet species_order(const NVXConfig* cfg, const NameSet& set) {
    bool md = false;
    for (const char* s : {"He6", "Li8", "Li6", "B8"}) md = md || in_set(set, s);
    NameSet out;
    auto take = [&](const char* const* names, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (in_set(set, names[i]) && !in_set(out, names[i])) out.emplace_back(names[i]);
    };
    if (md) take(kSpeciesMD.data(), kSpeciesMD.size());
    else take(kSpeciesSmall.data(), kSpeciesSmall.size());
    for (size_t i = 0; i < cfg->n_nuclides; ++i) {
        const char* nm = cfg->nuclides[i].name;
        if (in_set(set, nm) && !in_set(out, nm)) out.emplace_back(nm);
    }
    return out;
}

// An owned copy of a cached table, which custom reactions may extend.
template <typename Table>
bool copy_table(const Table& src, Table& dst) {
    dst = Table{};
    if (src.count == 0) return true;
    dst.rows = static_cast<decltype(dst.rows)>(std::malloc(src.count * sizeof src.rows[0]));
    if (!dst.rows) return false;
    std::memcpy(dst.rows, src.rows, src.count * sizeof src.rows[0]);
    dst.count = dst.capacity = src.count;
    return true;
}

struct Assembly {
    const NVXConfig* cfg = nullptr;
    const NVXCustomNetwork* custom = nullptr;
    DataFiles* files = nullptr;
    bool lt = false;
    std::vector<NVXNetworkListEntry> list;  // working reaction list with sources
    NVXReactionTable catalogue{};
    NVXDetailedBalanceTable balance{};
    ~Assembly() {
        nvx_reaction_table_free(&catalogue);
        nvx_detailed_balance_free(&balance);
    }

    bool listed(const char* name) const {
        for (const auto& e : list)
            if (std::strcmp(e.name, name) == 0) return true;
        return false;
    }
    const NVXReactionRow* row(const char* name) const { return find_row(catalogue, name); }
};

NVXNetworkListEntry make_entry(std::string_view name, std::string_view source) {
    NVXNetworkListEntry e{};
    copy_view(e.name, sizeof e.name, trim(name));
    copy_view(e.source, sizeof e.source, trim(source));
    return e;
}

int read_reaction_list(Assembly& a, const char* const* reactions, size_t count, char** error) {
    if (reactions) {
        if (count > NVX_MAX_REACTIONS) return fail(error, "%s", kTooMany);
        for (size_t i = 0; i < count; ++i) {
            std::string_view line(reactions[i] ? reactions[i] : "");
            if (line.size() > 191) line = line.substr(0, 191);
            size_t comma = line.find(',');
            NVXNetworkListEntry e = comma == std::string_view::npos
                                        ? make_entry(line, "")
                                        : make_entry(line.substr(0, comma), line.substr(comma + 1));
            if (!e.name[0]) return fail(error, "nvx_load_network: empty reaction name in entry %zu", i);
            if (a.listed(e.name)) return fail(error, "nvx_load_network: duplicate reaction entry '%s'", e.name);
            a.list.push_back(e);
        }
        return 0;
    }
    if (!a.cfg->network || !a.cfg->network[0]) return fail(error, "nvx_load_network: no network name");
    std::string rel = nvx::strprintf("nuclear/networks/%s.txt", a.cfg->network);
    char path[4608];
    nvx_config_resolve_rates_path(a.cfg, rel.c_str(), path, sizeof path);
    const NVXNetworkList* nl = a.files->network_list(path, error);
    if (!nl) return 1;
    if (nl->count > NVX_MAX_REACTIONS) return fail(error, "%s", kTooMany);
    // an empty list (a file cut to nothing) would integrate neutrons and protons alone, into NaN ratios
    if (nl->count == 0 && !(a.custom && a.custom->n_entries))
        return fail(error, "%s: the network list '%s' names no reaction", path, a.cfg->network);
    a.list.assign(nl->entries, nl->entries + nl->count);
    return 0;
}

// A removed name that is not in the list is a typo that would otherwise leave the network unchanged.
int apply_removal(Assembly& a, char** error) {
    if (!a.custom) return 0;
    for (size_t i = 0; i < a.custom->n_removed; ++i)
        if (!a.listed(a.custom->removed[i]))
            return fail(error, "custom_network['removed']: reaction '%s' is not in the network '%s'",
                        a.custom->removed[i], a.cfg->network ? a.cfg->network : "(explicit list)");
    std::erase_if(a.list, [&](const NVXNetworkListEntry& e) {
        for (size_t i = 0; i < a.custom->n_removed; ++i)
            if (std::strncmp(e.name, a.custom->removed[i], NVX_RXN_NAME_LEN) == 0) return true;
        return false;
    });
    return 0;
}

int load_tables(Assembly& a, char** error) {
    std::string dir(a.cfg->data_dir);
    const NVXReactionTable* cat = a.files->reactions((dir + "/csv/reactions_large.csv").c_str(), error);
    if (!cat) return 1;
    const NVXDetailedBalanceTable* bal = a.files->detailed_balance((dir + "/csv/detailed_balance.csv").c_str(), error);
    if (!bal) return 1;
    if (!copy_table(*cat, a.catalogue) || !copy_table(*bal, a.balance))
        return fail(error, "nvx_load_network: out of memory");
    return 0;
}

// A new custom reaction becomes a catalogue row (and a detailed-balance row when strong).
int add_custom_row(Assembly& a, const char* name, char** error) {
    std::string_view nm(name);
    size_t sep = nm.find("__");
    if (sep == std::string_view::npos)
        return fail(error, "cannot add reaction '%s': no '__' separator (only the \"a_b__c_d\" syntax is supported)",
                    name);
    std::string_view left = nm.substr(0, std::min<size_t>(sep, NVX_RXN_NAME_LEN - 1));
    NVXReactionRow* r = grow_push(a.catalogue.rows, a.catalogue.count, a.catalogue.capacity, 128);
    if (!r) return fail(error, "nvx_load_network: out of memory");
    nvx::copy_name(r->name, sizeof r->name, name);
    nvx::copy_name(r->reactants, sizeof r->reactants, build_side_field(left).c_str());
    nvx::copy_name(r->products, sizeof r->products, build_side_field(nm.substr(sep + 2)).c_str());
    nvx::copy_name(r->kind, sizeof r->kind, "custom");
    NVXSide sa, sb;
    int32_t ba, bb;
    char* side_msg = nullptr;
    if (nvx_parse_side(r->reactants, &sa, &ba, &side_msg) || nvx_parse_side(r->products, &sb, &bb, &side_msg)) {
        std::free(side_msg);
        return fail(error, "cannot add reaction '%s': more than %d distinct species on a side", name, NVX_SIDE_MAX);
    }
    if (ba != bb) return 0;
    double abg[3];
    if (!side_balance(sa, sb, a.cfg, abg)) return 0;
    NVXDetailedBalanceRow* d = grow_push(a.balance.rows, a.balance.count, a.balance.capacity, 128);
    if (!d) return fail(error, "nvx_load_network: out of memory");
    nvx::copy_name(d->name, sizeof d->name, name);
    d->alpha = abg[0], d->beta = abg[1], d->gamma = abg[2];
    return 0;
}

int add_custom_reactions(Assembly& a, char** error) {
    if (!a.custom) return 0;
    for (size_t i = 0; i < a.custom->n_entries; ++i) {
        const char* name = a.custom->entries[i].name;
        if (!a.row(name) && add_custom_row(a, name, error)) return 1;
    }
    for (size_t i = 0; i < a.custom->n_entries; ++i) {
        const char* name = a.custom->entries[i].name;
        if (a.listed(name)) continue;
        if (a.list.size() >= NVX_MAX_REACTIONS) return fail(error, "%s", kTooMany);
        a.list.push_back(make_entry(name, ""));
    }
    return 0;
}

int parse_row_sides(const NVXReactionRow* r, NVXSide& sa, int32_t& ba, NVXSide& sb, int32_t& bb, char** error) {
    char* msg = nullptr;
    if (nvx_parse_side(r->reactants, &sa, &ba, &msg) == 0 && nvx_parse_side(r->products, &sb, &bb, &msg) == 0)
        return 0;
    std::free(msg);
    return fail(error, "reaction '%s': more than %d distinct species on a side", r->name, NVX_SIDE_MAX);
}

// The run's rate set gives the listed reactions its own tables (whatever the network list names);
// reactions of the set that this network lacks are skipped, since one set serves every network.
int apply_rate_set(Assembly& a, char** error) {
    const char* set = a.cfg->rate_set;
    if (nvx::is_default_rate_set(set)) return 0;
    if (!nvx::rate_set_name_ok(set))
        return fail(error, "rate_set='%s' is not a valid rate-set name", set);
    const std::string path = nvx::rate_set_manifest_path(a.cfg, set);
    const NVXRateSet* rs = a.files->rate_set(path.c_str(), error);
    if (!rs) return 1;
    for (size_t i = 0; i < rs->count; ++i) {
        const NVXRateSetEntry& e = rs->entries[i];
        const NVXReactionRow* r = a.row(e.name);
        if (!r)
            return fail(error, "%s:%d: reaction '%s' is not present in reactions_large.csv", path.c_str(), e.line,
                        e.name);
        NVXSide sa, sb;
        int32_t ba, bb;
        if (parse_row_sides(r, sa, ba, sb, bb, error)) return 1;
        // a decay takes its rate from decays.txt: a table given for it would be ignored silently
        if (ba != bb)
            return fail(error, "%s:%d: reaction '%s' is a decay; its rate comes from decays.txt, not from a rate set",
                        path.c_str(), e.line, e.name);
        for (auto& entry : a.list)
            if (std::strcmp(entry.name, e.name) == 0) copy_view(entry.source, sizeof entry.source, e.file);
    }
    return 0;
}

int apply_mass_cut(Assembly& a, char** error) {
    if (a.cfg->amax < 0) return 0;
    std::vector<NVXNetworkListEntry> kept;
    for (const auto& e : a.list) {
        const NVXReactionRow* r = a.row(e.name);
        if (!r) return fail(error, "reaction '%s' is not present in reactions_large.csv", e.name);
        NVXSide sa, sb;
        int32_t ba, bb;
        if (parse_row_sides(r, sa, ba, sb, bb, error)) return 1;
        int amax_r = 0;
        for (const NVXSide* s : {&sa, &sb})
            for (size_t j = 0; j < s->count; ++j) amax_r = std::max(amax_r, mass_number(a.cfg, s->names[j]));
        if (amax_r <= a.cfg->amax) kept.push_back(e);
    }
    a.list.swap(kept);
    return 0;
}

std::vector<NVXNetworkListEntry> select_era(const Assembly& a) {
    if (a.lt) return a.list;
    std::vector<NVXNetworkListEntry> out;
    for (const char* name : kOrderMT)
        for (const auto& e : a.list)
            if (std::strcmp(e.name, name) == 0) out.push_back(e);
    return out;
}

// Extra MT species of a non-small network: light species named anywhere in the mass-cut list.
void add_md_species(const Assembly& a, NameSet& set) {
    NameSet seen = {"n", "p"};
    for (const auto& e : a.list) {
        const NVXReactionRow* r = a.row(e.name);
        NVXSide sa, sb;
        int32_t ba, bb;
        if (!r || parse_row_sides(r, sa, ba, sb, bb, nullptr)) continue;
        for (const NVXSide* s : {&sa, &sb})
            for (size_t j = 0; j < s->count; ++j) add_to_set(seen, s->names[j]);
    }
    for (const char* sp : kSpeciesMD) {
        if (!in_set(seen, sp)) continue;
        const NVXNuclide* x = nvx_config_find_nuclide(a.cfg, sp);
        if (a.cfg->amax >= 0 && x && x->N + x->Z > a.cfg->amax) continue;
        add_to_set(set, sp);
    }
}

template <typename T>
T* calloc_n(size_t n) {
    return static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
}

int fill_stoich_side(const NVXSide& s, const NameSet& order, int64_t* idx, int64_t* mult, size_t& n,
                     const char* rxn, char** error) {
    n = s.count;
    for (size_t j = 0; j < s.count; ++j) {
        idx[j] = -1;
        for (size_t k = 0; k < order.size(); ++k)
            if (order[k] == s.names[j]) idx[j] = static_cast<int64_t>(k);
        if (idx[j] < 0)
            return fail(error, "reaction '%s': species '%s' is neither a canonical species nor in nuclides.csv", rxn,
                        s.names[j]);
        mult[j] = s.mult[j];
    }
    return 0;
}

int build_definition(Assembly& a, const std::vector<NVXNetworkListEntry>& era, NVXNetworkDef* def,
                     std::vector<std::string>& files, char** error) {
    std::vector<NVXSide> ra(era.size()), pr(era.size());
    std::vector<int64_t> dbeta(era.size());
    NameSet set = {"n", "p"};
    for (size_t i = 0; i < era.size(); ++i) {
        const NVXReactionRow* r = a.row(era[i].name);
        if (!r) return fail(error, "reaction '%s' is not present in reactions_large.csv", era[i].name);
        int32_t ba, bb;
        if (parse_row_sides(r, ra[i], ba, pr[i], bb, error)) return 1;
        dbeta[i] = bb - ba;
        files.push_back(era[i].source[0] ? std::string(era[i].source) : std::string(era[i].name) + "_nuvex.txt");
        for (const NVXSide* s : {&ra[i], &pr[i]})
            for (size_t j = 0; j < s->count; ++j) add_to_set(set, s->names[j]);
    }
    if (!a.lt && !nvx_config_is_small(a.cfg)) add_md_species(a, set);
    NameSet order = species_order(a.cfg, set);

    const size_t S = order.size(), R = era.size() + 1;
    def->species = calloc_n<char[NVX_NAME_LEN]>(S);
    def->species_N = calloc_n<int64_t>(S);
    def->species_Z = calloc_n<int64_t>(S);
    def->stoich = calloc_n<NVXReactionStoich>(R);
    def->reaction_names = calloc_n<char[NVX_RXN_NAME_LEN]>(R);
    def->sources = calloc_n<char[NVX_SOURCE_LEN]>(R);
    def->weak = calloc_n<int32_t>(R);
    def->beta_change = calloc_n<int64_t>(R);
    if (!def->species || !def->species_N || !def->species_Z || !def->stoich || !def->reaction_names || !def->sources ||
        !def->weak || !def->beta_change)
        return fail(error, "nvx_load_network: out of memory");
    def->n_species = S;
    def->n_reactions = R;
    for (size_t k = 0; k < S; ++k) {
        nvx::copy_name(def->species[k], NVX_NAME_LEN, order[k].c_str());
        const NVXNuclide* x = nvx_config_find_nuclide(a.cfg, order[k].c_str());
        // without N and Z the species would silently break charge and baryon conservation
        if (!x)
            return fail(error, "species '%s' of the network is missing from the nuclide table %s/csv/nuclides.csv",
                        order[k].c_str(), a.cfg->data_dir);
        def->species_N[k] = x->N, def->species_Z[k] = x->Z;
    }
    // Reaction 0: weak n -> p conversion, rates handed in at evaluation.
    std::strcpy(def->reaction_names[0], "n__p");
    def->stoich[0] = NVXReactionStoich{{0}, {1}, 1, {1}, {1}, 1};
    def->weak[0] = 1;
    def->beta_change[0] = -1;
    for (size_t i = 0; i < era.size(); ++i) {
        NVXReactionStoich& st = def->stoich[i + 1];
        if (fill_stoich_side(ra[i], order, st.reactants, st.reactant_mult, st.n_reactants, era[i].name, error) ||
            fill_stoich_side(pr[i], order, st.products, st.product_mult, st.n_products, era[i].name, error))
            return 1;
        nvx::copy_name(def->reaction_names[i + 1], NVX_RXN_NAME_LEN, era[i].name);
        def->weak[i + 1] = dbeta[i] != 0;
        def->beta_change[i + 1] = dbeta[i];
    }
    return 0;
}

int check_era(const char* era, bool& lt, char** error) {
    char up[4] = {0, 0, 0, 0};
    for (size_t i = 0; era && i < 3 && era[i]; ++i) up[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(era[i])));
    if (std::strcmp(up, "MT") != 0 && std::strcmp(up, "LT") != 0)
        return fail(error, "nvx_load_network: era must be \"MT\" or \"LT\"");
    lt = up[0] == 'L';
    return 0;
}

int assemble(const NVXConfig* cfg, const char* era, const char* const* reactions, size_t count,
             const NVXCustomNetwork* custom, DataFiles* files, NVXNetworkDef* def, char** error) {
    Assembly a;
    a.cfg = cfg;
    a.custom = custom;
    a.files = files;
    if (check_era(era, a.lt, error)) return 1;
    if (!nvx_config_find_nuclide(cfg, "n") || !nvx_config_find_nuclide(cfg, "p"))
        return fail(error, "nvx_load_network: the nuclide table must hold 'n' and 'p'");
    if (read_reaction_list(a, reactions, count, error)) return 1;
    if (apply_removal(a, error)) return 1;
    if (load_tables(a, error) || apply_rate_set(a, error) || add_custom_reactions(a, error) ||
        apply_mass_cut(a, error))
        return 1;
    std::vector<NVXNetworkListEntry> era_list = select_era(a);
    std::vector<std::string> rate_files;
    if (build_definition(a, era_list, def, rate_files, error)) return 1;
    return nvx::net::tabulate_rates(cfg, custom, a.catalogue, a.balance, rate_files, *files, def, error);
}

}  // namespace

extern "C" {

void nvx_network_def_free(NVXNetworkDef* d) {
    if (!d) return;
    void* arrays[] = {d->species,    d->species_N,     d->species_Z,  d->stoich,         d->reaction_names,
                      d->sources,    d->weak,          d->beta_change, d->grid_T9,       d->rates_current,
                      d->rates_base, d->rates_unc,     d->reverse_coeffs, d->reverse_caps, d->rate_buffer,
                      d->rates_curv};
    for (void* p : arrays) std::free(p);
    *d = NVXNetworkDef{};
}

int nvx_load_network(const NVXConfig* record, const char* era, const char* const* reactions, size_t count,
                     const NVXCustomNetwork* custom, NVXNetworkDef* def, char** error) {
    return nvx::net::load_network(record, era, reactions, count, custom, nullptr, def, error);
}

}  // extern "C"

namespace nvx::net {

int load_network(const NVXConfig* record, const char* era, const char* const* reactions, size_t count,
                 const NVXCustomNetwork* custom, DataFiles* files, NVXNetworkDef* def, char** error) {
    if (!def) return fail(error, "nvx_load_network: no definition record");
    *def = NVXNetworkDef{};
    if (!record) return fail(error, "nvx_load_network: no parameter record");
    int rc;
    try {
        DataFiles own;
        rc = assemble(record, era, reactions, count, custom, files ? files : &own, def, error);
    } catch (const std::exception&) {
        rc = fail(error, "nvx_load_network: out of memory");
    }
    if (rc) nvx_network_def_free(def);
    return rc;
}

}  // namespace nvx::net
