// Small helpers shared by the C++ test suites: scratch directories and file writing.
// Every test writes below NUVEX_TEST_TMP (or /tmp) so the source tree stays clean.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace nvx_test {

// A fresh directory unique to this process and name.
inline std::string scratch_dir(const std::string& name) {
    const char* base = std::getenv("NUVEX_TEST_TMP");
    std::string root = base && *base ? base : "/tmp/nuvex_test";
    ::mkdir(root.c_str(), 0755);
    std::string dir = root + "/" + name + "." + std::to_string(::getpid());
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) return dir;
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace nvx_test
