// SPDX-License-Identifier: MIT
// Panels of other depths and row lengths, and strike fonts, on the emulated
// board: every picture is the board's own 16-bpp picture, the frame memory
// holds it in the panel's format with the padding untouched, and a depth the
// program cannot draw is refused without touching the frame memory.
#include <algorithm>

#include "display/framebuffer.h"
#include "sim_harness.h"

namespace {

// Runs a mode on the default board and on the panel given by extra options
// and compares every picture.
void expect_same_pictures(const std::vector<std::string> &mode, const std::vector<std::string> &panel,
                          const std::string &tag)
{
    SimRun board = run_sim(mode, tag + "-board");
    std::vector<std::string> options = mode;
    options.insert(options.begin(), panel.begin(), panel.end());
    SimRun other = run_sim(options, tag);
    ASSERT_EQ(board.status, other.status) << other.diagnostics;
    EXPECT_EQ(board.console, other.console);
    ASSERT_EQ(board.pictures(), other.pictures());
    ASSERT_FALSE(other.pictures().empty());
    for (const std::string &p : other.pictures()) {
        const Frame want = load_png_frame(board.out + "/" + p), got = load_png_frame(other.out + "/" + p);
        ASSERT_EQ(got.xres, want.xres) << p;
        EXPECT_TRUE(got.px == want.px) << p << " differs from the 16-bpp picture";
    }
}

std::vector<std::string> mode2 = { "--cmdline", "updater=2,0,0", "--", "DATA" };
std::vector<std::string> mode1 = { "--cmdline", "updater=1,0,0", "--card-removal", "polls=2" };

} // namespace

TEST(Panel, Mode2At32And24BitsShowsTheBoardsPictures)
{
    expect_same_pictures(mode2, { "--screen", "800x480x32" }, "32");
    expect_same_pictures(mode2, { "--screen", "800x480x24" }, "24");
}

TEST(Panel, Mode1WithItsWhiteBandOnAPadded32BitBgrPanel)
{
    expect_same_pictures(mode1, { "--screen", "800x480x32", "--line-length", "3328", "--colour-order", "bgr" },
                         "bgr");
}

TEST(Panel, PaddedSixteenBitRowsShowTheSamePictureAndKeepThePadding)
{
    expect_same_pictures(mode2, { "--line-length", "1664" }, "padded");
    SimRun r = run_sim({ "--line-length", "1664", "--fb-fill", "0x0000" }, "padding");
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::string raw = r.file("fb1.raw");
    ASSERT_EQ(raw.size(), 1664u * 480u);
    for (size_t y = 0; y < 480; y++)
        for (size_t i = 1600; i < 1664; i++)
            ASSERT_EQ(raw[y * 1664 + i], 0) << "padding written in row " << y;
}

TEST(Panel, ThirtyTwoBitFrameMemoryIsX8R8G8B8WithThreeThousandTwoHundredByteLines)
{
    // What a guest's simple-framebuffer "x8r8g8b8" of 800x480 holds: each
    // 16-bpp pixel widened, blue first in memory, the top byte 0.
    SimRun board = run_sim(mode2, "board");
    SimRun r = run_sim({ "--screen", "800x480x32", "--cmdline", "updater=2,0,0", "--", "DATA" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const Frame want = load_raw_frame(board.out + "/fb1.raw", 800, 480);
    const std::string raw = r.file("fb1.raw");
    ASSERT_EQ(raw.size(), 3200u * 480u);
    fb_surface xrgb{};
    xrgb.bits_per_pixel = 32;
    xrgb.red = { 16, 8 };
    xrgb.green = { 8, 8 };
    xrgb.blue = { 0, 8 };
    size_t white = 0;
    for (unsigned y = 0; y < 480; y++)
        for (unsigned x = 0; x < 800; x++) {
            const uint32_t v = fb_native_colour(xrgb, want.at(x, y));
            const size_t at = y * 3200 + x * 4;
            for (unsigned k = 0; k < 4; k++)
                ASSERT_EQ(static_cast<uint8_t>(raw[at + k]), static_cast<uint8_t>(v >> (8 * k))) << x << "," << y;
            white += v == 0x00FFFFFF;
        }
    EXPECT_GT(white, 100u);
    const std::vector<std::string> trace = r.trace();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "fb vscreeninfo 800x480 32bpp"), trace.end());
    EXPECT_NE(std::find(trace.begin(), trace.end(), "fb fscreeninfo smem_len 1536000"), trace.end());
}

