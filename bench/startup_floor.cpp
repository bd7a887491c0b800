// SPDX-License-Identifier: MIT
// The least work of a mode-3 start-up, for counting beside the updater: map
// the overlay as the updater does, set FreeType up, clear with one memset,
// measure the banner and draw it with nothing but each box pixel's grey.
// Run it on the emulated board (libupdater_board.so), as the updater.
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "board/names.h"
#include "display/text.h"

namespace {

const char BANNER[] = "Orvane Updater ...";

void draw(uint8_t *map, const fb_var_screeninfo &var, const FT_GlyphSlot slot)
{
    const int32_t xres = int32_t(var.xres), yres = int32_t(var.yres);
    const int32_t left = slot->bitmap_left, top = yres - slot->bitmap_top;
    const FT_Bitmap &bm = slot->bitmap;
    // int before FreeType 2.5.3, unsigned since.
    const unsigned rows = unsigned(bm.rows), width = unsigned(bm.width);
    if (left < 0 || top < 0 || left + int32_t(width) > xres || top + int32_t(rows) > yres)
        return;
    for (unsigned j = 0; j < rows; j++) {
        uint16_t *px = reinterpret_cast<uint16_t *>(map) + size_t(top + j) * xres + left;
        for (unsigned i = 0; i < width; i++) {
            const uint8_t g = bm.buffer[j * width + i];
            px[i] = uint16_t(((g >> 3) << 11) | ((g >> 2) << 5) | (g >> 3));
        }
    }
}

} // namespace

extern "C" __attribute__((noinline)) int floor_startup()
{
    const int fd = open(FB_NODE, O_RDWR);
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        return 1;
    void *map = mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED || ioctl(fd, FB_OSD_START, map) < 0)
        return 1;

    FT_Library library;
    FT_Face face;
    if (FT_Init_FreeType(&library) || FT_New_Face(library, FONT_PATH, 0, &face) ||
        FT_Set_Char_Size(face, TEXT_CHAR_SIZE, 0, TEXT_DPI, 0))
        return 1;
    memset(map, 0, size_t(var.xres) * var.yres * 2);

    FT_Pos width = 0;
    for (const char *p = BANNER; *p; p++) {
        FT_Load_Char(face, static_cast<unsigned char>(*p), FT_LOAD_RENDER);
        width += face->glyph->advance.x;
    }
    FT_Matrix identity = {65536, 0, 0, 65536};
    FT_Vector pen = {FT_Pos((int32_t(var.xres) - width / 64) / 2) * 64, FT_Pos(var.yres - 126) * 64};
    for (const char *p = BANNER; *p; p++) {
        FT_Set_Transform(face, &identity, &pen);
        FT_Load_Char(face, static_cast<unsigned char>(*p), FT_LOAD_RENDER);
        draw(static_cast<uint8_t *>(map), var, face->glyph);
        pen.x += face->glyph->advance.x;
    }
    return 0;
}

int main()
{
    return floor_startup();
}
