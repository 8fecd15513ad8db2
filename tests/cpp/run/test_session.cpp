// Solver sessions: every run of a session equals, to the last bit, a fresh run with the same
// parameters, whichever stages the changes between runs rebuilt or kept; the stages rebuilt are
// exactly those of the changed parameters; refused overrides, concurrent use of one session,
// cancellation and rewritten input files end as documented.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nuvex/session.h"
#include "run/session.hpp"
#include "run/stage_table.hpp"
#include "config/field_table.hpp"
#include "session_util.hpp"
#include "test_util.hpp"

namespace {

using namespace session_test;
using nvx::session::Session;

// Caches in a scratch folder and no thermal corrections, so that every table a case needs can be
// computed within seconds.
struct Fixture {
    std::string cache = nvx_test::scratch_dir("session_cache");
    Params base = {{"cache_dir", S(cache.c_str())}, {"thermal_corrections", B(false)}, {"show_progress", B(false)}};
};

struct Case {
    const char* what;
    Params changes;
    Session::Builds expect;  // stages built by this run
};

TEST(Session, RunsEqualFreshRunsWhateverTheyRebuild) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    Session s(true);
    char* err = nullptr;
    ASSERT_EQ(s.init(rec, nullptr, true, &err), 0);
    nvx_config_free(&rec);
    const Case cases[] = {
        {"defaults", {}, {1, 1, 1, 1, 1}},
        {"Omegabh2 (cosmological constant below rounding)", {{"Omegabh2", F(0.0230)}}, {0, 0, 0, 0, 0}},
        {"h", {{"h", F(0.70)}}, {0, 0, 0, 0, 0}},
        {"Omegach2", {{"Omegach2", F(0.125)}}, {0, 0, 1, 0, 0}},
        {"per-run keys", {{"tau_n", F(880.0)}, {"p_d_p__He3_g", F(1.0)}, {"delta_d_d__t_p", F(0.1)},
                          {"numerical_precision", F(2e-7)}, {"tau_n_normalization", B(false)}}, {0, 0, 1, 0, 0}},
        {"DeltaNeff", {{"DeltaNeff", F(0.3)}}, {0, 0, 1, 0, 0}},
        {"large network", {{"network", S("large")}}, {0, 0, 1, 0, 1}},
        {"back to the defaults", {}, {0, 0, 0, 0, 1}},
        {"weak rates computed, not cached", {{"weak_rate_cache", B(false)}}, {0, 0, 0, 1, 0}},
        // computed weak rates follow the background's grid; read ones (above) never saw it
        {"computed weak rates, background changed",
         {{"weak_rate_cache", B(false)}, {"Omegach2", F(0.125)}}, {0, 0, 1, 1, 0}},
        {"computed weak rates, cosmological constant changed",
         {{"weak_rate_cache", B(false)}, {"Omegach2", F(0.125)}, {"Omegabh2", F(0.0230)}}, {0, 0, 0, 0, 0}},
        {"instantaneous decoupling",
         {{"incomplete_decoupling", B(false)}, {"spectral_distortions", B(false)}}, {0, 1, 1, 1, 0}},
        {"electron table", {{"n_electron_table", I(1200)}}, {1, 1, 1, 1, 0}},
        {"combined", {{"n_electron_table", I(1200)}, {"network", S("large")}, {"Omegabh2", F(0.021)},
                      {"munuOverTnu", F(0.05)}, {"mc_rate_rescale_cap", F(10.0)}}, {0, 1, 1, 1, 1}},
        {"back to the defaults again", {}, {1, 1, 1, 1, 1}},
        {"Omegabh2 twice", {{"Omegabh2", F(0.0230)}}, {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Session::Builds before = s.builds();
        NVXResults mine{}, fresh{};
        ASSERT_EQ(s.run(c.changes.data(), c.changes.size(), nullptr, &mine, &err), NVX_OK) << c.what << ": " << err;
        std::string msg;
        ASSERT_EQ(fresh_run(join(f.base, c.changes), &fresh, &msg), NVX_OK) << c.what << ": " << msg;
        expect_identical(mine, fresh, c.what);
        const Session::Builds& after = s.builds();
        EXPECT_EQ(after.plasma - before.plasma, c.expect.plasma) << c.what;
        EXPECT_EQ(after.history - before.history, c.expect.history) << c.what;
        EXPECT_EQ(after.background - before.background, c.expect.background) << c.what;
        EXPECT_EQ(after.weak - before.weak, c.expect.weak) << c.what;
        EXPECT_EQ(after.network - before.network, c.expect.network) << c.what;
        didiva_results_free(&mine);
        didiva_results_free(&fresh);
    }
}

TEST(Session, EveryKeyHasOneRowInTheStageTable) {
    using namespace nvx::session;
    for (size_t i = 0; i < nvx::FIELD_TABLE_SIZE; ++i) {
        const KeyStages* row = key_stages(nvx::FIELD_TABLE[i].key);
        ASSERT_NE(row, nullptr) << nvx::FIELD_TABLE[i].key;
        EXPECT_STREQ(row->key, nvx::FIELD_TABLE[i].key);
    }
    EXPECT_EQ(KEY_STAGES_SIZE, nvx::FIELD_TABLE_SIZE + 4);
    EXPECT_EQ(key_stages("p_He3_a__Be7_g")->stages, unsigned(kStageNone));
    EXPECT_EQ(key_stages("delta_n_p__d_g")->stages, unsigned(kStageNone));
    EXPECT_NE(key_stages("GN")->stages & kStageBackground, 0u);
    EXPECT_TRUE(key_stages("Omegabh2")->lambda_only);
    EXPECT_EQ(key_stages("no_such_key"), nullptr);
}

TEST(Session, CosmologicalConstantCountsWhenItCanReachTheExpansionRate) {
    // Ending the run late (T_end = 1 eV) makes matter dominate the end of the integration: there
    // a change of Omegabh2 moves the expansion rate, so the background must be rebuilt.
    Fixture f;
    f.base.push_back({"T_end_MeV", F(1e-6)});
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    Session s(true);
    char* err = nullptr;
    ASSERT_EQ(s.init(rec, nullptr, true, &err), 0);
    nvx_config_free(&rec);
    NVXResults a{}, b{}, fresh{};
    ASSERT_EQ(s.run(nullptr, 0, nullptr, &a, &err), NVX_OK) << err;
    const Params change = {{"Omegabh2", F(0.0230)}};
    const int bg = s.builds().background;
    ASSERT_EQ(s.run(change.data(), change.size(), nullptr, &b, &err), NVX_OK) << err;
    EXPECT_EQ(s.builds().background, bg + 1);
    ASSERT_EQ(fresh_run(join(f.base, change), &fresh), NVX_OK);
    expect_identical(b, fresh, "Omegabh2 with a late end");
    for (NVXResults* r : {&a, &b, &fresh}) didiva_results_free(r);
}

TEST(Session, RefusedOverridesNameTheKeyAndLeaveTheSessionUsable) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    NVXSession* s = nvx_session_create(&rec, nullptr);
    nvx_config_free(&rec);
    ASSERT_NE(s, nullptr);
    NVXResults r{};
    char* err = nullptr;
    const NVXKeyParam bad_key[] = {{"Omegabh2", F(0.022)}, {"no_such_key", F(1.0)}};
    EXPECT_EQ(nvx_session_run(s, bad_key, 2, &r, &err), NVX_INVALID);
    EXPECT_STREQ(err, "unknown parameter key: no_such_key");
    std::free(err);
    err = nullptr;
    const NVXKeyParam bad_value[] = {{"tau_n", F(-1.0)}};
    EXPECT_EQ(nvx_session_run(s, bad_value, 1, &r, &err), NVX_INVALID);
    EXPECT_NE(std::string(err).find("tau_n"), std::string::npos) << err;
    std::free(err);
    err = nullptr;
    ASSERT_EQ(nvx_session_run(s, nullptr, 0, &r, &err), NVX_OK) << err;
    // a rate-variation key naming no reaction of the kept network fails as in a fresh run
    const Params typo = {{"p_n_p__dg", F(1.0)}};
    std::string fresh_msg;
    NVXResults none{};
    EXPECT_EQ(fresh_run(join(f.base, typo), &none, &fresh_msg), NVX_FAIL);
    EXPECT_EQ(nvx_session_run(s, typo.data(), 1, &none, &err), NVX_FAIL);
    EXPECT_EQ(std::string(err ? err : ""), fresh_msg);
    std::free(err);
    err = nullptr;
    didiva_results_free(&none);
    NVXResults fresh{};
    ASSERT_EQ(fresh_run(f.base, &fresh), NVX_OK);
    expect_identical(r, fresh, "after refused overrides");
    EXPECT_EQ(nvx_session_config(s)->tau_n, 878.4);
    didiva_results_free(&r);
    didiva_results_free(&fresh);
    nvx_session_free(s);
    EXPECT_EQ(nvx_session_create(nullptr, &err), nullptr);
    std::free(err);
}

// A progress hook that holds the first run in its first era until released.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;
};

