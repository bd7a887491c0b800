// SPDX-License-Identifier: MIT
#include "memory_surface.h"

MemSurface::MemSurface(int x, int y, size_t mapped_pixels)
    : xres(x), yres(y), mapped(mapped_pixels ? mapped_pixels : size_t(x) * size_t(y)),
      px(mapped + GUARD_PIXELS, BACKGROUND)
{
    for (size_t i = mapped; i < px.size(); i++)
        px[i] = GUARD;
    FbSurface.mapping = reinterpret_cast<uint8_t *>(px.data());
    FbSurface.xres = x;
    FbSurface.yres = y;
    FbSurface.bits_per_pixel = 16;
    FbSurface.size = mapped * 2;
}

MemSurface::~MemSurface()
{
    FbSurface = fb_surface{};
}

size_t MemSurface::changed_pixels() const
{
    size_t n = 0;
    for (size_t i = 0; i < mapped; i++)
        n += px[i] != BACKGROUND;
    return n;
}

bool MemSurface::guard_intact() const
{
    for (size_t i = mapped; i < px.size(); i++)
        if (px[i] != GUARD)
            return false;
    return true;
}

PanelSurface::PanelSurface(int x, int y, int bits, uint32_t line_length, size_t mapped_bytes)
    : xres(x), yres(y), bpp(size_t(bits) / 8), row(line_length ? line_length : size_t(x) * (size_t(bits) / 8)),
      mapped(mapped_bytes ? mapped_bytes : row * size_t(y)), bytes(mapped + 2 * PANEL_GUARD_BYTES, PANEL_GUARD)
{
    std::fill(mapping(), mapping() + mapped, PANEL_BACKGROUND);
    FbSurface = fb_surface{};
    FbSurface.mapping = mapping();
    FbSurface.xres = x;
    FbSurface.yres = y;
    FbSurface.bits_per_pixel = bits;
    FbSurface.size = mapped;
    FbSurface.line_length = line_length;
}

PanelSurface::~PanelSurface()
{
    FbSurface = fb_surface{};
}

uint32_t PanelSurface::at(size_t x, size_t y) const
{
    uint32_t v = 0;
    for (size_t k = 0; k < bpp; k++)
        v |= uint32_t(bytes[PANEL_GUARD_BYTES + offset(x, y) + k]) << (8 * k);
    return v;
}

size_t PanelSurface::changed_pixels() const
{
    size_t n = 0;
    for (int y = 0; y < yres; y++)
        for (int x = 0; x < xres; x++) {
            bool changed = false;
            for (size_t k = 0; k < bpp && offset(x, y) + k < mapped; k++)
                changed |= bytes[PANEL_GUARD_BYTES + offset(x, y) + k] != PANEL_BACKGROUND;
            n += changed;
        }
    return n;
}

bool PanelSurface::outside_screen_untouched() const
{
    for (size_t i = 0; i < mapped; i++) {
        const size_t y = i / row, in_row = i % row;
        const bool visible = y < size_t(yres) && in_row < size_t(xres) * bpp;
        if (!visible && bytes[PANEL_GUARD_BYTES + i] != PANEL_BACKGROUND)
            return false;
    }
    return true;
}

bool PanelSurface::guards_intact() const
{
    for (size_t i = 0; i < PANEL_GUARD_BYTES; i++)
        if (bytes[i] != PANEL_GUARD || bytes[PANEL_GUARD_BYTES + mapped + i] != PANEL_GUARD)
            return false;
    return true;
}
