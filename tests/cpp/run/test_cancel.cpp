// Cancellation through the per-call token: a run cancelled while it builds each long table (QED,
// electron-positron, weak rates, thermal corrections), integrates its background or runs Monte
// Carlo samples stops promptly with NVX_CANCELLED, writes no cache for the cut table, and leaves
// the next run unaffected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "nuvex/mc.h"
#include "nuvex/session.h"
#include "session_util.hpp"
#include "test_util.hpp"

namespace {

using namespace session_test;
using Clock = std::chrono::steady_clock;

// Sets the token when the named stage first reports progress (or, for "bg", logs a line), and
// counts the progress reports of that stage that arrive afterwards.
struct Canceller {
    std::string stage;
    NVXCancelToken token{};
    std::atomic<bool> fired{false};
    std::atomic<int> after{0};
    Clock::time_point at{};

    void fire() {
        if (fired.exchange(true)) return;
        at = Clock::now();
        nvx_cancel_request(&token);
    }
};

void on_progress(const char* stage, double, double, void* user) {
    auto* c = static_cast<Canceller*>(user);
    if (c->stage != stage) return;
    if (c->fired.load()) ++c->after;
    else c->fire();
}

void on_message(int, const char* tag, const char*, void* user) {
    auto* c = static_cast<Canceller*>(user);
    if (c->stage == "bg" && std::string(tag) == "bg") c->fire();
}

// Caches in a scratch folder; each case asks for a table no cache (nor snapshot) holds.
struct Cold {
    std::string cache = nvx_test::scratch_dir("cancel_cache");
    Params base = {{"cache_dir", S(cache.c_str())}, {"show_progress", B(false)}};
};

int cancelled_run(const Params& params, Canceller& c, double* seconds_after) {
    NVXConfig rec;
    if (!make_record(rec, params)) return -1;
    NVXRunHooks hooks{on_message, on_progress, &c, &c.token, NVX_MSG_LOG};
    rec.hooks = &hooks;
    NVXResults r{};
    char* err = nullptr;
    const int rc = didiva_run(&rec, nullptr, &r, &err);
    *seconds_after = std::chrono::duration<double>(Clock::now() - c.at).count();
    std::free(err);
    didiva_results_free(&r);
    nvx_config_free(&rec);
    return rc;
}

TEST(Cancel, EveryLongTableStopsPromptlyAndIsNotCached) {
    Cold cold;
    struct Case {
        const char* stage;
        Params params;
        const char* cache_file;  // must not exist afterwards ("" for none)
    };
    const Case cases[] = {
        {"qed", {{"recompute_qed_corrections", B(true)}}, "plasma/QED_pressure_correction_e2.txt"},
        {"electron", {{"n_electron_table", I(1999)}}, "plasma/electron_thermo_cache.txt"},
        {"weak", {{"sampling_nTOp_per_decade", I(79)}, {"thermal_corrections", B(false)}}, ""},
        {"thermal", {{"sampling_nTOp_per_decade", I(79)}, {"sampling_nTOp_thermal_per_decade", I(19)}}, ""},
        // a background no snapshot holds (the cases above built and kept the default one)
        {"bg", {{"DeltaNeff", F(0.125)}}, ""},
    };
    for (const Case& k : cases) {
        Canceller c;
        c.stage = k.stage;
        double after = 0;
        const int rc = cancelled_run(join(cold.base, k.params), c, &after);
        ASSERT_TRUE(c.fired.load()) << k.stage << ": the stage never ran";
        EXPECT_EQ(rc, NVX_CANCELLED) << k.stage;
        // The next index, point or integral checks the token: a handful of reports at most, and a
        // return long before the table would have been finished.
        EXPECT_LE(c.after.load(), 4) << k.stage;
        EXPECT_LT(after, 5.0) << k.stage;
        if (k.cache_file[0]) {
            EXPECT_FALSE(nvx_test::file_exists(cold.cache + "/" + k.cache_file)) << k.stage;
        }
    }
    // the weak rates of the "thermal" case were complete and cached; its cut thermal table was not
    EXPECT_EQ(std::system(("ls " + cold.cache + "/weak | grep -q '^nTOp_[0-9a-f]*\\.txt$'").c_str()), 0);
    EXPECT_NE(std::system(("ls " + cold.cache + "/weak | grep -q thermal").c_str()), 0);
    // and a plain run afterwards works
    NVXResults r{};
    EXPECT_EQ(fresh_run(join(cold.base, {{"thermal_corrections", B(false)}}), &r), NVX_OK);
    didiva_results_free(&r);
}

TEST(Cancel, MonteCarloStopsBetweenSamplesAndInTheCentralRun) {
    Cold cold;
    const Params params = join(cold.base, {{"thermal_corrections", B(false)}});
    const char* q[] = {"YPBBN"};
    for (const char* stage : {"mc", "MT"}) {  // during the samples; during the central run
        NVXConfig rec;
        ASSERT_TRUE(make_record(rec, params));
        Canceller c;
        c.stage = stage;
        NVXRunHooks hooks{nullptr, on_progress, &c, &c.token, NVX_MSG_LOG};
        rec.hooks = &hooks;
        NVXMCOptions o;
        nvx_mc_default_options(&o);
        o.num_mc = 10000;
        o.quantities = q;
        o.n_quantities = 1;
        o.n_jobs = 2;
        NVXMCResult r{};
        char* err = nullptr;
        EXPECT_EQ(nvx_mc_run(&rec, nullptr, &o, &r, &err), NVX_CANCELLED) << stage;
        EXPECT_EQ(err, nullptr);
        EXPECT_EQ(r.entries, nullptr);
        std::free(err);
        EXPECT_TRUE(c.fired.load());
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - c.at).count(), 5.0) << stage;
        nvx_config_free(&rec);
    }
}

}  // namespace