void hold_in_era(const char* stage, double, double, void* user) {
    auto* g = static_cast<Gate*>(user);
    if (std::string(stage) != "HT") return;
    std::unique_lock<std::mutex> lock(g->m);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait(lock, [&] { return g->released; });
}

TEST(Session, ASecondThreadIsTurnedAwayWhileARunIsInProgress) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    NVXSession* s = nvx_session_create(&rec, nullptr);
    nvx_config_free(&rec);
    ASSERT_NE(s, nullptr);
    Gate gate;
    NVXRunHooks hooks{nullptr, hold_in_era, &gate, nullptr, NVX_MSG_LOG};
    NVXResults first{};
    int first_rc = -1;
    std::thread runner([&] {
        char* e = nullptr;
        first_rc = nvx_session_run_hooks(s, nullptr, 0, &hooks, &first, &e);
        std::free(e);
    });
    {
        std::unique_lock<std::mutex> lock(gate.m);
        gate.cv.wait(lock, [&] { return gate.entered; });
    }
    NVXResults second{};
    char* err = nullptr;
    EXPECT_EQ(nvx_session_run(s, nullptr, 0, &second, &err), NVX_FAIL);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err).find("one thread at a time"), std::string::npos) << err;
    std::free(err);
    {
        std::lock_guard<std::mutex> lock(gate.m);
        gate.released = true;
    }
    gate.cv.notify_all();
    runner.join();
    EXPECT_EQ(first_rc, NVX_OK);
    NVXResults fresh{};
    ASSERT_EQ(fresh_run(f.base, &fresh), NVX_OK);
    expect_identical(first, fresh, "the run that held the session");
    for (NVXResults* r : {&first, &second, &fresh}) didiva_results_free(r);
    nvx_session_free(s);
}

