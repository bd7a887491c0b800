// SPDX-License-Identifier: MIT
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "display/framebuffer.h"
#include "display/text.h"
#include "guarded_bytes.h"
#include "glyph_bitmap.h"
#include "memory_surface.h"
#include "stdout_capture.h"
#include "test_fonts.h"

namespace {

struct InkBox {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
};

// Bounding box of the pixels that are neither BACKGROUND nor black.
InkBox ink(const MemSurface &s)
{
    InkBox b;
    for (int y = 0; y < s.yres; y++)
        for (int x = 0; x < s.xres; x++) {
            const uint16_t v = s.at(x, y);
            if (v == BACKGROUND || v == 0)
                continue;
            b.left = std::min(b.left, x);
            b.right = std::max(b.right, x);
            b.top = std::min(b.top, y);
            b.bottom = std::max(b.bottom, y);
        }
    return b;
}

} // namespace

TEST(Layout, CentringRoundsTowardZeroAndWrapsWhenTooWide)
{
    EXPECT_EQ(centred_x(800, 100), 350);
    EXPECT_EQ(centred_x(800, 101), 349);
    EXPECT_EQ(centred_x(800, 803), 65535);  // -3 / 2 is -1
    EXPECT_EQ(centred_x(800, 900), 65486);
}

TEST(Grey, CoverageMapsToRgb565Grey)
{
    EXPECT_EQ(rgb565_grey(0), 0x0000);
    EXPECT_EQ(rgb565_grey(128), 0x8410);
    EXPECT_EQ(rgb565_grey(255), 0xFFFF);

    MemSurface s(800, 480);
    unsigned char cov[3] = {0, 128, 255};
    FT_Bitmap bm = glyph_bitmap(3, 1, 3, FT_PIXEL_MODE_GRAY, cov);
    draw_glyph_bitmap(&bm, 10, 20);
    EXPECT_EQ(s.at(10, 20), 0x0000);
    EXPECT_EQ(s.at(11, 20), 0x8410);
    EXPECT_EQ(s.at(12, 20), 0xFFFF);
    EXPECT_EQ(s.changed_pixels(), 3u);
}

TEST(StatusLines, StatusIsCentredOnItsBaselineInsideItsBand)
{
    load_test_font();
    for (int yres : {480, 481}) {
        MemSurface s(800, yres);
        const char *text = "Orvane Updater ...";
        capture_stdout();
        show_status(text);
        EXPECT_EQ(captured_stdout(), "");

        const line_layout l = layout_line(LINE_STATUS, 800, yres);
        for (int y = l.band_y; y < l.band_y + l.band_h; y++)
            for (int x = l.band_x; x < l.band_x + l.band_w; x++)
                ASSERT_NE(s.at(x, y), BACKGROUND) << "band not cleared at " << x << "," << y;

        const InkBox b = ink(s);
        const int start = centred_x(800, text_width(text));
        // Glyphs carry a small left bearing; ink stays within the band and
        // ends on the baseline ("Orvane" has no descender, "p" has one).
        EXPECT_GE(b.left, start);
        EXPECT_LE(b.left, start + 3);
        EXPECT_NEAR(b.right - start, text_width(text), 4);
        EXPECT_GE(b.top, l.band_y);
        EXPECT_LE(b.bottom, l.band_y + l.band_h - 1);
        EXPECT_LT(b.top, l.baseline);
        EXPECT_GT(b.bottom, l.baseline);
    }
}

TEST(StatusLines, NoticeStartsAtTheBandOriginAndEraseIsWhite)
{
    load_test_font();
    MemSurface s(1024, 600);
    show_notice("Calibrating, do not touch the screen!");
    const InkBox b = ink(s);
    EXPECT_GE(b.left, 212);
    EXPECT_LE(b.left, 215);
    EXPECT_LT(b.top, 417);
    EXPECT_LE(b.bottom, 417 + 6);

    erase_notice();
    for (int y = 401; y < 431; y++)
        for (int x = 212; x < 212 + 648; x++)
            ASSERT_EQ(s.at(x, y), 0xFFFF);
    EXPECT_EQ(s.at(211, 401), BACKGROUND);
    EXPECT_EQ(s.at(212, 400), BACKGROUND);
    EXPECT_EQ(s.at(212, 431), BACKGROUND);
}

