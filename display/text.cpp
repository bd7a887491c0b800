#include "display/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "display/framebuffer.h"

text_renderer TextRenderer;

int font_open()
{
    return font_open_at(FONT_PATH);
}

int font_open_at(const char *path)
{
    text_renderer &tr = TextRenderer;
    if (FT_Init_FreeType(&tr.library)) {
        puts("Init library error");
        exit(1);
    }
    if (FT_New_Face(tr.library, path, 0, &tr.face)) {
        puts("load font, new face error");
        exit(1);
    }
    // 15 pt at 100 dpi: about 21 pixels per em.
    if (FT_Set_Char_Size(tr.face, 960, 0, 100, 0)) {
        puts("Set size error");
        exit(1);
    }
    tr.slot = tr.face->glyph;

    const double angle = 0.0;
    tr.matrix.xx = static_cast<FT_Fixed>(cos(angle) * 65536.0);
    tr.matrix.xy = static_cast<FT_Fixed>(sin(angle) * -65536.0);
    tr.matrix.yx = static_cast<FT_Fixed>(sin(angle) * 65536.0);
    tr.matrix.yy = static_cast<FT_Fixed>(cos(angle) * 65536.0);
    return 0;
}

int font_close()
{
    FT_Done_Face(TextRenderer.face);
    FT_Done_FreeType(TextRenderer.library);
    return 0;
}

int32_t text_width(const char *text)
{
    FT_Pos sum = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (FT_Load_Char(TextRenderer.face, *p, FT_LOAD_RENDER))
            return 0;
        sum += TextRenderer.slot->advance.x;
    }
    return static_cast<int32_t>(sum / 64);
}

void draw_text(uint16_t x, int16_t y, const char *text)
{
    // Without a screen the text has nowhere to go; rendering it against a
    // 0x0 geometry would only fill the console with skipped glyphs.
    if (FbSurface.size == 0)
        return;
    text_renderer &tr = TextRenderer;
    const int32_t yres = FbSurface.yres;
    // FreeType's y axis points up; the pen is kept in 26.6 in that direction.
    FT_Vector pen;
    pen.x = static_cast<FT_Pos>(x) * 64;
    pen.y = static_cast<FT_Pos>(yres - y) * 64;

    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        // The pen as the glyph's translation renders it at its sub-pixel place.
        FT_Set_Transform(tr.face, &tr.matrix, &pen);
        if (FT_Load_Char(tr.face, *p, FT_LOAD_RENDER))
            puts("Load char error, but still draw bitmap");
        draw_glyph_bitmap(&tr.slot->bitmap, tr.slot->bitmap_left, yres - tr.slot->bitmap_top);
        pen.x += tr.slot->advance.x;
        pen.y += tr.slot->advance.y;
    }
}

// Coverage 0..255 of column i in a bitmap row. The renderer normally hands
// over 8-bit grey rows exactly width bytes long, but a face with an embedded
// strike at this size gives 1-bit rows, and pitches may be padded: read only
// the bytes the row really has.
static uint8_t glyph_coverage(const FT_Bitmap *bm, const unsigned char *row, unsigned row_bytes, unsigned i)
{
    switch (bm->pixel_mode) {
    case FT_PIXEL_MODE_MONO:
        if (i / 8 >= row_bytes)
            return 0;
        return (row[i / 8] & (0x80 >> (i % 8))) ? 255 : 0;
    case FT_PIXEL_MODE_GRAY2:
        if (i / 4 >= row_bytes)
            return 0;
        return static_cast<uint8_t>(((row[i / 4] >> (6 - 2 * (i % 4))) & 3) * 85);
    case FT_PIXEL_MODE_GRAY4:
        if (i / 2 >= row_bytes)
            return 0;
        return static_cast<uint8_t>(((row[i / 2] >> (4 - 4 * (i % 2))) & 15) * 17);
    case FT_PIXEL_MODE_BGRA:
        if (4 * static_cast<uint64_t>(i) + 3 >= row_bytes)
            return 0;
        return row[4 * i + 3];
    default:
        if (i >= row_bytes)
            return 0;
        return row[i];
    }
}

