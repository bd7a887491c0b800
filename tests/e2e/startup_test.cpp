// SPDX-License-Identifier: MIT
// Start-up: the order of the screen, font and command-line steps, the console
// output of mode 3 and of the unexpected-mode halt, and the command-line edge
// cases that decide the mode.
#include <fstream>

#include "sim_harness.h"

namespace {

bool ended_by_itself(int status)
{
    return status >= 0 && status < 124;
}

// A command line whose "updater=" key starts at byte pad.
std::string padded_cmdline_file(size_t pad, const std::string &params)
{
    const std::string path = unique_folder("cmdline") + "/cmdline";
    std::ofstream(path, std::ios::binary) << std::string(pad, 'a') << "updater=" << params << "\n";
    return path;
}

TEST(Startup, Mode3ShowsTheBannerAndReturns)
{
    SimRun r = run_sim({ "--cmdline", "console=ttyS0,115200 updater=3,0,0" });
    EXPECT_TRUE(ended_by_itself(r.status)) << r.status << r.diagnostics;
    EXPECT_EQ(r.console, "Got type = 3, channel = 0\n");
    EXPECT_EQ(r.file("commands.log"), "");
    EXPECT_EQ(r.pictures(), std::vector<std::string>{ "01-end.png" });
    // Screen first, then the font, then two separate reads of the command
    // line (mode, then channel).
    const std::vector<std::string> expected = { "fb open", "fb vscreeninfo 800x480 16bpp", "fb fscreeninfo smem_len 768000",
                                                "fb mmap 768000", "fb osd ok", "font open", "cmdline open", "cmdline open" };
    EXPECT_EQ(r.trace(), expected);
    FontOracle font(TEST_FONT);
    Frame last = load_png_frame(r.out + "/01-end.png");
    EXPECT_TRUE(screen_shows(last, font, { centred(font, Line::Status, "Orvane Updater ...", 800, 480) }));
    // The picture is the frame memory the program left.
    EXPECT_EQ(last.px, load_raw_frame(r.out + "/fb1.raw", 800, 480).px);
}

TEST(Startup, KeyEndingInsideTheFirst1024BytesCounts)
{
    // The channel digit is the 1024th byte.
    SimRun r = run_sim({ "--cmdline-file", padded_cmdline_file(1013, "3,7,0") });
    EXPECT_TRUE(ended_by_itself(r.status)) << r.status;
    EXPECT_EQ(r.console, "Got type = 3, channel = 7\n");
}

TEST(Startup, FirstKeyCountsAndLongerKeysMatch)
{
    SimRun r = run_sim({ "--cmdline", "xupdater=3,4,0 updater=0,0,0" });
    EXPECT_TRUE(ended_by_itself(r.status)) << r.status;
    EXPECT_EQ(r.console, "Got type = 3, channel = 4\n");
}

struct HaltCase {
    const char *name;
    std::vector<std::string> options; // empty first element: a padded file
    const char *console;
};

void PrintTo(const HaltCase &c, std::ostream *os)
{
    *os << c.name;
}

class Halt : public ::testing::TestWithParam<HaltCase> {};

TEST_P(Halt, StopsOnTheUnexpectedModeScreen)
{
    const HaltCase &c = GetParam();
    std::vector<std::string> options = c.options;
    if (options.empty()) options = { "--cmdline-file", padded_cmdline_file(1017, "3,0,0") };
    SimRun r = run_sim_to_halt(options);
    EXPECT_EQ(r.status, 124) << r.diagnostics;
    EXPECT_NE(r.diagnostics.find("no progress"), std::string::npos) << r.diagnostics;
    EXPECT_EQ(r.console, c.console);
    EXPECT_EQ(r.file("commands.log"), "");
    EXPECT_EQ(r.pictures(), std::vector<std::string>{ "01-stopped.png" });
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", 800, 480), font,
                             { centred(font, Line::Status, "Unexpected updater mode!", 800, 480),
                               centred(font, Line::Detail, "Please reboot your device.", 800, 480) }));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Halt,
    ::testing::Values(HaltCase{ "digit0", { "--cmdline", "updater=0,5,0" }, "Got type = 0, channel = 5\n" },
                      HaltCase{ "digit4", { "--cmdline", "updater=4,1,0" }, "Got type = 4, channel = 1\n" },
                      HaltCase{ "digit5", { "--cmdline", "updater=5,0,0" }, "Got type = 5, channel = 0\n" },
                      HaltCase{ "digit6", { "--cmdline", "updater=6,0,0" }, "Got type = 6, channel = 0\n" },
                      HaltCase{ "digit7", { "--cmdline", "updater=7,0,0" }, "Got type = 7, channel = 0\n" },
                      HaltCase{ "digit8", { "--cmdline", "updater=8,0,0" }, "Got type = 8, channel = 0\n" },
                      HaltCase{ "digit9", { "--cmdline", "updater=9,9,0" }, "Got type = 9, channel = 9\n" },
                      // 'm' is 109: the mode is 109 - 48 = 61.
                      HaltCase{ "letter", { "--cmdline", "quiet updater=m,2,0" }, "Got type = 61, channel = 2\n" },
                      HaltCase{ "key_missing", { "--cmdline", "console=ttyS0 root=/dev/mmcblk0p2" }, "Got type = 0, channel = 0\n" },
                      HaltCase{ "cmdline_missing", { "--no-cmdline" }, "Got type = 0, channel = 0\n" },
                      HaltCase{ "key_beyond_1024_bytes", {}, "Got type = 0, channel = 0\n" }),
    [](const ::testing::TestParamInfo<HaltCase> &info) { return std::string(info.param.name); });

} // namespace
