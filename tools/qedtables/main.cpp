// Computes the QED plasma-pressure correction tables (500 points, 1 keV to 100 MeV) with the
// library's own integrals and writes the e2/e3 table pair into the given directory.
#include <cstdio>
#include <cstdlib>

#include "nuvex/constants.h"
#include "nuvex/plasma.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: nuvex_qedtables OUTPUT_DIR\n");
        return 2;
    }
    nvx_constants_init();
    nvx_qed_tables tables{};
    char* err = nullptr;
    if (nvx_qed_compute_tables(500, &tables, &err, 0.001, 100.0, g_const[NVX_C_alpha_fs], g_const[NVX_C_m_e]) ||
        nvx_qed_save_tables(&tables, argv[1], &err)) {
        std::fprintf(stderr, "nuvex_qedtables: %s\n", err ? err : "failed");
        std::free(err);
        nvx_qed_tables_free(&tables);
        return 1;
    }
    nvx_qed_tables_free(&tables);
    std::printf("[output] QED pressure tables written to %s\n", argv[1]);
    return 0;
}
