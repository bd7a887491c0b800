// SPDX-License-Identifier: MIT
// Glyph bitmaps of any mode, size and pitch, placed as outline or strike
// glyphs from any pen, on small screens of any depth and row length: reads
// stay in the bitmap's buffer and writes in the mapping.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/framebuffer.h"
#include "display/text.h"
#include "guarded_frame.h"

namespace {

uint8_t memory[FRAME_GUARD + 64 * 48 * 4 + 48 * 16 + FRAME_GUARD];

// Header bytes: bitmap (0-3), bearings (4-7), null buffer (8), depth (11),
// row padding (12), pen (13-16), channel order (17); the rest is coverage.
constexpr size_t HEADER = 18;

void set_surface(const uint8_t *data)
{
    static const int32_t depths[] = {16, 24, 32, 16, 32, 8, 0, INT32_MIN};
    const int32_t bits = depths[data[11] % 8];
    const uint32_t bpp = bits > 0 ? uint32_t(bits) / 8 : 0;
    // Padded, packed, or shorter than a row (then rows are xres apart).
    const uint32_t line = data[12] < 200 ? 64 * bpp + (data[12] % 17) : data[12] % 64;
    const uint64_t geometry = (line > 64 * bpp ? line : 64 * bpp) * 48ull;
    guarded_frame_open(memory, sizeof memory, 64, 48, bits);
    FbSurface.line_length = line;
    // Less memory than the geometry claims, as some drivers map.
    FbSurface.size = geometry * ((data[11] / 8) % 2 ? 5 : 8) / 8;
    if (data[17] & 1) {
        FbSurface.red = {0, 8};
        FbSurface.green = {8, 8};
        FbSurface.blue = {16, 8};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < HEADER)
        return 0;
    set_surface(data);

    FT_GlyphSlotRec slot{};
    FT_Bitmap &bm = slot.bitmap;
    // Boxes up to beyond the screen's size, mostly smaller.
    bm.width = data[0] & 0x40 ? data[0] % 80 : data[0] % 24;
    bm.rows = data[1] & 0x40 ? data[1] % 60 : data[1] % 24;
    bm.pitch = static_cast<int8_t>(data[2]);
    bm.pixel_mode = data[3] % 8;
    slot.bitmap_left = data[4] & 0x80 ? static_cast<int8_t>(data[4]) + (data[5] % 64) : data[5] % 72 - 4;
    slot.bitmap_top = data[6] & 0x80 ? static_cast<int8_t>(data[6]) + (data[7] % 48) : data[7] % 56 - 4;
    const size_t need = size_t(bm.rows) * size_t(bm.pitch < 0 ? -bm.pitch : bm.pitch);
    // Exact size, so a sanitizer catches any read past the rows.
    unsigned char *buffer = static_cast<unsigned char *>(malloc(need ? need : 1));
    for (size_t i = 0; i < need; i++)
        buffer[i] = size > HEADER ? data[HEADER + i % (size - HEADER)] : 0;
    bm.buffer = data[8] == 0 ? nullptr : buffer;

    // Outline glyphs come with their place; strike glyphs get the pen's.
    FT_Vector point{};
    if (data[16] & 1) {
        slot.outline.n_points = 1;
        slot.outline.points = &point;
    }
    // Pens around the screen in 26.6, bearings then taken as a strike's.
    const FT_Vector pen{(data[13] % 80 - 8) * 64 + data[14] % 64 - 32, (data[15] % 64 - 8) * 64 + data[16] % 64 - 32};
    int32_t left, top;
    glyph_box_origin(&slot, pen, FbSurface.yres, &left, &top);

    FILE *saved = stdout;
    stdout = fopen("/dev/null", "w");
    draw_glyph_bitmap(&bm, left, top);
    draw_glyph_bitmap(&bm, slot.bitmap_left, slot.bitmap_top);
    fclose(stdout);
    stdout = saved;
    free(buffer);

    guarded_frame_close(memory, sizeof memory);
    return 0;
}
