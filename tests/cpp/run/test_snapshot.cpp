// Stage snapshots: written once per fingerprint and read back to the last bit; damaged ones rebuilt
// and reported; a changed parameter, input file or underlying stage leads to a rebuild; the folder
// stays bounded and nothing but regular files is ever replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <utime.h>
#include <vector>

#include "cache/snapshot.hpp"
#include "config/field_table.hpp"
#include "nuvex/cache.h"
#include "nuvex/background.h"
#include "nuvex/hooks.h"
#include "nuvex/mc.h"
#include "nuvex/network.h"
#include "nuvex/plasma.h"
#include "nuvex/weak.h"
#include "run/session.hpp"
#include "run/stage_snapshot.hpp"
#include "run/stage_table.hpp"
#include "session_util.hpp"
#include "test_util.hpp"

namespace {

using namespace session_test;
using nvx::session::Session;

const char* const kStages[] = {"plasma", "history", "background", "weak", "network"};

std::vector<std::string> snapshot_files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".snap") == 0) out.push_back(dir + "/" + name);
        }
        ::closedir(d);
    }
    return out;
}

std::string file_of(const std::string& dir, const char* stage) {
    for (const std::string& f : snapshot_files(dir))
        if (f.find(std::string("/") + stage + "-") != std::string::npos) return f;
    return "";
}

// Messages of a run, collected through the record's hooks.
struct Messages {
    std::mutex m;
    std::string text;
    static void on(int level, const char*, const char* line, void* user) {
        auto* self = static_cast<Messages*>(user);
        std::lock_guard<std::mutex> lock(self->m);
        if (level >= NVX_MSG_WARNING) self->text += std::string(line) + "\n";
        self->log += std::string(line) + "\n";
    }
    std::string log;  // every level
};

// A one-shot run (the path of the command line) with its warnings.
int run_once(const Params& params, NVXResults* r, std::string* warnings = nullptr, const char* data_dir = nullptr,
             std::string* log = nullptr) {
    NVXConfig c;
    char* err = nullptr;
    bool ok = nvx_config_init_defaults(&c, data_dir ? data_dir : NUVEX_DATA_DIR, &err) == 0;
    for (size_t i = 0; ok && i < params.size(); ++i)
        ok = nvx_config_set_by_name(&c, params[i].key, params[i].value.kind, params[i].value.payload, &err) == 0;
    ok = ok && nvx_config_validate(&c, &err) == 0;
    if (!ok) {
        ADD_FAILURE() << (err ? err : "record");
        std::free(err);
        return -1;
    }
    Messages msgs;
    NVXRunHooks hooks{};
    hooks.message = &Messages::on;
    hooks.user = &msgs;
    hooks.min_level = NVX_MSG_DEBUG;
    c.hooks = &hooks;
    const int rc = didiva_run(&c, nullptr, r, &err);
    if (rc != 0) ADD_FAILURE() << (err ? err : "run failed");
    std::free(err);
    nvx_config_free(&c);
    if (warnings) *warnings = msgs.text;
    if (log) *log = msgs.log;
    return rc;
}

// The same run with snapshots switched off: the tables built from their text sources.
void run_without_snapshots(const Params& params, NVXResults* r, const char* data_dir = nullptr) {
    nvx::session::set_snapshots(false);
    run_once(params, r, nullptr, data_dir);
    nvx::session::set_snapshots(true);
}

struct Fixture {
    std::string cache = nvx_test::scratch_dir("snapshot_cache");
    std::string dir = cache + "/snapshots";
    Params base = {{"cache_dir", S(cache.c_str())}, {"show_progress", B(false)}};
};

void flip_byte(const std::string& path, long offset_from_end) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(-offset_from_end, std::ios::end);
    char c = 0;
    f.get(c);
    f.seekp(-offset_from_end, std::ios::end);
    f.put(char(c ^ 0x5a));
}

TEST(Snapshot, WrittenOnceAndReadBackToTheLastBitForBothNetworks) {
    Fixture f;
    for (const char* network : {"small", "large"}) {
        const Params p = join(f.base, {{"network", S(network)}});
        NVXResults plain{}, first{}, second{};
        run_without_snapshots(p, &plain);
        ASSERT_EQ(run_once(p, &first), 0);
        for (const char* stage : kStages) EXPECT_FALSE(file_of(f.dir, stage).empty()) << network << ": " << stage;
        const size_t files = snapshot_files(f.dir).size();
        std::string warnings;
        ASSERT_EQ(run_once(p, &second, &warnings), 0);
        EXPECT_EQ(snapshot_files(f.dir).size(), files) << "a second run reads, it writes nothing new";
        EXPECT_EQ(warnings, "");
        expect_identical(plain, first, std::string(network) + ": built and written");
        expect_identical(plain, second, std::string(network) + ": read from the snapshots");
        for (NVXResults* r : {&plain, &first, &second}) didiva_results_free(r);
    }
    // the two networks share plasma, history, background and weak rates, each has its own network
    EXPECT_EQ(snapshot_files(f.dir).size(), 6u);
}

