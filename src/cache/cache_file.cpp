// Cache files: fingerprint header, rows of "%.18e" values, written to a temporary file private to
// the writer and renamed into place, so readers never see a half-written table.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cache/output_file.hpp"
#include "config/err.hpp"
#include "nuvex/cache.h"

namespace nvx {
std::string fingerprint_json(const NVXFingerprintEntry* entries, size_t count);
}

namespace {

bool write_body(FILE* fp, const std::string& json, const char* hash, const char* header,
                const double* const* columns, size_t n_columns, size_t n_rows, const char* provenance) {
    if (header && *header && std::fprintf(fp, "# %s\n", header) < 0) return false;
    if (std::fprintf(fp, "# fingerprint_hash: %s\n# fingerprint: %s\n", hash, json.c_str()) < 0) return false;
    if (provenance && *provenance && std::fprintf(fp, "# provenance: %s\n", provenance) < 0) return false;
    for (size_t r = 0; r < n_rows; ++r) {
        for (size_t c = 0; c < n_columns; ++c)
            if (std::fprintf(fp, c ? " %.18e" : "%.18e", columns[c][r]) < 0) return false;
        if (std::fputc('\n', fp) == EOF) return false;
    }
    return true;
}

}  // namespace

extern "C" {

int nvx_cache_write(const char* path, const NVXFingerprintEntry* entries, size_t count, const char* header,
                    const double* const* columns, size_t n_columns, size_t n_rows, const char* provenance) {
    if (!path) return 1;
    std::string json = nvx::fingerprint_json(entries, count);
    char* hash = nvx_sha256_hex16(json.c_str());
    if (!hash) return 1;
    // the cache's folder is the caller's business: an absent one is a failed write
    nvx::OutputFile out;
    const bool written = out.open(path, false) &&
                         write_body(out.get(), json, hash, header, columns, n_columns, n_rows, provenance);
    std::free(hash);
    return written && out.commit() ? 0 : 1;
}

char* nvx_cache_read_fingerprint_hash(const char* path) {
    FILE* fp = path ? std::fopen(path, "r") : nullptr;
    if (!fp) return nullptr;
    char line[2048];
    char* out = nullptr;
    while (std::fgets(line, sizeof line, fp)) {
        if (line[0] != '#') break;
        const char* tag = "# fingerprint_hash:";
        if (std::strncmp(line, tag, std::strlen(tag)) != 0) continue;
        const char* v = line + std::strlen(tag);
        while (*v == ' ') ++v;
        size_t n = std::strlen(v);
        while (n > 0 && (v[n - 1] == '\n' || v[n - 1] == '\r' || v[n - 1] == ' ')) --n;
        std::string value(v, n);
        out = nvx::dup_cstr(value.c_str());
        break;
    }
    std::fclose(fp);
    return out;
}

int nvx_mkdirs(const char* dir) {
    if (!dir || !*dir) return 1;
    std::string path = dir;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return 1;
    }
    struct stat st;
    return (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : 1;
}

int nvx_mkdirs_for_file(const char* path) {
    if (!path) return 1;
    const char* slash = std::strrchr(path, '/');
    if (!slash || slash == path) return 0;
    std::string dir(path, static_cast<size_t>(slash - path));
    return nvx_mkdirs(dir.c_str());
}

}  // extern "C"
