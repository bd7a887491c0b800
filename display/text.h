// FreeType text renderer and the fixed status lines of the updater's screen.
#ifndef DISPLAY_TEXT_H
#define DISPLAY_TEXT_H

#include <cstdint>

#include <ft2build.h>
#include FT_FREETYPE_H

struct text_renderer {
    FT_Library library;
    FT_Face face;
    FT_GlyphSlot slot;
    FT_Matrix matrix;
};

extern text_renderer TextRenderer;

#define FONT_PATH "/font/GOTHIC.TTF"

// Loads the font; prints the failure and ends the process with status 1.
int font_open();
// The same with another font file, for tools and tests off the device.
int font_open_at(const char *path);
int font_close();

// Width in whole pixels, or 0 when a character fails to load.
int32_t text_width(const char *text);
// x is the pen's start, y the baseline, both in screen pixels.
void draw_text(uint16_t x, int16_t y, const char *text);
// left/top in screen pixels; every pixel of the box is written.
void draw_glyph_bitmap(const FT_Bitmap *bm, int32_t left, int32_t top);

// Geometry of one status line for the current screen.
struct line_layout {
    uint16_t band_x, band_y, band_w, band_h;
    int16_t baseline;
};
enum line_id { LINE_STATUS, LINE_DETAIL, LINE_NOTICE };
line_layout layout_line(line_id line, int32_t xres, int32_t yres);
// Start of a centred text of the given width, cut to 16 bits as drawn.
uint16_t centred_x(int32_t xres, int32_t width);
uint16_t rgb565_grey(uint8_t coverage);

void show_status(const char *text);
void show_detail(const char *text);
void show_notice(const char *text);
void erase_notice();

#endif