TEST(Snapshot, EveryKindOfRunReadsBackWhatItWrote) {
    // configurations that fill other fields of the stage records: a run that reads its snapshots
    // equals, to the last bit, one built from the text tables
    Fixture f;
    const Params cheap = {{"thermal_corrections", B(false)}};
    const struct {
        const char* what;
        Params params;
    } cases[] = {
        {"instantaneous decoupling", {{"incomplete_decoupling", B(false)}, {"spectral_distortions", B(false)}}},
        {"spectral distortions", {{"spectral_distortions", B(true)}}},
        {"no QED", {{"QED_corrections", B(false)}}},
        {"early dark energy and extra radiation", {{"fEDE", F(0.05)}, {"DeltaNeff", F(0.4)}}},
        {"external scale factor", {{"external_scale_factor", B(true)}}},
        {"thermal relic", {{"relic_mass_MeV", F(0.5)}, {"relic_g", F(2)}, {"relic_spin", S("fermion")},
                           {"relic_couples_to", S("electrons")}}},
        {"degenerate neutrinos", {{"munuOverTnu", F(0.05)}}},
    };
    for (const auto& c : cases) {
        const Params p = join(join(f.base, cheap), c.params);
        NVXResults plain{}, first{}, second{};
        run_without_snapshots(p, &plain);
        ASSERT_EQ(run_once(p, &first), 0) << c.what;
        std::string warnings;
        ASSERT_EQ(run_once(p, &second, &warnings), 0) << c.what;
        EXPECT_EQ(warnings, "") << c.what;
        expect_identical(plain, first, std::string(c.what) + ", written");
        expect_identical(plain, second, std::string(c.what) + ", read back");
        for (NVXResults* r : {&plain, &first, &second}) didiva_results_free(r);
    }
}

TEST(Snapshot, WarningsAboutTheParametersComeWithEveryRun) {
    // a build warns about parameters beyond the tables or the standard cosmology; a run that reads
    // the stage from its snapshot warns alike
    Fixture f;
    const Params p = join(f.base, {{"T_start_cosmo_MeV", F(120.0)}, {"thermal_corrections", B(false)},
                                   {"Omegach2", F(0.6)}});
    for (int run = 0; run < 2; ++run) {
        NVXResults r{};
        std::string warnings;
        ASSERT_EQ(run_once(p, &r, &warnings), 0);
        EXPECT_NE(warnings.find("exceeds the QED plasma-pressure correction table's fixed upper bound"),
                  std::string::npos) << "run " << run << ": " << warnings;
        EXPECT_NE(warnings.find("Omega_Lambda h^2 = "), std::string::npos) << "run " << run << ": " << warnings;
        didiva_results_free(&r);
    }
    EXPECT_FALSE(file_of(f.dir, "background").empty());
}

TEST(Snapshot, StageBytesSurviveTheRoundTrip) {
    // every stage record, written, read back and written again, gives the same bytes; a cut or
    // padded byte string is refused as a whole
    Fixture f;
    for (const char* mode : {"tabulated", "instantaneous", "spectral", "relic"}) {
        Params p = join(f.base, {{"network", S("large")}, {"thermal_corrections", B(false)}});
        if (std::string(mode) == "instantaneous")
            p = join(p, {{"incomplete_decoupling", B(false)}, {"spectral_distortions", B(false)}});
        if (std::string(mode) == "spectral") p = join(p, {{"spectral_distortions", B(true)}});
        if (std::string(mode) == "relic") p = join(p, {{"relic_mass_MeV", F(0.5)}, {"relic_g", F(2)}});
        NVXConfig c;
        ASSERT_TRUE(make_record(c, p)) << mode;
        char* err = nullptr;
        nvx_plasma plasma{};
        ASSERT_EQ(nvx_plasma_init(&plasma, &c, &err), 0) << err;
        nvx_background bg{};
        ASSERT_EQ(nvx_bg_init_standard(&bg, &c, &plasma, &err), 0) << err;
        NVXNuclearRates nets{};
        ASSERT_EQ(nvx_nuclear_rates_init(&nets, &c, nullptr, &err), 0) << err;
        using namespace nvx::session;
        const std::string P = save_plasma(plasma), H = save_history(bg.history), B = save_background(bg),
                          W = save_weak(bg.weak, true, {1.0, 2.0}, {3.0, 4.0}), N = save_networks(nets);
        nvx_plasma p2{};
        nvx_neutrino_history h2{};
        nvx_background b2{};
        nvx_weak_rates w2{};
        NVXNuclearRates n2{};
        bool computed = false;
        std::vector<double> gT, gN;
        ASSERT_TRUE(load_plasma(P, p2) && load_history(H, h2) && load_background(B, b2) &&
                    load_weak(W, w2, &computed, &gT, &gN) && load_networks(N, n2))
            << mode;
        EXPECT_EQ(save_plasma(p2), P) << mode;
        EXPECT_EQ(save_history(h2), H) << mode;
        EXPECT_EQ(save_background(b2), B) << mode;
        EXPECT_EQ(save_weak(w2, computed, gT, gN), W) << mode;
        EXPECT_EQ(save_networks(n2), N) << mode;
        EXPECT_TRUE(computed && gT == std::vector<double>({1.0, 2.0}) && gN == std::vector<double>({3.0, 4.0}));
        // the compiled networks are compiled again from the stoichiometry, to the same numbers
        ASSERT_EQ(n2.lt_compiled.n_reactions, nets.lt_compiled.n_reactions);
        EXPECT_EQ(std::memcmp(n2.lt_compiled.change_coeff, nets.lt_compiled.change_coeff,
                              nets.lt_compiled.n_reactions * nets.lt_compiled.change_stride * sizeof(double)),
                  0);
        // the records answer like the built ones (once pointed at their record and plasma, as runs do)
        p2.config = &c;
        h2.config = &c;
        h2.plasma = &p2;
        for (double T : {5.0, 0.3, 0.02}) {
            EXPECT_TRUE(same_bits(nvx_plasma_spl(&p2, T), nvx_plasma_spl(&plasma, T)));
            EXPECT_TRUE(same_bits(nvx_nu_Tnue_of_Tg(&h2, T), nvx_nu_Tnue_of_Tg(&bg.history, T)));
            const double TK = T * 1.160451812e10;
            EXPECT_TRUE(same_bits(nvx_weak_rate_nTOp(&w2, TK), nvx_weak_rate_nTOp(&bg.weak, TK)));
        }
        for (const std::string* bytes : {&P, &H, &B, &W, &N}) {
            nvx_plasma px{};
            nvx_neutrino_history hx{};
            nvx_background bx{};
            nvx_weak_rates wx{};
            NVXNuclearRates nx{};
            const std::string cut = bytes->substr(0, bytes->size() - 5), padded = *bytes + "x";
            for (const std::string* bad : {&cut, &padded}) {
                if (bytes == &P) { EXPECT_FALSE(load_plasma(*bad, px)); }
                if (bytes == &H) { EXPECT_FALSE(load_history(*bad, hx)); }
                if (bytes == &B) { EXPECT_FALSE(load_background(*bad, bx)); }
                if (bytes == &W) { EXPECT_FALSE(load_weak(*bad, wx, &computed, &gT, &gN)); }
                if (bytes == &N) { EXPECT_FALSE(load_networks(*bad, nx)); }
            }
            EXPECT_EQ(bx.n, 0u);
            EXPECT_EQ(nx.mt.n_reactions, 0u);
        }
        nvx_plasma_free(&p2);
        nvx_neutrino_history_free(&h2);
        nvx_background_free(&b2);
        nvx_weak_rates_free(&w2);
        nvx_nuclear_rates_free(&n2);
        nvx_nuclear_rates_free(&nets);
        nvx_background_free(&bg);
        nvx_plasma_free(&plasma);
        nvx_config_free(&c);
    }
}

