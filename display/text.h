// SPDX-License-Identifier: MIT
// FreeType text renderer and the fixed status lines of the updater's screen.
// Everything is drawn through FbSurface; nothing is drawn while it has no
// geometry (after a failed fb_open).
#ifndef DISPLAY_TEXT_H
#define DISPLAY_TEXT_H

#include <cstdint>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "board/names.h"

// What the renderer prints. A name with _ERR_ in it is a line no good run
// prints (the system test's console check reads these names from here);
// the font set-up's failures end the process.
#define TEXT_FATAL_INIT "Init library error"
#define TEXT_FATAL_FACE "load font, new face error"
#define TEXT_FATAL_SIZE "Set size error"
#define TEXT_ERR_LOAD_CHAR "Load char error, but still draw bitmap"
#define TEXT_ERR_JUMPED_OUT "Jumped out, x %d, y %d, xmax %d, ymax %d, fbx %d, fby %d\n"

// The character size every glyph is drawn at: 15 pt (960 in FreeType's 26.6
// fixed point) at 100 dpi, about 21 pixels per em. FT_Set_Char_Size takes
// them with height and vertical resolution 0, the same as width and dpi.
// Host tools that measure or draw as the device does take them from here.
#define TEXT_CHAR_SIZE 960
#define TEXT_DPI 100

struct text_renderer {
    FT_Library library;
    FT_Face face;
    FT_GlyphSlot slot;
    FT_Matrix matrix;
};

// The one process-wide renderer, filled by font_open and held until the
// process ends.
extern text_renderer TextRenderer;

// Loads FONT_PATH at the character size above. Returns 0; on failure prints "Init
// library error", "load font, new face error" or "Set size error" and ends the
// process with status 1.
int font_open();
// font_open with another font file, for tools and tests off the device. The
// same messages and the same exit on failure.
int font_open_at(const char *path);
// Releases the face, then the library. Returns 0; prints nothing.
int font_close();

// Width of text in whole pixels (the glyphs' advances, rounded toward zero),
// or 0 when a character fails to load. Prints nothing; needs font_open.
int32_t text_width(const char *text);
// Draws text with the pen starting at x and the baseline at y (screen
// pixels). Prints "Load char error, but still draw bitmap" for a character
// that fails to load and a "Jumped out" line for each glyph box off the
// screen; draws and prints nothing when FbSurface has no geometry.
void draw_text(uint16_t x, int16_t y, const char *text);
// Where the box of the glyph in slot starts on the screen (left, top in
// screen pixels) when it was loaded with the pen at pen (26.6, FreeType's
// upward y) on a screen yres lines high. Strike glyphs, which FreeType does not
// translate, get the pen's whole-pixel position added to their bearings.
// Pure: reads the slot's outline, bitmap size and bearings, prints nothing.
void glyph_box_origin(const FT_GlyphSlotRec *slot, FT_Vector pen, int32_t yres, int32_t *left, int32_t *top);
// Writes every pixel of the bitmap's box at (left, top), background included,
// as RGB565 greys of its coverage (MONO, GRAY2, GRAY4, GRAY, or BGRA's alpha;
// rows pitch bytes apart, bottom-up for a negative pitch). Reads only within
// rows x |pitch| bytes of the buffer (none when it is null: all black).
// A box that leaves the screen is not drawn and prints "Jumped out, x %d, y
// %d, xmax %d, ymax %d, fbx %d, fby %d\n". Writes nothing outside the mapping.
void draw_glyph_bitmap(const FT_Bitmap *bm, int32_t left, int32_t top);

// Geometry of one status line for the current screen.
struct line_layout {
    uint16_t band_x, band_y, band_w, band_h;
    int16_t baseline;
};
enum line_id { LINE_STATUS, LINE_DETAIL, LINE_NOTICE };
// The band and baseline of line on an xres x yres screen (the large layout
// above 480 lines). LINE_NOTICE gives the erase band. Pure.
line_layout layout_line(line_id line, int32_t xres, int32_t yres);
// Start of a centred text of the given width, cut to 16 bits as drawn. Pure.
uint16_t centred_x(int32_t xres, int32_t width);
// The RGB565 grey of a coverage: 0 is black, 255 white, 128 0x8410. Pure.
uint16_t rgb565_grey(uint8_t coverage);

// Clears the status (detail) band in black and draws text centred on its
// baseline; measured before the clear. Prints only draw_text's lines.
void show_status(const char *text);
void show_detail(const char *text);
// Draws text from the band origin on the notice baseline; clears nothing.
void show_notice(const char *text);
// Paints the 648-pixel notice band white. Prints nothing.
void erase_notice();

#endif
