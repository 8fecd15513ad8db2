// The custom network record handed to a run: removed reaction names and replaced or added
// reactions with their rate tables parsed from text.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/err.hpp"
#include "nuvex/custom_network.h"

namespace {

template <typename T>
bool grow(T*& arr, size_t count) {
    void* p = std::realloc(arr, (count + 1) * sizeof(T));
    if (!p) return false;
    arr = static_cast<T*>(p);
    return true;
}

// One whitespace-separated token as a whole number (strtod syntax); false otherwise.
bool parse_token(const std::string& tok, double& out) {
    if (tok.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(tok.c_str(), &end);
    if (end != tok.c_str() + tok.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::vector<std::string> tokens(const std::string& line, size_t max) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size() && out.size() < max) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        const size_t b = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > b) out.push_back(line.substr(b, i - b));
    }
    return out;
}

// "T9 rate [factor]" at the start of a line; text after the third number is a comment. A line
// whose numbers do not parse is an error naming it: a silently dropped row would reshape the rate.
int parse_row(const std::string& line, size_t lineno, const char* name, double out[3], char** err) {
    const std::vector<std::string> tok = tokens(line, 3);
    static const char* const kWhat[3] = {"T9", "rate", "uncertainty factor"};
    out[2] = 0.0;
    for (size_t k = 0; k < 3; ++k) {
        if (k == tok.size() || (k == 2 && tok[k][0] == '#')) {
            if (k < 2)
                return nvx::fail(err, "custom_network rate table of '%s', line %zu: missing the %s", name, lineno,
                                 kWhat[k]);
            break;
        }
        if (!parse_token(tok[k], out[k]))
            return nvx::fail(err, "custom_network rate table of '%s', line %zu: cannot parse the %s '%s' as a "
                                  "finite number", name, lineno, kWhat[k], tok[k].c_str());
        // a factor that is given must be one (a left-out factor, stored as 0, means "not varied")
        if (k == 2 && !(out[k] >= 1.0))
            return nvx::fail(err, "custom_network rate table of '%s', line %zu: uncertainty factor %s must be >= 1 "
                                  "(a multiplicative 1-sigma factor; leave it out for a rate that is not varied)",
                             name, lineno, tok[k].c_str());
    }
    return 0;
}

}  // namespace

extern "C" {

int nvx_custom_network_add_removed(NVXCustomNetwork* net, const char* name) {
    if (!name || std::strlen(name) >= NVX_RXN_NAME_LEN) return 1;
    if (!grow(net->removed, net->n_removed)) return 1;
    nvx::copy_name(net->removed[net->n_removed++], NVX_RXN_NAME_LEN, name);
    return 0;
}

int nvx_custom_network_add_entry(NVXCustomNetwork* net, const char* name, const double* c1, const double* c2,
                                 const double* c3, size_t n_rows) {
    if (!grow(net->entries, net->n_entries)) return 1;
    NVXCustomEntry& e = net->entries[net->n_entries];
    std::memset(&e, 0, sizeof e);
    nvx::copy_name(e.name, sizeof e.name, name);
    size_t bytes = (n_rows ? n_rows : 1) * sizeof(double);
    e.col1 = static_cast<double*>(std::malloc(bytes));
    e.col2 = static_cast<double*>(std::malloc(bytes));
    e.col3 = static_cast<double*>(std::malloc(bytes));
    if (!e.col1 || !e.col2 || !e.col3) {
        std::free(e.col1);
        std::free(e.col2);
        std::free(e.col3);
        return 1;
    }
    if (n_rows) {
        std::memcpy(e.col1, c1, n_rows * sizeof(double));
        std::memcpy(e.col2, c2, n_rows * sizeof(double));
        std::memcpy(e.col3, c3, n_rows * sizeof(double));
    }
    e.n_rows = n_rows;
    ++net->n_entries;
    return 0;
}

int nvx_custom_network_parse_entry(NVXCustomNetwork* net, const char* name, const char* text, char** err) {
    if (!name || !*name) return nvx::fail(err, "custom_network: empty reaction name");
    if (std::strlen(name) >= NVX_RXN_NAME_LEN)
        return nvx::fail(err, "custom_network: reaction name '%s' is longer than %d characters", name,
                         NVX_RXN_NAME_LEN - 1);
    std::vector<double> c1, c2, c3;
    const char* p = text ? text : "";
    size_t lineno = 0;
    while (*p) {
        const char* nl = std::strchr(p, '\n');
        std::string line = nl ? std::string(p, static_cast<size_t>(nl - p)) : std::string(p);
        p = nl ? nl + 1 : p + line.size();
        ++lineno;
        size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#') continue;
        double row[3];
        if (parse_row(line.substr(b), lineno, name, row, err)) return 1;
        c1.push_back(row[0]);
        c2.push_back(row[1]);
        c3.push_back(row[2]);
    }
    if (c1.empty()) return nvx::fail(err, "custom_network rate table has no data rows");
    if (nvx_custom_network_add_entry(net, name, c1.data(), c2.data(), c3.data(), c1.size()))
        return nvx::fail(err, "custom_network: out of memory") + 1;
    return 0;
}

int nvx_custom_network_add_entry_text(NVXCustomNetwork* net, const char* name, const char* text) {
    char* err = nullptr;
    const int rc = nvx_custom_network_parse_entry(net, name, text, &err);
    std::free(err);
    return rc;
}

void free_custom_network(NVXCustomNetwork* net) {
    if (!net) return;
    for (size_t i = 0; i < net->n_entries; ++i) {
        std::free(net->entries[i].col1);
        std::free(net->entries[i].col2);
        std::free(net->entries[i].col3);
    }
    std::free(net->entries);
    std::free(net->removed);
    std::memset(net, 0, sizeof *net);
}

}  // extern "C"
