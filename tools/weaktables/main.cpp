// Computes the weak n<->p rate table and its thermal corrections for the default parameters of a
// data directory, on the grid of the default background, with the library's own integrals and
// that directory's decoupling tables, and writes them (named by their fingerprints) into
// OUTPUT_DIR after removing older ones there.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "background/bg_internal.hpp"
#include "nuvex/config.h"
#include "nuvex/neutrino.h"
#include "nuvex/plasma.h"
#include "weak/weak_internal.hpp"

namespace {

int fail(const char* what, char* err) {
    std::fprintf(stderr, "nuvex_weaktables: %s: %s\n", what, err ? err : "failed");
    std::free(err);
    return 1;
}

// Tables of an earlier configuration or code would linger in the shipped folder: remove them.
void remove_old_tables(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> old;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("nTOp_", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".txt")
            old.push_back(dir + "/" + name);
    }
    closedir(d);
    for (const std::string& p : old) ::unlink(p.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: nuvex_weaktables DATA_DIR OUTPUT_DIR\n");
        return 2;
    }
    NVXConfig cfg;
    char* err = nullptr;
    if (nvx_config_init_defaults(&cfg, argv[1], &err) || nvx_config_validate(&cfg, &err))
        return fail("configuration", err);
    cfg.show_progress = 1;
    nvx_plasma plasma{};
    nvx_neutrino_history history{};
    nvx_background bg{};
    if (nvx_plasma_init(&plasma, &cfg, &err)) return fail("plasma", err);
    if (nvx_neutrino_history_init(&history, &cfg, &plasma, &err)) return fail("neutrino history", err);
    // the grid a run computes its weak rates on: the background's final tables
    if (nvx::bg::build_standard_tables(&bg, &cfg, &plasma, &history, &err)) return fail("background", err);
    remove_old_tables(argv[2]);
    std::string written;
    const int rc = nvx::weak::write_shipped_tables(&cfg, bg.T, bg.Tnue, bg.n, &history, argv[2], &written, &err);
    nvx_background_free(&bg);
    nvx_neutrino_history_free(&history);
    nvx_plasma_free(&plasma);
    nvx_config_free(&cfg);
    if (rc) return fail("tables", err);
    std::printf("[output] weak-rate tables written:\n%s", written.c_str());
    return 0;
}