TEST(Snapshot, DamagedSnapshotsAreRebuiltAndReported) {
    Fixture f;
    NVXResults plain{};
    run_without_snapshots(f.base, &plain);
    NVXResults r{};
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    struct Damage {
        const char* stage;
        const char* what;  // expected in the warning
        void (*apply)(const std::string&);
    };
    const Damage damages[] = {
        {"background", "corrupted", [](const std::string& p) { flip_byte(p, 100); }},
        {"plasma", "recorded", [](const std::string& p) { ::truncate(p.c_str(), 4000); }},
        {"history", "not a snapshot file", [](const std::string& p) { nvx_test::write_file(p, "x y z\n1 2 3\n"); }},
        {"network", "cut short", [](const std::string& p) { nvx_test::write_file(p, ""); }},
        {"weak", "corrupted", [](const std::string& p) { flip_byte(p, 8); }},
    };
    for (const Damage& d : damages) {
        const std::string path = file_of(f.dir, d.stage);
        ASSERT_FALSE(path.empty()) << d.stage;
        d.apply(path);
        std::string warnings;
        NVXResults again{};
        ASSERT_EQ(run_once(f.base, &again, &warnings), 0) << d.stage;
        EXPECT_NE(warnings.find("ignoring the snapshot " + path), std::string::npos) << d.stage << ": " << warnings;
        EXPECT_NE(warnings.find(d.what), std::string::npos) << d.stage << ": " << warnings;
        expect_identical(plain, again, std::string("after damaging the ") + d.stage + " snapshot");
        didiva_results_free(&again);
        // the rebuilt snapshot is whole again: the next run reads it silently
        ASSERT_EQ(run_once(f.base, &again, &warnings), 0);
        EXPECT_EQ(warnings, "") << d.stage;
        expect_identical(plain, again, std::string("rebuilt ") + d.stage + " snapshot");
        didiva_results_free(&again);
    }
    didiva_results_free(&plain);
}

