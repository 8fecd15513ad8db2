// Small helpers shared by the C++ test suites: scratch directories and file writing.
// Every test writes below NUVEX_TEST_TMP (or /tmp) so the source tree stays clean.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// A memory character device (minor 7: full, every write fails with ENOSPC; minor 3: null) made in
// `dir`, so that tests never write to the machine's own /dev. Empty when nodes cannot be made or
// opened there (not root, or a folder mounted nodev): the caller skips.
inline std::string make_device(const std::string& dir, const std::string& name, unsigned minor) {
    const std::string path = dir + "/" + name;
    if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) return "";
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        ::unlink(path.c_str());
        return "";
    }
    ::close(fd);
    return path;
}

inline bool is_char_device(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace nvx_test
