// SPDX-License-Identifier: MIT
// Turns frame memory sent back by a test board (the whole of /dev/fb1, rows
// packed, pixels little-endian) into a PNG of what the panel shows, read in
// the panel's own format.
//
//   fb-to-png WIDTHxHEIGHT[xBPP] IN.raw OUT.png
//
// BPP is 16 (RGB565, the default), 24 (r8g8b8) or 32 (x8r8g8b8), the formats
// the kernel's simple-framebuffer gives.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "frame_png.h"
#include "panel_format.h"

int main(int argc, char **argv)
{
    sim_panel panel{};
    if (argc != 4 || sim_panel_parse_screen(argv[1], &panel) != 0) {
        std::fprintf(stderr, "usage: %s WIDTHxHEIGHT[xBPP] IN.raw OUT.png\n", argv[0]);
        return 2;
    }
    // A dump of another size is another screen: refuse it rather than cut it.
    const size_t want = sim_panel_frame_bytes(&panel);
    struct stat st;
    if (stat(argv[2], &st) != 0 || static_cast<size_t>(st.st_size) != want) {
        std::fprintf(stderr, "%s holds %lld bytes, a %s screen is %zu\n", argv[2],
                     stat(argv[2], &st) == 0 ? static_cast<long long>(st.st_size) : -1LL, argv[1], want);
        return 1;
    }
    // RGB565 goes through the frame library's own widening, not the device
    // program's: the system test holds a deeper screen's picture against the
    // 16-bpp one, and the program's colour rule must not judge itself.
    std::string error;
    const bool written = panel.bits_per_pixel == 16
                             ? write_png_from_raw(argv[2], argv[3], panel.xres, panel.yres, &error)
                             : write_png_from_panel(argv[2], argv[3], panel, &error);
    if (!written) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
