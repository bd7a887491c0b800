// SPDX-License-Identifier: MIT
// Frame memory of the fuzz targets: the mapping sits between guard bytes, so
// that any write outside it ends the run.
#ifndef TESTS_FUZZ_GUARDED_FRAME_H
#define TESTS_FUZZ_GUARDED_FRAME_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "display/framebuffer.h"

constexpr size_t FRAME_GUARD = 256;
constexpr uint8_t FRAME_GUARD_BYTE = 0xA5;

// Fills all total bytes of memory with the guard and points a fresh FbSurface
// at memory + FRAME_GUARD with the given geometry; the caller sets the rest.
inline void guarded_frame_open(uint8_t *memory, size_t total, int32_t xres, int32_t yres, int32_t bits)
{
    memset(memory, FRAME_GUARD_BYTE, total);
    FbSurface = fb_surface{};
    FbSurface.mapping = memory + FRAME_GUARD;
    FbSurface.xres = xres;
    FbSurface.yres = yres;
    FbSurface.bits_per_pixel = bits;
}

// Aborts unless every byte of memory before the mapping and after its
// FbSurface.size bytes still holds the guard; then forgets the surface.
inline void guarded_frame_close(const uint8_t *memory, size_t total)
{
    const uint8_t *end = FbSurface.mapping + FbSurface.size;
    for (const uint8_t *p = memory; p < memory + FRAME_GUARD; p++)
        if (*p != FRAME_GUARD_BYTE)
            abort();
    for (const uint8_t *p = end; p < memory + total; p++)
        if (*p != FRAME_GUARD_BYTE)
            abort();
    FbSurface = fb_surface{};
}

#endif
