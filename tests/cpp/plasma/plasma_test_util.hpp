// Helpers of the plasma tests: a parameter record whose caches live in a private scratch
// directory, stream capture and small file writers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "nuvex/config.h"
#include "nuvex/plasma.h"

namespace plasma_test {

inline std::string scratch_dir() {
    const char* base = std::getenv("NUVEX_TEST_TMP");
    std::string root = (base && *base) ? base : "/tmp";
    std::string cmd = "mkdir -p '" + root + "'";
    if (std::system(cmd.c_str()) != 0) root = "/tmp";
    std::string templ = root + "/plasmaXXXXXX";
    char* made = mkdtemp(templ.data());
    return made ? std::string(made) : root;
}

// Defaults with the data directory and the cache directory both inside a fresh scratch folder,
// so no test reads or writes the shipped data.
struct TestConfig {
    NVXConfig c{};
    std::string dir;
    explicit TestConfig(int n_electron = 200) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) != 0) {
            ADD_FAILURE() << (err ? err : "init_defaults failed");
            std::free(err);
        }
        dir = scratch_dir();
        std::snprintf(c.data_dir, sizeof c.data_dir, "%s/data", dir.c_str());
        set_string("cache_dir", (dir + "/cache").c_str());
        c.n_electron_table = n_electron;
        c.QED_corrections = 0;
    }
    ~TestConfig() { nvx_config_free(&c); }
    void set_string(const char* key, const char* value) {
        NVXParam p{};
        p.kind = NVX_PARAM_STRING;
        p.payload.s = value;
        char* err = nullptr;
        if (nvx_config_set_param(&c, key, p, &err) != 0) {
            ADD_FAILURE() << key << ": " << (err ? err : "?");
            std::free(err);
        }
    }
    std::string plasma_cache_dir() const { return dir + "/cache/plasma"; }
};

// Owns an initialised plasma record.
struct Plasma {
    nvx_plasma p{};
    std::string error;
    int rc = 1;
    explicit Plasma(const NVXConfig* c) {
        char* err = nullptr;
        rc = nvx_plasma_init(&p, c, &err);
        if (err) error = err;
        std::free(err);
    }
    ~Plasma() { nvx_plasma_free(&p); }
};

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

constexpr double kPi = 3.141592653589793;
constexpr double kMe = 0.51099895;
constexpr double kAlpha = 0.0072973525692838015;

}  // namespace plasma_test
