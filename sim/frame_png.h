// Pictures of the emulated screen: RGB565 frame memory written out as PNG.
#ifndef SIM_FRAME_PNG_H
#define SIM_FRAME_PNG_H

#include <cstdint>
#include <string>
#include <vector>

// 8-bit red, green and blue of one RGB565 pixel, with the low bits filled
// from the high ones so that 0xFFFF becomes pure white.
void rgb565_to_rgb888(uint16_t pixel, uint8_t rgb[3]);

// Writes xres x yres pixels, rows packed, as an 8-bit RGB PNG.
bool write_png(const std::string &path, const std::vector<uint16_t> &pixels, unsigned xres,
               unsigned yres, std::string *error);

// Reads frame memory dumped as little-endian RGB565 (the first xres * yres
// pixels of the file) and writes it as a PNG.
bool write_png_from_raw(const std::string &raw_path, const std::string &png_path, unsigned xres,
                        unsigned yres, std::string *error);

#endif
