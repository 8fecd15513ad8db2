// Internal helpers of the nuclear-network module: text trimming, line reading, growable C tables
// and name lookups shared by the loaders, the assembly and the rate tabulation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/text.hpp"
#include "config/file_inputs.hpp"
#include "nuvex/network.h"

namespace nvx::net {

using nvx::is_space;
using nvx::read_line;
using nvx::trim;

// Where a temperature falls on a network's rate grid: segment i and the weights of the rate
// interpolation f = y[i] + theta (y[i+1] - y[i]) + c_lo m[i] + c_hi m[i+1] (m: scaled second
// derivatives; outside the grid the weights continue the end segments as lines).
struct GridPoint {
    size_t i = 0;
    double theta = 0.0, c_lo = 0.0, c_hi = 0.0;
};
GridPoint grid_point(const NVXNetworkDef& d, double T9);  // needs n_grid >= 2
inline double interpolate(const double* y, const double* m, const GridPoint& p) {
    return y[p.i] + p.theta * (y[p.i + 1] - y[p.i]) + p.c_lo * m[p.i] + p.c_hi * m[p.i + 1];
}
// Recomputes the definition's rate curvatures from its current rates and marks them valid.
void refresh_curvature(NVXNetworkDef* d);

// Copies a view into a fixed buffer, cutting it and NUL-terminating.
inline void copy_view(char* dst, size_t size, std::string_view src) {
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    if (n) std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// Appends one zeroed element to a C table {rows, count, capacity} grown by doubling.
template <typename T>
T* grow_push(T*& rows, size_t& count, size_t& capacity, size_t initial) {
    if (count == capacity) {
        size_t cap = capacity ? capacity * 2 : initial;
        void* p = std::realloc(rows, cap * sizeof(T));
        if (!p) return nullptr;
        rows = static_cast<T*>(p);
        capacity = cap;
    }
    T* row = &rows[count++];
    std::memset(row, 0, sizeof(T));
    return row;
}

template <typename Table>
const auto* find_row(const Table& t, const char* name) {
    for (size_t i = 0; i < t.count; ++i)
        if (std::strcmp(t.rows[i].name, name) == 0) return &t.rows[i];
    return static_cast<decltype(&t.rows[0])>(nullptr);
}

// Owns a FILE* over the file's bytes, read whole in one open so that the stage being built notes
// their hash from this read (its snapshot then needs no second read of the file).
struct File {
    FILE* fp = nullptr;
    std::string bytes;
    explicit File(const char* path) {
        nvx::inputs::read(path);
        fp = std::fopen(path, "r");
        if (!fp) return;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) bytes.append(buf, n);
        if (std::ferror(fp)) {
            std::rewind(fp);  // read by the parser as it always was; the snapshot hashes the file itself
            return;
        }
        nvx::inputs::content(path, bytes.data(), bytes.size());
        if (bytes.empty()) return;  // fp stands at its end: the parser reads nothing, as from the file
        if (FILE* mem = ::fmemopen(bytes.data(), bytes.size(), "r")) {
            std::fclose(fp);
            fp = mem;
        } else {
            std::rewind(fp);
        }
    }
    ~File() {
        if (fp) std::fclose(fp);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

// Particle lists (one entry per particle) of a parsed side, for detailed balance.
inline void side_particles(const NVXSide& s, const char** out, size_t& n) {
    for (size_t i = 0; i < s.count; ++i)
        for (int32_t m = 0; m < s.mult[i]; ++m) out[n++] = s.names[i];
}

// Largest number of particles one side can list (63 characters of text, 2 per token).
constexpr size_t kMaxParticles = 32;

// Detailed-balance coefficients (alpha, beta, gamma) of the reaction sa -> sb from the nuclide
// table; false when they cannot be computed (a species without a table row, ...).
inline bool side_balance(const NVXSide& sa, const NVXSide& sb, const NVXConfig* cfg, double abg[3]) {
    const char* pa[kMaxParticles];
    const char* pb[kMaxParticles];
    size_t na = 0, nb = 0;
    side_particles(sa, pa, na);
    side_particles(sb, pb, nb);
    char* discard = nullptr;
    if (nvx_compute_detailed_balance_coefficients(pa, na, pb, nb, cfg, &abg[0], &abg[1], &abg[2], &discard)) {
        std::free(discard);
        return false;
    }
    return true;
}

// The "ref=" source label of a rate table from its text (its leading comment lines), "?" without one.
void reaction_source_of_text(std::string_view text, char label[NVX_SOURCE_LEN]);

}  // namespace nvx::net
