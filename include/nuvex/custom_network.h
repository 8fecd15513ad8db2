/* Override of the reaction network handed to a run: removed reaction names and replacement or
 * added reactions with their rate tables (T9, rate, uncertainty factor rows). */
#ifndef NUVEX_CUSTOM_NETWORK_H
#define NUVEX_CUSTOM_NETWORK_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

typedef struct NVXCustomEntry {
    char name[NVX_RXN_NAME_LEN];
    double* col1; /* T9 */
    double* col2; /* rate */
    double* col3; /* 1-sigma uncertainty factor (0 when the row gave none) */
    size_t n_rows;
} NVXCustomEntry;

typedef struct NVXCustomNetwork {
    char (*removed)[NVX_RXN_NAME_LEN];
    size_t n_removed;
    NVXCustomEntry* entries; /* "replaced" entries first, then "added" */
    size_t n_entries;
} NVXCustomNetwork;

/* Appends a removed name / an entry (copying the rows); 0 or 1 on allocation failure. */
NVX_API int nvx_custom_network_add_removed(NVXCustomNetwork* net, const char* name);
NVX_API int nvx_custom_network_add_entry(NVXCustomNetwork* net, const char* name, const double* c1,
                                         const double* c2, const double* c3, size_t n_rows);
/* Parses rate-table text (two or three numbers per line, '#' comments); rows appended to an entry.
 * Returns 0, 1 when no data row was found, 2 on allocation failure. */
NVX_API int nvx_custom_network_add_entry_text(NVXCustomNetwork* net, const char* name, const char* text);
/* Releases everything and leaves an empty record (safe twice). */
NVX_API void free_custom_network(NVXCustomNetwork* net);

NVX_END_DECLS

#endif
