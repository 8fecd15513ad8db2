// Snapshot files: a fixed header (magic, version, sizes, checksums), the identity the snapshot was
// built under, the noted input files, then the stage's bytes; written aside and renamed into place.
#include "cache/snapshot.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "config/err.hpp"
#include "nuvex/cache.h"

namespace nvx::snapshot {

namespace {

constexpr char kMagic[8] = {'N', 'V', 'X', 'S', 'N', 'A', 'P', '\n'};
constexpr const char* kSuffix = ".snap";
// Inputs modified this close to the recording may have changed again within one tick of the file
// system's clock without changing their time stamps: their content is compared at every use.
constexpr int64_t kRacyWindowNs = 2000000000;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint64_t payload_size;
    uint64_t payload_hash;
    uint64_t content_id;
};

std::atomic<unsigned long> g_counter{0};

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

void put_note(Writer& w, const inputs::Note& n, uint64_t hash, int64_t recorded_ns) {
    w.text(n.path);
    w.u32(n.id.exists ? 1 : 0);
    w.u64(n.id.dev);
    w.u64(n.id.ino);
    w.i64(n.id.size);
    w.i64(n.id.mtime_ns);
    w.i64(n.id.ctime_ns);
    w.u64(hash);
    w.i64(recorded_ns);
}

// Whether a noted input is still what the stage was built from: the same identity on disk, or, when
// the identity moved (a copy, a checkout) or could hide a change (racy), the same bytes.
bool input_unchanged(const std::string& path, const inputs::FileId& noted, uint64_t hash, int64_t recorded_ns,
                     std::string* why) {
    const inputs::FileId now = inputs::FileId::of(path.c_str());
    if (!noted.exists) {
        if (!now.exists) return true;
        *why = strprintf("%s appeared since the snapshot was written", path.c_str());
        return false;
    }
    if (!now.exists) {
        *why = strprintf("%s is gone", path.c_str());
        return false;
    }
    const bool racy = noted.mtime_ns + kRacyWindowNs >= recorded_ns;
    if (now == noted && !racy) return true;
    uint64_t h = 0;
    if (inputs::hash_file(path.c_str(), &h) && h == hash) return true;
    *why = strprintf("%s changed", path.c_str());
    return false;
}

}  // namespace

std::string path_for(const std::string& dir, const char* stage, const std::string& fingerprint) {
    char* hash = nvx_sha256_hex16(fingerprint.c_str());
    std::string path = dir + "/" + stage + "-" + (hash ? hash : "0") + kSuffix;
    std::free(hash);
    return path;
}

uint64_t content_id(std::string_view content) { return inputs::hash64(content.data(), content.size(), 0x6e7678); }

void Mapped::reset() {
    if (base_) ::munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    content = {};
}

Status load(const std::string& path, const Identity& identity, Mapped* out, uint64_t* id, std::string* why) {
    out->reset();
    // non-blocking: a FIFO put where a snapshot belongs must not stop the run; not following a
    // link: snapshots are only ever regular files written here, and one that is not would be read
    // every run while the writer, which never replaces it, leaves it standing
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Status::Missing;
        if (errno == ELOOP) {
            *why = "a symbolic link, not a regular file";
            return Status::Bad;
        }
        *why = strprintf("cannot be opened (%s)", std::strerror(errno));
        return Status::Bad;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *why = "not a readable regular file";
        return Status::Bad;
    }
    // A private copy read in one call into memory whose pages are all provided at once (no fault per
    // page); a mapping of the file itself would fault (SIGBUS) if another process cut it meanwhile.
    size_t size = size_t(st.st_size);
    void* base = size > 0 ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                                   -1, 0)
                          : nullptr;
    if (base == MAP_FAILED) {
        ::close(fd);
        *why = strprintf("cannot be read (%s)", std::strerror(errno));
        return Status::Bad;
    }
    out->base_ = base;
    out->size_ = size;
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(base) + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fd);
    size = got;  // a file cut meanwhile reads short, and fails the size check below
    const char* bytes = static_cast<const char*>(out->base_);
    Header h{};
    if (size >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
        *why = "not a snapshot file";
        return Status::Bad;
    }
    if (size < sizeof h) {
        *why = "cut short";
        return Status::Bad;
    }
    std::memcpy(&h, bytes, sizeof h);
    if (h.version != kFormatVersion || h.header_size != sizeof h) {
        *why = strprintf("written in format %u by another version", h.version);
        return Status::Stale;
    }
    if (h.payload_size != size - sizeof h) {
        *why = strprintf("%zu bytes instead of the %" PRIu64 " recorded", size - sizeof h, h.payload_size);
        return Status::Bad;
    }
    const char* payload = bytes + sizeof h;
    if (inputs::hash64(payload, size_t(h.payload_size), h.content_id) != h.payload_hash) {
        *why = "the bytes do not match their checksum (corrupted)";
        return Status::Bad;
    }
    Reader r(payload, size_t(h.payload_size));
    const std::string_view fingerprint = r.view();
    const std::vector<uint64_t> deps = r.vector<uint64_t>();
    const uint64_t n_notes = r.u64();
    if (!r.ok()) {
        *why = "malformed header";
        return Status::Bad;
    }
    if (fingerprint != identity.fingerprint) {
        *why = "written for another configuration";
        return Status::Stale;
    }
    if (deps != identity.deps) {
        *why = "built on other tables";
        return Status::Stale;
    }
    for (uint64_t i = 0; i < n_notes; ++i) {
        const std::string p(r.view());
        inputs::FileId noted;
        noted.exists = r.u32() != 0;
        noted.dev = r.u64();
        noted.ino = r.u64();
        noted.size = r.i64();
        noted.mtime_ns = r.i64();
        noted.ctime_ns = r.i64();
        const uint64_t hash = r.u64();
        const int64_t recorded = r.i64();
        if (!r.ok()) {
            *why = "malformed list of input files";
            return Status::Bad;
        }
        if (!input_unchanged(p, noted, hash, recorded, why)) return Status::Stale;
    }
    // the checksum above covers the content; its identity is the one recorded
    const std::string_view body = r.view();
    if (!r.ok() || !r.at_end()) {
        *why = "malformed content";
        return Status::Bad;
    }
    out->content = body;
    *id = h.content_id;
    return Status::Ok;
}