TEST(Snapshot, AnythingButARegularFileInItsPlaceIsReportedAndLeftAlone) {
    // a directory, a link to a whole snapshot, a dangling link: each is reported, the stage is built
    // from its tables, and the object stays as it was (nothing but regular files is replaced)
    Fixture f;
    NVXResults plain{}, r{};
    run_without_snapshots(f.base, &plain);
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    const std::string elsewhere = nvx_test::scratch_dir("snapshot_elsewhere");
    struct Case {
        const char* stage;
        const char* what;    // expected in the warning
        mode_t type;         // what must still stand there afterwards
    };
    const Case cases[] = {{"plasma", "not a readable regular file", S_IFDIR},
                          {"network", "a symbolic link", S_IFLNK},
                          {"weak", "a symbolic link", S_IFLNK}};
    for (const Case& c : cases) {
        const std::string path = file_of(f.dir, c.stage);
        ASSERT_FALSE(path.empty()) << c.stage;
        const std::string whole = elsewhere + "/" + c.stage + ".snap";
        ASSERT_EQ(std::rename(path.c_str(), whole.c_str()), 0);
        if (c.type == S_IFDIR) {
            ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        } else if (std::string(c.stage) == "network") {
            ASSERT_EQ(::symlink(whole.c_str(), path.c_str()), 0);  // to the very snapshot that was there
        } else {
            ASSERT_EQ(::symlink((elsewhere + "/none.snap").c_str(), path.c_str()), 0);  // dangling
        }
        for (int run = 0; run < 2; ++run) {  // reported at every run, since it is never replaced
            std::string warnings;
            NVXResults again{};
            ASSERT_EQ(run_once(f.base, &again, &warnings), 0) << c.stage;
            EXPECT_NE(warnings.find("ignoring the snapshot " + path + " (" + c.what), std::string::npos)
                << c.stage << ": " << warnings;
            expect_identical(plain, again, std::string("something else in place of the ") + c.stage + " snapshot");
            didiva_results_free(&again);
            struct stat st;
            ASSERT_EQ(::lstat(path.c_str(), &st), 0) << c.stage;
            EXPECT_EQ(st.st_mode & S_IFMT, c.type) << c.stage;
        }
        EXPECT_EQ(nvx_test::read_file(whole).size() > 0, true);
    }
    didiva_results_free(&plain);
}

TEST(Snapshot, AWholeSnapshotOfAnotherConfigurationInItsPlaceIsRebuilt) {
    // a valid file whose header names another fingerprint (another configuration's background, or
    // one written in another format) is not used: the stage is built again, the run logs why, and the
    // file is replaced by the right one
    Fixture f;
    NVXResults plain{}, r{};
    run_without_snapshots(f.base, &plain);
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    const std::string bg = file_of(f.dir, "background");
    ASSERT_FALSE(bg.empty());
    const std::string mine = nvx_test::read_file(bg);
    const std::vector<std::string> before = snapshot_files(f.dir);
    ASSERT_EQ(run_once(join(f.base, {{"DeltaNeff", F(0.5)}}), &r), 0);
    didiva_results_free(&r);
    std::string other;
    for (const std::string& p : snapshot_files(f.dir))
        if (p != bg && p.find("/background-") != std::string::npos) other = p;
    ASSERT_FALSE(other.empty());
    std::string newer_format = mine;
    const uint32_t version = nvx::snapshot::kFormatVersion + 1;
    std::memcpy(&newer_format[8], &version, sizeof version);
    const struct {
        std::string bytes;
        const char* why;
    } impostors[] = {{nvx_test::read_file(other), "written for another configuration"},
                     {newer_format, "written in format"}};
    for (const auto& imp : impostors) {
        nvx_test::write_file(bg, imp.bytes);
        std::string warnings, log;
        NVXResults again{};
        ASSERT_EQ(run_once(f.base, &again, &warnings, nullptr, &log), 0);
        expect_identical(plain, again, imp.why);
        didiva_results_free(&again);
        EXPECT_NE(log.find("snapshot " + bg + " not used (" + imp.why), std::string::npos) << log;
        EXPECT_EQ(warnings, "") << "another configuration's file is not damage";
        EXPECT_EQ(nvx_test::read_file(bg), mine) << imp.why << ": the right snapshot was written in its place";
        ASSERT_EQ(run_once(f.base, &again, &warnings, nullptr, &log), 0);
        EXPECT_NE(log.find("stage tables read from the snapshot " + bg), std::string::npos) << log;
        didiva_results_free(&again);
    }
    didiva_results_free(&plain);
    (void)before;
}

TEST(Snapshot, EveryRowOfTheStageTableIsInTheFingerprintsOfExactlyItsStages) {
    // every key of the table, changed alone in the record, moves the snapshot of each stage that
    // reads it and of no other: a key added to the table without reaching the fingerprint fails here
    Fixture f;
    NVXConfig a;
    ASSERT_TRUE(make_record(a, f.base));
    const unsigned masks[] = {nvx::session::kStagePlasma, nvx::session::kStageHistory,
                              nvx::session::kStageBackground, nvx::session::kStageWeak,
                              nvx::session::kStageNetwork};
    std::string paths[5];
    for (size_t m = 0; m < 5; ++m) {
        nvx::session::StageSnapshot s(&a, "x", masks[m], {1});
        ASSERT_TRUE(s.enabled());
        paths[m] = s.path();
    }
    size_t checked = 0;
    for (size_t i = 0; i < nvx::session::KEY_STAGES_SIZE; ++i) {
        const nvx::session::KeyStages& row = nvx::session::KEY_STAGES[i];
        const std::string key = row.key;
        if (key.back() == '_') continue;  // per-reaction prefixes: read per run, none in the table's stages
        NVXConfig b;
        ASSERT_TRUE(make_record(b, f.base));
        // the record's field changed in place (no validation: the fingerprint must follow any value)
        if (key == "Omegabh2") {
            b.Omegabh2 *= 1.01;
        } else if (key == "GN") {
            b.G *= 1.01;
        } else {
            const nvx::FieldSpec* fs = nvx::find_field(row.key);
            ASSERT_NE(fs, nullptr) << key;
            char* p = reinterpret_cast<char*>(&b) + fs->offset;
            switch (fs->kind) {
                case nvx::FieldKind::Bool: {
                    int32_t& v = *reinterpret_cast<int32_t*>(p);
                    v = v ? 0 : 1;
                    break;
                }
                case nvx::FieldKind::Int:
                case nvx::FieldKind::IntOrNone:
                    *reinterpret_cast<int32_t*>(p) += 7;
                    break;
                case nvx::FieldKind::Number:
                case nvx::FieldKind::NumberOrNoneZero:
                case nvx::FieldKind::NumberOrNoneNaN: {
                    double& v = *reinterpret_cast<double*>(p);
                    v = (v == 0 || v != v) ? 0.125 : v * 1.01;
                    break;
                }
                case nvx::FieldKind::StringOrNone: {
                    char*& s = *reinterpret_cast<char**>(p);
                    const std::string now = s ? s : "";
                    std::free(s);
                    s = strdup((now + "_other").c_str());
                    break;
                }
            }
        }
        for (size_t m = 0; m < 5; ++m) {
            nvx::session::StageSnapshot s(&b, "x", masks[m], {1});
            ASSERT_TRUE(s.enabled()) << key;
            // the file's name: a changed cache directory moves every folder, but names only its stages
            const auto name = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
            EXPECT_EQ(name(s.path()) != name(paths[m]), (row.stages & masks[m]) != 0)
                << key << " stage bit " << masks[m];
        }
        nvx_config_free(&b);
        ++checked;
    }
    EXPECT_GT(checked, 70u);
    nvx_config_free(&a);
}

