#include "frame_png.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void rgb565_to_rgb888(uint16_t pixel, uint8_t rgb[3])
{
    unsigned r = (pixel >> 11) & 0x1F, g = (pixel >> 5) & 0x3F, b = pixel & 0x1F;
    rgb[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
    rgb[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
    rgb[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
}

uint16_t rgb888_to_rgb565(const uint8_t rgb[3])
{
    return static_cast<uint16_t>((rgb[0] >> 3) << 11 | (rgb[1] >> 2) << 5 | rgb[2] >> 3);
}

std::vector<uint16_t> rgb565_from_bytes(const std::string &bytes)
{
    std::vector<uint16_t> pixels(bytes.size() / 2);
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    return pixels;
}

bool write_png_rgb(const std::string &path, const RgbImage &image, std::string *error)
{
    if (image.rgb.size() < static_cast<size_t>(image.width) * image.height * 3) {
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
    // libpng reports its errors by longjmp; nothing here owns memory across
    // the jump.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "libpng failed on " + path;
        return false;
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned y = 0; y < image.height; y++) png_write_row(png, image.at(0, y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool write_png(const std::string &path, const std::vector<uint16_t> &pixels, unsigned xres,
               unsigned yres, std::string *error)
{
    if (pixels.size() < static_cast<size_t>(xres) * yres) {
        *error = "too few pixels for " + path;
        return false;
    }
    RgbImage image{ xres, yres, std::vector<uint8_t>(static_cast<size_t>(xres) * yres * 3) };
    for (size_t i = 0; i < static_cast<size_t>(xres) * yres; i++) rgb565_to_rgb888(pixels[i], &image.rgb[3 * i]);
    return write_png_rgb(path, image, error);
}

bool read_png_rgb(const std::string &path, RgbImage *image)
{
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    image->rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image->rgb.data(), 0, nullptr)) return false;
    image->width = png.width;
    image->height = png.height;
    return true;
}

bool read_png(const std::string &path, std::vector<uint16_t> *pixels, unsigned *xres, unsigned *yres)
{
    RgbImage image;
    if (!read_png_rgb(path, &image)) return false;
    *xres = image.width;
    *yres = image.height;
    pixels->resize(static_cast<size_t>(image.width) * image.height);
    for (size_t i = 0; i < pixels->size(); i++) (*pixels)[i] = rgb888_to_rgb565(&image.rgb[3 * i]);
    return true;
}

bool read_raw_frame(const std::string &raw_path, unsigned xres, unsigned yres,
                    std::vector<uint16_t> *pixels, std::string *error)
{
    const size_t count = static_cast<size_t>(xres) * yres;
    *pixels = rgb565_from_bytes(read_file(raw_path));
    if (pixels->size() < count) {
        *error = "frame memory " + raw_path + " is shorter than " + std::to_string(xres) + "x" +
                 std::to_string(yres) + " pixels";
        return false;
    }
    pixels->resize(count);
    return true;
}

bool write_png_from_raw(const std::string &raw_path, const std::string &png_path, unsigned xres,
                        unsigned yres, std::string *error)
{
    std::vector<uint16_t> pixels;
    return read_raw_frame(raw_path, xres, yres, &pixels, error) && write_png(png_path, pixels, xres, yres, error);
}