// Distinct sessions share nothing mutable: two threads, each with its own session, give the same
// numbers as one thread (run under ThreadSanitizer by make test-tsan).
TEST(Session, DistinctSessionsRunConcurrently) {
    Fixture f;
    NVXResults ref_small{}, ref_large{};
    const Params large = {{"network", S("large")}};
    ASSERT_EQ(fresh_run(f.base, &ref_small), NVX_OK);
    ASSERT_EQ(fresh_run(join(f.base, large), &ref_large), NVX_OK);
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    NVXSession* a = nvx_session_create(&rec, nullptr);
    NVXSession* b = nvx_session_create(&rec, nullptr);
    nvx_config_free(&rec);
    NVXResults ra[2] = {}, rb[2] = {};
    int rca[2] = {-1, -1}, rcb[2] = {-1, -1};
    auto work = [&](NVXSession* s, NVXResults* r, int* rc, bool large_first) {
        for (int i = 0; i < 2; ++i) {
            const bool use_large = (i == 0) == large_first;
            rc[i] = nvx_session_run(s, use_large ? large.data() : nullptr, use_large ? 1 : 0, &r[i], nullptr);
        }
    };
    std::thread ta(work, a, ra, rca, false), tb(work, b, rb, rcb, true);
    ta.join();
    tb.join();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(rca[i], NVX_OK);
        ASSERT_EQ(rcb[i], NVX_OK);
    }
    expect_identical(ra[0], ref_small, "thread a, small");
    expect_identical(ra[1], ref_large, "thread a, large");
    expect_identical(rb[0], ref_large, "thread b, large");
    expect_identical(rb[1], ref_small, "thread b, small");
    for (NVXResults* r : {&ra[0], &ra[1], &rb[0], &rb[1], &ref_small, &ref_large}) didiva_results_free(r);
    nvx_session_free(a);
    nvx_session_free(b);
}

