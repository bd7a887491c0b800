// SPDX-License-Identifier: MIT
// Faces whose glyphs come from embedded bitmap strikes (1, 2, 4 and 8 bits
// per pixel) are drawn where the outline face's glyphs would be.
#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "display/framebuffer.h"
#include "display/text.h"
#include "memory_surface.h"
#include "stdout_capture.h"
#include "test_fonts.h"

namespace {

const char BANNER[] = "Orvane Updater ...";

struct Ink {
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    size_t columns = 0;               // columns with any ink
    std::set<uint16_t> colours;       // every value drawn, black included
};

Ink ink_in_rows(const MemSurface &s, int y0, int y1)
{
    Ink b;
    for (int x = 0; x < s.xres; x++) {
        bool inked = false;
        for (int y = y0; y < y1; y++) {
            const uint16_t v = s.at(x, y);
            if (v == BACKGROUND)
                continue;
            b.colours.insert(v);
            if (v == 0)
                continue;
            inked = true;
            b.left = std::min(b.left, x);
            b.right = std::max(b.right, x);
            b.top = std::min(b.top, y);
            b.bottom = std::max(b.bottom, y);
        }
        b.columns += inked;
    }
    return b;
}

Ink banner_ink()
{
    MemSurface s(800, 480);
    capture_stdout();
    show_status(BANNER);
    EXPECT_EQ(captured_stdout(), "");
    return ink_in_rows(s, 0, 480);
}

} // namespace

class Strike : public testing::TestWithParam<int> {};

TEST_P(Strike, BannerIsCentredInTheStatusBandAndSpreadLikeTheOutline)
{
    load_test_font();
    const Ink outline = banner_ink();
    load_strike_font(GetParam());
    const int width = text_width(BANNER);
    const Ink strike = banner_ink();

    const line_layout l = layout_line(LINE_STATUS, 800, 480);
    const int start = centred_x(800, width);
    EXPECT_GE(strike.left, start - 1);
    EXPECT_LE(strike.left, start + 3);
    EXPECT_NEAR(strike.right - start, width, 4);
    EXPECT_NEAR(strike.left, outline.left, 2);
    EXPECT_NEAR(strike.right, outline.right, 3);
    // Glyph by glyph along the line, not piled up in one place.
    EXPECT_NEAR(double(strike.columns), double(outline.columns), outline.columns * 0.15);
    EXPECT_GE(strike.top, l.band_y);
    EXPECT_LT(strike.bottom, l.band_y + l.band_h);
    EXPECT_LT(strike.top, l.baseline);
    EXPECT_GT(strike.bottom, l.baseline);
    EXPECT_NEAR(strike.top, outline.top, 2);
    EXPECT_NEAR(strike.bottom, outline.bottom, 2);
}

TEST_P(Strike, CoverageLevelsAreScaledToTheFullRange)
{
    const int depth = GetParam();
    load_strike_font(depth);
    const Ink strike = banner_ink();
    const int top = (1 << depth) - 1;
    std::set<uint16_t> levels;
    for (int k = 0; k <= top; k++)
        levels.insert(rgb565_grey(static_cast<uint8_t>(k * 255 / top)));
    for (uint16_t v : strike.colours)
        EXPECT_TRUE(levels.count(v)) << std::hex << v << " is not a level of " << depth << " bits";
    EXPECT_TRUE(strike.colours.count(0xFFFF)) << "no full ink";
    if (depth > 1) {
        EXPECT_GT(strike.colours.size(), 2u) << "no level between none and full";
    }
}

TEST_P(Strike, NegativeLeftBearingAtTheStartOfALineIsDrawn)
{
    load_strike_font(GetParam());
    MemSurface s(800, 480);
    capture_stdout();
    show_notice("jump");
    EXPECT_EQ(captured_stdout(), "");
    // 'j' reaches one pixel left of the pen, which starts at the band origin.
    const Ink b = ink_in_rows(s, 0, 480);
    EXPECT_EQ(b.left, 99);
    EXPECT_GT(b.bottom, 397);
}

TEST_P(Strike, TooWideTextStillJumpsOutAndSpacesStaySilent)
{
    load_strike_font(GetParam());
    MemSurface s(800, 480);
    capture_stdout();
    show_status("WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM WM");
    const std::string out = captured_stdout();
    size_t lines = 0;
    for (size_t at = out.find("Jumped out"); at != std::string::npos; at = out.find("Jumped out", at + 1))
        lines++;
    EXPECT_EQ(lines, 50u);
    EXPECT_EQ(s.changed_pixels(), 600u * 30u);
}

INSTANTIATE_TEST_SUITE_P(BitDepths, Strike, testing::Values(1, 2, 4, 8));

TEST(GlyphOrigin, OnlyStrikeGlyphsGetThePenAdded)
{
    FT_GlyphSlotRec slot{};
    unsigned char ink = 255;
    slot.bitmap.width = slot.bitmap.rows = 1;
    slot.bitmap.buffer = &ink;
    slot.bitmap_left = -1;
    slot.bitmap_top = 15;
    const FT_Vector pen{100 * 64 + 63, 354 * 64 + 10};
    int32_t left, top;

    glyph_box_origin(&slot, pen, 480, &left, &top);
    EXPECT_EQ(left, 99);
    EXPECT_EQ(top, 480 - 354 - 15);

    // Below the bottom edge the pen's whole-pixel part rounds down.
    glyph_box_origin(&slot, FT_Vector{0, -1}, 480, &left, &top);
    EXPECT_EQ(left, -1);
    EXPECT_EQ(top, 480 + 1 - 15);

    // An outline glyph was rendered under the pen's translation already.
    FT_Vector points[1] = {};
    slot.outline.n_points = 1;
    slot.outline.points = points;
    glyph_box_origin(&slot, pen, 480, &left, &top);
    EXPECT_EQ(left, -1);
    EXPECT_EQ(top, 480 - 15);

    // An empty bitmap keeps its own place, as a space always has.
    slot.outline.n_points = 0;
    slot.bitmap.width = 0;
    slot.bitmap_left = slot.bitmap_top = 0;
    glyph_box_origin(&slot, pen, 480, &left, &top);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(top, 480);
}
