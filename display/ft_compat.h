// SPDX-License-Identifier: MIT
// What differs between the FreeType 2 releases the program builds with, from
// 2.3.11 (the oldest a board SDK may carry) to the newest. Everything that
// depends on the release is decided here, once.
#ifndef DISPLAY_FT_COMPAT_H
#define DISPLAY_FT_COMPAT_H

#include <ft2build.h>
#include FT_FREETYPE_H

// FT_PIXEL_MODE_BGRA (colour glyphs) exists from 2.5.0 on. Older releases
// never hand over such a bitmap, so the drawer needs no case for it there.
#if FREETYPE_MAJOR > 2 || (FREETYPE_MAJOR == 2 && FREETYPE_MINOR >= 5)
#define UPDATER_FT_HAS_BGRA 1
#else
#define UPDATER_FT_HAS_BGRA 0
#endif

// FT_Bitmap's rows and width are int before 2.5.3 and unsigned from then on.
// These read them as unsigned counts whatever the release; a negative value,
// which FreeType never delivers, reads as 0. Pure.
inline unsigned bitmap_rows(const FT_Bitmap *bm)
{
    return bm->rows > 0 ? static_cast<unsigned>(bm->rows) : 0U;
}
inline unsigned bitmap_width(const FT_Bitmap *bm)
{
    return bm->width > 0 ? static_cast<unsigned>(bm->width) : 0U;
}

#endif
