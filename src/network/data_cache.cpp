// The cache of parsed network data files: rate tables with their source labels, network lists,
// the reaction catalogue, the detailed-balance and decay tables, rate-set manifests, each parsed on
// first use.
#include "network/data_cache.hpp"

#include <cstdio>

#include "config/err.hpp"
#include "config/file_inputs.hpp"
#include "network/network_internal.hpp"

namespace nvx::net {

namespace {

// Looks `path` up in `map`, then in the fallback's map, loading it with `load(path, &record, err)`
// into `map` on a miss.
template <typename Record, typename Load>
const Record* lookup(std::map<std::string, Record>& map, const std::map<std::string, Record>* fallback,
                     const char* path, char** err, Load load) {
    auto it = map.find(path);
    if (it != map.end()) return &it->second;
    if (fallback) {
        auto f = fallback->find(path);
        if (f != fallback->end()) return &f->second;
    }
    Record rec{};
    if (load(path, &rec, err) != 0) return nullptr;
    return &map.emplace(path, rec).first->second;
}

}  // namespace

DataFiles::~DataFiles() {
    for (auto& [path, t] : tables_) nvx_table_free(&t->table);
    for (auto& [path, l] : lists_) nvx_network_list_free(&l);
    for (auto& [path, r] : reactions_) nvx_reaction_table_free(&r);
    for (auto& [path, b] : balance_) nvx_detailed_balance_free(&b);
    for (auto& [path, d] : decays_) nvx_decay_table_free(&d);
    for (auto& [path, s] : rate_sets_) nvx_rate_set_free(&s);
}

const DataFiles::RateTable* DataFiles::rate_table(const char* path, char** err) {
    auto it = tables_.find(path);
    if (it != tables_.end()) return it->second.get();
    if (fallback_) {
        auto f = fallback_->tables_.find(path);
        if (f != fallback_->tables_.end()) return f->second.get();
    }
    // one read of the file serves the numbers and the source label
    auto t = std::make_unique<RateTable>();
    inputs::read(path);
    std::string text;
    FILE* fp = std::fopen(path, "rb");
    if (!fp) return fail(err, "cannot open table file '%s'", path), nullptr;
    char buf[16384];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
    const bool failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (failed) return fail(err, "cannot read table file '%s'", path), nullptr;
    inputs::content(path, text.data(), text.size());
    if (nvx_table_parse(text.data(), text.size(), path, 3, &t->table, err) != 0) return nullptr;
    reaction_source_of_text(text, t->source);
    return tables_.emplace(path, std::move(t)).first->second.get();
}

const NVXNetworkList* DataFiles::network_list(const char* path, char** err) {
    return lookup(lists_, fallback_ ? &fallback_->lists_ : nullptr, path, err, nvx_load_network_list);
}

const NVXReactionTable* DataFiles::reactions(const char* path, char** err) {
    return lookup(reactions_, fallback_ ? &fallback_->reactions_ : nullptr, path, err, nvx_load_reactions_large);
}

const NVXDetailedBalanceTable* DataFiles::detailed_balance(const char* path, char** err) {
    return lookup(balance_, fallback_ ? &fallback_->balance_ : nullptr, path, err, nvx_load_detailed_balance);
}

const NVXDecayTable* DataFiles::decays(const char* path, char** err) {
    return lookup(decays_, fallback_ ? &fallback_->decays_ : nullptr, path, err, nvx_load_decays);
}

const NVXRateSet* DataFiles::rate_set(const char* path, char** err) {
    return lookup(rate_sets_, fallback_ ? &fallback_->rate_sets_ : nullptr, path, err, nvx_load_rate_set);
}

}  // namespace nvx::net
