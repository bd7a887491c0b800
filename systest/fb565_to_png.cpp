// Turns raw RGB565 frame memory (little-endian, as the board's framebuffer
// holds it) into a PNG, so a screen sent back by a test board can be looked at.
//
//   fb565-to-png WIDTH HEIGHT IN.raw OUT.png
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame_png.h"

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
    // A dump of another size is another screen: refuse it rather than cut it.
    struct stat st;
    if (stat(argv[3], &st) != 0 || static_cast<unsigned long>(st.st_size) != width * height * 2) {
        std::fprintf(stderr, "%s holds %lld bytes, a %lux%lu RGB565 screen is %lu\n", argv[3],
                     stat(argv[3], &st) == 0 ? static_cast<long long>(st.st_size) : -1LL, width, height,
                     width * height * 2);
        return 1;
    }
    std::string error;
    if (!write_png_from_raw(argv[3], argv[4], static_cast<unsigned>(width), static_cast<unsigned>(height), &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
