// SPDX-License-Identifier: MIT
#include "display/text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/framebuffer.h"
#include "display/ft_compat.h"

text_renderer TextRenderer;

int font_open()
{
    return font_open_at(FONT_PATH);
}

int font_open_at(const char *path)
{
    text_renderer &tr = TextRenderer;
    if (FT_Init_FreeType(&tr.library)) {
        puts(TEXT_FATAL_INIT);
        exit(1);
    }
    if (FT_New_Face(tr.library, path, 0, &tr.face)) {
        puts(TEXT_FATAL_FACE);
        exit(1);
    }
    if (FT_Set_Char_Size(tr.face, TEXT_CHAR_SIZE, 0, TEXT_DPI, 0)) {
        puts(TEXT_FATAL_SIZE);
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

// Where a glyph's box starts, in screen pixels. An outline glyph is rendered
// under the pen's translation, so its bearings already hold the pen. A glyph
// from an embedded bitmap strike is not moved by the transform: its bearings
// are its own and the pen's whole-pixel position is added here. A strike
// glyph is told apart by its empty outline; an empty bitmap (a space) keeps
// the bearings it came with, as it always did.
void glyph_box_origin(const FT_GlyphSlotRec *slot, FT_Vector pen, int32_t yres, int32_t *left, int32_t *top)
{
    int64_t x = slot->bitmap_left;
    int64_t y = slot->bitmap_top;
    const bool strike = slot->outline.n_points == 0 && slot->bitmap.width > 0 && slot->bitmap.rows > 0;
    if (strike) {
        x += pen.x >> 6;
        y += pen.y >> 6;
    }
    *left = static_cast<int32_t>(x);
    *top = static_cast<int32_t>(yres - y);
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
            puts(TEXT_ERR_LOAD_CHAR);
        int32_t left = 0;
        int32_t top = 0;
        glyph_box_origin(tr.slot, pen, yres, &left, &top);
        draw_glyph_bitmap(&tr.slot->bitmap, left, top);
        pen.x += tr.slot->advance.x;
        pen.y += tr.slot->advance.y;
    }
}

// Coverage 0..255 of columns i0 .. i0 + n - 1 of one stored bitmap row of
// row_bytes. 1-bit ink is full ink, 2- and 4-bit levels are scaled to the
// full range; columns past the bytes the row really has read as no ink.
static void row_coverage(unsigned char mode, const unsigned char *row, unsigned row_bytes, unsigned i0, unsigned n,
                         uint8_t *out)
{
    for (unsigned k = 0; k < n; k++) {
        const unsigned i = i0 + k;
        uint8_t g = 0;
        switch (mode) {
        case FT_PIXEL_MODE_MONO:
            if (i / 8 < row_bytes)
                g = (row[i / 8] & (0x80 >> (i % 8))) ? 255 : 0;
            break;
        case FT_PIXEL_MODE_GRAY2:
            if (i / 4 < row_bytes)
                g = static_cast<uint8_t>(((row[i / 4] >> (6 - 2 * (i % 4))) & 3) * 85);
            break;
        case FT_PIXEL_MODE_GRAY4:
            if (i / 2 < row_bytes)
                g = static_cast<uint8_t>(((row[i / 2] >> (4 - 4 * (i % 2))) & 15) * 17);
            break;
#if UPDATER_FT_HAS_BGRA
        case FT_PIXEL_MODE_BGRA:
            if (4 * static_cast<uint64_t>(i) + 3 < row_bytes)
                g = row[4 * i + 3];
            break;
#endif
        default:
            if (i < row_bytes)
                g = row[i];
            break;
        }
        out[k] = g;
    }
}

uint16_t rgb565_grey(uint8_t coverage)
{
    return static_cast<uint16_t>(((coverage >> 3) << 11) | ((coverage >> 2) << 5) | (coverage >> 3));
}

// Writes n grey pixels from the byte offset at; a row that crosses the end
// of the mapping goes pixel by pixel, each one checked.
static void put_grey_run(uint64_t at, const uint8_t *cov, unsigned n, uint32_t bpp)
{
    const fb_surface &fb = FbSurface;
    if (bpp == 2 && at <= fb.size && fb.size - at >= 2 * static_cast<uint64_t>(n)) {
        uint8_t *p = fb.mapping + at;
        for (unsigned k = 0; k < n; k++) {
            const uint16_t v = rgb565_grey(cov[k]);
            memcpy(p + 2 * static_cast<size_t>(k), &v, 2);
        }
        return;
    }
    for (unsigned k = 0; k < n; k++)
        fb_store(at + static_cast<uint64_t>(k) * bpp, rgb565_grey(cov[k]));
}

void draw_glyph_bitmap(const FT_Bitmap *bm, int32_t left, int32_t top)
{
    const fb_surface &fb = FbSurface;
    const uint32_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    if (fb.size == 0)
        return;
    const unsigned width = bitmap_width(bm);
    const unsigned rows = bitmap_rows(bm);
    const int64_t right = static_cast<int64_t>(left) + width;
    const int64_t bottom = static_cast<int64_t>(top) + rows;
    if (right > fb.xres || bottom > fb.yres || left < 0 || top < 0) {
        printf(TEXT_ERR_JUMPED_OUT, left, top,
               static_cast<int>(right), static_cast<int>(bottom), fb.xres, fb.yres);
        return;
    }
    if (bpp == 0)
        return;

    const uint64_t stride = fb_row_bytes(fb);
    const unsigned row_bytes = static_cast<unsigned>(bm->pitch < 0 ? -bm->pitch : bm->pitch);
    uint8_t cov[256];
    for (unsigned j = 0; j < rows; j++) {
        // A negative pitch stores the rows bottom-up from the buffer's start.
        const unsigned stored = bm->pitch < 0 ? rows - 1 - j : j;
        const unsigned char *row = bm->buffer ? bm->buffer + static_cast<size_t>(stored) * row_bytes : nullptr;
        const uint64_t line = (static_cast<uint64_t>(top) + j) * stride + static_cast<uint64_t>(left) * bpp;
        for (unsigned i0 = 0; i0 < width; i0 += sizeof cov) {
            const unsigned n = width - i0 < sizeof cov ? width - i0 : unsigned(sizeof cov);
            if (row)
                row_coverage(bm->pixel_mode, row, row_bytes, i0, n, cov);
            else
                memset(cov, 0, n);
            put_grey_run(line + static_cast<uint64_t>(i0) * bpp, cov, n, bpp);
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
