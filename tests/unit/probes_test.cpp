// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "stdout_capture.h"
#include "updater/probes.h"

namespace {

struct TempDir {
    TempDir()
    {
        char tmpl[] = "/tmp/probes-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        const std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << path;
    }
    std::string file(const char *name) const { return path + "/" + name; }
    std::string path;
};

} // namespace

TEST(NodeProbes, ExistingAndMissingNodesAndPaths)
{
    capture_stdout();
    EXPECT_EQ(dev_node_exists("null"), 0);
    EXPECT_EQ(dev_node_exists("no-such-node-here"), -1);
    EXPECT_EQ(dev_node_exists(nullptr), -1);
    EXPECT_EQ(path_exists("/dev/null"), 0);
    EXPECT_EQ(path_exists("/no/such/path"), -1);
    EXPECT_EQ(path_exists(nullptr), -1);
    EXPECT_EQ(captured_stdout(), "");
}

TEST(NodeProbes, NameTooLongForThePathIsRefused)
{
    // "/dev/" and 58 characters make the longest path the 64-byte buffer holds.
    std::string dots;
    for (int i = 0; i < 27; i++)
        dots += "./";
    const std::string longest = dots + "null";
    ASSERT_EQ(longest.size(), 58u);
    EXPECT_EQ(dev_node_exists(longest.c_str()), 0);
    // One more character and the path would no longer fit, though it names
    // /dev/null all the same.
    const std::string too_long = dots + "/null";
    ASSERT_EQ(too_long.size(), 59u);
    EXPECT_EQ(dev_node_exists(too_long.c_str()), -1);
    EXPECT_EQ(dev_node_exists(std::string(4000, 'n').c_str()), -1);
}

TEST(MtdSize, NonMtdNodesAndMissingNodesGiveMinusOne)
{
    capture_stdout();
    EXPECT_EQ(mtd_size_mib("/dev/null"), -1);
    EXPECT_EQ(mtd_size_mib("/dev/no-such-mtd"), -1);
    EXPECT_EQ(captured_stdout(), "dev /dev/no-such-mtd do not found.\n");
}

TEST(LargeFile, OneMibIsExactAndEndsInAWrittenByte)
{
    TempDir dir;
    const std::string path = dir.file("big");
    capture_stdout();
    EXPECT_EQ(make_large_file(path.c_str(), 1), 0);
    EXPECT_EQ(captured_stdout(), "make file: 1\nlarge file 1 OK. \n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1048576);
    // Only a written byte gives the sparse file a data block at its end.
    int fd = open(path.c_str(), O_RDONLY);
    const off_t data = lseek(fd, 0, SEEK_DATA);
    close(fd);
    EXPECT_GE(data, 0);
    EXPECT_GT(st.st_blocks, 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~static_cast<unsigned>(umask(022)));
}

TEST(LargeFile, ZeroLeavesAnEmptyFileAndSucceeds)
{
    TempDir dir;
    const std::string path = dir.file("empty");
    FILE *f = fopen(path.c_str(), "w");
    fputs("old contents", f);
    fclose(f);
    capture_stdout();
    EXPECT_EQ(make_large_file(path.c_str(), 0), 0);
    EXPECT_EQ(captured_stdout(), "make file: 0\ntruncate file 0 failed. \n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(LargeFile, FailuresAreReported)
{
    TempDir dir;
    capture_stdout();
    EXPECT_EQ(make_large_file((dir.path + "/missing/f").c_str(), 1), -1);
    // A size whose byte offset does not fit a 64-bit file offset.
    EXPECT_EQ(make_large_file(dir.file("huge").c_str(), 1ull << 44), -1);
    // /dev/full takes the seek but refuses the byte.
    EXPECT_EQ(make_large_file("/dev/full", 1), -1);
    EXPECT_EQ(captured_stdout(), "failed to open file " + dir.path + "/missing/f\n"
                                 "make file: 17592186044416\ntruncate file 17592186044416 failed. \n"
                                 "make file: 1\ntruncate file 1 failed. \n");
}

TEST(WorkDirs, BothAreMadeInTheCurrentFolder)
{
    TempDir dir;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    make_work_dirs();
    make_work_dirs();  // a second run finds them there and goes on
    ASSERT_EQ(chdir(old), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("root").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat(dir.file("inst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}
