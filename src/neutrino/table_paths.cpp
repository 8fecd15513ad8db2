// Paths of the decoupling tables a configuration reads (main history, spectrum, momentum grid),
// resolved as the history loader resolves them; the cache fingerprints hash their contents.
#include <string>

#include "nuvex/neutrino.h"

namespace {

std::string default_stem(const NVXConfig* c) {
    return std::string(c->solan_file_prefix ? c->solan_file_prefix : "SOLANNUVEX") + (c->QED_corrections ? "" : "_NoQED");
}

void resolve_into(const NVXConfig* c, const char* name, const std::string& def, char* out, size_t size) {
    if (nvx_resolve_solan_path(c, name, def.c_str(), out, size) != 0 && size) out[0] = '\0';
}

}  // namespace

extern "C" void nvx_nu_table_paths(const NVXConfig* c, char* main_path, char* spectral_path, char* grid_path,
                                   size_t size) {
    const std::string stem = default_stem(c);
    resolve_into(c, c->solan_file, stem + "_col_1_7.csv", main_path, size);
    resolve_into(c, c->solan_spectral_file, stem + ".csv", spectral_path, size);
    resolve_into(c, c->solan_grid_file, "SOLANGrid.csv", grid_path, size);
}
