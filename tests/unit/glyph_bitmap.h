// SPDX-License-Identifier: MIT
// Hand-made glyph bitmaps, as FreeType's slot would hand them to the drawer.
#ifndef TESTS_UNIT_GLYPH_BITMAP_H
#define TESTS_UNIT_GLYPH_BITMAP_H

#include <ft2build.h>
#include FT_FREETYPE_H

// A bitmap over buffer (kept by the caller), rows pitch bytes apart.
inline FT_Bitmap glyph_bitmap(unsigned width, unsigned rows, int pitch, unsigned char mode, unsigned char *buffer)
{
    FT_Bitmap bm{};
    bm.width = width;
    bm.rows = rows;
    bm.pitch = pitch;
    bm.pixel_mode = mode;
    bm.buffer = buffer;
    return bm;
}

#endif
