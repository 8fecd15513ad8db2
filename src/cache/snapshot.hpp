// Stage snapshots: a built stage of a run as one binary file in the cache directory, named by the
// fingerprint of what built it, read back in one call and checked before use. Text tables stay the
// source of truth; a snapshot only spares a later process the parsing and computing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/file_inputs.hpp"

namespace nvx::snapshot {

// Bump when the layout of a snapshot changes. The library's build identity is part of every
// fingerprint besides, so a rebuilt library never reads the snapshots of another build.
constexpr uint32_t kFormatVersion = 1;

// Serialised fields of a stage, appended in a fixed order.
class Writer {
public:
    void u32(uint32_t v) { raw(&v, sizeof v); }
    void u64(uint64_t v) { raw(&v, sizeof v); }
    void i64(int64_t v) { raw(&v, sizeof v); }
    void f64(double v) { raw(&v, sizeof v); }
    void text(const std::string& s) {
        u64(s.size());
        raw(s.data(), s.size());
    }
    // An array with its count; a null array counts as empty.
    template <typename T>
    void array(const T* p, size_t n) {
        u64(p ? n : 0);
        if (p && n) raw(p, n * sizeof(T));
    }
    void raw(const void* p, size_t n) { bytes_.append(static_cast<const char*>(p), n); }
    const std::string& bytes() const { return bytes_; }
    std::string& bytes() { return bytes_; }

private:
    std::string bytes_;
};

// Reads what a Writer wrote. Any overrun or impossible count turns ok() false and yields zeros,
// so a damaged snapshot is refused as a whole rather than read in part.
class Reader {
public:
    Reader(const char* data, size_t size) : p_(data), end_(data + size) {}
    explicit Reader(std::string_view bytes) : Reader(bytes.data(), bytes.size()) {}
    bool ok() const { return ok_; }
    bool at_end() const { return p_ == end_; }
    uint32_t u32() { return scalar<uint32_t>(); }
    // A yes/no field: anything but 0 or 1 is malformed.
    bool flag() {
        const uint32_t v = u32();
        if (v > 1) ok_ = false;
        return v == 1;
    }
    uint64_t u64() { return scalar<uint64_t>(); }
    int64_t i64() { return scalar<int64_t>(); }
    double f64() { return scalar<double>(); }
    std::string text() { return std::string(view()); }
    // The bytes of a text in place (valid while the underlying buffer is).
    std::string_view view() {
        const uint64_t n = u64();
        if (!take(n)) return {};
        return std::string_view(p_ - n, size_t(n));
    }
    // A malloc'd copy (nullptr when empty) and its count; with `expect`, the count must be that.
    template <typename T>
    // `expect` is the count a record read before says the array holds; none when the array carries
    // its own (a count of 2^64 - 1 read from a damaged file must not pass as "no expectation")
    T* array(size_t* n_out, std::optional<size_t> expect = std::nullopt) {
        const uint64_t n = u64();
        if (expect && n != *expect) ok_ = false;
        if (!ok_ || n > uint64_t(end_ - p_) / sizeof(T) || !take(n * sizeof(T))) {
            ok_ = false;
            if (n_out) *n_out = 0;
            return nullptr;
        }
        if (n_out) *n_out = size_t(n);
        if (n == 0) return nullptr;
        T* out = static_cast<T*>(std::malloc(size_t(n) * sizeof(T)));
        if (!out) {
            ok_ = false;
            return nullptr;
        }
        std::memcpy(out, p_ - n * sizeof(T), size_t(n) * sizeof(T));
        return out;
    }
    template <typename T>
    std::vector<T> vector() {
        size_t n = 0;
        T* p = array<T>(&n);
        std::vector<T> v(p, p + n);
        std::free(p);
        return v;
    }
    void fail() { ok_ = false; }

private:
    template <typename T>
    T scalar() {
        T v{};
        if (take(sizeof v)) std::memcpy(&v, p_ - sizeof v, sizeof v);
        return v;
    }
    bool take(uint64_t n) {
        if (!ok_ || n > uint64_t(end_ - p_)) {
            ok_ = false;
            return false;
        }
        p_ += n;
        return true;
    }
    const char* p_;
    const char* end_;
    bool ok_ = true;
};


// What a snapshot must match: the fingerprint text of its parameters and build, and the content
// identities of the stages it was built on.
struct Identity {
    std::string fingerprint;
    std::vector<uint64_t> deps;
};

enum class Status {
    Ok,       // read and checked: `content` holds the stage
    Missing,  // no snapshot yet
    Stale,    // another configuration's file, or an input changed since: rebuilt silently
    Bad,      // damaged (cut, corrupted, not a snapshot): rebuilt, and the reason is reported
};

// The file of a stage ("plasma", "network", ...) in `dir` for a fingerprint.
std::string path_for(const std::string& dir, const char* stage, const std::string& fingerprint);

// The bytes of a snapshot file read into memory of its own; `content` views the stage's bytes
// inside it for as long as the object lives.
class Mapped {
public:
    Mapped() = default;
    ~Mapped() { reset(); }
    Mapped(const Mapped&) = delete;
    Mapped& operator=(const Mapped&) = delete;
    void reset();
    std::string_view content;

private:
    friend Status load(const std::string&, const struct Identity&, Mapped*, uint64_t*, std::string*);
    void* base_ = nullptr;
    size_t size_ = 0;
};

// Reads the file in one call and checks magic, sizes, checksum, fingerprint, dependencies and the recorded input
// files. On Ok, `out->content` and `content_id` are the stage's; `why` says what was wrong otherwise
// (also for Stale, for the log).
Status load(const std::string& path, const Identity& identity, Mapped* out, uint64_t* content_id, std::string* why);

// Writes the snapshot atomically (a temporary file of this writer renamed into place) after
// checking that every noted input is unchanged since it was noted (a file edited during the build
// gives no snapshot). Never replaces anything but a regular file. 0; 1 with `why` when the snapshot
// is not written on purpose (changed input, something else in its place); 2 when writing failed.
int save(const std::string& path, const Identity& identity, const inputs::Recorder& notes, std::string_view content,
         std::string* why);

// The content identity of serialised stage bytes.
uint64_t content_id(std::string_view content);

// Keeps at most `keep` snapshot files in `dir`, removing the least recently used.
void evict(const std::string& dir, size_t keep);

// Marks a snapshot as used now (its modification time), for the eviction order.
void touch(const std::string& path);

// A text that changes whenever the library is rebuilt: the ELF build identity of the object that
// holds this code, else its path, size and modification time.
const std::string& build_id();

}  // namespace nvx::snapshot
