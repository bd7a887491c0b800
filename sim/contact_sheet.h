// SPDX-License-Identifier: MIT
// The contact sheet of a run: every screen of the run in order, small, in a
// grid, with its step written under it, so that a whole run reads at a glance.
#ifndef SIM_CONTACT_SHEET_H
#define SIM_CONTACT_SHEET_H

#include <cstddef>
#include <string>
#include <vector>

#include "frame_png.h"

// Fixed look of the sheet: white paper, a gap around every cell, and under
// each picture a caption of up to kCaptionLines lines of black text,
// kCaptionPixels high (the rest of a longer caption is cut off).
constexpr unsigned kSheetGap = 8;
constexpr unsigned kCaptionGap = 4; // between a picture and its caption
constexpr unsigned kCaptionPixels = 11;
constexpr unsigned kCaptionLineHeight = 14;
constexpr unsigned kCaptionLines = 2;
constexpr uint8_t kSheetPaper = 0xFF;
// Widest picture of a screen on the sheet; a wider screen is shrunk by the
// smallest whole factor that fits.
constexpr unsigned kThumbMaxWidth = 280;

// Where everything goes on a sheet of `screens` screens of xres x yres: a
// picture is the screen shrunk by `factor` each way (screen pixels beyond a
// whole multiple are left out), columns = ceil(sqrt(screens)).
struct SheetLayout {
    unsigned factor = 1;
    unsigned thumb_w = 0, thumb_h = 0;
    unsigned columns = 0, rows = 0;
    unsigned cell_w = 0, cell_h = 0; // picture plus caption
    unsigned width = 0, height = 0;  // of the whole sheet
    unsigned cell_x(size_t i) const { return kSheetGap + static_cast<unsigned>(i % columns) * (cell_w + kSheetGap); }
    unsigned cell_y(size_t i) const { return kSheetGap + static_cast<unsigned>(i / columns) * (cell_h + kSheetGap); }
    unsigned caption_y(size_t i) const { return cell_y(i) + thumb_h + kCaptionGap; }
};

// The layout for the given screen size and number of screens (at least one).
SheetLayout sheet_layout(unsigned xres, unsigned yres, size_t screens);

// The screen shrunk by factor each way: each picture pixel is the rounded
// mean of a factor x factor block of screen pixels widened to 8-bit RGB.
RgbImage shrink_screen(const std::vector<uint16_t> &pixels, unsigned xres, unsigned yres, unsigned factor);

// One cell: a screen already shrunk with shrink_screen, and its step.
struct SheetCell {
    RgbImage picture;
    std::string caption;
};

// Draws the sheet with the captions in the TrueType font at font_path. False
// with *error set when there is no cell or the font cannot be loaded; *sheet
// then holds the pictures without captions (or nothing without cells).
bool render_contact_sheet(const std::vector<SheetCell> &cells, const SheetLayout &layout,
                          const std::string &font_path, RgbImage *sheet, std::string *error);

#endif
