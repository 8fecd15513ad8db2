// The files a stage of a run reads (and the paths it looks at) while it is built, noted with their
// identity on disk, so that a kept copy of the stage can tell later whether any of them changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvx::inputs {

// What stat() says about a path: enough to notice a rewrite, a replacement or a removal.
struct FileId {
    bool exists = false;
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtime_ns = 0, ctime_ns = 0;
    static FileId of(const char* path);
    bool operator==(const FileId&) const = default;
};

struct Note {
    std::string path;
    FileId id;            // before the first read (or after this stage's own write)
    bool hashed = false;  // `hash` holds hash64 of the bytes read
    uint64_t hash = 0;
};

// The notes of one stage build, one per path, in the order first seen.
struct Recorder {
    std::vector<Note> notes;
    int64_t started_ns = 0;  // wall clock when the recording began
};

// Makes `recorder` this thread's recorder for the object's lifetime (the previous one, if any, is
// restored afterwards). Without a recorder the functions below do nothing.
class Recording {
public:
    explicit Recording(Recorder* recorder);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

private:
    Recorder* previous_;
};

void read(const char* path);   // the file is about to be read
// The bytes just read from a file announced by read(): their hash spares reading it again later.
void content(const char* path, const void* data, size_t n);
void probe(const char* path);  // the path is looked at while a file name is resolved (may not exist)
void wrote(const char* path);  // the stage has just written the file (a cache of its own)

// 64-bit hash of bytes (not cryptographic: tells changed contents and damaged files apart).
uint64_t hash64(const void* data, size_t n, uint64_t seed = 0);
// hash64 of a file's bytes; false when it cannot be read.
bool hash_file(const char* path, uint64_t* out);
// Nanoseconds of the wall clock.
int64_t now_ns();

}  // namespace nvx::inputs
