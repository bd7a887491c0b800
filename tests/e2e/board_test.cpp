// SPDX-License-Identifier: MIT
// The board library on its own, driven by its environment variables without
// the launcher: each piece emulated when asked, and the real system
// everywhere else.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "sim_harness.h"
#include "board/names.h"

namespace {

std::string client(const std::vector<std::string> &args, const std::vector<std::string> &env, bool preload = true)
{
    std::vector<std::string> argv = { BOARD_CLIENT };
    argv.insert(argv.end(), args.begin(), args.end());
    return run_direct(argv, env, preload);
}

// What the client sees with no board library at all.
std::string unemulated(const std::vector<std::string> &args)
{
    return client(args, {}, false);
}

std::string make_file(const std::string &name, const std::string &bytes)
{
    const std::string path = unique_folder("files") + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

TEST(Board, EveryPieceIsRealWhenItsVariableIsUnset)
{
    for (const std::vector<std::string> &env : { std::vector<std::string>{}, std::vector<std::string>{ SIM_ENV_OSD "=1" } }) {
        SCOPED_TRACE(env.empty() ? "no variable" : env[0]);
        EXPECT_EQ(client({ "read", CMDLINE_PATH }, env), read_file(CMDLINE_PATH));
        EXPECT_EQ(client({ "read", FONT_PATH }, env), unemulated({ "read", FONT_PATH }));
        EXPECT_EQ(client({ "card", "/dev/mmcblk0" }, env), unemulated({ "card", "/dev/mmcblk0" }));
        EXPECT_EQ(client({ "system", "exit 3" }, env), "status 768\n");
        if (access(FB_NODE, F_OK) != 0) {
            EXPECT_EQ(client({ "osd" }, env), "open failed: No such file or directory\n");
        }
    }
}

TEST(Board, OsdStartAcceptsOnlyTheMappingOfItsDescriptor)
{
    const std::string fb = make_file("fb1.raw", std::string(800 * 480 * 2, '\0'));
    const std::string trace = fb + ".trace";
    EXPECT_EQ(client({ "osd" }, { SIM_ENV_FB "=" + fb, SIM_ENV_TRACE "=" + trace }),
              "wrong address: -1\nmapping: 0\nother descriptor: -1\n");
    EXPECT_NE(read_file(trace).find("fb osd refused"), std::string::npos);
}

TEST(Board, CommandLineIsTheGivenFileOrAbsent)
{
    const std::string cmdline = std::string(1500, 'k') + " updater=2,0,0\n";
    const std::string path = make_file("cmdline", cmdline);
    const std::vector<std::string> env = { SIM_ENV_CMDLINE "=" + path };
    EXPECT_EQ(client({ "read", CMDLINE_PATH }, env), cmdline);
    // Through the C library's streams as well.
    EXPECT_EQ(client({ "fopen", CMDLINE_PATH }, env), cmdline);
    EXPECT_EQ(client({ "read", CMDLINE_PATH }, { SIM_ENV_CMDLINE "=" + path + ".missing" }),
              "open failed: No such file or directory\n");
}

TEST(Board, TouchPanelRecordsExactlyTheBytesWritten)
{
    const std::string record = make_file("ctp.bin", "");
    EXPECT_EQ(client({ "write", CTP_NODE, "ctp_calibrate" }, { SIM_ENV_CTP "=" + record }), "wrote 13\n");
    EXPECT_EQ(read_file(record), "ctp_calibrate");
    EXPECT_EQ(client({ "write", CTP_NODE, "x" }, { SIM_ENV_CTP "=" SIM_CTP_ABSENT }),
              "open failed: No such file or directory\n");
}

TEST(Board, CardStaysUntilItsRemovalRuleFires)
{
    EXPECT_EQ(client({ "card", "/dev/mmcblk1" }, { SIM_ENV_CARD "=1:polls=4" }), "opens 4\n");
    EXPECT_EQ(client({ "card", "/dev/mmcblk1" }, { SIM_ENV_CARD "=1:ms=0" }), "opens 0\n");
    EXPECT_EQ(client({ "card", "/dev/mmcblk1" }, { SIM_ENV_CARD "=1:never" }), "opens 100000\n");
    // Only the card is fitted; its partitions are not the card.
    EXPECT_EQ(client({ "card", "/dev/mmcblk2" }, { SIM_ENV_CARD "=1:never" }), "opens 0\n");
    EXPECT_EQ(client({ "card", "/dev/mmcblk1p1" }, { SIM_ENV_CARD "=1:never" }), unemulated({ "card", "/dev/mmcblk1p1" }));
    // Without an index the first whole disk opened is the card, whatever its
    // number; every other disk is missing and the card stays gone.
    EXPECT_EQ(client({ "card", "/dev/mmcblk-15", "/dev/mmcblk0", "/dev/mmcblk-15" }, { SIM_ENV_CARD "=polls=3" }),
              "opens 3\nopens 0\nopens 0\n");
    EXPECT_EQ(client({ "card", "/dev/mmcblk49p1", "/dev/mmcblk49" }, { SIM_ENV_CARD "=never" }),
              unemulated({ "card", "/dev/mmcblk49p1" }) + "opens 100000\n");
}

TEST(Board, FastClockMovesOneSecondPerReading)
{
    EXPECT_EQ(client({ "clock", "6" }, { SIM_ENV_CLOCK "=" SIM_CLOCK_FAST }), "1 1 1 1 1 \n");
}

TEST(Board, CommandsAreRecordedAndNeverRun)
{
    const std::string folder = unique_folder("system");
    const std::string marker = folder + "/marker";
    const std::string log = folder + "/commands.log";
    EXPECT_EQ(client({ "system", "touch " + marker }, { SIM_ENV_SYSTEM "=" + log, SIM_ENV_SYSTEM_STATUS "=3" }),
              "status 768\n");
    EXPECT_EQ(read_file(log), "touch " + marker + "\n");
    struct stat sb;
    EXPECT_NE(stat(marker.c_str(), &sb), 0) << "the command ran";
}

// The failing command is picked by its name, without its directory; every
// other command keeps the status given to all.
TEST(Board, OneCommandFailsByItsName)
{
    const std::string log = unique_folder("fail-command") + "/commands.log";
    const struct {
        const char *rule, *command, *status;
    } cases[] = {
        { "mkdosfs", "mkdosfs -F 32 /dev/ubiblk0 -v", "status 256" },
        { "mkdosfs=7", "/sbin/mkdosfs -F 32 /dev/ubiblk0", "status 1792" },
        { "mkdosfs=-1", "mkdosfs", "status -1" },
        { "mkdosfs=signal:9", "mkdosfs x", "status 9" },
        { "mkdosfs=7", "mkdosfs.fat x", "status 768" },
        { "mkdosfs=7", "mke2fs -t ext3 /dev/mmcblk0p3", "status 768" },
        { "mkdosfs=256", "mkdosfs x", "status 768" }, // malformed: ignored
    };
    for (const auto &c : cases)
        EXPECT_EQ(client({ "system", c.command }, { SIM_ENV_SYSTEM "=" + log, SIM_ENV_SYSTEM_STATUS "=3",
                                                  SIM_ENV_FAIL_COMMAND "=" + std::string(c.rule) }),
                  std::string(c.status) + "\n")
            << c.rule << " / " << c.command;
}

TEST(Launcher, HelpDocumentsEveryBoardVariable)
{
    const std::string help = run_direct({ UPDATER_SIM_EXE, "--help" }, {}, false);
#define EXPECT_DOCUMENTED(name, value) EXPECT_NE(help.find("  " name "=" value "\n"), std::string::npos) << name;
    SIM_ENV_VARIABLES(EXPECT_DOCUMENTED)
#undef EXPECT_DOCUMENTED
}

// A program that sleeps uses no processor time, yet it makes no progress
// either: it is stopped after a few graces, long before the timeout.
TEST(Launcher, ProgramThatBlocksIsStoppedForNoProgress)
{
    SimRun r = run_sim({ "--updater", "/bin/sleep", "--grace", "0.2", "--timeout", "30", "--", "60" });
    EXPECT_EQ(r.status, 124);
    EXPECT_NE(r.diagnostics.find("made no progress"), std::string::npos) << r.diagnostics;
}

TEST(Launcher, OwnFailuresHaveTheirOwnStatus)
{
    const struct {
        std::vector<std::string> options;
        std::string message;
    } cases[] = {
        { { "--screen", "wide" }, "bad screen size: wide" },
        { { "--updater", "/nonexistent/updater" }, "no program to run at /nonexistent/updater" },
        // Rows shorter than their pixels, whichever option comes first.
        { { "--line-length", "100" }, "bad value for --line-length: 100 (a row of 800 pixels at 16 bpp takes 1600 bytes)" },
        { { "--line-length", "3199", "--screen", "800x480x32" },
          "bad value for --line-length: 3199 (a row of 800 pixels at 32 bpp takes 3200 bytes)" },
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SimRun r = run_sim(cases[i].options, std::to_string(i));
        EXPECT_EQ(r.status, 125) << cases[i].message;
        EXPECT_NE(r.diagnostics.find("updater-sim: " + cases[i].message), std::string::npos) << r.diagnostics;
    }
    // A line of exactly the row's pixels is a driver without padding.
    SimRun exact = run_sim({ "--line-length", "1600" }, "exact");
    EXPECT_EQ(exact.status, 0) << exact.diagnostics;
    EXPECT_EQ(exact.pictures(), std::vector<std::string>{ "01-end.png" });
    int n = 0;
    for (const char *rule : { "", "=1", "mkdosfs=", "mkdosfs=256", "mkdosfs=-2", "mkdosfs=signal:0", "mkdosfs=x" })
        EXPECT_EQ(run_sim({ "--fail-command", rule }, "fail" + std::to_string(n++)).status, 125) << rule;
    // The card-removal rule through the parser the board library uses too:
    // whole values only, and the card's index is an option of its own.
    for (const char *rule : { "polls=", "polls=-1", "polls=5x", "ms", "ms=1.5", "1:polls=3", "sometimes" })
        EXPECT_EQ(run_sim({ "--card-removal", rule }, "card" + std::to_string(n++)).status, 125) << rule;
}

} // namespace
