// SPDX-License-Identifier: MIT
// The contact sheet of a run: its size from the number and size of the
// screens, each cell the screen's own picture shrunk, and under each cell the
// caption of its step, measured in the caption font.
#include <ft2build.h>
#include FT_FREETYPE_H

#include "sim_harness.h"

namespace {

// The sheet's fixed look: 8 pixels of white paper around every cell, and
// under each picture 4 pixels, then two caption lines 14 pixels apart in
// 11-pixel type.
constexpr unsigned kGap = 8, kCaptionBand = 4 + 2 * 14;

struct Cell {
    unsigned x, y, w, h; // the picture; its caption band lies below it
};

// The step's caption as drawn in 11-pixel type: the sum of the advances.
unsigned caption_width(const std::string &text)
{
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    unsigned width = 0;
    if (FT_Init_FreeType(&library) == 0 && FT_New_Face(library, TEST_FONT, 0, &face) == 0 &&
        FT_Set_Pixel_Sizes(face, 0, 11) == 0)
        for (unsigned char c : text)
            if (FT_Load_Char(face, c, FT_LOAD_DEFAULT) == 0) width += static_cast<unsigned>(face->glyph->advance.x >> 6);
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
    return width;
}

bool is_paper(const RgbImage &sheet, unsigned x, unsigned y)
{
    const uint8_t *p = sheet.at(x, y);
    return p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF;
}

// The picture shrunk by factor: each pixel the rounded mean of its block.
::testing::AssertionResult cell_shows(const RgbImage &sheet, const Cell &c, const std::string &picture, unsigned factor)
{
    RgbImage screen;
    if (!read_png_rgb(picture, &screen)) return ::testing::AssertionFailure() << "cannot read " << picture;
    for (unsigned y = 0; y < c.h; y++)
        for (unsigned x = 0; x < c.w; x++)
            for (unsigned ch = 0; ch < 3; ch++) {
                unsigned sum = 0;
                for (unsigned dy = 0; dy < factor; dy++)
                    for (unsigned dx = 0; dx < factor; dx++) sum += screen.at(x * factor + dx, y * factor + dy)[ch];
                const unsigned want = (sum + factor * factor / 2) / (factor * factor);
                if (sheet.at(c.x + x, c.y + y)[ch] != want)
                    return ::testing::AssertionFailure() << picture << ": cell pixel (" << x << ", " << y << ") channel "
                                                         << ch << " is " << +sheet.at(c.x + x, c.y + y)[ch] << ", expected "
                                                         << want;
            }
    return ::testing::AssertionSuccess();
}

// Ink in the caption band under the cell: on its first line, starting at the
// cell's left edge and as wide as the caption's text.
::testing::AssertionResult caption_shows(const RgbImage &sheet, const Cell &c, const std::string &caption)
{
    int left = -1, right = -1;
    for (unsigned y = c.y + c.h; y < c.y + c.h + kCaptionBand; y++)
        for (unsigned x = c.x; x < c.x + c.w; x++)
            if (!is_paper(sheet, x, y)) {
                if (left < 0 || static_cast<int>(x) < left) left = static_cast<int>(x);
                right = std::max(right, static_cast<int>(x));
            }
    const int want_right = static_cast<int>(c.x + caption_width(caption));
    if (left < 0) return ::testing::AssertionFailure() << "no caption under the cell of \"" << caption << "\"";
    if (left > static_cast<int>(c.x) + 2 || std::abs(right - want_right) > 2)
        return ::testing::AssertionFailure() << "\"" << caption << "\": ink in columns " << left << ".." << right
                                             << ", expected " << c.x << ".." << want_right;
    return ::testing::AssertionSuccess();
}

TEST(ContactSheet, EveryScreenInOrderShrunkWithItsStepUnderIt)
{
    SimRun r = run_sim({ "--cmdline", "updater=2,0,0", "--", "DATA" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    RgbImage sheet;
    ASSERT_TRUE(read_png_rgb(r.out + "/contact-sheet.png", &sheet));
    // Five 800x480 screens shrunk by 3 to 266x160, in ceil(sqrt(5)) = 3
    // columns and 2 rows.
    const unsigned cell_h = 160 + kCaptionBand;
    ASSERT_EQ(sheet.width, kGap + 3 * (266 + kGap));
    ASSERT_EQ(sheet.height, kGap + 2 * (cell_h + kGap));
    const std::vector<std::string> captions = { "01 mke2fs -t ext3 /dev/mmcblk0p3", "02 mke2fs -t ext3 /dev/mmcblk0p5",
                                                "03 mkdosfs -F 32 /dev/mmcblk0p6 -n \"DATA\"", "04 reboot", "05 end" };
    const std::vector<std::string> pictures = r.pictures();
    ASSERT_EQ(pictures.size(), captions.size());
    for (size_t i = 0; i < captions.size(); i++) {
        const Cell c = { kGap + static_cast<unsigned>(i % 3) * (266 + kGap),
                         kGap + static_cast<unsigned>(i / 3) * (cell_h + kGap), 266, 160 };
        EXPECT_TRUE(cell_shows(sheet, c, r.out + "/" + pictures[i], 3));
        EXPECT_TRUE(caption_shows(sheet, c, captions[i]));
    }
    // The sixth place of the grid and the gaps stay blank paper.
    for (unsigned y = kGap + cell_h + kGap; y < sheet.height; y++)
        for (unsigned x = kGap + 2 * (266 + kGap); x < sheet.width; x++) ASSERT_TRUE(is_paper(sheet, x, y)) << x << "," << y;
    for (unsigned y = 0; y < sheet.height; y++) ASSERT_TRUE(is_paper(sheet, kGap + 266 + 1, y)) << y;
}

TEST(ContactSheet, OneLargeScreenIsShrunkToFit)
{
    SimRun r = run_sim_to_halt({ "--cmdline", "updater=0,0,0", "--screen", "1024x600" });
    ASSERT_EQ(r.status, 124) << r.diagnostics;
    RgbImage sheet;
    ASSERT_TRUE(read_png_rgb(r.out + "/contact-sheet.png", &sheet));
    // 1024 pixels need a factor of 4 to fit 280: 256x150, one cell.
    EXPECT_EQ(sheet.width, kGap + 256 + kGap);
    EXPECT_EQ(sheet.height, kGap + 150 + kCaptionBand + kGap);
    const Cell c = { kGap, kGap, 256, 150 };
    EXPECT_TRUE(cell_shows(sheet, c, r.out + "/01-stopped.png", 4));
    EXPECT_TRUE(caption_shows(sheet, c, "01 stopped"));
}

} // namespace
