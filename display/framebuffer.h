// Overlay framebuffer surface: the mapping of /dev/fb1 and raw RGB565 pixel
// operations on it.
#ifndef DISPLAY_FRAMEBUFFER_H
#define DISPLAY_FRAMEBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

struct fb_surface {
    uint8_t *mapping;       // start of the mapped frame memory
    int32_t xres;           // visible width in pixels
    int32_t yres;           // visible height in pixels
    int32_t bits_per_pixel;
    size_t size;            // bytes that may be written from mapping; 0 until fb_open succeeded
};

// The one process-wide surface. The drawing operations read nothing else, so
// pointing it at plain memory gives a surface for tests and tools.
extern fb_surface FbSurface;

// At depths other than 16 bits a pixel address may be odd; going through
// memcpy keeps each access one 16-bit load or store without alignment traps.
inline void fb_put_pixel(uint8_t *at, uint16_t colour)
{
    memcpy(at, &colour, 2);
}

inline uint16_t fb_get_pixel(const uint8_t *at)
{
    uint16_t v;
    memcpy(&v, at, 2);
    return v;
}

// One pixel at a byte offset into the mapping; nothing is written outside it.
inline void fb_store(uint64_t offset, uint16_t colour)
{
    if (offset + 2 <= FbSurface.size)
        fb_put_pixel(FbSurface.mapping + offset, colour);
}

int fb_open();
void fb_fill_rect(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t colour, int and_mode);
void fb_clear(uint16_t colour);
void fb_blit(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const void *image);
void fb_blit_region(uint16_t dst_x, uint16_t dst_y, uint16_t image_width, uint16_t src_x,
                    uint16_t src_y, uint16_t w, uint16_t h, const void *image);

#endif
