/* Fingerprints of cached tables (canonical JSON and a SHA-256 based hash) and the cache file
 * format with atomic replacement. */
#ifndef NUVEX_CACHE_H
#define NUVEX_CACHE_H

#include "nuvex/config.h"
#include "nuvex/numerics.h"

NVX_BEGIN_DECLS

typedef struct NVXFingerprintEntry {
    const char* key;
    NVXParam value;
} NVXFingerprintEntry;

/* Cache-format versions, recorded as "format_version" in each fingerprint. Bump the version of a
 * table whenever the code that computes or writes it changes (physics, grid, columns, format):
 * caches written by an older build then no longer match and are recomputed. */
#define NVX_CACHE_VERSION_ELECTRON 2
#define NVX_CACHE_VERSION_WEAK 3
#define NVX_CACHE_VERSION_THERMAL 2

/* Besides the parameters of a table, the fingerprints hold the SHA-256 of every input file the
 * table depends on (decoupling tables, QED tables, a custom background), so an edited or
 * regenerated file invalidates the cache whatever its name. */
#define NVX_WEAK_FINGERPRINT_LEN 26
#define NVX_THERMAL_FINGERPRINT_LEN 17
#define NVX_ELECTRON_FINGERPRINT_LEN 3

/* SHA-256 of a regular file's bytes as 64 hex digits, remembered per file identity (device,
 * inode, size, times); the text stays valid for the life of the process. NULL when unreadable. */
NVX_API const char* nvx_file_content_hash(const char* path);

/* Canonical JSON text (malloc'd). */
NVX_API char* nvx_fingerprint_json(const NVXFingerprintEntry* entries, size_t count);
/* First 8 bytes of SHA-256 of the text as 16 lower-case hex digits (malloc'd). */
NVX_API char* nvx_sha256_hex16(const char* text);
/* Full SHA-256 digest of n bytes. */
NVX_API void nvx_sha256(const void* data, size_t n, unsigned char digest[32]);
/* nvx_sha256_hex16 of nvx_fingerprint_json (malloc'd). */
NVX_API char* nvx_fingerprint_hash(const NVXFingerprintEntry* entries, size_t count);

/* Fill the caller's array (NVX_*_FINGERPRINT_LEN entries); strings are borrowed from the record
 * and from nvx_file_content_hash. */
NVX_API size_t nvx_weak_rate_fingerprint(const NVXConfig* config, NVXFingerprintEntry* entries);
NVX_API size_t nvx_thermal_fingerprint(const NVXConfig* config, NVXFingerprintEntry* entries);
NVX_API size_t nvx_electron_fingerprint(const NVXConfig* config, NVXFingerprintEntry* entries);

/* Writes the cache file atomically (temporary file of this writer, then rename); 0 or 1.
 * `columns` holds n_columns arrays of n_rows doubles; header and provenance may be NULL or "". */
NVX_API int nvx_cache_write(const char* path, const NVXFingerprintEntry* entries, size_t count,
                            const char* header, const double* const* columns, size_t n_columns,
                            size_t n_rows, const char* provenance);
/* Reads the rows of a cache file written by nvx_cache_write after checking its header: the
 * recorded fingerprint hash must equal expected_hash (unless NULL) and the rows must match the
 * "# data_sha256:" checksum of the header. 0, or 1 with a message (the table left empty). */
NVX_API int nvx_cache_read_table(const char* path, const char* expected_hash, size_t n_columns,
                                 NVXTable* table, char** err);
/* The hash recorded in a cache file's header (malloc'd), or NULL. */
NVX_API char* nvx_cache_read_fingerprint_hash(const char* path);

/* Creates every missing directory of `dir` (mode 0755); 0 when it exists afterwards. */
NVX_API int nvx_mkdirs(const char* dir);
/* Creates the missing directories of the folder that holds `path`. */
NVX_API int nvx_mkdirs_for_file(const char* path);

NVX_END_DECLS

#endif
