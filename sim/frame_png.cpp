#include "frame_png.h"

#include <png.h>

#include <cstdio>
#include <fstream>
#include <memory>

void rgb565_to_rgb888(uint16_t pixel, uint8_t rgb[3])
{
    unsigned r = (pixel >> 11) & 0x1F, g = (pixel >> 5) & 0x3F, b = pixel & 0x1F;
    rgb[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
    rgb[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
    rgb[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
}

bool write_png(const std::string &path, const std::vector<uint16_t> &pixels, unsigned xres,
               unsigned yres, std::string *error)
{
    if (pixels.size() < static_cast<size_t>(xres) * yres) {
        *error = "too few pixels for " + path;
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) {
        *error = "cannot write " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        *error = "out of memory for " + path;
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(xres) * 3);
    // libpng reports its errors by longjmp; nothing here owns memory across it
    // but the row buffer, which outlives the jump target.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "libpng failed on " + path;
        return false;
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, xres, yres, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned y = 0; y < yres; y++) {
        for (unsigned x = 0; x < xres; x++) rgb565_to_rgb888(pixels[static_cast<size_t>(y) * xres + x], &row[x * 3]);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool write_png_from_raw(const std::string &raw_path, const std::string &png_path, unsigned xres,
                        unsigned yres, std::string *error)
{
    std::ifstream in(raw_path, std::ios::binary);
    std::vector<uint8_t> bytes(static_cast<size_t>(xres) * yres * 2);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (static_cast<size_t>(in.gcount()) != bytes.size()) {
        *error = "frame memory " + raw_path + " is shorter than " + std::to_string(xres) + "x" +
                 std::to_string(yres) + " pixels";
        return false;
    }
    std::vector<uint16_t> pixels(static_cast<size_t>(xres) * yres);
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return write_png(png_path, pixels, xres, yres, error);
}
