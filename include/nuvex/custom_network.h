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

/* Appends a removed name / an entry (copying the rows); 0, or 1 on allocation failure or (removed
 * names) a name longer than NVX_RXN_NAME_LEN - 1 characters. */
NVX_API int nvx_custom_network_add_removed(NVXCustomNetwork* net, const char* name);
NVX_API int nvx_custom_network_add_entry(NVXCustomNetwork* net, const char* name, const double* c1,
                                         const double* c2, const double* c3, size_t n_rows);
/* Parses rate-table text into a new entry: per line "T9 rate [factor]" ('#' comment lines, text after
 * the third number ignored, a missing factor stored as 0). Returns 0; 1 with a message naming the
 * reaction and line for a name that does not fit, a line whose numbers do not parse, or no data row;
 * 2 on allocation failure. */
NVX_API int nvx_custom_network_parse_entry(NVXCustomNetwork* net, const char* name, const char* text, char** err);
/* The same without the message: 0, 1 for any refused input, 2 on allocation failure. */
NVX_API int nvx_custom_network_add_entry_text(NVXCustomNetwork* net, const char* name, const char* text);
/* Releases everything and leaves an empty record (safe twice). */
NVX_API void free_custom_network(NVXCustomNetwork* net);

NVX_END_DECLS

#endif
