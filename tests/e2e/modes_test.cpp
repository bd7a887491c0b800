// SPDX-License-Identifier: MIT
// Modes 1 and 2 on the emulated board: the commands in order and exactly as
// they would run, the console log, a picture before each command, the touch
// panel and the SD card.
#include <algorithm>

#include "sim_harness.h"
#include "tests/shell_status_cases.h"
#include "updater/mode_nand.h"

namespace {

// Mode 1's commands as the program's own table has them, then the reboot.
std::vector<std::string> mode1_commands()
{
    std::vector<std::string> commands;
    for (unsigned i = 0; i < nand_command_count; i++) commands.push_back(nand_commands[i].text);
    commands.push_back("reboot");
    return commands;
}

std::string lines(const std::vector<std::string> &items, const std::string &prefix = "")
{
    std::string s;
    for (const std::string &i : items) s += prefix + i + "\n";
    return s;
}

size_t index_of(const std::vector<std::string> &v, const std::string &line)
{
    return static_cast<size_t>(std::find(v.begin(), v.end(), line) - v.begin());
}

// The last mode-1 screen: the verdict on the file system and the removal
// prompt over the white notice band.
::testing::AssertionResult shows_final_mode1_screen(const SimRun &r, FontOracle &font,
                                                    const char *status = "File system is ready!")
{
    const LineGeometry band = line_geometry(Line::NoticeErase, 800, 480);
    return screen_shows(load_raw_frame(r.out + "/fb1.raw", 800, 480), font,
                        { centred(font, Line::Status, status, 800, 480),
                          centred(font, Line::Detail, "Please remove the SD card and reboot.", 800, 480) },
                        { { band.band_x, band.band_y, band.band_w, band.band_h, 0xFFFF } });
}

TEST(Mode2, FormatsThePartitionsWithTheGivenLabelAndReboots)
{
    SimRun r = run_sim({ "--cmdline", "updater=2,0,0", "--", "DATA" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> commands = { "mke2fs -t ext3 /dev/mmcblk0p3", "mke2fs -t ext3 /dev/mmcblk0p5",
                                                "mkdosfs -F 32 /dev/mmcblk0p6 -n \"DATA\"", "reboot" };
    EXPECT_EQ(r.file("commands.log"), lines(commands));
    EXPECT_EQ(r.console, "Got type = 2, channel = 0\n" + lines(commands, "cmd: "));
    const std::vector<std::string> expected_pictures = { "01-cmd-mke2fs.png", "02-cmd-mke2fs.png", "03-cmd-mkdosfs.png",
                                                         "04-cmd-reboot.png", "05-end.png" };
    ASSERT_EQ(r.pictures(), expected_pictures);
    FontOracle font(TEST_FONT);
    for (const std::string &p : expected_pictures)
        EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/" + p), font,
                                 { centred(font, Line::Status, "Erasing user partitions ...", 800, 480) }))
            << p;
}

TEST(Mode2, ChannelAndLabelArguments)
{
    struct Case {
        std::string cmdline;
        std::vector<std::string> args;
        std::string fat_command;
    };
    const Case cases[] = {
        { "updater=2,0,0", {}, "mkdosfs -F 32 /dev/mmcblk0p6 -n \"OrvaneIC\"" },
        { "updater=2,0,0", { "" }, "mkdosfs -F 32 /dev/mmcblk0p6 -n \"\"" },
        { "updater=2,2,0", { "DATA" }, "mkdosfs -F 32 /dev/mmcblk2p6 -n \"DATA\"" },
        { "updater=2,0,0", { "FIRST", "SECOND" }, "mkdosfs -F 32 /dev/mmcblk0p6 -n \"FIRST\"" },
    };
    int n = 0;
    for (const Case &c : cases) {
        std::vector<std::string> options = { "--cmdline", c.cmdline, "--" };
        options.insert(options.end(), c.args.begin(), c.args.end());
        SimRun r = run_sim(options, std::to_string(n++));
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        const std::string dev = "/dev/mmcblk" + c.cmdline.substr(10, 1);
        const std::vector<std::string> commands = { "mke2fs -t ext3 " + dev + "p3", "mke2fs -t ext3 " + dev + "p5",
                                                    c.fat_command, "reboot" };
        EXPECT_EQ(r.file("commands.log"), lines(commands)) << c.cmdline;
        EXPECT_EQ(r.console, "Got type = 2, channel = " + c.cmdline.substr(10, 1) + "\n" + lines(commands, "cmd: "));
    }
}

TEST(Mode2, LabelTooLongForTheCommandIsRefusedAndTheRestRuns)
{
    SimRun r = run_sim({ "--cmdline", "updater=2,0,0", "--", std::string(300, 'L') });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> commands = { "mke2fs -t ext3 /dev/mmcblk0p3", "mke2fs -t ext3 /dev/mmcblk0p5" };
    EXPECT_EQ(r.file("commands.log"), lines(commands) + "reboot\n");
    EXPECT_EQ(r.console, "Got type = 2, channel = 0\n" + lines(commands, "cmd: ") +
                             "label too long, /dev/mmcblk0p6 not formatted\ncmd: reboot\n");
}

TEST(Mode2, ShellSpecialLabelIsPassedQuoted)
{
    SimRun r = run_sim({ "--cmdline", "updater=2,0,0", "--", "a\"$(id)`id`\\%s" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::string fat = "mkdosfs -F 32 /dev/mmcblk0p6 -n \"a\\\"\\$(id)\\`id\\`\\\\%s\"";
    EXPECT_EQ(r.file("commands.log"), lines({ "mke2fs -t ext3 /dev/mmcblk0p3", "mke2fs -t ext3 /dev/mmcblk0p5", fat,
                                              "reboot" }));
}

TEST(Mode2, SeparatorsAreIgnoredAndTheLabelDefaults)
{
    SimRun r = run_sim({ "--cmdline", "updater=2x7y1" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    EXPECT_EQ(r.file("commands.log"), lines({ "mke2fs -t ext3 /dev/mmcblk7p3", "mke2fs -t ext3 /dev/mmcblk7p5",
                                              "mkdosfs -F 32 /dev/mmcblk7p6 -n \"OrvaneIC\"", "reboot" }));
}

TEST(Mode1, RebuildsNandStorageWaitsForTheCardAndReboots)
{
    SimRun r = run_sim({ "--cmdline", "console=ttyS0 updater=1,0,1", "--card-removal", "polls=5" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> commands = mode1_commands();
    EXPECT_EQ(r.file("commands.log"), lines(commands));
    EXPECT_EQ(r.console, "Got type = 1, channel = 0\n" + lines(commands, "cmd: "));
    EXPECT_EQ(r.file("ctp.bin"), "ctp_calibrate");
    const std::vector<std::string> trace = r.trace();
    // The card watched is the one the command line names, and the reboot
    // waits for its removal.
    const size_t removed = index_of(trace, "card removed after 5 opens");
    ASSERT_LT(removed, trace.size());
    EXPECT_LT(index_of(trace, "card present /dev/mmcblk1"), removed);
    EXPECT_LT(index_of(trace, "system umount /mnt"), removed);
    EXPECT_LT(removed, index_of(trace, "system reboot"));
    std::vector<std::string> pictures = r.pictures();
    ASSERT_EQ(pictures.size(), 14u);
    EXPECT_EQ(pictures[0], "01-cmd-flash_eraseall.png");
    EXPECT_EQ(pictures[12], "13-cmd-reboot.png");
    EXPECT_EQ(pictures[13], "14-end.png");
    // All fourteen on one sheet: 4 columns and 4 rows of 266x160 cells.
    RgbImage sheet;
    ASSERT_TRUE(read_png_rgb(r.out + "/contact-sheet.png", &sheet));
    EXPECT_EQ(sheet.width, 8u + 4 * (266 + 8));
    EXPECT_EQ(sheet.height, 8u + 4 * (160 + 4 + 2 * 14 + 8));
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/13-cmd-reboot.png"), font,
                             { centred(font, Line::Status, "File system is ready!", 800, 480),
                               centred(font, Line::Detail, "Please remove the SD card and reboot.", 800, 480),
                               at_notice("Calibrating, do not touch the screen!", 800, 480) }));
}

// The console of a whole mode-1 run whose mkdosfs reported status (no
// message when it is 0).
std::string mode1_console(const std::string &before_commands, int mkdosfs_status)
{
    const std::vector<std::string> commands = mode1_commands();
    std::string console = "Got type = 1, channel = 0\n" + before_commands;
    for (size_t i = 0; i < commands.size(); i++) {
        console += "cmd: " + commands[i] + "\n";
        if (i < nand_command_count && nand_commands[i].decides_verdict && mkdosfs_status != 0)
            console += "mkdosfs failed, status " + std::to_string(mkdosfs_status) + "\n";
    }
    return console;
}

TEST(Mode1, WithoutTouchPanelAndWithFailingCommandsEverythingStillRuns)
{
    SimRun r = run_sim({ "--cmdline", "updater=1,0,0", "--no-ctp", "--command-status", "1" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> commands = mode1_commands();
    EXPECT_EQ(r.console, mode1_console("CTP is not present.\n", 1));
    EXPECT_EQ(r.file("commands.log"), lines(commands));
    FontOracle font(TEST_FONT);
    // No notice before the first command; the white band at the end all the same.
    EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/01-cmd-flash_eraseall.png"), font,
                             { centred(font, Line::Status, "Initializing user partitions ...", 800, 480) }));
    EXPECT_TRUE(shows_final_mode1_screen(r, font, "File system is not ready!"));
}

// Only the FAT32 mkdosfs decides the verdict, whatever its outcome was; the
// other commands fail on a first conversion as a matter of course.
TEST(Mode1, VerdictFollowsTheMkdosfsStatusAlone)
{
    FontOracle font(TEST_FONT);
    int n = 0;
    for (const ShellStatusCase &c : kShellStatusCases) {
        SimRun r = run_sim({ "--cmdline", "updater=1,0,0", "--fail-command", std::string("mkdosfs=") + c.outcome },
                           std::to_string(n++));
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        EXPECT_EQ(r.console, mode1_console("", c.status)) << c.outcome;
        EXPECT_TRUE(shows_final_mode1_screen(r, font, c.status == 0 ? "File system is ready!"
                                                                    : "File system is not ready!"))
            << c.outcome;
    }
    for (const char *other : { "rm", "mount", "cp=1", "umount=-1", "ubimkvol=signal:9" }) {
        SimRun r = run_sim({ "--cmdline", "updater=1,0,0", "--fail-command", other }, other);
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        EXPECT_EQ(r.console, mode1_console("", 0)) << other;
        EXPECT_TRUE(shows_final_mode1_screen(r, font)) << other;
    }
}

TEST(Mode1, NoticeComesBeforeTheFirstCommandAndOnlyCardOneIsWatched)
{
    SimRun r = run_sim({ "--cmdline", "updater=1,0,1" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/01-cmd-flash_eraseall.png"), font,
                             { centred(font, Line::Status, "Initializing user partitions ...", 800, 480),
                               at_notice("Calibrating, do not touch the screen!", 800, 480) }));
    const std::vector<std::string> trace = r.trace();
    EXPECT_LT(index_of(trace, "card present /dev/mmcblk1"), trace.size());
    for (const std::string &line : trace)
        EXPECT_EQ(line.rfind("card missing", 0), std::string::npos) << line;
}

// The card the program waits for is the one the emulated board pulls, for
// any card-index character: 'a' is card 49 and '!' card -15 ('!' - '0').
TEST(Mode1, EmulatedCardIsTheOneTheProgramWaitsFor)
{
    for (const auto &[card, node] : { std::pair{ 'a', "/dev/mmcblk49" }, std::pair{ '!', "/dev/mmcblk-15" } }) {
        SimRun r = run_sim({ "--cmdline", std::string("updater=1,0,") + card, "--card-removal", "polls=4" },
                           std::string(1, card == 'a' ? 'a' : 'x'));
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        const std::vector<std::string> trace = r.trace();
        const size_t removed = index_of(trace, "card removed after 4 opens");
        ASSERT_LT(removed, trace.size()) << node;
        EXPECT_LT(index_of(trace, std::string("card present ") + node), removed);
        EXPECT_LT(removed, index_of(trace, "system reboot"));
        for (const std::string &line : trace) EXPECT_EQ(line.rfind("card missing", 0), std::string::npos) << line;
    }
}

TEST(Mode1, CardIndexOptionOverridesTheProgramsChoice)
{
    // The program waits for card 1; only card 2 is fitted, so card 1 is gone
    // from the first look and the reboot follows at once.
    SimRun r = run_sim({ "--cmdline", "updater=1,0,1", "--card-index", "2", "--card-removal", "never" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> trace = r.trace();
    EXPECT_LT(index_of(trace, "card missing /dev/mmcblk1"), index_of(trace, "system reboot"));
    EXPECT_EQ(index_of(trace, "card present /dev/mmcblk2"), trace.size());
}

// The clock readings the program made after it asked for the reboot.
std::vector<std::string> clock_after_reboot(const std::vector<std::string> &trace)
{
    std::vector<std::string> readings;
    for (size_t i = index_of(trace, "system reboot"); i < trace.size(); i++)
        if (trace[i].rfind("clock ", 0) == 0)
            readings.push_back(trace[i]);
    return readings;
}

TEST(Mode1, BandWaitsForFiveSecondsOfClock)
{
    // The fast clock moves one second per reading: the work itself takes no
    // time, so the floor alone holds the band back.
    SimRun r = run_sim({ "--cmdline", "updater=1,0,0" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> trace = r.trace();
    // The start is read before the calibration is asked for.
    EXPECT_LT(index_of(trace, "clock +0"), index_of(trace, "ctp open"));
    EXPECT_EQ(clock_after_reboot(trace), (std::vector<std::string>{ "clock +1", "clock +2", "clock +3", "clock +4",
                                                                      "clock +5" }));
    FontOracle font(TEST_FONT);
    const LineGeometry band = line_geometry(Line::NoticeErase, 800, 480);
    const std::vector<ExpectedText> texts = { centred(font, Line::Status, "File system is ready!", 800, 480),
                                              centred(font, Line::Detail, "Please remove the SD card and reboot.",
                                                      800, 480) };
    // Not yet painted when the reboot was asked for; painted at the end.
    std::vector<ExpectedText> with_notice = texts;
    with_notice.push_back(at_notice("Calibrating, do not touch the screen!", 800, 480));
    EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/13-cmd-reboot.png"), font, with_notice));
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", 800, 480), font, texts,
                             { { band.band_x, band.band_y, band.band_w, band.band_h, 0xFFFF } }));
}

TEST(Mode1, ClockSetBackEndsTheWaitAtOnce)
{
    SimRun r = run_sim({ "--cmdline", "updater=1,0,0", "--clock-set-back" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    EXPECT_EQ(clock_after_reboot(r.trace()), (std::vector<std::string>{ "clock -3600" }));
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(shows_final_mode1_screen(r, font));
}

TEST(Mode1, CardNeverRemovedKeepsTheProgramWaiting)
{
    SimRun r = run_sim_to_halt({ "--cmdline", "updater=1,0,0", "--card-removal", "never" });
    EXPECT_EQ(r.status, 124) << r.diagnostics;
    std::vector<std::string> commands = mode1_commands();
    commands.pop_back();
    EXPECT_EQ(r.file("commands.log"), lines(commands)) << "no reboot while the card is in";
}

} // namespace