uint16_t rgb565_grey(uint8_t coverage)
{
    return static_cast<uint16_t>(((coverage >> 3) << 11) | ((coverage >> 2) << 5) | (coverage >> 3));
}

void draw_glyph_bitmap(const FT_Bitmap *bm, int32_t left, int32_t top)
{
    const fb_surface &fb = FbSurface;
    if (fb.size == 0)
        return;
    const int64_t right = static_cast<int64_t>(left) + bm->width;
    const int64_t bottom = static_cast<int64_t>(top) + bm->rows;
    if (right > fb.xres || bottom > fb.yres || left < 0 || top < 0) {
        printf("Jumped out, x %d, y %d, xmax %d, ymax %d, fbx %d, fby %d\n", left, top,
               static_cast<int>(right), static_cast<int>(bottom), fb.xres, fb.yres);
        return;
    }

    const uint64_t bpp = static_cast<uint64_t>(fb.bits_per_pixel / 8);
    const unsigned row_bytes = static_cast<unsigned>(bm->pitch < 0 ? -bm->pitch : bm->pitch);
    for (unsigned j = 0; j < bm->rows; j++) {
        // A negative pitch stores the rows bottom-up from the buffer's start.
        const unsigned stored = bm->pitch < 0 ? bm->rows - 1 - j : j;
        const unsigned char *row = bm->buffer ? bm->buffer + static_cast<size_t>(stored) * row_bytes : nullptr;
        const uint64_t line = (static_cast<uint64_t>(top) + j) * static_cast<uint64_t>(fb.xres);
        for (unsigned i = 0; i < bm->width; i++) {
            const uint8_t g = row ? glyph_coverage(bm, row, row_bytes, i) : 0;
            fb_store((line + static_cast<uint64_t>(left) + i) * bpp, rgb565_grey(g));
        }
    }
}

line_layout layout_line(line_id line, int32_t xres, int32_t yres)
{
    const bool large = yres > 480;
    const uint16_t x0 = static_cast<uint16_t>((xres - 600) / 2);
    switch (line) {
    case LINE_STATUS:
        return {x0, uint16_t(large ? 178 : 100), 600, 30, int16_t(large ? 204 : 126)};
    case LINE_DETAIL:
        return {x0, uint16_t(large ? 211 : 133), 600, 30, int16_t(large ? 237 : 159)};
    case LINE_NOTICE:
    default:
        // The erase band is wider than the others and painted white.
        return {x0, uint16_t(large ? 401 : 381), 648, 30, int16_t(large ? 417 : 397)};
    }
}

uint16_t centred_x(int32_t xres, int32_t width)
{
    // A text wider than the screen gives a negative start, which as an
    // unsigned 16-bit coordinate lies far to the right.
    return static_cast<uint16_t>((xres - width) / 2);
}

static void show_centred(line_id line, const char *text)
{
    const line_layout l = layout_line(line, FbSurface.xres, FbSurface.yres);
    const int32_t width = text_width(text);
    fb_fill_rect(l.band_x, l.band_y, l.band_w, l.band_h, 0x0000, 0);
    draw_text(centred_x(FbSurface.xres, width), l.baseline, text);
}

void show_status(const char *text)
{
    show_centred(LINE_STATUS, text);
}

void show_detail(const char *text)
{
    show_centred(LINE_DETAIL, text);
}

void show_notice(const char *text)
{
    const line_layout l = layout_line(LINE_NOTICE, FbSurface.xres, FbSurface.yres);
    draw_text(l.band_x, l.baseline, text);
}

void erase_notice()
{
    const line_layout l = layout_line(LINE_NOTICE, FbSurface.xres, FbSurface.yres);
    fb_fill_rect(l.band_x, l.band_y, l.band_w, l.band_h, 0xFFFF, 0);
}
