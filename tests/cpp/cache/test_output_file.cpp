// Output files appear only when complete: an abandoned write leaves the previous file as it was,
// no temporary file survives, and a device named as the output is written in place, never replaced.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "cache/output_file.hpp"
#include "test_util.hpp"

namespace {

size_t entries(const std::string& dir) {
    size_t n = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) ++n;
    if (d) closedir(d);
    return n;
}

TEST(OutputFile, ReplacesOnlyWhenCommitted) {
    std::string dir = nvx_test::scratch_dir("output_file");
    std::string path = dir + "/sub/out.tsv";
    {
        nvx::OutputFile out;
        ASSERT_TRUE(out.open(path.c_str()));
        std::fputs("first\n", out.get());
        ASSERT_TRUE(out.commit());
    }
    EXPECT_EQ(nvx_test::read_file(path), "first\n");
    {
        nvx::OutputFile out;
        ASSERT_TRUE(out.open(path.c_str()));
        std::fputs("half-written", out.get());
        EXPECT_EQ(nvx_test::read_file(path), "first\n") << "readers never see a partial file";
    }  // abandoned without commit
    EXPECT_EQ(nvx_test::read_file(path), "first\n");
    EXPECT_EQ(entries(dir + "/sub"), 1u) << "no temporary file survives";
}

// Two writers of one path in one process (Monte Carlo workers, scans) each get a temporary file of
// their own: both commit, and the target holds one of them whole.
TEST(OutputFile, WritersOfOnePathOverlapWithoutSharingATemporaryFile) {
    std::string dir = nvx_test::scratch_dir("output_file_overlap");
    std::string path = dir + "/out.tsv";
    nvx::OutputFile a, b;
    ASSERT_TRUE(a.open(path.c_str()));
    ASSERT_TRUE(b.open(path.c_str()));
    std::fputs("from a\n", a.get());
    std::fputs("from b\n", b.get());
    EXPECT_TRUE(a.commit());
    EXPECT_EQ(nvx_test::read_file(path), "from a\n");
    EXPECT_TRUE(b.commit());
    EXPECT_EQ(nvx_test::read_file(path), "from b\n");
    EXPECT_EQ(entries(dir), 1u) << "no temporary file survives";
}

TEST(OutputFile, DevicesAreWrittenInPlace) {
    const std::string null = nvx_test::make_device(nvx_test::scratch_dir("output_device"), "null", 3);
    if (null.empty()) GTEST_SKIP() << "cannot make a device node (not root?)";
    nvx::OutputFile out;
    ASSERT_TRUE(out.open(null.c_str()));
    std::fputs("discarded\n", out.get());
    EXPECT_TRUE(out.commit());
    EXPECT_TRUE(nvx_test::is_char_device(null));
}

TEST(OutputFile, UnopenablePathFails) {
    nvx::OutputFile out;
    EXPECT_FALSE(out.open(""));
    EXPECT_FALSE(out.open("/proc/nonexistent_dir/x/out.tsv"));
    EXPECT_FALSE(out.commit());
}

}  // namespace