namespace {

// A run on a panel without colours claims no picture: none in the folder,
// no contact sheet, no step frame left over, and the launcher says why.
void expect_no_pictures(const SimRun &r, const std::string &depth)
{
    EXPECT_TRUE(r.pictures().empty());
    EXPECT_TRUE(r.file("contact-sheet.png").empty() && r.file("01-cmd-mke2fs.raw").empty()) << "sheet or frame left";
    EXPECT_NE(r.diagnostics.find("no picture: the program does not draw on a " + depth + "-bpp panel"),
              std::string::npos)
        << r.diagnostics;
}

} // namespace

TEST(Panel, DepthTheProgramCannotDrawIsRefusedAndTheMemoryLeftAlone)
{
    for (const char *screen : { "800x480x8", "800x480x15", "800x480x7" }) {
        SimRun r = run_sim({ "--screen", screen, "--fb-fill", "0xA5A5" }, screen);
        EXPECT_EQ(r.status, 0) << r.diagnostics;
        const std::string depth = std::string(screen).substr(8);
        EXPECT_EQ(r.console, "fb depth " + depth + " not supported\nGot type = 3, channel = 0\n");
        const std::string raw = r.file("fb1.raw");
        ASSERT_FALSE(raw.empty());
        const std::string filled = filled_frame(sim_panel{ 800, 480, unsigned(std::stoi(depth)), 0, 0 }, 0xA5A5);
        EXPECT_TRUE(raw == filled) << "frame memory written at " << depth << " bpp";
        expect_no_pictures(r, depth);
    }
    // Mode 2 saves the frame memory before each of its commands.
    std::vector<std::string> options = mode2;
    options.insert(options.begin(), { "--screen", "800x480x7" });
    SimRun r = run_sim(options, "mode2");
    EXPECT_EQ(r.status, 0) << r.diagnostics;
    EXPECT_EQ(r.file("commands.log").substr(0, 6), "mke2fs");
    expect_no_pictures(r, "7");
}

TEST(StrikeFont, BannerLandsInTheStatusBandLikeTheOutlineFont)
{
    FontOracle font(TEST_FONT);
    const LineGeometry status = line_geometry(Line::Status, 800, 480);
    for (int depth : { 1, 2, 4, 8 }) {
        const std::string path = std::string(TEST_STRIKE_FONT_DIR) + "/strike-" + std::to_string(depth) + ".ttf";
        SimRun r = run_sim({ "--font", path }, std::to_string(depth));
        ASSERT_EQ(r.status, 0) << r.diagnostics;
        EXPECT_EQ(r.console, "Got type = 3, channel = 0\n");
        const Frame f = load_raw_frame(r.out + "/fb1.raw", 800, 480);
        int left = 800, right = -1, top = 480, bottom = -1;
        for (unsigned y = 0; y < 480; y++)
            for (unsigned x = 0; x < 800; x++)
                if (f.at(x, y) != 0) {
                    left = std::min(left, int(x));
                    right = std::max(right, int(x));
                    top = std::min(top, int(y));
                    bottom = std::max(bottom, int(y));
                }
        const FontOracle::Ink outline = font.ink("Orvane Updater ...", (800 - font.width("Orvane Updater ...")) / 2,
                                                 status.baseline);
        ASSERT_TRUE(outline.any);
        EXPECT_NEAR(left, outline.left, 2) << depth;
        EXPECT_NEAR(right, outline.right, 3) << depth;
        EXPECT_GE(top, status.band_y) << depth;
        EXPECT_LT(bottom, status.band_y + status.band_h) << depth;
    }
}
