// SHA-256 against the FIPS 180-4 examples, canonical fingerprint text, and atomic cache files
// written by racing threads.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cache/sha256_blocks.hpp"
#include "nuvex/cache.h"
#include "nuvex/config.h"
#include "nuvex/numerics.h"
#include "test_util.hpp"

namespace {

std::string hex(const unsigned char* d, size_t n) {
    static const char* h = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += h[d[i] >> 4];
        s += h[d[i] & 15];
    }
    return s;
}

std::string sha(const std::string& text) {
    unsigned char d[32];
    nvx_sha256(text.data(), text.size(), d);
    return hex(d, 32);
}

std::string take(char* s) {
    std::string out = s ? s : "(null)";
    std::free(s);
    return out;
}

TEST(Sha256, Fips180Examples) {
    EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // padding boundaries: 55, 56 and 64 bytes
    EXPECT_EQ(sha(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(sha(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(take(nvx_sha256_hex16("")), "e3b0c44298fc1c14");
    EXPECT_EQ(take(nvx_sha256_hex16("abc")), "ba7816bf8f01cfea");
}

// The SHA instructions and the portable block function agree on arbitrary data (the digests above
// go through whichever one the processor selects).
TEST(Sha256, HardwareAndPortableBlocksAgree) {
    if (!nvx::cache::sha256_hardware_available()) GTEST_SKIP() << "no SHA extensions on this processor";
    std::vector<unsigned char> data(64 * 37);
    uint32_t x = 12345;
    for (unsigned char& c : data) c = static_cast<unsigned char>((x = x * 1664525u + 1013904223u) >> 24);
    for (size_t blocks : {size_t(1), size_t(2), size_t(37)}) {
        uint32_t a[8] = {1, 2, 3, 4, 5, 6, 7, 0xffffffffu}, b[8];
        std::memcpy(b, a, sizeof a);
        nvx::cache::sha256_blocks(a, data.data(), blocks, true);
        nvx::cache::sha256_blocks(b, data.data(), blocks, false);
        EXPECT_EQ(std::memcmp(a, b, sizeof a), 0) << blocks;
    }
}

NVXFingerprintEntry fe(const char* key, double v) {
    NVXFingerprintEntry e{key, {NVX_PARAM_FLOAT, {}}};
    e.value.payload.d = v;
    return e;
}

std::string one_float(double v) {
    NVXFingerprintEntry e = fe("x", v);
    std::string json = take(nvx_fingerprint_json(&e, 1));
    return json.substr(5, json.size() - 6);  // strip {"x": and }
}

TEST(Fingerprint, CanonicalFloats) {
    EXPECT_EQ(one_float(40), "40.0");
    EXPECT_EQ(one_float(0.001), "0.001");
    EXPECT_EQ(one_float(1e-7), "1e-07");
    EXPECT_EQ(one_float(3.156e16), "3.156e+16");
    EXPECT_EQ(one_float(2.5), "2.5");
    EXPECT_EQ(one_float(0.00012), "0.00012");
    EXPECT_EQ(one_float(123456789.125), "123456789.125");
    EXPECT_EQ(one_float(1.0), "1.0");
    EXPECT_EQ(one_float(1e16), "1e+16");
    EXPECT_EQ(one_float(1e15), "1000000000000000.0");
    EXPECT_EQ(one_float(-0.5), "-0.5");
    EXPECT_EQ(one_float(0.0), "0.0");
    EXPECT_EQ(one_float(-0.0), "-0.0");
    EXPECT_EQ(one_float(0.1), "0.1");
    EXPECT_EQ(one_float(878.4), "878.4");
    // round trip of an awkward value
    EXPECT_EQ(std::strtod(one_float(0.1 + 0.2).c_str(), nullptr), 0.1 + 0.2);
}

TEST(Fingerprint, OrderIndependentTextAndEscapes) {
    NVXFingerprintEntry a[3] = {fe("b", 1), fe("a", 2), fe("C", 3)};
    NVXFingerprintEntry b[3] = {fe("a", 2), fe("C", 3), fe("b", 1)};
    std::string ja = take(nvx_fingerprint_json(a, 3));
    EXPECT_EQ(ja, "{\"C\":3.0,\"a\":2.0,\"b\":1.0}");
    EXPECT_EQ(ja, take(nvx_fingerprint_json(b, 3)));
    EXPECT_EQ(take(nvx_fingerprint_hash(a, 3)), take(nvx_fingerprint_hash(b, 3)));
    NVXFingerprintEntry s{"s", {NVX_PARAM_STRING, {}}};
    s.value.payload.s = "q\"b\\t\tr\r";
    EXPECT_EQ(take(nvx_fingerprint_json(&s, 1)), "{\"s\":\"q\\\"b\\\\t\\tr\\u000d\"}");
    NVXFingerprintEntry n{"n", {NVX_PARAM_NONE, {}}};
    EXPECT_EQ(take(nvx_fingerprint_json(&n, 1)), "{\"n\":null}");
    EXPECT_EQ(take(nvx_fingerprint_json(nullptr, 0)), "{}");
}

TEST(Fingerprint, ThermalDefaultsBeginAsDocumented) {
    NVXConfig c;
    char* err = nullptr;
    ASSERT_EQ(nvx_config_init_defaults(&c, NUVEX_DATA_DIR, &err), 0);
    NVXFingerprintEntry e[NVX_WEAK_FINGERPRINT_LEN];
    size_t n = nvx_thermal_fingerprint(&c, e);
    EXPECT_EQ(n, size_t(NVX_THERMAL_FINGERPRINT_LEN));
    std::string json = take(nvx_fingerprint_json(e, n));
    EXPECT_EQ(json.rfind("{\"QED_corrections\":true,\"T_start_cosmo_MeV\":40.0,\"custom_background_sha256\":null,"
                         "\"decoupling_table_sha256\":\"",
                         0),
              0u)
        << json;
    EXPECT_NE(json.find("\"format_version\":" + std::to_string(NVX_CACHE_VERSION_THERMAL) + ","), std::string::npos);
    // without a thermal relic the four relic entries stay out (the standard caches keep their names)
    n = nvx_weak_rate_fingerprint(&c, e);
    EXPECT_EQ(n, size_t(NVX_WEAK_FINGERPRINT_LEN) - 4);
    json = take(nvx_fingerprint_json(e, n));
    EXPECT_NE(json.find("\"solan_file\":null"), std::string::npos);
    EXPECT_NE(json.find("\"solan_file_prefix\":\"SOLANNUVEX\""), std::string::npos);
    EXPECT_EQ(json.find("relic"), std::string::npos);
    std::string before = take(nvx_fingerprint_hash(e, n));
    c.sampling_nTOp_per_decade = 81;
    n = nvx_weak_rate_fingerprint(&c, e);
    const std::string sampling = take(nvx_fingerprint_hash(e, n));
    EXPECT_NE(before, sampling);
    c.relic_mass_MeV = 0.5;
    n = nvx_weak_rate_fingerprint(&c, e);
    EXPECT_EQ(n, size_t(NVX_WEAK_FINGERPRINT_LEN));
    const std::string relic = take(nvx_fingerprint_hash(e, n));
    EXPECT_NE(relic, sampling);
    c.relic_mass_MeV = 0.6;
    EXPECT_NE(take(nvx_fingerprint_hash(e, nvx_weak_rate_fingerprint(&c, e))), relic);
    nvx_config_free(&c);
}

size_t count_tmp_files(const std::string& dir) {
    size_t n = 0;
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent* e = readdir(d))
        if (std::strstr(e->d_name, ".tmp.")) ++n;
    closedir(d);
    return n;
}

TEST(CacheFile, WritesHeaderAndRowsAndReadsHashBack) {
    std::string dir = nvx_test::scratch_dir("cache_write");
    std::string path = dir + "/table.dat";
    NVXFingerprintEntry e = fe("T", 40);
    double x[2] = {1.0, 2.0}, y[2] = {0.5, -3.25};
    const double* cols[2] = {x, y};
    ASSERT_EQ(nvx_cache_write(path.c_str(), &e, 1, "T rho", cols, 2, 2, "made by a test"), 0);
    std::string hash = take(nvx_fingerprint_hash(&e, 1));
    EXPECT_EQ(nvx_test::read_file(path),
              "# T rho\n# fingerprint_hash: " + hash + "\n# fingerprint: {\"T\":40.0}\n# provenance: made by a test\n"
              "# data_sha256: 6ba4b4e2d68149ca\n"  // first 8 bytes of SHA-256 of the two row lines below
              "1.000000000000000000e+00 5.000000000000000000e-01\n"
              "2.000000000000000000e+00 -3.250000000000000000e+00\n");
    EXPECT_EQ(take(nvx_cache_read_fingerprint_hash(path.c_str())), hash);
    EXPECT_EQ(count_tmp_files(dir), 0u);
    EXPECT_NE(nvx_cache_write((dir + "/missing/sub/t.dat").c_str(), &e, 1, "", cols, 2, 2, nullptr), 0);
}

// A table read back under its own fingerprint equals what was written, bit for bit; another
// fingerprint or an edited row is refused with the reason.
TEST(CacheFile, RoundTripAndRefusals) {
    std::string dir = nvx_test::scratch_dir("cache_round_trip");
    std::string path = dir + "/table.dat";
    NVXFingerprintEntry e = fe("T", 40);
    double x[3] = {1.0 / 3.0, 2.5e-300, 7.0}, y[3] = {-0.1, 1e300, 3.0};
    const double* cols[2] = {x, y};
    ASSERT_EQ(nvx_cache_write(path.c_str(), &e, 1, "T rho", cols, 2, 3, "test"), 0);
    const std::string hash = take(nvx_fingerprint_hash(&e, 1));
    NVXTable t{};
    char* err = nullptr;
    ASSERT_EQ(nvx_cache_read_table(path.c_str(), hash.c_str(), 2, &t, &err), 0) << (err ? err : "");
    ASSERT_EQ(t.nrows, 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(t.columns[0][i], x[i]);
        EXPECT_EQ(t.columns[1][i], y[i]);
    }
    nvx_table_free(&t);
    EXPECT_NE(nvx_cache_read_table(path.c_str(), "0123456789abcdef", 2, &t, &err), 0);
    EXPECT_NE(std::string(err).find("does not match this configuration"), std::string::npos) << err;
    std::free(err);
    err = nullptr;
    std::string text = nvx_test::read_file(path);
    text.replace(text.find("7.000"), 5, "7.001");
    nvx_test::write_file(path, text);
    EXPECT_NE(nvx_cache_read_table(path.c_str(), hash.c_str(), 2, &t, &err), 0);
    EXPECT_NE(std::string(err).find("do not match their checksum"), std::string::npos) << err;
    std::free(err);
}

TEST(CacheFile, HashLineParsing) {
    std::string dir = nvx_test::scratch_dir("cache_hash");
    nvx_test::write_file(dir + "/a", "# x\n#   fingerprint_hash:   abc123  \r\n1 2\n");
    nvx_test::write_file(dir + "/b", "# fingerprint_hash: abc123\n");
    nvx_test::write_file(dir + "/c", "1 2\n# fingerprint_hash: abc\n");
    nvx_test::write_file(dir + "/d", "# fingerprint_hash:   abc123  \r\n");
    EXPECT_EQ(nvx_cache_read_fingerprint_hash((dir + "/a").c_str()), nullptr);
    EXPECT_EQ(take(nvx_cache_read_fingerprint_hash((dir + "/b").c_str())), "abc123");
    EXPECT_EQ(nvx_cache_read_fingerprint_hash((dir + "/c").c_str()), nullptr);
    EXPECT_EQ(take(nvx_cache_read_fingerprint_hash((dir + "/d").c_str())), "abc123");
    EXPECT_EQ(nvx_cache_read_fingerprint_hash((dir + "/none").c_str()), nullptr);
}

TEST(CacheFile, RacingWritersLeaveOneCompleteFile) {
    std::string dir = nvx_test::scratch_dir("cache_race");
    std::string path = dir + "/shared.dat";
    std::vector<double> x(2000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
    const double* cols[1] = {x.data()};
    NVXFingerprintEntry e = fe("T", 1);
    std::vector<std::thread> threads;
    std::vector<int> rc(16, -1);
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t] { rc[t] = nvx_cache_write(path.c_str(), &e, 1, "x", cols, 1, x.size(), ""); });
    for (auto& th : threads) th.join();
    for (int r : rc) EXPECT_EQ(r, 0);
    EXPECT_EQ(count_tmp_files(dir), 0u);
    std::string text = nvx_test::read_file(path);
    size_t rows = 0;
    for (char ch : text) rows += ch == '\n';
    EXPECT_EQ(rows, 4 + x.size());
}

TEST(CacheFile, MakesDirectories) {
    std::string dir = nvx_test::scratch_dir("mkdirs") + "/a/b/c";
    EXPECT_EQ(nvx_mkdirs(dir.c_str()), 0);
    EXPECT_TRUE(nvx_test::file_exists(dir));
    EXPECT_EQ(nvx_mkdirs_for_file((dir + "/d/e.txt").c_str()), 0);
    EXPECT_TRUE(nvx_test::file_exists(dir + "/d"));
}

}  // namespace
