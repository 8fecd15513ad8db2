// Helpers shared by the libFuzzer harnesses: a scratch folder private to the process, writing an
// input to a file there, a parameter record on a data folder, and a message hook that drops text.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "nuvex/config.h"

namespace fuzz {

inline const std::string& scratch() {
    static const std::string dir = [] {
        // memory-backed when possible: the harnesses write their input to a file on every run
        const char* base = std::getenv("NUVEX_FUZZ_TMP");
        struct stat st;
        const char* fallback = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
        std::string d = std::string(base && *base ? base : fallback) + "/nuvex_fuzz." + std::to_string(::getpid());
        ::mkdir(d.c_str(), 0755);
        return d;
    }();
    static const struct Cleanup {
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup;
    return dir;
}

inline std::string write(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratch() + "/" + name;
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) std::abort();
    if (size) std::fwrite(data, 1, size, fp);
    std::fclose(fp);
    return path;
}

inline void silent(int, const char*, const char*, void*) {}

// Messages and warnings go nowhere: the harness checks behaviour, not text.
inline const NVXRunHooks* quiet_hooks() {
    static const NVXRunHooks hooks{silent, nullptr, nullptr, nullptr, 0};
    return &hooks;
}

inline bool init_config(NVXConfig& c, const char* data_dir) {
    char* err = nullptr;
    const int rc = nvx_config_init_defaults(&c, data_dir, &err);
    std::free(err);
    if (rc) return false;
    c.hooks = quiet_hooks();
    return true;
}

}  // namespace fuzz