// Cancels the run once it reaches the named stage.
struct CancelAt {
    const char* stage;
    NVXCancelToken token{};
};

void cancel_at(const char* stage, double, double, void* user) {
    auto* c = static_cast<CancelAt*>(user);
    if (std::string(stage) == c->stage) nvx_cancel_request(&c->token);
}

TEST(Session, CancelledRunsReportItAndLeaveTheSessionUsable) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    NVXSession* s = nvx_session_create(&rec, nullptr);
    nvx_config_free(&rec);
    for (const char* stage : {"HT", "MT", "LT"}) {
        CancelAt c{stage};
        NVXRunHooks hooks{nullptr, cancel_at, &c, &c.token, NVX_MSG_LOG};
        NVXResults r{};
        char* err = nullptr;
        EXPECT_EQ(nvx_session_run_hooks(s, nullptr, 0, &hooks, &r, &err), NVX_CANCELLED) << stage;
        EXPECT_EQ(err, nullptr) << err;
        std::free(err);
        didiva_results_free(&r);
    }
    NVXResults r{}, fresh{};
    ASSERT_EQ(nvx_session_run(s, nullptr, 0, &r, nullptr), NVX_OK);
    ASSERT_EQ(fresh_run(f.base, &fresh), NVX_OK);
    expect_identical(r, fresh, "after cancelled runs");
    didiva_results_free(&r);
    didiva_results_free(&fresh);
    nvx_session_free(s);
}

TEST(Session, ARewrittenCustomBackgroundIsReadAgain) {
    Fixture f;
    const std::string dir = nvx_test::scratch_dir("session_custom_bg");
    const std::string path = dir + "/bg.tsv";
    // radiation domination with T a = const and t = 1/(2H): a coarse but well-formed background
    auto write = [&](double scale) {
        std::string text = "T\tt\ta\n";
        for (int i = 0; i <= 80; ++i) {
            const double T = 40.0 * std::pow(10.0, -i * 4.7 / 80.0);
            char row[128];
            std::snprintf(row, sizeof row, "%.17g\t%.17g\t%.17g\n", T, scale * 0.74 / (T * T), 2.35e-10 / T);
            text += row;
        }
        nvx_test::write_file(path, text);
    };
    write(1.0);
    Params base = join(f.base, {{"custom_background", S(path.c_str())}});
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, base));
    Session s(true);
    char* err = nullptr;
    ASSERT_EQ(s.init(rec, nullptr, true, &err), 0);
    nvx_config_free(&rec);
    NVXResults r1{}, r2{}, fresh{};
    ASSERT_EQ(s.run(nullptr, 0, nullptr, &r1, &err), NVX_OK) << err;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    write(1.1);  // same name, slower expansion
    const int bg = s.builds().background;
    ASSERT_EQ(s.run(nullptr, 0, nullptr, &r2, &err), NVX_OK) << err;
    EXPECT_EQ(s.builds().background, bg + 1);
    ASSERT_EQ(fresh_run(base, &fresh), NVX_OK);
    expect_identical(r2, fresh, "rewritten custom background");
    EXPECT_NE(r1.YPBBN, r2.YPBBN);
    for (NVXResults* r : {&r1, &r2, &fresh}) didiva_results_free(r);
}

}  // namespace

