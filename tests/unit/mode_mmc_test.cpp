// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "updater/mode_mmc.h"
#include "updater/mode_nand.h"

namespace {

std::string build(part_kind kind, int channel, int part, const char *label)
{
    char out[CMD_MAX];
    const int n = build_partition_command(out, sizeof(out), kind, channel, part, label);
    if (n < 0)
        return "<refused>";
    EXPECT_EQ(size_t(n), std::string(out).size());
    return out;
}

// A folder with a fake mkdosfs first on PATH: it writes each argument it
// gets, each followed by a zero byte, to args.bin, and a mark per run.
struct FakeMkdosfs {
    FakeMkdosfs()
    {
        char tmpl[] = "/tmp/mkdosfs-test-XXXXXX";
        dir = mkdtemp(tmpl);
        const std::string tool = dir + "/mkdosfs";
        FILE *f = fopen(tool.c_str(), "w");
        fprintf(f, "#!/bin/sh\necho run >> \"%s/runs\"\nfor a do printf '%%s\\0' \"$a\"; done > \"%s/args.bin\"\n",
                dir.c_str(), dir.c_str());
        fclose(f);
        chmod(tool.c_str(), 0755);
    }
    ~FakeMkdosfs()
    {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir;
    }
    // Runs the command text through the shell, as the updater does.
    std::vector<std::string> run(const std::string &command)
    {
        unlink((dir + "/args.bin").c_str());
        unlink((dir + "/runs").c_str());
        const std::string script = "PATH='" + dir + "':$PATH; " + command;
        pid_t pid = fork();
        if (pid == 0) {
            execl(TEST_SHELL, "sh", "-c", script.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        runs = slurp(dir + "/runs");
        std::vector<std::string> args;
        const std::string raw = slurp(dir + "/args.bin");
        size_t start = 0;
        for (size_t i = 0; i < raw.size(); i++)
            if (raw[i] == '\0') {
                args.push_back(raw.substr(start, i - start));
                start = i + 1;
            }
        return args;
    }
    static std::string slurp(const std::string &path)
    {
        std::string data;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            return data;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            data.append(buf, n);
        fclose(f);
        return data;
    }
    std::string dir;
    std::string runs;
};

} // namespace

TEST(PartitionCommand, OrdinaryTextsAreExact)
{
    EXPECT_EQ(build(PART_EXT3, 0, 3, "DATA"), "mke2fs -t ext3 /dev/mmcblk0p3");
    EXPECT_EQ(build(PART_EXT3, 2, 5, "DATA"), "mke2fs -t ext3 /dev/mmcblk2p5");
    EXPECT_EQ(build(PART_VFAT, 0, 6, "DATA"), "mkdosfs -F 32 /dev/mmcblk0p6 -n \"DATA\"");
    EXPECT_EQ(build(PART_VFAT, 1, 6, DEFAULT_LABEL), "mkdosfs -F 32 /dev/mmcblk1p6 -n \"OrvaneIC\"");
    EXPECT_EQ(build(PART_VFAT, 0, 6, "My Card 2"), "mkdosfs -F 32 /dev/mmcblk0p6 -n \"My Card 2\"");
    EXPECT_EQ(build(PART_VFAT, 0, 6, ""), "mkdosfs -F 32 /dev/mmcblk0p6 -n \"\"");
    EXPECT_EQ(build(PART_VFAT, 65, 6, "A"), "mkdosfs -F 32 /dev/mmcblk65p6 -n \"A\"");
    EXPECT_EQ(build(PART_SKIP, 0, 1, "DATA"), "");
}

TEST(PartitionCommand, PlanFormatsThreeFiveAndSix)
{
    const part_kind expected[PART_COUNT] = {PART_SKIP, PART_SKIP, PART_EXT3, PART_SKIP, PART_EXT3, PART_VFAT};
    for (int i = 0; i < PART_COUNT; i++)
        EXPECT_EQ(partition_plan[i], expected[i]) << "partition " << i + 1;
}

TEST(PartitionCommand, AnyLabelReachesMkdosfsByteForByte)
{
    FakeMkdosfs fake;
    const std::vector<std::string> labels = {
        "DATA",
        "",
        "two words",
        "say \"hi\"",
        "$(touch pwned)",
        "${HOME}$HOME$1$@",
        "`touch pwned`",
        "back\\slash\\",
        "\\\"",
        "%s%n%d%%",
        "line1\nline2",
        "semi;colon && echo x | cat > y",
        "'single'",
        "*?[a]~ !#",
        "caf\xc3\xa9 \x81\x82\x83\x84\x85\x86\x87\x88\x89\xff",
        "\x01\x02\t\r\x1b[0m",
    };
    for (const std::string &label : labels) {
        const std::string cmd = build(PART_VFAT, 0, 6, label.c_str());
        ASSERT_NE(cmd, "<refused>") << label;
        const std::vector<std::string> args = fake.run(cmd);
        EXPECT_EQ(fake.runs, "run\n") << "label: " << label;
        ASSERT_EQ(args.size(), 5u) << "label: " << label;
        EXPECT_EQ(args[0], "-F");
        EXPECT_EQ(args[1], "32");
        EXPECT_EQ(args[2], "/dev/mmcblk0p6");
        EXPECT_EQ(args[3], "-n");
        EXPECT_EQ(args[4], label);
    }
    struct stat st;
    EXPECT_NE(stat((fake.dir + "/pwned").c_str(), &st), 0);
    EXPECT_NE(stat("pwned", &st), 0);
}

TEST(PartitionCommand, LabelTooLongForTheCommandIsRefused)
{
    const std::string prefix = "mkdosfs -F 32 /dev/mmcblk0p6 -n \"";
    // 255 characters in all fit the 256-byte buffer.
    const std::string fits(255 - prefix.size() - 1, 'L');
    EXPECT_EQ(build(PART_VFAT, 0, 6, fits.c_str()).size(), 255u);
    EXPECT_EQ(build(PART_VFAT, 0, 6, (fits + "L").c_str()), "<refused>");
    // Escaping counts: a quote takes two characters.
    const std::string quoted = fits.substr(1) + "\"";
    EXPECT_EQ(build(PART_VFAT, 0, 6, quoted.c_str()), "<refused>");
    EXPECT_EQ(build(PART_VFAT, 0, 6, std::string(5000, 'x').c_str()), "<refused>");

    // The buffer is never written past its size, whatever is refused.
    char out[CMD_MAX + 8];
    memset(out, '#', sizeof(out));
    EXPECT_EQ(build_partition_command(out, CMD_MAX, PART_VFAT, 0, 6, std::string(300, 'x').c_str()), -1);
    for (size_t i = CMD_MAX; i < sizeof(out); i++)
        EXPECT_EQ(out[i], '#');
    EXPECT_EQ(out[0], '\0');
}
