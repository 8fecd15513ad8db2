// Content hashes of input files for cache fingerprints: SHA-256 of the bytes, remembered per file
// identity (device, inode, size, modification and change times) so a run hashes each file once.
#include <sys/stat.h>

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "nuvex/cache.h"
#include "config/file_inputs.hpp"

namespace {

struct Identity {
    dev_t dev;
    ino_t ino;
    off_t size;
    long long mtime_ns, ctime_ns;
    bool operator==(const Identity& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns;
    }
};

struct Memo {
    Identity id;
    const char* hash;
};

std::mutex g_mutex;
std::map<std::string, Memo> g_memo;
// Append-only, so every pointer handed out stays valid for the process (fingerprints borrow it).
std::deque<std::string> g_texts;

std::string hash_bytes(const std::string& path, bool& ok) {
    ok = false;
    nvx::inputs::read(path.c_str());
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return "";
    std::string bytes;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) bytes.append(buf, n);
    ok = !std::ferror(fp);
    std::fclose(fp);
    if (!ok) return "";
    nvx::inputs::content(path.c_str(), bytes.data(), bytes.size());  // spares the stage's snapshot a read
    unsigned char digest[32];
    nvx_sha256(bytes.data(), bytes.size(), digest);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

}  // namespace

extern "C" const char* nvx_file_content_hash(const char* path) {
    if (!path || !*path) return nullptr;
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const Identity id{st.st_dev, st.st_ino, st.st_size,
                      (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                      (long long)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_memo.find(path);
        if (it != g_memo.end() && it->second.id == id) return it->second.hash;
    }
    bool ok = false;
    const std::string hex = hash_bytes(path, ok);
    if (!ok) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_texts.push_back(hex);
    g_memo[path] = Memo{id, g_texts.back().c_str()};
    return g_texts.back().c_str();
}
