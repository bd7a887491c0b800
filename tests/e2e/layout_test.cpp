// SPDX-License-Identifier: MIT
// Screen layout: where the status, detail and notice lines and the notice
// band land on a small screen (up to 480 lines) and on large ones, and proof
// that the screen check itself rejects a wrong band or a wrong message.
#include "sim_harness.h"

namespace {

struct Screen {
    unsigned xres, yres;
};

std::string size_text(const Screen &s)
{
    return std::to_string(s.xres) + "x" + std::to_string(s.yres);
}

void PrintTo(const Screen &s, std::ostream *os)
{
    *os << size_text(s);
}

class Layout : public ::testing::TestWithParam<Screen> {
protected:
    FontOracle font{ TEST_FONT };
};

TEST_P(Layout, HaltScreenHasStatusAndDetailLines)
{
    const Screen s = GetParam();
    SimRun r = run_sim_to_halt({ "--screen", size_text(s), "--cmdline", "updater=0,0,0", "--fb-fill", "0x1234" });
    ASSERT_EQ(r.status, 124) << r.diagnostics;
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", s.xres, s.yres), font,
                             { centred(font, Line::Status, "Unexpected updater mode!", s.xres, s.yres),
                               centred(font, Line::Detail, "Please reboot your device.", s.xres, s.yres) }));
}

TEST_P(Layout, Mode1NoticeLineAndWhiteNoticeBand)
{
    const Screen s = GetParam();
    SimRun r = run_sim({ "--screen", size_text(s), "--cmdline", "updater=1,0,0" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    const std::vector<std::string> pictures = r.pictures();
    ASSERT_EQ(pictures.size(), 14u);
    // Before the first command: the status line and the calibration notice.
    EXPECT_TRUE(screen_shows(load_png_frame(r.out + "/" + pictures.front()), font,
                             { centred(font, Line::Status, "Initializing user partitions ...", s.xres, s.yres),
                               at_notice("Calibrating, do not touch the screen!", s.xres, s.yres) }));
    // At the end the longer status text is gone (its band was cleared) and the
    // white band covers the notice.
    const LineGeometry band = line_geometry(Line::NoticeErase, s.xres, s.yres);
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", s.xres, s.yres), font,
                             { centred(font, Line::Status, "File system is ready!", s.xres, s.yres),
                               centred(font, Line::Detail, "Please remove the SD card and reboot.", s.xres, s.yres) },
                             { { band.band_x, band.band_y, band.band_w, band.band_h, 0xFFFF } }));
}

INSTANTIATE_TEST_SUITE_P(Screens, Layout, ::testing::Values(Screen{ 800, 480 }, Screen{ 800, 481 }, Screen{ 1024, 600 }),
                         [](const ::testing::TestParamInfo<Screen> &info) { return size_text(info.param); });

// The check must be able to fail: the halt screen of a small board against
// wrong expectations, and tampered copies of it against the right ones.
TEST(ScreenCheck, RejectsWrongBandsAndWrongMessages)
{
    FontOracle font(TEST_FONT);
    SimRun r = run_sim_to_halt({ "--cmdline", "updater=0,0,0" });
    ASSERT_EQ(r.status, 124) << r.diagnostics;
    const Frame good = load_raw_frame(r.out + "/fb1.raw", 800, 480);
    const ExpectedText status = centred(font, Line::Status, "Unexpected updater mode!", 800, 480);
    const ExpectedText detail = centred(font, Line::Detail, "Please reboot your device.", 800, 480);
    ASSERT_TRUE(screen_shows(good, font, { status, detail }));

    // The large layout's rows on a small screen.
    EXPECT_FALSE(screen_shows(good, font, { centred(font, Line::Status, status.text, 800, 481),
                                            centred(font, Line::Detail, detail.text, 800, 481) }));
    // One message worded differently.
    EXPECT_FALSE(screen_shows(good, font, { status, centred(font, Line::Detail, "Please reboot the device.", 800, 480) }));
    // A line missing from what is expected.
    EXPECT_FALSE(screen_shows(good, font, { status }));
    // Text two pixels off centre.
    ExpectedText shifted = status;
    shifted.x += 2;
    EXPECT_FALSE(screen_shows(good, font, { shifted, detail }));
    // The status line drawn one row lower.
    Frame lower = good;
    for (unsigned y = 130; y > 100; y--)
        for (unsigned x = 0; x < 800; x++) lower.at(x, y) = lower.at(x, y - 1);
    EXPECT_FALSE(screen_shows(lower, font, { status, detail }));
    // A band left uncleared in one pixel.
    Frame stray = good;
    stray.at(101, 101) = 0x1234;
    EXPECT_FALSE(screen_shows(stray, font, { status, detail }));
    // A white band where none belongs, and a missing one where it does.
    EXPECT_FALSE(screen_shows(good, font, { status, detail }, { { 100, 381, 648, 30, 0xFFFF } }));
}

} // namespace
