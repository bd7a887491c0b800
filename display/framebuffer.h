// SPDX-License-Identifier: MIT
// Overlay framebuffer surface: the mapping of /dev/fb1 and the pixel
// operations on it. Callers give colours as RGB565; each store writes them in
// the panel's own format (16 bits as given, or 24/32 bits with the channels
// where the driver says they lie).
#ifndef DISPLAY_FRAMEBUFFER_H
#define DISPLAY_FRAMEBUFFER_H

#include <cstddef>
#include <cstdint>

// What fb_open prints, a line each, at the step that failed. A name with
// _ERR_ in it is a line no good run prints: the system test's console check
// reads these names from here.
#define FB_ERR_OPEN "open fb err"
#define FB_ERR_VSCREEN "vscreen error"
#define FB_ERR_FSCREEN "fs creen error"
#define FB_ERR_MMAP "fbmeme is %08x\n"
#define FB_ERR_OSD_START "osd start error"
#define FB_ERR_DEPTH "fb depth %d not supported\n"
#define FB_ERR_LAYOUT "fb colour layout not supported"

// Where one colour lies in a pixel value: bit offset and number of bits.
struct fb_channel {
    uint32_t offset;
    uint32_t length;
};

struct fb_surface {
    uint8_t *mapping;       // start of the mapped frame memory
    int32_t xres;           // visible width in pixels
    int32_t yres;           // visible height in pixels
    int32_t bits_per_pixel;
    size_t size;            // bytes that may be written from mapping; 0 until fb_open succeeded
    // Bytes from one row to the next as the driver lays them out. Anything
    // below xres pixels (0 on a surface over plain memory) means rows xres
    // pixels apart.
    uint32_t line_length;
    // Channel places at 24 and 32 bits per pixel; all lengths 0 means
    // x8r8g8b8. Ignored at 16 bits, where RGB565 is stored as given.
    fb_channel red, green, blue, transp;
};

// The one process-wide surface. The drawing operations read nothing else, so
// pointing it at plain memory gives a surface for tests and tools.
extern fb_surface FbSurface;

// Bytes per pixel of the depths the surface can draw (2, 3 or 4); 0 for any
// other bits_per_pixel, at which nothing is ever written. Pure, prints nothing.
uint32_t fb_bytes_per_pixel(int32_t bits_per_pixel);
// 0 when a panel of this depth and these channels can be drawn, else -1;
// prints nothing.
// At 16 bits the channels are ignored; at 24 and 32 red, green and blue each
// need 1 to 16 bits inside the pixel, and transp at most 16 (0 for none).
int fb_format_supported(int32_t bits_per_pixel, fb_channel red, fb_channel green, fb_channel blue,
                        fb_channel transp);
// Bytes from the start of one row to the next on fb: line_length, or xres
// pixels when line_length is smaller. 0 when fb cannot be drawn. Reads only
// the depth, xres and line_length of fb.
uint64_t fb_row_bytes(const fb_surface &fb);
// value, from_bits wide, widened (or cut) to to_bits by repeating its bits
// from the top: 5-bit 31 becomes 8-bit 255 and 3 becomes 24. 0 for widths
// of 0 or above 16 bits. Pure.
uint32_t fb_widen(uint32_t value, uint32_t from_bits, uint32_t to_bits);
// The RGB565 colour as a pixel value of fb's format: unchanged at 16 bits;
// at 24/32 bits each channel widened to its full range by fb_widen (0xFFFF is
// full white)
// and any transp bits set, so the overlay stays opaque. Reads only the depth
// and channels of fb (not its mapping); pure.
uint32_t fb_native_colour(const fb_surface &fb, uint16_t colour);

// One pixel of colour at a byte offset into the mapping of FbSurface. Nothing
// is written unless the whole pixel lies inside the mapping; prints nothing.
void fb_store(uint64_t offset, uint16_t colour);

// Opens and maps /dev/fb1 and starts the OSD layer. 0 on success; -1 after
// printing the failed step ("open fb err", "vscreen error", "fs creen error",
// "fbmeme is %08x\n", "osd start error", "fb depth %d not supported\n" or
// "fb colour layout not supported"). Not fatal: after a failure FbSurface has
// no geometry and every drawing operation leaves memory alone. The descriptor
// and the mapping are held until the process ends.
int fb_open();
// Fills w x h pixels at (x, y) with colour, or ANDs colour into them when
// and_mode is non-zero. Addresses run on linearly, so a rectangle wider than
// the room to its right continues on the next rows; it is cut at the end of
// the mapping. Prints nothing.
void fb_fill_rect(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t colour, int and_mode);
// fb_fill_rect of the whole visible screen (xres and yres cut to 16 bits);
// row padding is left alone. Prints nothing.
void fb_clear(uint16_t colour);
// Copies a w x h image in the panel's pixel format, rows packed, to (x, y).
// Does nothing unless it fits on the screen; the caller keeps the image.
// Prints nothing; a row crossing the end of the mapping is cut there.
void fb_blit(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const void *image);
// Copies the w x h part at (src_x, src_y) of an image whose rows are
// image_width pixels apart to (dst_x, dst_y). Does nothing unless the
// destination fits on the screen; the source is not checked. Prints nothing.
void fb_blit_region(uint16_t dst_x, uint16_t dst_y, uint16_t image_width, uint16_t src_x,
                    uint16_t src_y, uint16_t w, uint16_t h, const void *image);

#endif