TEST(Snapshot, AChangedParameterOfAStageGivesItsOwnSnapshot) {
    Fixture f;
    NVXResults r{};
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    const std::string background = file_of(f.dir, "background"), plasma = file_of(f.dir, "plasma");
    // DeltaNeff is read by the background only: a second background snapshot, the others shared
    const Params p = join(f.base, {{"DeltaNeff", F(0.5)}});
    NVXResults plain{}, snap{};
    run_without_snapshots(p, &plain);
    ASSERT_EQ(run_once(p, &snap), 0);
    expect_identical(plain, snap, "DeltaNeff 0.5");
    EXPECT_EQ(snapshot_files(f.dir).size(), 6u);
    EXPECT_EQ(file_of(f.dir, "plasma"), plasma);
    // n_electron_table is read by the plasma: every stage built on it follows
    const Params q = join(f.base, {{"n_electron_table", I(1500)}});
    NVXResults plain2{}, snap2{};
    run_without_snapshots(q, &plain2);
    ASSERT_EQ(run_once(q, &snap2), 0);
    expect_identical(plain2, snap2, "n_electron_table 1500");
    EXPECT_EQ(snapshot_files(f.dir).size(), 10u);  // plasma, history, background, weak: new; the network shared
    for (NVXResults* x : {&plain, &snap, &plain2, &snap2}) didiva_results_free(x);
    (void)background;
}

TEST(Snapshot, EveryKeyOfAStageIsInItsFingerprint) {
    // each key of the stage table changes the fingerprint of the stages that read it, and only those
    Fixture f;
    NVXConfig a, b;
    ASSERT_TRUE(make_record(a, f.base));
    const struct {
        const char* key;
        NVXParam value;
    } changes[] = {{"n_electron_table", I(1500)}, {"QED_corrections", B(false)}, {"y_SZ", F(0.01)},
                   {"sampling_nTOp_per_decade", I(300)}, {"rate_grid_npts", I(500)}, {"DeltaNeff", F(0.25)},
                   {"Omegabh2", F(0.0231)}, {"tau_n", F(880.0)}, {"solan_file_prefix", S("OTHER")}};
    for (const auto& ch : changes) {
        ASSERT_TRUE(make_record(b, join(f.base, {{ch.key, ch.value}})));
        const nvx::session::KeyStages* row = nvx::session::key_stages(ch.key);
        ASSERT_NE(row, nullptr) << ch.key;
        const unsigned masks[] = {nvx::session::kStagePlasma, nvx::session::kStageHistory,
                                  nvx::session::kStageBackground, nvx::session::kStageWeak,
                                  nvx::session::kStageNetwork};
        for (unsigned m : masks) {
            nvx::session::StageSnapshot sa(&a, "x", m, {1}), sb(&b, "x", m, {1});
            ASSERT_TRUE(sa.enabled());
            EXPECT_EQ(sa.path() != sb.path(), (row->stages & m) != 0) << ch.key << " stage bit " << m;
        }
        nvx_config_free(&b);
    }
    nvx_config_free(&a);
}

