// SPDX-License-Identifier: MIT
// Panels other than the board's own: 24 and 32 bits per pixel with the
// channels anywhere, rows padded by the driver, and depths that cannot be
// drawn.
#include <vector>

#include <gtest/gtest.h>

#include "display/framebuffer.h"
#include "display/text.h"
#include "glyph_bitmap.h"
#include "memory_surface.h"
#include "stdout_capture.h"
#include "test_fonts.h"

namespace {

fb_surface format(int bits, fb_channel r, fb_channel g, fb_channel b, fb_channel t = {0, 0})
{
    fb_surface fb{};
    fb.bits_per_pixel = bits;
    fb.red = r;
    fb.green = g;
    fb.blue = b;
    fb.transp = t;
    return fb;
}

} // namespace

TEST(PanelColour, Rgb565ExpandsToEachChannelsFullRange)
{
    const fb_surface xrgb = format(32, {16, 8}, {8, 8}, {0, 8});
    EXPECT_EQ(fb_native_colour(xrgb, 0xFFFF), 0x00FFFFFFu);
    EXPECT_EQ(fb_native_colour(xrgb, 0x0000), 0x00000000u);
    EXPECT_EQ(fb_native_colour(xrgb, 0xF800), 0x00FF0000u);
    EXPECT_EQ(fb_native_colour(xrgb, 0x07E0), 0x0000FF00u);
    EXPECT_EQ(fb_native_colour(xrgb, 0x001F), 0x000000FFu);
    // The grey of coverage 128, as bit replication widens it.
    EXPECT_EQ(fb_native_colour(xrgb, 0x8410), 0x00848284u);

    const fb_surface xbgr = format(32, {0, 8}, {8, 8}, {16, 8});
    EXPECT_EQ(fb_native_colour(xbgr, 0xF800), 0x000000FFu);
    EXPECT_EQ(fb_native_colour(xbgr, 0x001F), 0x00FF0000u);

    // An alpha channel is made opaque; ten-bit channels reach 1023.
    const fb_surface argb = format(32, {16, 8}, {8, 8}, {0, 8}, {24, 8});
    EXPECT_EQ(fb_native_colour(argb, 0x0000), 0xFF000000u);
    const fb_surface rgb30 = format(32, {20, 10}, {10, 10}, {0, 10});
    EXPECT_EQ(fb_native_colour(rgb30, 0xFFFF), 0x3FFFFFFFu);

    // Widening repeats the bits from the top, as a 16-bit panel's own
    // picture widens them, so both depths show the same colours.
    EXPECT_EQ(fb_widen(3, 5, 8), 24u);
    EXPECT_EQ(fb_widen(16, 5, 8), 132u);
    EXPECT_EQ(fb_widen(11, 6, 8), 44u);
    EXPECT_EQ(fb_widen(0x3F, 6, 4), 15u);
    EXPECT_EQ(fb_native_colour(xrgb, 0x18E3), 0x00181C18u);

    // Plain memory with no channels given is x8r8g8b8; 16 bits ignore them.
    EXPECT_EQ(fb_native_colour(format(24, {0, 0}, {0, 0}, {0, 0}), 0xF800), 0xFF0000u);
    EXPECT_EQ(fb_native_colour(format(16, {0, 5}, {5, 6}, {11, 5}), 0xF81F), 0xF81Fu);
}

TEST(PanelColour, OnlyDrawableFormatsAreSupported)
{
    const fb_channel r{16, 8}, g{8, 8}, b{0, 8}, none{0, 0};
    EXPECT_EQ(fb_format_supported(16, {0, 0}, {0, 0}, {0, 0}, none), 0);
    EXPECT_EQ(fb_format_supported(16, {0, 5}, {5, 6}, {11, 5}, none), 0);
    EXPECT_EQ(fb_format_supported(24, r, g, b, none), 0);
    EXPECT_EQ(fb_format_supported(32, r, g, b, {24, 8}), 0);
    for (int bits : {0, 1, 8, 15, 18, 31, 64, -16, INT32_MIN, INT32_MAX})
        EXPECT_EQ(fb_format_supported(bits, r, g, b, none), -1) << bits;
    EXPECT_EQ(fb_format_supported(24, {24, 8}, g, b, none), -1);      // red beyond the pixel
    EXPECT_EQ(fb_format_supported(32, {16, 0}, g, b, none), -1);      // no red
    EXPECT_EQ(fb_format_supported(32, r, g, {0, 17}, none), -1);      // wider than a colour can be
    EXPECT_EQ(fb_format_supported(32, r, g, b, {30, 8}), -1);         // alpha beyond the pixel
    EXPECT_EQ(fb_format_supported(32, r, g, {0xFFFFFFF8, 16}, none), -1);  // offset wraps
}

