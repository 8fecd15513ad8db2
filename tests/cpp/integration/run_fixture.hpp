// A run context for the integration tests: parameter record, plasma, nuclear rates and background
// built once per process, with caches shared by every test process under NUVEX_TEST_TMP.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nuvex/background.h"
#include "nuvex/config.h"
#include "nuvex/results.h"
#include "nuvex/run.h"
#include "nuvex/network.h"
#include "nuvex/nuclear_network.h"
#include "nuvex/plasma.h"

namespace nvx_test {

inline std::string shared_cache_dir() {
    const char* base = std::getenv("NUVEX_TEST_TMP");
    std::string root = base && *base ? base : "/tmp/nuvex_test";
    return root + "/integration_cache";
}

// One complete run of the defaults with the shared caches, quiet, and the given parameter literals
// (Python-literal text, as in an INI file) on top.
inline NVXResults run_defaults_with(std::initializer_list<std::pair<const char*, std::string>> literals) {
    NVXConfig c{};
    NVXResults r{};
    char* err = nullptr;
    EXPECT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0) << err;
    // appended rather than "'" + string: g++ 12 at -O3 warns falsely (-Wrestrict) on the latter
    std::string cache = "'";
    cache += shared_cache_dir();
    cache += "'";
    EXPECT_EQ(nvx_config_set_param(&c, "cache_dir", nvx_parse_literal(cache.c_str()), &err), 0) << err;
    EXPECT_EQ(nvx_config_set_param(&c, "show_progress", nvx_parse_literal("False"), &err), 0) << err;
    for (const auto& [key, literal] : literals)
        EXPECT_EQ(nvx_config_set_param(&c, key, nvx_parse_literal(literal.c_str()), &err), 0) << key << ": " << err;
    EXPECT_EQ(nvx_config_validate(&c, &err), 0) << err;
    EXPECT_EQ(didiva_run(&c, nullptr, &r, &err), 0) << err;
    std::free(err);
    nvx_config_free(&c);
    return r;
}

struct RunContext {
    NVXConfig config{};
    nvx_plasma plasma{};
    NVXNuclearRates rates{};
    nvx_background bg{};
    std::string error;

    // Literal values as in INI files ("'large'", "False", "1e-7").
    explicit RunContext(std::initializer_list<std::pair<std::string, std::string>> settings = {}) {
        char* err = nullptr;
        if (nvx_config_init_defaults(&config, NUVEX_DATA_DIR, &err)) { take(err); return; }
        std::vector<std::pair<std::string, std::string>> all = {
            {"cache_dir", "'" + shared_cache_dir() + "'"}, {"thermal_corrections", "False"}, {"show_progress", "False"}};
        all.insert(all.end(), settings.begin(), settings.end());
        for (const auto& [key, literal] : all)
            if (nvx_config_set_param(&config, key.c_str(), nvx_parse_literal(literal.c_str()), &err)) { take(err); return; }
        if (nvx_config_validate(&config, &err)) { take(err); return; }
        if (nvx_plasma_init(&plasma, &config, &err)) { take(err); return; }
        if (nvx_nuclear_rates_init(&rates, &config, nullptr, &err)) { take(err); return; }
        if (nvx_bg_init_standard(&bg, &config, &plasma, &err)) { take(err); return; }
    }
    ~RunContext() {
        nvx_background_free(&bg);
        nvx_nuclear_rates_free(&rates);
        nvx_plasma_free(&plasma);
        nvx_config_free(&config);
    }
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    bool ok() const { return error.empty(); }

    // Solves into nn; returns "" or the message.
    std::string solve(nvx_nuclear_network& nn) {
        char* err = nullptr;
        if (nvx_nuclear_network_solve(&nn, &config, &rates, &bg, &err) == 0) return "";
        std::string msg = err ? err : "(no message)";
        std::free(err);
        return msg;
    }

    // Mass number and charge of each LT species.
    std::vector<double> lt_A() const {
        std::vector<double> A(rates.lt.n_species);
        for (size_t i = 0; i < A.size(); ++i) A[i] = double(rates.lt.species_N[i] + rates.lt.species_Z[i]);
        return A;
    }
    std::vector<double> lt_Z() const {
        std::vector<double> Z(rates.lt.n_species);
        for (size_t i = 0; i < Z.size(); ++i) Z[i] = double(rates.lt.species_Z[i]);
        return Z;
    }

private:
    void take(char* err) {
        error = err ? err : "(no message)";
        std::free(err);
    }
};

// Frees the network record at scope exit.
struct NetworkGuard {
    nvx_nuclear_network nn{};
    ~NetworkGuard() { nvx_nuclear_network_free(&nn); }
};

inline double weighted_sum(const double* Y, const std::vector<double>& w) {
    double s = 0.0;
    for (size_t i = 0; i < w.size(); ++i) s += w[i] * Y[i];
    return s;
}

}  // namespace nvx_test