TEST(StatusLines, EmptyTextMeasuresZeroAndStillClearsTheBand)
{
    load_test_font();
    MemSurface s(800, 480);
    EXPECT_EQ(text_width(""), 0);
    show_detail("");
    EXPECT_EQ(s.changed_pixels(), 600u * 30u);
    EXPECT_EQ(s.at(100, 133), 0x0000);
}

TEST(Text, SpaceDrawsNothingAndPrintsNothing)
{
    load_test_font();
    MemSurface s(800, 480);
    capture_stdout();
    draw_text(100, 200, "   ");
    EXPECT_EQ(captured_stdout(), "");
    EXPECT_EQ(s.changed_pixels(), 0u);
}

TEST(Text, TooWideTextIsSkippedGlyphByGlyph)
{
    load_test_font();
    MemSurface s(800, 480);
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "WM ";
    const int32_t width = text_width(text.c_str());
    ASSERT_GT(width, 800);

    capture_stdout();
    show_status(text.c_str());
    const std::string out = captured_stdout();

    // One "Jumped out" line per inked glyph, none for the spaces. FreeType
    // refuses to render this far out (its rasteriser stops at 32767 pixels),
    // which draw_text reports on its own line before skipping the box.
    size_t jumped = 0, pos = 0;
    std::string first;
    while (pos < out.size()) {
        const size_t end = out.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(pos, end - pos + 1);
        if (line.rfind("Jumped out, x ", 0) == 0) {
            if (jumped++ == 0)
                first = line;
        } else {
            EXPECT_EQ(line, "Load char error, but still draw bitmap\n");
        }
        pos = end + 1;
    }
    EXPECT_EQ(jumped, 80u);
    int x, y, xmax, ymax, fbx, fby;
    ASSERT_EQ(sscanf(first.c_str(), "Jumped out, x %d, y %d, xmax %d, ymax %d, fbx %d, fby %d\n", &x, &y, &xmax,
                     &ymax, &fbx, &fby),
              6);
    EXPECT_NEAR(x, centred_x(800, width), 2);  // within W's left bearing
    EXPECT_EQ(fbx, 800);
    EXPECT_EQ(fby, 480);
    EXPECT_LT(y, 126);
    EXPECT_GT(ymax, y);

    // Only the band was cleared.
    EXPECT_EQ(s.changed_pixels(), 600u * 30u);
    EXPECT_EQ(ink(s).right, -1);
}

TEST(GlyphBitmap, OutOfScreenBoxIsReportedExactly)
{
    MemSurface s(800, 480);
    unsigned char cov[100] = {};
    FT_Bitmap bm = glyph_bitmap(10, 10, 10, FT_PIXEL_MODE_GRAY, cov);
    capture_stdout();
    draw_glyph_bitmap(&bm, 795, 5);
    draw_glyph_bitmap(&bm, -1, 5);
    draw_glyph_bitmap(&bm, 0, 471);
    draw_glyph_bitmap(&bm, 790, 470);
    EXPECT_EQ(captured_stdout(), "Jumped out, x 795, y 5, xmax 805, ymax 15, fbx 800, fby 480\n"
                                 "Jumped out, x -1, y 5, xmax 9, ymax 15, fbx 800, fby 480\n"
                                 "Jumped out, x 0, y 471, xmax 10, ymax 481, fbx 800, fby 480\n");
    EXPECT_EQ(s.changed_pixels(), 100u);
    EXPECT_EQ(s.at(799, 479), 0x0000);
}

