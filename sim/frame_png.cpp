// SPDX-License-Identifier: MIT
#include "frame_png.h"

#include "display/framebuffer.h"

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

namespace {

// The device program's view of the panel, for its own colour rule.
fb_surface surface_of(const sim_panel &panel)
{
    fb_surface fb{};
    fb.xres = static_cast<int32_t>(panel.xres);
    fb.yres = static_cast<int32_t>(panel.yres);
    fb.bits_per_pixel = static_cast<int32_t>(panel.bits_per_pixel);
    fb.line_length = sim_panel_line_length(&panel);
    sim_channel r, g, b;
    sim_panel_channels(&panel, &r, &g, &b);
    fb.red = {r.offset, r.length};
    fb.green = {g.offset, g.length};
    fb.blue = {b.offset, b.length};
    return fb;
}

size_t row_bytes(const sim_panel &panel)
{
    return sim_panel_frame_bytes(&panel) / (panel.yres ? panel.yres : 1);
}

} // namespace

std::string filled_frame(const sim_panel &panel, uint16_t colour)
{
    std::string frame(sim_panel_frame_bytes(&panel), '\0');
    const size_t bpp = sim_panel_bytes_per_pixel(&panel), row = row_bytes(panel);
    const uint32_t v = fb_bytes_per_pixel(static_cast<int32_t>(panel.bits_per_pixel))
                           ? fb_native_colour(surface_of(panel), colour)
                           : colour;
    for (size_t y = 0; y < panel.yres; y++)
        for (size_t x = 0; x < panel.xres; x++)
            for (size_t k = 0; k < bpp; k++)
                frame[y * row + x * bpp + k] = static_cast<char>(k < 4 ? v >> (8 * k) : 0);
    return frame;
}

bool panel_rgb888(const std::string &bytes, const sim_panel &panel, RgbImage *image, std::string *error)
{
    const size_t bpp = sim_panel_bytes_per_pixel(&panel), row = row_bytes(panel);
    sim_channel ch[3];
    sim_panel_channels(&panel, &ch[0], &ch[1], &ch[2]);
    if (!sim_panel_has_colours(&panel)) {
        *error = "no picture of a " + std::to_string(panel.bits_per_pixel) + "-bpp panel";
        return false;
    }
    if (bytes.size() < sim_panel_frame_bytes(&panel)) {
        *error = "frame memory is shorter than the panel's " + std::to_string(sim_panel_frame_bytes(&panel)) +
                 " bytes";
        return false;
    }
    image->width = panel.xres;
    image->height = panel.yres;
    image->rgb.assign(static_cast<size_t>(panel.xres) * panel.yres * 3, 0);
    for (size_t y = 0; y < panel.yres; y++)
        for (size_t x = 0; x < panel.xres; x++) {
            uint32_t v = 0;
            for (size_t k = 0; k < bpp && k < 4; k++)
                v |= uint32_t(static_cast<uint8_t>(bytes[y * row + x * bpp + k])) << (8 * k);
            for (int c = 0; c < 3; c++)
                image->at(unsigned(x), unsigned(y))[c] = static_cast<uint8_t>(
                    fb_widen((v >> ch[c].offset) & ((1u << ch[c].length) - 1), ch[c].length, 8));
        }
    return true;
}

bool write_png_from_panel(const std::string &raw_path, const std::string &png_path, const sim_panel &panel,
                          std::string *error)
{
    RgbImage image;
    return panel_rgb888(read_file(raw_path), panel, &image, error) && write_png_rgb(png_path, image, error);
}
