// SPDX-License-Identifier: MIT
// Rectangles of any place and size, filled or ANDed, and whole-screen clears
// on small screens of any depth, row length and mapping size: every write
// stays in the mapping.
#include <cstdint>

#include "display/framebuffer.h"
#include "guarded_frame.h"

namespace {

uint8_t memory[FRAME_GUARD + 40 * 30 * 4 + 30 * 16 + FRAME_GUARD];

uint16_t u16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 14)
        return 0;
    static const int32_t depths[] = {16, 24, 32, 12, 0, INT32_MIN, 32, 16};
    const int32_t bits = depths[data[0] % 8];
    const uint32_t bpp = bits > 0 ? uint32_t(bits) / 8 : 0;
    const uint32_t line = 40 * bpp + (data[1] % 17);
    guarded_frame_open(memory, sizeof memory, 40, 30, bits);
    FbSurface.line_length = data[1] & 0x80 ? 0 : line;
    FbSurface.size = (sizeof memory - 2 * FRAME_GUARD) * (data[2] % 9) / 8;

    // Coordinates mostly near the screen, sometimes anywhere.
    const uint16_t x = data[3] & 1 ? u16(data + 4) : data[4] % 48;
    const uint16_t y = data[3] & 2 ? u16(data + 6) : data[6] % 36;
    const uint16_t w = data[3] & 4 ? u16(data + 8) : data[8] % 100;
    const uint16_t h = data[3] & 8 ? u16(data + 10) : data[10] % 40;
    const uint16_t colour = u16(data + 12);
    if (data[3] & 16)
        fb_clear(colour);
    else
        fb_fill_rect(x, y, w, h, colour, data[3] & 32);

    guarded_frame_close(memory, sizeof memory);
    return 0;
}
