// Input-file notes of stage builds: a thread-local recorder that the readers and path resolvers
// report to, and the hash that later compares a file's content with the one a stage was built from.
#include "config/file_inputs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace nvx::inputs {

namespace {

thread_local Recorder* t_recorder = nullptr;

// The hashes of bytes already read in this process, by path, with the identity the file had before
// that read: a stage written later hashes its inputs from here instead of reading them again. Only
// files whose modification lies well before the read are remembered (within one tick of the file
// system's clock an edit can leave the identity unchanged).
constexpr int64_t kRacyWindowNs = 2000000000;
struct Known {
    FileId id;
    uint64_t hash;
};
std::mutex g_known_mutex;
std::map<std::string, Known> g_known;

void remember(const char* path, const FileId& id, uint64_t hash) {
    if (!id.exists || id.mtime_ns + kRacyWindowNs >= now_ns()) return;
    std::lock_guard<std::mutex> lock(g_known_mutex);
    g_known[path] = Known{id, hash};
}

bool recall(const char* path, const FileId& id, uint64_t* hash) {
    std::lock_guard<std::mutex> lock(g_known_mutex);
    const auto it = g_known.find(path);
    if (it == g_known.end() || !(it->second.id == id)) return false;
    *hash = it->second.hash;
    return true;
}

Note* find(Recorder* r, const char* path) {
    for (Note& n : r->notes)
        if (n.path == path) return &n;
    return nullptr;
}

void note(const char* path, bool replace) {
    Recorder* r = t_recorder;
    if (!r || !path || !*path) return;
    Note* n = find(r, path);
    if (n) {
        if (replace) {
            n->id = FileId::of(path);
            n->hashed = false;
        }
        return;
    }
    r->notes.push_back(Note{path, FileId::of(path)});
}

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ULL, kP2 = 0xC2B2AE3D27D4EB4FULL, kP3 = 0x165667B19E3779F9ULL;

inline uint64_t load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t lane(uint64_t acc, uint64_t w) { return rotl(acc + w * kP2, 31) * kP1; }

}  // namespace

FileId FileId::of(const char* path) {
    FileId id;
    struct stat st;
    if (!path || ::stat(path, &st) != 0) return id;
    id.exists = true;
    id.dev = uint64_t(st.st_dev);
    id.ino = uint64_t(st.st_ino);
    id.size = int64_t(st.st_size);
    id.mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

Recording::Recording(Recorder* recorder) : previous_(t_recorder) {
    if (recorder && recorder->started_ns == 0) recorder->started_ns = now_ns();
    t_recorder = recorder;
}

Recording::~Recording() { t_recorder = previous_; }

void read(const char* path) { note(path, false); }

void content(const char* path, const void* data, size_t n) {
    Recorder* r = t_recorder;
    if (!r || !path) return;
    Note* nt = find(r, path);
    if (nt && !nt->hashed) {
        nt->hash = hash64(data, n);
        nt->hashed = true;
        remember(path, nt->id, nt->hash);
    }
}
void probe(const char* path) { note(path, false); }
void wrote(const char* path) { note(path, true); }

// Four independent lanes over 32-byte blocks, then the tail, then an avalanche (the structure of
// the xxHash64 family): a few cycles per kilobyte, and every input bit reaches every output bit.
uint64_t hash64(const void* data, size_t n, uint64_t seed) {
    const auto* p = static_cast<const unsigned char*>(data);
    const unsigned char* end = p + n;
    uint64_t h;
    if (n >= 32) {
        uint64_t a = seed + kP1 + kP2, b = seed + kP2, c = seed, d = seed - kP1;
        for (; p + 32 <= end; p += 32) {
            a = lane(a, load64(p));
            b = lane(b, load64(p + 8));
            c = lane(c, load64(p + 16));
            d = lane(d, load64(p + 24));
        }
        h = rotl(a, 1) + rotl(b, 7) + rotl(c, 12) + rotl(d, 18);
        for (uint64_t v : {a, b, c, d}) h = (h ^ lane(0, v)) * kP1 + kP3;
    } else {
        h = seed + kP3;
    }
    h += uint64_t(n);
    for (; p + 8 <= end; p += 8) h = rotl(h ^ lane(0, load64(p)), 27) * kP1 + kP2;
    for (; p < end; ++p) h = rotl(h ^ (uint64_t(*p) * kP3), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

bool hash_file(const char* path, uint64_t* out) {
    if (recall(path, FileId::of(path), out)) return true;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string bytes(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t r = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (r < 0) {
            ::close(fd);
            return false;
        }
        if (r == 0) break;
        got += size_t(r);
    }
    ::close(fd);
    bytes.resize(got);
    *out = hash64(bytes.data(), bytes.size());
    return true;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace nvx::inputs
