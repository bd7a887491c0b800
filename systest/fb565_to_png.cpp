// Turns raw RGB565 frame memory (little-endian, as the board's framebuffer
// holds it) into a PNG, so a screen sent back by a test board can be looked at.
//
//   fb565-to-png WIDTH HEIGHT IN.raw OUT.png
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT IN.raw OUT.png\n", argv[0]);
        return 2;
    }
    const unsigned long width = std::strtoul(argv[1], nullptr, 10);
    const unsigned long height = std::strtoul(argv[2], nullptr, 10);
    if (width == 0 || height == 0 || width > 8192 || height > 8192) {
        std::fprintf(stderr, "bad geometry %sx%s\n", argv[1], argv[2]);
        return 2;
    }
    std::ifstream in(argv[3], std::ios::binary);
    std::vector<unsigned char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (raw.size() != width * height * 2) {
        std::fprintf(stderr, "%s holds %zu bytes, a %lux%lu RGB565 screen is %lu\n", argv[3], raw.size(), width,
                     height, width * height * 2);
        return 1;
    }

    // Widen each 5/6-bit channel by repeating its top bits, so 0x1f and 0x3f
    // become full 255.
    std::vector<unsigned char> rgb(width * height * 3);
    for (unsigned long i = 0; i < width * height; ++i) {
        const unsigned px = raw[2 * i] | (raw[2 * i + 1] << 8);
        const unsigned r = (px >> 11) & 0x1f, g = (px >> 5) & 0x3f, b = px & 0x1f;
        rgb[3 * i] = static_cast<unsigned char>((r << 3) | (r >> 2));
        rgb[3 * i + 1] = static_cast<unsigned char>((g << 2) | (g >> 4));
        rgb[3 * i + 2] = static_cast<unsigned char>((b << 3) | (b >> 2));
    }

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, argv[4], 0, rgb.data(), 0, nullptr)) {
        std::fprintf(stderr, "writing %s: %s\n", argv[4], image.message);
        return 1;
    }
    return 0;
}