TEST(GlyphBitmap, OneBitStrikeIsDrawnAsFullOrNoCoverage)
{
    MemSurface s(800, 480);
    // 10 pixels wide needs two bytes a row; the buffer ends at a dead page.
    GuardedBytes buf(4);
    buf.data[0] = 0xA0;  // 1010 0000
    buf.data[1] = 0x40;  // 01 (pixel 9 set)
    buf.data[2] = 0x80;
    buf.data[3] = 0x00;
    FT_Bitmap bm = glyph_bitmap(10, 2, 2, FT_PIXEL_MODE_MONO, buf.data);
    draw_glyph_bitmap(&bm, 0, 0);
    EXPECT_EQ(s.at(0, 0), 0xFFFF);
    EXPECT_EQ(s.at(1, 0), 0x0000);
    EXPECT_EQ(s.at(2, 0), 0xFFFF);
    EXPECT_EQ(s.at(9, 0), 0xFFFF);
    EXPECT_EQ(s.at(8, 0), 0x0000);
    EXPECT_EQ(s.at(0, 1), 0xFFFF);
    EXPECT_EQ(s.at(9, 1), 0x0000);
    EXPECT_EQ(s.changed_pixels(), 20u);
}

TEST(GlyphBitmap, PaddedAndNegativePitchesReadOnlyTheirBuffer)
{
    MemSurface s(800, 480);
    // Rows of 3 pixels padded to 4 bytes; the pad bytes are not coverage.
    GuardedBytes padded(8);
    const unsigned char rows[8] = {255, 128, 0, 77, 0, 128, 255, 77};
    std::copy(rows, rows + 8, padded.data);
    FT_Bitmap bm = glyph_bitmap(3, 2, 4, FT_PIXEL_MODE_GRAY, padded.data);
    draw_glyph_bitmap(&bm, 0, 0);
    EXPECT_EQ(s.at(0, 0), 0xFFFF);
    EXPECT_EQ(s.at(2, 0), 0x0000);
    EXPECT_EQ(s.at(0, 1), 0x0000);
    EXPECT_EQ(s.at(2, 1), 0xFFFF);
    EXPECT_EQ(s.at(3, 0), BACKGROUND);

    // A negative pitch stores the bottom row first.
    bm.pitch = -4;
    draw_glyph_bitmap(&bm, 10, 0);
    EXPECT_EQ(s.at(10, 0), 0x0000);
    EXPECT_EQ(s.at(12, 0), 0xFFFF);
    EXPECT_EQ(s.at(10, 1), 0xFFFF);

    // A pitch shorter than the width: the missing columns have no ink.
    GuardedBytes narrow(4);
    std::fill(narrow.data, narrow.data + 4, 255);
    FT_Bitmap cut = glyph_bitmap(3, 2, 2, FT_PIXEL_MODE_GRAY, narrow.data);
    draw_glyph_bitmap(&cut, 20, 0);
    EXPECT_EQ(s.at(21, 1), 0xFFFF);
    EXPECT_EQ(s.at(22, 1), 0x0000);
}

TEST(GlyphBitmap, BoxBeyondASmallMappingIsNotWritten)
{
    // The driver's memory may be smaller than the geometry it reports.
    MemSurface s(800, 480, 800 * 10);
    unsigned char cov[4] = {255, 255, 255, 255};
    FT_Bitmap bm = glyph_bitmap(2, 2, 2, FT_PIXEL_MODE_GRAY, cov);
    draw_glyph_bitmap(&bm, 0, 9);
    EXPECT_EQ(s.at(0, 9), 0xFFFF);
    EXPECT_TRUE(s.guard_intact());
}

TEST(FailedOpen, TextDrawsNothing)
{
    load_test_font();
    std::vector<uint16_t> memory(800 * 480, BACKGROUND);
    FbSurface = fb_surface{};
    FbSurface.mapping = reinterpret_cast<uint8_t *>(memory.data());
    capture_stdout();
    show_status("Orvane Updater ...");
    show_notice("Calibrating, do not touch the screen!");
    erase_notice();
    unsigned char cov[4] = {255, 255, 255, 255};
    FT_Bitmap bm{};
    bm.width = bm.rows = 2;
    bm.pitch = 2;
    bm.pixel_mode = FT_PIXEL_MODE_GRAY;
    bm.buffer = cov;
    draw_glyph_bitmap(&bm, 0, 0);
    // Only the screen set-up's own message tells of the missing screen.
    EXPECT_EQ(captured_stdout(), "");
    for (uint16_t v : memory)
        ASSERT_EQ(v, BACKGROUND);
    FbSurface = fb_surface{};
}
