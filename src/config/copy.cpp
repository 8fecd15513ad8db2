// Deep copy of a parameter record: every string, both reaction maps, the nuclide table and the
// extra energy density table are duplicated, so the copy outlives and never aliases its source.
#include <cstdlib>
#include <cstring>

#include "config/err.hpp"
#include "config/field_table.hpp"
#include "nuvex/config.h"

namespace {

template <typename T>
T* dup_array(const T* src, size_t n, bool& ok) {
    if (!src || n == 0) return nullptr;
    T* p = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (!p) {
        ok = false;
        return nullptr;
    }
    std::memcpy(p, src, n * sizeof(T));
    return p;
}

// Entry by entry, so that the copy has its own lookup index (the source's is never shared).
NVXRxnMap dup_map(const NVXRxnMap& src, bool& ok) {
    NVXRxnMap m{};
    for (size_t i = 0; i < src.count; ++i) nvx_rxnmap_set(&m, src.entries[i].name, src.entries[i].value);
    if (m.count != src.count) ok = false;
    return m;
}

}  // namespace

extern "C" int nvx_config_copy(NVXConfig* dst, const NVXConfig* src, char** err) {
    if (!dst || !src) return nvx::fail(err, "nvx_config_copy: no record to copy from or into");
    if (dst == src) return nvx::fail(err, "nvx_config_copy: a record cannot be copied onto itself");
    // Plain fields (numbers, flags, the data directory, the borrowed hooks) by value; every owned
    // pointer is then replaced by a private duplicate.
    std::memcpy(dst, src, sizeof *dst);
    bool ok = true;
    for (size_t i = 0; i < nvx::FIELD_TABLE_SIZE; ++i) {
        const nvx::FieldSpec& f = nvx::FIELD_TABLE[i];
        if (f.kind != nvx::FieldKind::StringOrNone) continue;
        char** slot = reinterpret_cast<char**>(reinterpret_cast<char*>(dst) + f.offset);
        if (!*slot) continue;
        *slot = nvx::dup_cstr(*slot);
        ok = ok && *slot;
    }
    dst->p_map = dup_map(src->p_map, ok);
    dst->delta_map = dup_map(src->delta_map, ok);
    dst->nuclides = dup_array(src->nuclides, src->n_nuclides, ok);
    if (!dst->nuclides) dst->n_nuclides = 0;
    dst->extra_rho_T = dup_array(src->extra_rho_T, src->extra_rho_n, ok);
    dst->extra_rho_val = dup_array(src->extra_rho_val, src->extra_rho_n, ok);
    if (!dst->extra_rho_T || !dst->extra_rho_val) dst->extra_rho_n = 0;
    if (!ok) {
        nvx_config_free(dst);
        return nvx::fail(err, "nvx_config_copy: out of memory");
    }
    return 0;
}
