// SPDX-License-Identifier: MIT
#include "contact_sheet.h"

#include "display/ft_compat.h"

#include <cmath>

SheetLayout sheet_layout(unsigned xres, unsigned yres, size_t screens)
{
    SheetLayout l;
    l.factor = xres > kThumbMaxWidth ? (xres + kThumbMaxWidth - 1) / kThumbMaxWidth : 1;
    l.thumb_w = xres / l.factor;
    l.thumb_h = yres / l.factor;
    l.columns = static_cast<unsigned>(std::ceil(std::sqrt(static_cast<double>(screens ? screens : 1))));
    l.rows = static_cast<unsigned>((screens + l.columns - 1) / l.columns);
    if (l.rows == 0) l.rows = 1;
    l.cell_w = l.thumb_w;
    l.cell_h = l.thumb_h + kCaptionGap + kCaptionLines * kCaptionLineHeight;
    l.width = kSheetGap + l.columns * (l.cell_w + kSheetGap);
    l.height = kSheetGap + l.rows * (l.cell_h + kSheetGap);
    return l;
}

RgbImage shrink_screen(const std::vector<uint16_t> &pixels, unsigned xres, unsigned yres, unsigned factor)
{
    RgbImage out{ xres / factor, yres / factor, {} };
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    const unsigned area = factor * factor;
    for (unsigned ty = 0; ty < out.height; ty++)
        for (unsigned tx = 0; tx < out.width; tx++) {
            unsigned sum[3] = { 0, 0, 0 };
            for (unsigned y = ty * factor; y < (ty + 1) * factor; y++)
                for (unsigned x = tx * factor; x < (tx + 1) * factor; x++) {
                    uint8_t rgb[3];
                    rgb565_to_rgb888(pixels[static_cast<size_t>(y) * xres + x], rgb);
                    for (int c = 0; c < 3; c++) sum[c] += rgb[c];
                }
            for (int c = 0; c < 3; c++) out.at(tx, ty)[c] = static_cast<uint8_t>((sum[c] + area / 2) / area);
        }
    return out;
}

namespace {

struct CaptionFont {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    ~CaptionFont()
    {
        if (face) FT_Done_Face(face);
        if (library) FT_Done_FreeType(library);
    }
};

// Pen advance of one character in whole pixels; 0 when it has no glyph.
unsigned advance_of(FT_Face face, unsigned char c)
{
    if (FT_Load_Char(face, c, FT_LOAD_DEFAULT) != 0) return 0;
    return static_cast<unsigned>(face->glyph->advance.x >> 6);
}

// Splits text into lines no wider than width, breaking after the last space
// that fits (or anywhere in a word longer than a line); at most max_lines.
std::vector<std::string> wrap(FT_Face face, const std::string &text, unsigned width, unsigned max_lines)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size() && lines.size() < max_lines) {
        size_t end = start, last_space = std::string::npos;
        for (unsigned used = 0; end < text.size(); end++) {
            used += advance_of(face, static_cast<unsigned char>(text[end]));
            if (used > width) break;
            if (text[end] == ' ') last_space = end;
        }
        if (end < text.size() && last_space != std::string::npos && last_space > start) end = last_space + 1;
        if (end == start) end = start + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Draws one line in black with its pen from (x, baseline), keeping to the
// columns x .. x + width - 1.
void draw_line(FT_Face face, const std::string &line, unsigned x, unsigned baseline, unsigned width,
               RgbImage *sheet)
{
    int pen = static_cast<int>(x);
    for (unsigned char c : line) {
        if (FT_Load_Char(face, c, FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot g = face->glyph;
        for (unsigned row = 0; row < bitmap_rows(&g->bitmap); row++)
            for (unsigned col = 0; col < bitmap_width(&g->bitmap); col++) {
                const int px = pen + g->bitmap_left + static_cast<int>(col);
                const int py = static_cast<int>(baseline) - g->bitmap_top + static_cast<int>(row);
                if (px < static_cast<int>(x) || px >= static_cast<int>(x + width) || py < 0 ||
                    py >= static_cast<int>(sheet->height))
                    continue;
                const unsigned ink = g->bitmap.buffer[row * g->bitmap.pitch + col];
                uint8_t *dst = sheet->at(static_cast<unsigned>(px), static_cast<unsigned>(py));
                for (int ch = 0; ch < 3; ch++) dst[ch] = static_cast<uint8_t>(dst[ch] * (255 - ink) / 255);
            }
        pen += static_cast<int>(g->advance.x >> 6);
    }
}

void paste(const RgbImage &picture, unsigned x, unsigned y, RgbImage *sheet)
{
    for (unsigned row = 0; row < picture.height && y + row < sheet->height; row++)
        for (unsigned col = 0; col < picture.width && x + col < sheet->width; col++) {
            const uint8_t *src = picture.at(col, row);
            uint8_t *dst = sheet->at(x + col, y + row);
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
}

} // namespace

bool render_contact_sheet(const std::vector<SheetCell> &cells, const SheetLayout &layout,
                          const std::string &font_path, RgbImage *sheet, std::string *error)
{
    *sheet = RgbImage{ layout.width, layout.height, {} };
    if (cells.empty()) {
        *error = "no screen for the contact sheet";
        return false;
    }
    sheet->rgb.assign(static_cast<size_t>(layout.width) * layout.height * 3, kSheetPaper);
    for (size_t i = 0; i < cells.size(); i++) paste(cells[i].picture, layout.cell_x(i), layout.cell_y(i), sheet);
    CaptionFont font;
    if (FT_Init_FreeType(&font.library) != 0 || FT_New_Face(font.library, font_path.c_str(), 0, &font.face) != 0 ||
        FT_Set_Pixel_Sizes(font.face, 0, kCaptionPixels) != 0) {
        *error = "cannot load the caption font " + font_path;
        return false;
    }
    const unsigned ascent = static_cast<unsigned>(font.face->size->metrics.ascender >> 6);
    for (size_t i = 0; i < cells.size(); i++) {
        const std::vector<std::string> lines = wrap(font.face, cells[i].caption, layout.cell_w, kCaptionLines);
        for (size_t n = 0; n < lines.size(); n++)
            draw_line(font.face, lines[n], layout.cell_x(i),
                      layout.caption_y(i) + static_cast<unsigned>(n) * kCaptionLineHeight + ascent, layout.cell_w,
                      sheet);
    }
    return true;
}
