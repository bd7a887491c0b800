// SPDX-License-Identifier: MIT
// FbSurface pointed at plain memory, with guard bytes around the mapping so
// that a write outside it shows.
#ifndef TESTS_UNIT_MEMORY_SURFACE_H
#define TESTS_UNIT_MEMORY_SURFACE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "display/framebuffer.h"

constexpr uint16_t BACKGROUND = 0x1234;
constexpr uint16_t GUARD = 0xA5A5;
constexpr size_t GUARD_PIXELS = 4096;

// A 16-bpp RGB565 screen, rows xres pixels apart, as on the board.
struct MemSurface {
    // mapped_pixels defaults to xres * yres; the guard follows the mapping.
    MemSurface(int xres, int yres, size_t mapped_pixels = 0);
    ~MemSurface();
    uint16_t at(size_t x, size_t y) const { return px[y * xres + x]; }
    size_t changed_pixels() const;   // within the mapping, not BACKGROUND
    bool guard_intact() const;
    int xres, yres;
    size_t mapped;
    std::vector<uint16_t> px;
};

constexpr uint8_t PANEL_BACKGROUND = 0x5C;
constexpr uint8_t PANEL_GUARD = 0xA5;
constexpr size_t PANEL_GUARD_BYTES = 4096;

// A screen of any depth and row length, as a driver would lay it out:
// line_length 0 means rows xres pixels apart. Channels default to x8r8g8b8.
// Guard bytes lie before and after the mapping.
struct PanelSurface {
    PanelSurface(int xres, int yres, int bits_per_pixel, uint32_t line_length = 0, size_t mapped_bytes = 0);
    ~PanelSurface();
    uint8_t *mapping() { return bytes.data() + PANEL_GUARD_BYTES; }
    size_t offset(size_t x, size_t y) const { return y * row + x * bpp; }
    // The pixel value at (x, y), bpp bytes in the CPU's (little-endian) order.
    uint32_t at(size_t x, size_t y) const;
    // Pixels of the visible screen whose bytes are no longer the background.
    size_t changed_pixels() const;
    // Bytes of the mapping outside the visible pixels (row padding and any
    // memory after the last row) still hold the background.
    bool outside_screen_untouched() const;
    bool guards_intact() const;
    int xres, yres;
    size_t bpp, row, mapped;
    std::vector<uint8_t> bytes;
};

#endif
