// The custom network record handed to a run: removed reaction names and replaced or added
// reactions with their rate tables parsed from text.
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

// Reads "x y [z]" at the start of a line; false when the first two numbers do not parse.
bool parse_row(const char* line, double out[3]) {
    char* end = nullptr;
    const char* p = line;
    for (int k = 0; k < 3; ++k) {
        double v = std::strtod(p, &end);
        if (end == p) {
            if (k < 2) return false;
            out[2] = 0.0;
            return true;
        }
        out[k] = v;
        p = end;
    }
    return true;
}

}  // namespace

extern "C" {

int nvx_custom_network_add_removed(NVXCustomNetwork* net, const char* name) {
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

int nvx_custom_network_add_entry_text(NVXCustomNetwork* net, const char* name, const char* text) {
    std::vector<double> c1, c2, c3;
    c1.reserve(16);
    c2.reserve(16);
    c3.reserve(16);
    const char* p = text ? text : "";
    while (*p) {
        const char* nl = std::strchr(p, '\n');
        std::string line = nl ? std::string(p, static_cast<size_t>(nl - p)) : std::string(p);
        p = nl ? nl + 1 : p + line.size();
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#') continue;
        double row[3];
        if (!parse_row(line.c_str() + b, row)) continue;
        c1.push_back(row[0]);
        c2.push_back(row[1]);
        c3.push_back(row[2]);
    }
    if (c1.empty()) return 1;
    return nvx_custom_network_add_entry(net, name, c1.data(), c2.data(), c3.data(), c1.size()) ? 2 : 0;
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
