// SPDX-License-Identifier: MIT
#include <vector>

#include <gtest/gtest.h>

#include "display/framebuffer.h"
#include "memory_surface.h"

TEST(FillRect, WritesExactlyTheRectangle)
{
    MemSurface s(800, 480);
    fb_fill_rect(10, 20, 5, 3, 0xF800, 0);
    EXPECT_EQ(s.changed_pixels(), 15u);
    for (int y = 20; y < 23; y++)
        for (int x = 10; x < 15; x++)
            EXPECT_EQ(s.at(x, y), 0xF800) << x << "," << y;
    EXPECT_EQ(s.at(9, 20), BACKGROUND);
    EXPECT_EQ(s.at(15, 22), BACKGROUND);
}

TEST(FillRect, AndModeKeepsOnlyTheColoursBits)
{
    MemSurface s(800, 480);
    s.px[0] = 0xFFFF;
    s.px[1] = 0x07FF;
    fb_fill_rect(0, 0, 3, 1, 0xF800, 1);
    EXPECT_EQ(s.at(0, 0), 0xF800);
    EXPECT_EQ(s.at(1, 0), 0x0000);
    EXPECT_EQ(s.at(2, 0), BACKGROUND & 0xF800);
}

TEST(FillRect, ZeroWidthOrHeightWritesNothing)
{
    MemSurface s(800, 480);
    fb_fill_rect(10, 10, 0, 30, 0xFFFF, 0);
    fb_fill_rect(10, 10, 30, 0, 0xFFFF, 0);
    EXPECT_EQ(s.changed_pixels(), 0u);
}

TEST(FillRect, WideBandWrapsIntoFollowingRows)
{
    // The 648-pixel notice band on a 640-pixel screen starts at x 20.
    MemSurface s(640, 480);
    fb_fill_rect(20, 381, 648, 1, 0xFFFF, 0);
    EXPECT_EQ(s.changed_pixels(), 648u);
    EXPECT_EQ(s.at(19, 381), BACKGROUND);
    EXPECT_EQ(s.at(639, 381), 0xFFFF);
    EXPECT_EQ(s.at(27, 382), 0xFFFF);
    EXPECT_EQ(s.at(28, 382), BACKGROUND);
}

TEST(FillRect, IsCutAtTheEndOfTheMapping)
{
    MemSurface s(640, 480);
    fb_fill_rect(20, 470, 648, 30, 0xFFFF, 0);
    EXPECT_TRUE(s.guard_intact());
    EXPECT_EQ(s.at(639, 479), 0xFFFF);
    // Origin itself beyond the mapping.
    fb_fill_rect(0, 60000, 10, 10, 0x0000, 0);
    EXPECT_TRUE(s.guard_intact());
}

TEST(Clear, WritesEveryVisiblePixelAndNothingBeyond)
{
    // A double-buffered driver maps more memory than the visible screen.
    MemSurface s(800, 480, 800 * 480 * 2);
    fb_clear(0x0000);
    EXPECT_EQ(s.changed_pixels(), 800u * 480u);
    EXPECT_EQ(s.at(799, 479), 0x0000);
    EXPECT_EQ(s.px[800 * 480], BACKGROUND);
    EXPECT_TRUE(s.guard_intact());
}

TEST(Blit, RefusesAnImageOnePixelOverTheEdge)
{
    MemSurface s(800, 480);
    std::vector<uint16_t> image(20 * 10, 0x07E0);
    fb_blit(781, 0, 20, 10, image.data());
    fb_blit(0, 471, 20, 10, image.data());
    EXPECT_EQ(s.changed_pixels(), 0u);

    fb_blit(780, 470, 20, 10, image.data());
    EXPECT_EQ(s.changed_pixels(), 200u);
    EXPECT_EQ(s.at(780, 470), 0x07E0);
    EXPECT_EQ(s.at(799, 479), 0x07E0);
}

TEST(Blit, RegionCopiesTheSubRectangleRowByRow)
{
    MemSurface s(800, 480);
    // A 4x3 image whose pixel value encodes its position.
    std::vector<uint16_t> image(4 * 3);
    for (int i = 0; i < 12; i++)
        image[i] = uint16_t(0x100 + i);
    fb_blit_region(100, 50, 4, 1, 1, 2, 2, image.data());
    EXPECT_EQ(s.changed_pixels(), 4u);
    EXPECT_EQ(s.at(100, 50), 0x105);
    EXPECT_EQ(s.at(101, 50), 0x106);
    EXPECT_EQ(s.at(100, 51), 0x109);
    EXPECT_EQ(s.at(101, 51), 0x10A);

    fb_blit_region(799, 0, 4, 0, 0, 2, 1, image.data());
    EXPECT_EQ(s.changed_pixels(), 4u);
}

TEST(FailedOpen, NoDrawingOperationWritesAnywhere)
{
    // fb_open failing at its last step leaves a mapping but no geometry.
    std::vector<uint16_t> memory(800 * 480, BACKGROUND);
    FbSurface = fb_surface{};
    FbSurface.mapping = reinterpret_cast<uint8_t *>(memory.data());
    std::vector<uint16_t> image(16, 0xFFFF);

    fb_clear(0xFFFF);
    fb_fill_rect(0, 0, 100, 100, 0xFFFF, 0);
    fb_fill_rect(0, 0, 100, 100, 0x0000, 1);
    fb_blit(0, 0, 4, 4, image.data());
    fb_blit_region(0, 0, 4, 0, 0, 4, 4, image.data());
    for (uint16_t v : memory)
        ASSERT_EQ(v, BACKGROUND);
    FbSurface = fb_surface{};
}
