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
#include "config/file_inputs.hpp"
#include "nuvex/cache.h"

namespace nvx {
std::string fingerprint_json(const NVXFingerprintEntry* entries, size_t count);
}

namespace {

constexpr const char* kDataHashTag = "# data_sha256:";
constexpr const char* kHashTag = "# fingerprint_hash:";

// The rows as they are written; their SHA-256 goes into the header so a reader can tell an edited,
// cut or corrupted table from the one that was written.
std::string format_rows(const double* const* columns, size_t n_columns, size_t n_rows) {
    std::string body;
    body.reserve(n_rows * n_columns * 26);
    char buf[40];
    for (size_t r = 0; r < n_rows; ++r) {
        for (size_t c = 0; c < n_columns; ++c) {
            const int len = std::snprintf(buf, sizeof buf, c ? " %.18e" : "%.18e", columns[c][r]);
            body.append(buf, size_t(len));
        }
        body += '\n';
    }
    return body;
}

std::string sha256_hex16_of(const std::string& bytes) {
    unsigned char d[32];
    nvx_sha256(bytes.data(), bytes.size(), d);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) {
        out += hex[d[i] >> 4];
        out += hex[d[i] & 15];
    }
    return out;
}

bool write_body(FILE* fp, const std::string& json, const char* hash, const char* header, const std::string& rows,
                const char* provenance) {
    if (header && *header && std::fprintf(fp, "# %s\n", header) < 0) return false;
    if (std::fprintf(fp, "# fingerprint_hash: %s\n# fingerprint: %s\n", hash, json.c_str()) < 0) return false;
    if (provenance && *provenance && std::fprintf(fp, "# provenance: %s\n", provenance) < 0) return false;
    if (std::fprintf(fp, "%s %s\n", kDataHashTag, sha256_hex16_of(rows).c_str()) < 0) return false;
    return std::fwrite(rows.data(), 1, rows.size(), fp) == rows.size();
}

// Value of a "# tag: value" header line, without blanks and line ends at either end.
std::string header_value(const std::string& line, const char* tag) {
    std::string v = line.substr(std::strlen(tag));
    size_t b = 0, e = v.size();
    while (b < e && v[b] == ' ') ++b;
    while (e > b && (v[e - 1] == '\n' || v[e - 1] == '\r' || v[e - 1] == ' ')) --e;
    return v.substr(b, e - b);
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
    const std::string rows = format_rows(columns, n_columns, n_rows);
    nvx::OutputFile out;
    const bool written = out.open(path, false) && write_body(out.get(), json, hash, header, rows, provenance);
    std::free(hash);
    if (!(written && out.commit())) return 1;
    nvx::inputs::wrote(path);
    return 0;
}

char* nvx_cache_read_fingerprint_hash(const char* path) {
    nvx::inputs::read(path);
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

int nvx_cache_read_table(const char* path, const char* expected_hash, size_t n_columns, NVXTable* table,
                         char** err) {
    if (!table) return nvx::fail(err, "nvx_cache_read_table: no table record");
    *table = NVXTable{};
    nvx::inputs::read(path);
    FILE* fp = path ? std::fopen(path, "rb") : nullptr;
    if (!fp) return nvx::fail(err, "cache file %s: cannot open", path ? path : "(null)");
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
    const bool read_failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (read_failed) return nvx::fail(err, "cache file %s: read error", path);
    nvx::inputs::content(path, text.data(), text.size());
    // header: the leading comment lines
    size_t body = 0;
    std::string stored_hash, data_hash;
    while (body < text.size() && text[body] == '#') {
        size_t nl = text.find('\n', body);
        nl = nl == std::string::npos ? text.size() : nl + 1;
        const std::string line = text.substr(body, nl - body);
        if (line.rfind(kHashTag, 0) == 0) stored_hash = header_value(line, kHashTag);
        if (line.rfind(kDataHashTag, 0) == 0) data_hash = header_value(line, kDataHashTag);
        body = nl;
    }
    if (expected_hash && stored_hash != expected_hash)
        return nvx::fail(err, "cache file %s: fingerprint %s does not match this configuration (%s)", path,
                         stored_hash.empty() ? "(none)" : stored_hash.c_str(), expected_hash);
    const std::string rows = text.substr(body);
    if (data_hash.empty()) return nvx::fail(err, "cache file %s: no data checksum (written by an older build)", path);
    if (sha256_hex16_of(rows) != data_hash)
        return nvx::fail(err, "cache file %s: the rows do not match their checksum (edited, cut or corrupted)", path);
    return nvx_table_parse(rows.data(), rows.size(), path, n_columns, table, err);
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
