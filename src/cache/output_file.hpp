// Output files that appear only when complete: rows go to a temporary file private to the writer,
// which is renamed onto the target at the end; a failed write leaves the previous file untouched.
#pragma once

#include <cstdio>
#include <string>

namespace nvx {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the missing folders (unless make_dirs is false) and opens the temporary file (or, for
    // a target that exists and is not a regular file such as /dev/stdout, the target itself).
    // False when that fails.
    bool open(const char* path, bool make_dirs = true);
    FILE* get() const { return fp_; }
    // Closes and renames into place; false (and nothing changed at the target) on any write error.
    bool commit();

private:
    void discard();
    FILE* fp_ = nullptr;
    std::string path_, tmp_;
    bool direct_ = false;
};

}  // namespace nvx