TEST(Snapshot, ASignedZeroIsTheSameInputAsZero) {
    // -0.0 computes what 0.0 computes: the same snapshots, cached tables and session stages. A
    // neighbour of zero (the smallest normal double) must still tell them apart.
    Fixture f;
    using namespace nvx::session;
    const unsigned all = kStagePlasma | kStageHistory | kStageBackground | kStageWeak | kStageNetwork;
    auto take = [](char* s) {
        std::string out = s ? s : "";
        std::free(s);
        return out;
    };
    auto weak_hash = [&](const NVXConfig& c) {
        NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
        return take(nvx_fingerprint_hash(e, nvx_weak_rate_fingerprint(&c, e)));
    };
    auto thermal_hash = [&](const NVXConfig& c) {
        NVXFingerprintEntry e[NVX_THERMAL_FINGERPRINT_LEN];
        return take(nvx_fingerprint_hash(e, nvx_thermal_fingerprint(&c, e)));
    };
    for (const char* key : {"munuOverTnu_e", "munuOverTnu", "DeltaNeff", "y_SZ"}) {
        NVXConfig zero, minus, near;
        ASSERT_TRUE(make_record(zero, join(f.base, {{key, F(0.0)}})));
        ASSERT_TRUE(make_record(minus, join(f.base, {{key, F(-0.0)}})));
        ASSERT_TRUE(make_record(near, join(f.base, {{key, F(2.2250738585072014e-308)}})));
        StageSnapshot s0(&zero, "x", all, {1}), sm(&minus, "x", all, {1}), sn(&near, "x", all, {1});
        ASSERT_TRUE(s0.enabled());
        EXPECT_EQ(s0.path(), sm.path()) << key;
        EXPECT_NE(s0.path(), sn.path()) << key;
        EXPECT_EQ(changed_stages(zero, minus, nullptr), 0u) << key;
        EXPECT_NE(changed_stages(zero, near, nullptr), 0u) << key;
        EXPECT_EQ(weak_hash(zero), weak_hash(minus)) << key;
        EXPECT_EQ(thermal_hash(zero), thermal_hash(minus)) << key;
        nvx_config_free(&zero);
        nvx_config_free(&minus);
        nvx_config_free(&near);
    }
    // the electron-neutrino degeneracy enters the weak-rate and thermal tables: a neighbour of zero
    // changes their names, so the equality above is the sign, not a key left out
    NVXConfig zero, near;
    ASSERT_TRUE(make_record(zero, join(f.base, {{"munuOverTnu_e", F(0.0)}})));
    ASSERT_TRUE(make_record(near, join(f.base, {{"munuOverTnu_e", F(2.2250738585072014e-308)}})));
    EXPECT_NE(weak_hash(zero), weak_hash(near));
    EXPECT_NE(thermal_hash(zero), thermal_hash(near));
    nvx_config_free(&zero);
    nvx_config_free(&near);
}

TEST(Snapshot, AnEditedInputFileIsFollowed) {
    Fixture f;
    const std::string data = nvx_test::scratch_dir("snapshot_data");
    ASSERT_EQ(std::system(("cp -r '" NUVEX_DATA_DIR "/.' '" + data + "'").c_str()), 0);
    const std::string table = data + "/nuclear/tables/d_p__He3_g/d_p__He3_g_nuvex.txt";
    ASSERT_TRUE(nvx_test::file_exists(table));
    NVXResults before{};
    ASSERT_EQ(run_once(f.base, &before, nullptr, data.c_str()), 0);
    // twice the d(p,g)3He rate everywhere: less deuterium survives
    std::string text = nvx_test::read_file(table), out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        double T9, rate, unc;
        if (line[0] != '#' && std::sscanf(line.c_str(), "%lf %lf %lf", &T9, &rate, &unc) == 3) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%.17g %.17g %.17g", T9, 2 * rate, unc);
            line = buf;
        }
        out += line + "\n";
        pos = nl + 1;
    }
    nvx_test::write_file(table, out);
    NVXResults plain{}, after{};
    run_without_snapshots(f.base, &plain, data.c_str());
    ASSERT_EQ(run_once(f.base, &after, nullptr, data.c_str()), 0);
    expect_identical(plain, after, "edited rate table");
    EXPECT_LT(after.DoH, 0.8 * before.DoH);
    // the same content under a new identity (a copy) is used as it is: no new network snapshot
    const size_t files = snapshot_files(f.dir).size();
    ASSERT_EQ(std::system(("cp '" + table + "' '" + table + ".tmp' && mv '" + table + ".tmp' '" + table + "'").c_str()), 0);
    NVXResults copy{};
    ASSERT_EQ(run_once(f.base, &copy, nullptr, data.c_str()), 0);
    expect_identical(plain, copy, "copied rate table");
    EXPECT_EQ(snapshot_files(f.dir).size(), files);
    // a decoupling table changed: the history, and the weak rates built on it, follow (without the
    // thermal corrections, whose tables would take minutes to compute again)
    const Params cheap = join(f.base, {{"thermal_corrections", B(false)}});
    NVXResults first2{};
    ASSERT_EQ(run_once(cheap, &first2, nullptr, data.c_str()), 0);
    const std::string solan = data + "/SOLAN/SOLANNUVEX_col_1_7.csv";
    ASSERT_TRUE(nvx_test::file_exists(solan));
    std::string s = nvx_test::read_file(solan);
    // every heating term of the table (column 6) doubled: a different history, other abundances
    std::string edited;
    for (size_t at = 0; at < s.size();) {
        size_t nl = s.find('\n', at);
        if (nl == std::string::npos) nl = s.size();
        std::string row = s.substr(at, nl - at);
        double v[7];
        const char sep = row.find(',') != std::string::npos ? ',' : ' ';
        const char* fmt = sep == ',' ? "%lf,%lf,%lf,%lf,%lf,%lf,%lf" : "%lf %lf %lf %lf %lf %lf %lf";
        if (row[0] != '#' && std::sscanf(row.c_str(), fmt, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) == 7) {
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.17g%c%.17g%c%.17g%c%.17g%c%.17g%c%.17g%c%.17g", v[0], sep, v[1], sep,
                          v[2], sep, v[3], sep, v[4], sep, 2 * v[5], sep, v[6]);
            row = buf;
        }
        edited += row + "\n";
        at = nl + 1;
    }
    nvx_test::write_file(solan, edited);
    NVXResults plain2{}, after2{};
    run_without_snapshots(cheap, &plain2, data.c_str());
    ASSERT_EQ(run_once(cheap, &after2, nullptr, data.c_str()), 0);
    expect_identical(plain2, after2, "edited decoupling table");
    EXPECT_FALSE(same_bits(after2.DoH, first2.DoH)) << "the edit must reach the results";
    didiva_results_free(&first2);
    for (NVXResults* r : {&before, &plain, &after, &copy, &plain2, &after2}) didiva_results_free(r);
}

