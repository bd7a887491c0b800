// Glyph bitmaps of any mode, size and pitch, anywhere on a small screen:
// reads stay in the bitmap's buffer and writes in the mapping.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/framebuffer.h"
#include "display/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 12)
        return 0;
    static uint16_t pixels[64 * 48 + 64];
    const size_t mapped = 64 * 40;  // less than the geometry claims
    for (size_t i = mapped; i < sizeof(pixels) / 2; i++)
        pixels[i] = 0xA5A5;
    FbSurface.mapping = reinterpret_cast<uint8_t *>(pixels);
    FbSurface.xres = 64;
    FbSurface.yres = 48;
    FbSurface.bits_per_pixel = data[11] & 1 ? 16 : 8 * (data[11] % 5);
    FbSurface.size = mapped * 2;

    FT_Bitmap bm{};
    bm.width = data[0] % 80;
    bm.rows = data[1] % 60;
    bm.pitch = static_cast<int8_t>(data[2]);
    bm.pixel_mode = data[3] % 8;
    const int32_t left = static_cast<int8_t>(data[4]) + (data[5] % 64);
    const int32_t top = static_cast<int8_t>(data[6]) + (data[7] % 48);
    const size_t need = size_t(bm.rows) * size_t(bm.pitch < 0 ? -bm.pitch : bm.pitch);
    // Exact size, so a sanitizer catches any read past the rows.
    unsigned char *buffer = static_cast<unsigned char *>(malloc(need ? need : 1));
    for (size_t i = 0; i < need; i++)
        buffer[i] = size > 12 ? data[12 + i % (size - 12)] : 0;
    bm.buffer = data[8] == 0 ? nullptr : buffer;

    FILE *saved = stdout;
    stdout = fopen("/dev/null", "w");
    draw_glyph_bitmap(&bm, left, top);
    fclose(stdout);
    stdout = saved;
    free(buffer);

    for (size_t i = mapped; i < sizeof(pixels) / 2; i++)
        if (pixels[i] != 0xA5A5)
            abort();
    FbSurface = fb_surface{};
    return 0;
}
