// SPDX-License-Identifier: MIT
// Pictures of the emulated screen: RGB565 frame memory read from disk and
// written out as PNG. Shared by the launcher and the tests that read its
// output back.
#ifndef SIM_FRAME_PNG_H
#define SIM_FRAME_PNG_H

#include <cstdint>
#include <string>
#include <vector>

#include "panel_format.h"

// An 8-bit RGB picture, rows packed, three bytes a pixel.
struct RgbImage {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> rgb;
    uint8_t *at(unsigned x, unsigned y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    const uint8_t *at(unsigned x, unsigned y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);

// 8-bit red, green and blue of one RGB565 pixel, with the low bits filled
// from the high ones so that 0xFFFF becomes pure white.
void rgb565_to_rgb888(uint16_t pixel, uint8_t rgb[3]);

// The RGB565 pixel whose widening is rgb (the top bits of each channel): the
// exact inverse of rgb565_to_rgb888.
uint16_t rgb888_to_rgb565(const uint8_t rgb[3]);

// Pixels of frame memory stored as little-endian RGB565, two bytes each; a
// trailing odd byte is ignored.
std::vector<uint16_t> rgb565_from_bytes(const std::string &bytes);

// Writes xres x yres pixels, rows packed, as an 8-bit RGB PNG. False with
// *error set when the file cannot be written.
bool write_png(const std::string &path, const std::vector<uint16_t> &pixels, unsigned xres,
               unsigned yres, std::string *error);

// Writes an RGB picture as an 8-bit RGB PNG. False with *error set when the
// file cannot be written.
bool write_png_rgb(const std::string &path, const RgbImage &image, std::string *error);

// Reads a PNG as 8-bit RGB into *image. False when it is missing or not a PNG.
bool read_png_rgb(const std::string &path, RgbImage *image);

// Reads a PNG back as RGB565 pixels (rows packed) into *pixels, *xres and
// *yres. False when it is missing or not a PNG.
bool read_png(const std::string &path, std::vector<uint16_t> *pixels, unsigned *xres, unsigned *yres);

// Reads the first xres * yres pixels of frame memory dumped to raw_path into
// *pixels. False with *error set when the file is shorter.
bool read_raw_frame(const std::string &raw_path, unsigned xres, unsigned yres,
                    std::vector<uint16_t> *pixels, std::string *error);

// read_raw_frame, then write_png.
bool write_png_from_raw(const std::string &raw_path, const std::string &png_path, unsigned xres,
                        unsigned yres, std::string *error);

// Frame memory of panel with every visible pixel colour (RGB565, written in
// the panel's format as the device program writes it) and the row padding 0.
std::string filled_frame(const sim_panel &panel, uint16_t colour);

// The visible pixels of frame memory laid out as panel, as an 8-bit RGB
// picture. False with *error set when bytes is too short or the depth has no
// colours.
bool panel_rgb888(const std::string &bytes, const sim_panel &panel, RgbImage *image, std::string *error);

// The true picture of frame memory dumped from panel: panel_rgb888, then
// write_png_rgb.
bool write_png_from_panel(const std::string &raw_path, const std::string &png_path, const sim_panel &panel,
                          std::string *error);

#endif