TEST(Snapshot, AFileAppearingInTheUserNuclearFolderTakesPrecedence) {
    Fixture f;
    const std::string user = nvx_test::scratch_dir("snapshot_user_nuclear");
    const Params p = join(f.base, {{"user_nuclear_dir", S(user.c_str())}});
    NVXResults before{};
    ASSERT_EQ(run_once(p, &before), 0);
    // a user table for d(p,g)3He, ten times the shipped rate
    const std::string shipped = nvx_test::read_file(std::string(NUVEX_DATA_DIR) +
                                                    "/nuclear/tables/d_p__He3_g/d_p__He3_g_nuvex.txt");
    std::string out;
    size_t pos = 0;
    while (pos < shipped.size()) {
        size_t nl = shipped.find('\n', pos);
        if (nl == std::string::npos) nl = shipped.size();
        std::string line = shipped.substr(pos, nl - pos);
        double T9, rate, unc;
        if (line[0] != '#' && std::sscanf(line.c_str(), "%lf %lf %lf", &T9, &rate, &unc) == 3) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%.17g %.17g %.17g", T9, 10 * rate, unc);
            line = buf;
        }
        out += line + "\n";
        pos = nl + 1;
    }
    ::mkdir((user + "/tables").c_str(), 0755);
    ::mkdir((user + "/tables/d_p__He3_g").c_str(), 0755);
    nvx_test::write_file(user + "/tables/d_p__He3_g/d_p__He3_g_nuvex.txt", out);
    NVXResults plain{}, after{};
    run_without_snapshots(p, &plain);
    ASSERT_EQ(run_once(p, &after), 0);
    expect_identical(plain, after, "user table appeared");
    EXPECT_LT(after.DoH, 0.5 * before.DoH);
    for (NVXResults* r : {&before, &plain, &after}) didiva_results_free(r);
}