int save(const std::string& path, const Identity& identity, const inputs::Recorder& notes, std::string_view content,
         std::string* why) {
    Writer w;
    w.text(identity.fingerprint);
    w.array(identity.deps.data(), identity.deps.size());
    w.u64(notes.notes.size());
    for (const inputs::Note& n : notes.notes) {
        // the input must still be the file that was read: otherwise the stage may not match it
        if (!(inputs::FileId::of(n.path.c_str()) == n.id)) {
            *why = strprintf("%s changed while the stage was built", n.path.c_str());
            return 1;
        }
        uint64_t hash = n.hash;
        if (n.id.exists && !n.hashed && !inputs::hash_file(n.path.c_str(), &hash)) {
            *why = strprintf("%s cannot be read", n.path.c_str());
            return 1;
        }
        put_note(w, n, hash, notes.started_ns);
    }
    w.u64(content.size());
    w.raw(content.data(), content.size());
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kFormatVersion;
    h.header_size = sizeof h;
    h.payload_size = w.bytes().size();
    h.content_id = content_id(content);
    // the checksum covers the recorded content identity too (seeded with it)
    h.payload_hash = inputs::hash64(w.bytes().data(), w.bytes().size(), h.content_id);

    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = strprintf("%s exists and is not a regular file; it is left alone", path.c_str());
        return 1;
    }
    const std::string tmp = strprintf("%s.tmp.%d.%lu", path.c_str(), int(getpid()), g_counter.fetch_add(1));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = strprintf("cannot create %s: %s", tmp.c_str(), std::strerror(errno));
        return 2;
    }
    const bool written = write_all(fd, reinterpret_cast<const char*>(&h), sizeof h) &&
                         write_all(fd, w.bytes().data(), w.bytes().size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        *why = strprintf("cannot write %s: %s", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return 2;
    }
    return 0;
}

void touch(const std::string& path) {
    struct stat st;
    // once a minute at most: the order of eviction needs no finer clock, and a write costs more
    if (::stat(path.c_str(), &st) == 0 && st.st_mtim.tv_sec + 60 < time(nullptr)) ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
}

void evict(const std::string& dir, size_t keep) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    struct Entry {
        std::string path;
        int64_t mtime_ns;
    };
    std::vector<Entry> files;
    while (const dirent* e = ::readdir(d)) {
        const size_t len = std::strlen(e->d_name);
        const size_t suffix = std::strlen(kSuffix);
        if (len <= suffix || std::strcmp(e->d_name + len - suffix, kSuffix) != 0) continue;
        const std::string p = dir + "/" + e->d_name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back({p, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
    ::closedir(d);
    if (files.size() <= keep) return;
    std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) { return a.mtime_ns > b.mtime_ns; });
    for (size_t i = keep; i < files.size(); ++i) std::remove(files[i].path.c_str());
}

namespace {

struct Found {
    uintptr_t address;
    std::string id;
};

int find_build_id(dl_phdr_info* info, size_t, void* data) {
    auto* f = static_cast<Found*>(data);
    bool mine = false;
    for (int i = 0; i < info->dlpi_phnum && !mine; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        mine = f->address >= lo && f->address < lo + ph.p_memsz;
    }
    if (!mine) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        const char* p = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
        const char* end = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            const auto* nh = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const char* name = p + sizeof *nh;
            const char* desc = name + ((nh->n_namesz + 3) & ~3u);
            if (nh->n_type == NT_GNU_BUILD_ID && nh->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                desc + nh->n_descsz <= end) {
                static const char* hex = "0123456789abcdef";
                for (unsigned k = 0; k < nh->n_descsz; ++k) {
                    f->id += hex[static_cast<unsigned char>(desc[k]) >> 4];
                    f->id += hex[static_cast<unsigned char>(desc[k]) & 15];
                }
                return 1;
            }
            p = desc + ((nh->n_descsz + 3) & ~3u);
        }
    }
    return 1;
}

}  // namespace

const std::string& build_id() {
    static std::string id;
    static std::once_flag once;
    std::call_once(once, [] {
        Found f{reinterpret_cast<uintptr_t>(&build_id), {}};
        dl_iterate_phdr(find_build_id, &f);
        if (!f.id.empty()) {
            id = "gnu:" + f.id;
            return;
        }
        Dl_info info{};
        struct stat st;
        if (dladdr(reinterpret_cast<void*>(&build_id), &info) && info.dli_fname && ::stat(info.dli_fname, &st) == 0)
            id = strprintf("file:%s:%lld:%lld.%09ld", info.dli_fname, static_cast<long long>(st.st_size),
                           static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
        else
            id = "unknown";
    });
    return id;
}

}  // namespace nvx::snapshot