TEST(Panel32, ClearAndBandsCoverTheirPixelsInFullWhite)
{
    PanelSurface s(800, 480, 32);
    fb_clear(0xFFFF);
    EXPECT_EQ(s.changed_pixels(), 800u * 480u);
    EXPECT_EQ(s.at(0, 0), 0x00FFFFFFu);
    EXPECT_EQ(s.at(799, 479), 0x00FFFFFFu);
    EXPECT_EQ(s.at(400, 240), 0x00FFFFFFu);
    EXPECT_TRUE(s.guards_intact());

    fb_fill_rect(100, 100, 600, 30, 0x0000, 0);
    for (int y = 99; y <= 130; y++)
        for (int x : {99, 100, 699, 700})
            EXPECT_EQ(s.at(x, y), (y >= 100 && y < 130 && x >= 100 && x < 700) ? 0u : 0x00FFFFFFu) << x << "," << y;

    // A colour whose bytes differ goes through the block copy.
    fb_fill_rect(10, 10, 3, 2, 0xF800, 0);
    EXPECT_EQ(s.at(10, 10), 0x00FF0000u);
    EXPECT_EQ(s.at(12, 11), 0x00FF0000u);
    EXPECT_EQ(s.at(13, 11), 0x00FFFFFFu);
}

TEST(Panel24, ClearReachesTheLastPixelAndNothingBeyond)
{
    PanelSurface s(1024, 600, 24, 0, 1024 * 600 * 3 + 1000);
    fb_clear(0x07E0);
    EXPECT_EQ(s.changed_pixels(), 1024u * 600u);
    EXPECT_EQ(s.at(1023, 599), 0x00FF00u);
    EXPECT_EQ(s.at(0, 300), 0x00FF00u);
    EXPECT_TRUE(s.outside_screen_untouched());
    EXPECT_TRUE(s.guards_intact());

    // A screen that is no whole number of copy blocks, mapped to its end.
    PanelSurface odd(1000, 3, 24);
    fb_clear(0xF81F);
    EXPECT_EQ(odd.changed_pixels(), 3000u);
    EXPECT_EQ(odd.at(999, 2), 0xFF00FFu);
    EXPECT_TRUE(odd.guards_intact());
}

TEST(Panel32, AndModeKeepsOnlyTheColoursChannels)
{
    PanelSurface s(800, 480, 32);
    fb_clear(0xFFFF);
    fb_fill_rect(0, 0, 5, 1, 0xF800, 1);
    for (int x = 0; x < 5; x++)
        EXPECT_EQ(s.at(x, 0), 0x00FF0000u);
    EXPECT_EQ(s.at(5, 0), 0x00FFFFFFu);

    PanelSurface s24(800, 480, 24);
    fb_clear(0xFFFF);
    fb_fill_rect(1, 1, 3, 1, 0x001F, 1);
    EXPECT_EQ(s24.at(1, 1), 0x0000FFu);
    EXPECT_EQ(s24.at(3, 1), 0x0000FFu);
    EXPECT_EQ(s24.at(4, 1), 0xFFFFFFu);
}

TEST(PaddedRows, PixelsLandLineLengthApartAndPaddingIsLeftAlone)
{
    for (int bits : {16, 32}) {
        const uint32_t line = 800 * (bits / 8) + 64;
        PanelSurface s(800, 480, bits, line);
        fb_clear(0xFFFF);
        EXPECT_EQ(s.changed_pixels(), 800u * 480u) << bits;
        EXPECT_TRUE(s.outside_screen_untouched()) << bits;

        fb_fill_rect(100, 100, 600, 30, 0x0000, 0);
        EXPECT_EQ(s.at(100, 100), 0u);
        EXPECT_EQ(s.at(699, 129), 0u);
        EXPECT_NE(s.at(100, 130), 0u);
        EXPECT_NE(s.at(700, 100), 0u);
        EXPECT_NE(s.at(99, 129), 0u);

        unsigned char cov[4] = {255, 0, 0, 255};
        FT_Bitmap bm = glyph_bitmap(2, 2, 2, FT_PIXEL_MODE_GRAY, cov);
        draw_glyph_bitmap(&bm, 798, 478);
        EXPECT_NE(s.at(798, 478), 0u);
        EXPECT_EQ(s.at(799, 478), 0u);
        EXPECT_EQ(s.at(798, 479), 0u);
        EXPECT_NE(s.at(799, 479), 0u);
        EXPECT_TRUE(s.outside_screen_untouched()) << bits;
        EXPECT_TRUE(s.guards_intact()) << bits;
    }
}