// A rate set changes the networks only: a session rebuilds them (and nothing it can keep) when
// the set changes, and every run equals a fresh run with the same set.
TEST(Session, RateSetChangesRebuildOnlyTheNetworks) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, f.base));
    Session s(true);
    char* err = nullptr;
    ASSERT_EQ(s.init(rec, nullptr, true, &err), 0);
    nvx_config_free(&rec);
    double doh_default = 0.0;
    for (const char* set : {"nuvex", "primat", "parthenope", "primat", "nuvex"}) {
        const Params change = {{"rate_set", S(set)}};
        const Session::Builds before = s.builds();
        NVXResults mine{}, fresh{};
        ASSERT_EQ(s.run(change.data(), change.size(), nullptr, &mine, &err), NVX_OK) << set << ": " << err;
        ASSERT_EQ(fresh_run(join(f.base, change), &fresh), NVX_OK) << set;
        expect_identical(mine, fresh, set);
        const Session::Builds& after = s.builds();
        if (before.network > 0) {  // after the first run: the networks and what is built on them only
            EXPECT_EQ(after.plasma, before.plasma) << set;
            EXPECT_EQ(after.history, before.history) << set;
            EXPECT_EQ(after.weak, before.weak) << set;
        }
        if (std::string(set) == "nuvex") doh_default = mine.DoH;
        // the PRIMAT-like set's d(d,n) rate (gi17) lowers D/H by about 1%
        if (std::string(set) == "primat") {
            EXPECT_NEAR(mine.DoH / doh_default - 1.0, -0.0097, 0.001);
        } else if (std::string(set) == "parthenope") {
            EXPECT_TRUE(same_bits(mine.DoH, doh_default));
        }
        didiva_results_free(&mine);
        didiva_results_free(&fresh);
    }
}

// A scan over a thermal relic's mass: each new mass rebuilds the neutrino history, the background
// and the weak rates (the neutrino temperatures change) and keeps the plasma tables and networks;
// a change of the baryon density at a fixed mass rebuilds nothing. Every run equals a fresh run.
TEST(Session, RelicMassScanRebuildsOnlyTheHistoryBackgroundAndWeakRates) {
    Fixture f;
    NVXConfig rec;
    ASSERT_TRUE(make_record(rec, join(f.base, {{"relic_g", F(2.0)}, {"relic_spin", S("fermion")}})));
    Session s(true);
    char* err = nullptr;
    ASSERT_EQ(s.init(rec, nullptr, true, &err), 0);
    nvx_config_free(&rec);
    const Case cases[] = {
        {"first mass", {{"relic_mass_MeV", F(0.5)}}, {1, 1, 1, 1, 1}},
        {"second mass", {{"relic_mass_MeV", F(2.0)}}, {0, 1, 1, 1, 0}},
        {"third mass", {{"relic_mass_MeV", F(8.0)}}, {0, 1, 1, 1, 0}},
        {"baryon density at that mass", {{"relic_mass_MeV", F(8.0)}, {"Omegabh2", F(0.0230)}}, {0, 0, 0, 0, 0}},
        {"the other sector", {{"relic_mass_MeV", F(8.0)}, {"relic_couples_to", S("neutrinos")}}, {0, 1, 1, 1, 0}},
        {"no relic", {}, {0, 1, 1, 1, 0}},
        {"first mass again", {{"relic_mass_MeV", F(0.5)}}, {0, 1, 1, 1, 0}},
    };
    double doh_previous = 0.0;
    for (const Case& c : cases) {
        const Session::Builds before = s.builds();
        NVXResults mine{}, fresh{};
        ASSERT_EQ(s.run(c.changes.data(), c.changes.size(), nullptr, &mine, &err), NVX_OK) << c.what << ": " << err;
        ASSERT_EQ(fresh_run(join(join(f.base, {{"relic_g", F(2.0)}, {"relic_spin", S("fermion")}}), c.changes), &fresh),
                  NVX_OK)
            << c.what;
        expect_identical(mine, fresh, c.what);
        const Session::Builds& after = s.builds();
        EXPECT_EQ(after.plasma - before.plasma, c.expect.plasma) << c.what;
        EXPECT_EQ(after.history - before.history, c.expect.history) << c.what;
        EXPECT_EQ(after.background - before.background, c.expect.background) << c.what;
        EXPECT_EQ(after.weak - before.weak, c.expect.weak) << c.what;
        EXPECT_EQ(after.network - before.network, c.expect.network) << c.what;
        EXPECT_NE(mine.DoH, doh_previous) << c.what << ": the run did not see the change";
        doh_previous = mine.DoH;
        didiva_results_free(&mine);
        didiva_results_free(&fresh);
    }
}