TEST(Snapshot, NeverInTheDataDirectoryNorOverANonRegularFile) {
    // without a cache directory the caches go to the data directory: no snapshots there
    const std::string data = nvx_test::scratch_dir("snapshot_data_only");
    ASSERT_EQ(std::system(("cp -r '" NUVEX_DATA_DIR "/.' '" + data + "'").c_str()), 0);
    NVXResults r{};
    ASSERT_EQ(run_once({{"show_progress", B(false)}}, &r, nullptr, data.c_str()), 0);
    didiva_results_free(&r);
    EXPECT_TRUE(snapshot_files(data + "/cache_plasma_weak/snapshots").empty());
    // a FIFO where the background's snapshot belongs: left alone, the run is unaffected
    Fixture f;
    NVXConfig c;
    ASSERT_TRUE(make_record(c, f.base));
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    const std::string bg = file_of(f.dir, "background");
    ASSERT_FALSE(bg.empty());
    ASSERT_EQ(std::remove(bg.c_str()), 0);
    ASSERT_EQ(::mkfifo(bg.c_str(), 0644), 0);
    std::string warnings;
    NVXResults plain{}, again{};
    run_without_snapshots(f.base, &plain);
    ASSERT_EQ(run_once(f.base, &again, &warnings), 0);
    expect_identical(plain, again, "FIFO in place of a snapshot");
    struct stat st;
    ASSERT_EQ(::lstat(bg.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_NE(warnings.find("not a readable regular file"), std::string::npos) << warnings;
    nvx_config_free(&c);
    didiva_results_free(&plain);
    didiva_results_free(&again);
}

TEST(Snapshot, TheFolderKeepsTheMostRecentlyUsedFiles) {
    Fixture f;
    ::mkdir(f.cache.c_str(), 0755);
    ::mkdir(f.dir.c_str(), 0755);
    const size_t keep = nvx::session::StageSnapshot::kKeep;
    for (size_t i = 0; i < keep + 10; ++i) {
        const std::string p = f.dir + "/old-" + std::to_string(i) + ".snap";
        nvx_test::write_file(p, "old");
        utimbuf t{};
        t.actime = t.modtime = time_t(1000000 + i);  // older files first
        ::utime(p.c_str(), &t);
    }
    nvx_test::write_file(f.dir + "/notes.txt", "kept: not a snapshot");
    NVXResults r{};
    ASSERT_EQ(run_once(f.base, &r), 0);
    didiva_results_free(&r);
    const std::vector<std::string> left = snapshot_files(f.dir);
    EXPECT_EQ(left.size(), keep);
    for (const char* stage : kStages) EXPECT_FALSE(file_of(f.dir, stage).empty()) << stage;
    EXPECT_FALSE(nvx_test::file_exists(f.dir + "/old-0.snap"));  // the oldest went first
    EXPECT_TRUE(nvx_test::file_exists(f.dir + "/old-" + std::to_string(keep + 9) + ".snap"));
    EXPECT_TRUE(nvx_test::file_exists(f.dir + "/notes.txt"));
}

TEST(Snapshot, MonteCarloWorkersCopyTheNetworksFromTheSnapshot) {
    Fixture f;
    NVXConfig c;
    ASSERT_TRUE(make_record(c, f.base));
    auto mc = [&](NVXMCResult* out) {
        NVXMCOptions o;
        nvx_mc_default_options(&o);
        const char* q[] = {"YPBBN", "DoH"};
        o.num_mc = 6;
        o.quantities = q;
        o.n_quantities = 2;
        o.seed = 4;
        o.n_jobs = 2;
        char* err = nullptr;
        const int rc = nvx_mc_run(&c, nullptr, &o, out, &err);
        EXPECT_EQ(rc, 0) << (err ? err : "");
        std::free(err);
    };
    NVXMCResult plain{}, first{}, second{};
    nvx::session::set_snapshots(false);
    mc(&plain);
    nvx::session::set_snapshots(true);
    mc(&first);
    mc(&second);
    for (const NVXMCResult* r : {&first, &second}) {
        ASSERT_EQ(r->count, plain.count);
        for (size_t i = 0; i < plain.count; ++i)
            for (size_t k = 0; k < 6; ++k)
                EXPECT_TRUE(same_bits(r->entries[i].values[k], plain.entries[i].values[k])) << i << " " << k;
    }
    for (NVXMCResult* r : {&plain, &first, &second}) nvx_mc_result_free(r);
    nvx_config_free(&c);
}

TEST(Snapshot, FileFormatChecksCatchEveryDamage) {
    const std::string dir = nvx_test::scratch_dir("snapshot_format");
    const std::string path = dir + "/x.snap";
    nvx::snapshot::Identity id{"{\"a\":1}", {7, 9}};
    nvx::inputs::Recorder none;
    std::string why;
    const std::string content(1000, 'q');
    ASSERT_EQ(nvx::snapshot::save(path, id, none, content, &why), 0) << why;
    nvx::snapshot::Mapped back;
    uint64_t cid = 0;
    ASSERT_EQ(nvx::snapshot::load(path, id, &back, &cid, &why), nvx::snapshot::Status::Ok) << why;
    EXPECT_EQ(back.content, content);
    EXPECT_EQ(cid, nvx::snapshot::content_id(content));
    // another configuration or other underlying stages: stale, not damaged
    EXPECT_EQ(nvx::snapshot::load(path, {"{\"a\":2}", {7, 9}}, &back, &cid, &why), nvx::snapshot::Status::Stale);
    EXPECT_EQ(nvx::snapshot::load(path, {"{\"a\":1}", {7, 8}}, &back, &cid, &why), nvx::snapshot::Status::Stale);
    EXPECT_EQ(nvx::snapshot::load(dir + "/none.snap", id, &back, &cid, &why), nvx::snapshot::Status::Missing);
    // every single flipped byte is noticed
    const std::string whole = nvx_test::read_file(path);
    for (size_t i = 0; i < whole.size(); i += 37) {
        std::string bad = whole;
        bad[i] = char(bad[i] ^ 1);
        nvx_test::write_file(path, bad);
        EXPECT_NE(nvx::snapshot::load(path, id, &back, &cid, &why), nvx::snapshot::Status::Ok) << "byte " << i;
    }
    // an input that changes after it was noted: no snapshot is written
    const std::string input = dir + "/input.txt";
    nvx_test::write_file(input, "1 2 3\n");
    nvx::inputs::Recorder notes;
    {
        nvx::inputs::Recording on(&notes);
        nvx::inputs::read(input.c_str());
    }
    nvx_test::write_file(input, "1 2 3 4\n");
    EXPECT_EQ(nvx::snapshot::save(dir + "/y.snap", id, notes, content, &why), 1);
    EXPECT_NE(why.find("changed while the stage was built"), std::string::npos) << why;
    // a recorded input edited in place within the same second: its content is compared
    nvx::inputs::Recorder notes2;
    {
        nvx::inputs::Recording on(&notes2);
        nvx::inputs::read(input.c_str());
    }
    ASSERT_EQ(nvx::snapshot::save(dir + "/z.snap", id, notes2, content, &why), 0) << why;
    ASSERT_EQ(nvx::snapshot::load(dir + "/z.snap", id, &back, &cid, &why), nvx::snapshot::Status::Ok) << why;
    nvx_test::write_file(input, "1 2 3 5\n");  // same size, very likely the same time stamp
    EXPECT_EQ(nvx::snapshot::load(dir + "/z.snap", id, &back, &cid, &why), nvx::snapshot::Status::Stale);
    EXPECT_NE(why.find("input.txt changed"), std::string::npos) << why;
}

TEST(Snapshot, TheLibraryHasABuildIdentity) {
    const std::string& id = nvx::snapshot::build_id();
    EXPECT_NE(id, "unknown");
    EXPECT_EQ(id, nvx::snapshot::build_id());
}

}  // namespace