TEST(PaddedRows, ShortOrMissingLineLengthMeansXresPixels)
{
    // Plain memory (0) and a driver reporting less than a row.
    for (uint32_t line : {0u, 100u}) {
        PanelSurface s(800, 480, 32, 0);
        FbSurface.line_length = line;
        fb_fill_rect(0, 1, 1, 1, 0xFFFF, 0);
        EXPECT_EQ(s.at(0, 1), 0x00FFFFFFu);
        EXPECT_EQ(s.changed_pixels(), 1u);
    }
}

TEST(PaddedRows, WideBandRunsOnThroughThePaddingIntoTheNextRow)
{
    // 648 pixels from x 20 on a 640-pixel screen with 16 bytes of padding:
    // 620 pixels, the padding (8 pixels' worth) and 20 pixels of the next row.
    PanelSurface s(640, 480, 16, 640 * 2 + 16);
    fb_fill_rect(20, 381, 648, 1, 0xFFFF, 0);
    EXPECT_EQ(s.at(19, 381), PANEL_BACKGROUND * 0x101u);
    EXPECT_EQ(s.at(639, 381), 0xFFFFu);
    EXPECT_EQ(s.at(19, 382), 0xFFFFu);
    EXPECT_EQ(s.at(20, 382), PANEL_BACKGROUND * 0x101u);
    EXPECT_EQ(s.changed_pixels(), 640u);
    EXPECT_TRUE(s.guards_intact());
}

TEST(Panel32, GlyphGreysAreTheScreensGreys)
{
    PanelSurface s(800, 480, 32);
    unsigned char cov[3] = {0, 128, 255};
    FT_Bitmap bm = glyph_bitmap(3, 1, 3, FT_PIXEL_MODE_GRAY, cov);
    draw_glyph_bitmap(&bm, 10, 20);
    EXPECT_EQ(s.at(10, 20), 0u);
    EXPECT_EQ(s.at(11, 20), 0x00848284u);
    EXPECT_EQ(s.at(12, 20), 0x00FFFFFFu);
    EXPECT_EQ(s.changed_pixels(), 3u);

    PanelSurface s24(800, 480, 24);
    draw_glyph_bitmap(&bm, 799 - 2, 479);
    EXPECT_EQ(s24.at(799, 479), 0xFFFFFFu);
    EXPECT_EQ(s24.at(798, 479), 0x848284u);
    EXPECT_TRUE(s24.guards_intact());
}

TEST(Panel32, StatusLineIsTheSixteenBitPictureWidened)
{
    load_test_font();
    std::vector<uint16_t> expected;
    {
        MemSurface s16(800, 480);
        show_status("Orvane Updater ...");
        expected = s16.px;
    }
    PanelSurface s(800, 480, 32, 800 * 4 + 32);
    FbSurface.red = {16, 8};
    FbSurface.green = {8, 8};
    FbSurface.blue = {0, 8};
    show_status("Orvane Updater ...");
    for (int y = 95; y < 135; y++)
        for (int x = 0; x < 800; x++) {
            const uint16_t was = expected[size_t(y) * 800 + x];
            if (was != BACKGROUND) {
                ASSERT_EQ(s.at(x, y), fb_native_colour(FbSurface, was)) << x << "," << y;
            }
        }
    EXPECT_TRUE(s.outside_screen_untouched());
}

TEST(UnsupportedDepth, NothingIsWrittenAnywhere)
{
    load_test_font();
    // 0x80000000 bits per pixel once wrapped the bounds check and wrote a
    // top-left glyph before the mapping.
    for (int bits : {0, 8, 12, INT32_MIN, -16}) {
        PanelSurface s(64, 48, 32);
        FbSurface.bits_per_pixel = bits;
        unsigned char cov[4] = {255, 255, 255, 255};
        FT_Bitmap bm = glyph_bitmap(2, 2, 2, FT_PIXEL_MODE_GRAY, cov);
        std::vector<uint8_t> image(64, 0xFF);
        capture_stdout();
        fb_clear(0xFFFF);
        fb_fill_rect(0, 0, 10, 10, 0xFFFF, 0);
        fb_fill_rect(0, 0, 10, 10, 0x0000, 1);
        fb_blit(0, 0, 2, 2, image.data());
        fb_blit_region(0, 0, 2, 0, 0, 2, 2, image.data());
        draw_glyph_bitmap(&bm, 0, 0);
        fb_store(0, 0xFFFF);
        EXPECT_EQ(captured_stdout(), "");
        EXPECT_EQ(s.changed_pixels(), 0u) << bits;
        EXPECT_TRUE(s.guards_intact()) << bits;
    }
}
