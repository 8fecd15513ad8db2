// Helpers of the session tests: tagged values, records built like the Python front end builds
// them, and a bitwise comparison of two result records.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/results.h"
#include "nuvex/run.h"

namespace session_test {

inline NVXParam F(double v) { NVXParam p{NVX_PARAM_FLOAT, {}}; p.payload.d = v; return p; }
inline NVXParam B(bool v) { NVXParam p{NVX_PARAM_BOOL, {}}; p.payload.i = v; return p; }
inline NVXParam I(int64_t v) { NVXParam p{NVX_PARAM_INT, {}}; p.payload.i = v; return p; }
inline NVXParam S(const char* v) { NVXParam p{NVX_PARAM_STRING, {}}; p.payload.s = v; return p; }

using Params = std::vector<NVXKeyParam>;

// Defaults of the shipped data directory, then `params` in order, then validation.
inline bool make_record(NVXConfig& c, const Params& params, std::string* message = nullptr) {
    char* err = nullptr;
    bool ok = nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err) == 0;
    for (size_t i = 0; ok && i < params.size(); ++i)
        ok = nvx_config_set_by_name(&c, params[i].key, params[i].value.kind, params[i].value.payload, &err) == 0;
    ok = ok && nvx_config_validate(&c, &err) == 0;
    if (message) *message = err ? err : "";
    std::free(err);
    return ok;
}

inline Params join(Params a, const Params& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A fresh one-shot run of the defaults with `params`.
inline int fresh_run(const Params& params, NVXResults* r, std::string* message = nullptr) {
    NVXConfig c;
    if (!make_record(c, params, message)) return -1;
    char* err = nullptr;
    const int rc = didiva_run(&c, nullptr, r, &err);
    if (message) *message = err ? err : "";
    std::free(err);
    nvx_config_free(&c);
    return rc;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every number of two result records equal to the last bit.
inline void expect_identical(const NVXResults& a, const NVXResults& b, const std::string& what) {
    const double fa[] = {a.YPCMB, a.YPBBN, a.DoH, a.He3oH, a.He3oHe4, a.Li7oH, a.Li6oLi7, a.YCNO, a.Neff,
                         a.Omeganurel, a.OneOverOmeganunr};
    const double fb[] = {b.YPCMB, b.YPBBN, b.DoH, b.He3oH, b.He3oHe4, b.Li7oH, b.Li6oLi7, b.YCNO, b.Neff,
                         b.Omeganurel, b.OneOverOmeganunr};
    for (size_t i = 0; i < sizeof fa / sizeof fa[0]; ++i)
        EXPECT_TRUE(same_bits(fa[i], fb[i])) << what << ": quantity " << i << ": " << fa[i] << " vs " << fb[i];
    EXPECT_EQ(a.has_Li6oLi7, b.has_Li6oLi7) << what;
    EXPECT_EQ(a.has_YCNO, b.has_YCNO) << what;
    EXPECT_EQ(a.has_Neff, b.has_Neff) << what;
    ASSERT_EQ(a.n_nuclides, b.n_nuclides) << what;
    for (size_t i = 0; i < a.n_nuclides; ++i) {
        EXPECT_STREQ(a.nuclide_names[i], b.nuclide_names[i]) << what;
        EXPECT_TRUE(same_bits(a.Y_final[i], b.Y_final[i])) << what << ": Y(" << a.nuclide_names[i] << ")";
    }
}

}  // namespace session_test
