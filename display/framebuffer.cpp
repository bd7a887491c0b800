// SPDX-License-Identifier: MIT
#include "display/framebuffer.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "board/names.h"

static_assert(FB_OSD_START == _IO('F', 0xC9), "the OSD start request is _IO('F', 0xC9)");

fb_surface FbSurface;

uint32_t fb_bytes_per_pixel(int32_t bits_per_pixel)
{
    switch (bits_per_pixel) {
    case 16:
        return 2;
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

static bool channel_fits(fb_channel c, int32_t bits, uint32_t min_length)
{
    return c.length >= min_length && c.length <= 16 && c.offset < 32 &&
           c.offset + c.length <= static_cast<uint32_t>(bits);
}

int fb_format_supported(int32_t bits, fb_channel red, fb_channel green, fb_channel blue, fb_channel transp)
{
    if (fb_bytes_per_pixel(bits) == 0)
        return -1;
    if (bits == 16)
        return 0;
    const bool ok = channel_fits(red, bits, 1) && channel_fits(green, bits, 1) && channel_fits(blue, bits, 1) &&
                    (transp.length == 0 || channel_fits(transp, bits, 1));
    return ok ? 0 : -1;
}

uint64_t fb_row_bytes(const fb_surface &fb)
{
    const uint32_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    if (bpp == 0 || fb.xres <= 0)
        return 0;
    const uint64_t packed = static_cast<uint64_t>(fb.xres) * bpp;
    return fb.line_length > packed ? fb.line_length : packed;
}

uint32_t fb_widen(uint32_t value, uint32_t from_bits, uint32_t to_bits)
{
    if (from_bits == 0 || from_bits > 16 || to_bits > 16)
        return 0;
    uint64_t wide = 0;
    uint32_t filled = 0;
    while (filled < to_bits) {
        wide = (wide << from_bits) | value;
        filled += from_bits;
    }
    return static_cast<uint32_t>(wide >> (filled - to_bits));
}

static uint32_t place(uint32_t value, uint32_t from_bits, fb_channel c)
{
    return fb_widen(value, from_bits, c.length) << c.offset;
}

uint32_t fb_native_colour(const fb_surface &fb, uint16_t colour)
{
    if (fb.bits_per_pixel == 16)
        return colour;
    fb_channel r = fb.red;
    fb_channel g = fb.green;
    fb_channel b = fb.blue;
    if (r.length == 0 && g.length == 0 && b.length == 0) {
        r = {16, 8};
        g = {8, 8};
        b = {0, 8};
    }
    uint32_t v = place(colour >> 11, 5, r) | place((colour >> 5) & 0x3F, 6, g) | place(colour & 0x1F, 5, b);
    if (fb.transp.length)
        v |= ((1u << fb.transp.length) - 1) << fb.transp.offset;
    return v;
}

// Pixel values are stored in the CPU's byte order, as the kernel's packed
// pixel formats define them; 24-bit pixels low byte first.
static inline void put_native(uint8_t *at, uint32_t v, uint32_t bpp)
{
    if (bpp == 2) {
        const uint16_t v16 = static_cast<uint16_t>(v);
        memcpy(at, &v16, 2);
    } else if (bpp == 4) {
        memcpy(at, &v, 4);
    } else {
        at[0] = static_cast<uint8_t>(v);
        at[1] = static_cast<uint8_t>(v >> 8);
        at[2] = static_cast<uint8_t>(v >> 16);
    }
}

static inline uint32_t get_native(const uint8_t *at, uint32_t bpp)
{
    if (bpp == 2) {
        uint16_t v16;
        memcpy(&v16, at, 2);
        return v16;
    }
    if (bpp == 4) {
        uint32_t v;
        memcpy(&v, at, 4);
        return v;
    }
    return at[0] | (at[1] << 8) | (static_cast<uint32_t>(at[2]) << 16);
}

void fb_store(uint64_t offset, uint16_t colour)
{
    const fb_surface &fb = FbSurface;
    const uint32_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    if (bpp == 0 || offset > fb.size || fb.size - offset < bpp)
        return;
    put_native(fb.mapping + offset, fb_native_colour(fb, colour), bpp);
}

// Step 6 of the set-up: take the geometry only for a panel the operations can
// draw, so that an unknown depth leaves the surface unwritable.
static int adopt_screen(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix)
{
    const int32_t bits = static_cast<int32_t>(var.bits_per_pixel);
    if (fb_bytes_per_pixel(bits) == 0) {
        printf(FB_ERR_DEPTH, bits);
        return -1;
    }
    const fb_channel red{var.red.offset, var.red.length};
    const fb_channel green{var.green.offset, var.green.length};
    const fb_channel blue{var.blue.offset, var.blue.length};
    const fb_channel transp{var.transp.offset, var.transp.length};
    if (fb_format_supported(bits, red, green, blue, transp) != 0) {
        puts(FB_ERR_LAYOUT);
        return -1;
    }
    FbSurface.xres = static_cast<int32_t>(var.xres);
    FbSurface.yres = static_cast<int32_t>(var.yres);
    FbSurface.bits_per_pixel = bits;
    FbSurface.line_length = fix.line_length;
    FbSurface.red = red;
    FbSurface.green = green;
    FbSurface.blue = blue;
    FbSurface.transp = transp;
    FbSurface.size = fix.smem_len;
    return 0;
}

int fb_open()
{
    int fd = open(FB_NODE, O_RDWR);
    if (fd < 0) {
        puts(FB_ERR_OPEN);
        return -1;
    }

    fb_var_screeninfo var;
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        puts(FB_ERR_VSCREEN);
        return -1;
    }

    fb_fix_screeninfo fix;
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        puts(FB_ERR_FSCREEN);
        return -1;
    }

    void *map = mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    FbSurface.mapping = static_cast<uint8_t *>(map);
    if (map == MAP_FAILED) {
        printf(FB_ERR_MMAP, static_cast<unsigned>(reinterpret_cast<uintptr_t>(map)));
        return -1;
    }

    if (ioctl(fd, FB_OSD_START, map) < 0) {
        puts(FB_ERR_OSD_START);
        return -1;
    }

    // The descriptor and the mapping live as long as the process.
    return adopt_screen(var, fix);
}

// Whether every byte of a bpp-byte pixel of value v is the same (black, and
// white at 16 bits), so that a fill is a memset.
static bool uniform_bytes(uint32_t v, uint32_t bpp)
{
    const uint32_t b0 = v & 0xFF;
    return ((v >> 8) & 0xFF) == b0 && (bpp < 3 || ((v >> 16) & 0xFF) == b0) && (bpp < 4 || (v >> 24) == b0);
}

// len bytes of whole pixels of v, other than uniform ones: one pixel is
// doubled up to a block that stays in the cache, and the block is copied on,
// so every store covers whole pixels.
static void fill_run(uint8_t *p, uint64_t len, uint32_t v, uint32_t bpp)
{
    // 1024 pixels: the block stays in the first-level cache while it is
    // copied on, which beat both word stores and larger blocks.
    const uint64_t block_max = 1024 * static_cast<uint64_t>(bpp);
    put_native(p, v, bpp);
    uint64_t block = bpp;
    while (block < block_max && block < len) {
        const uint64_t n = len - block < block ? len - block : block;
        memcpy(p + block, p, n);
        block += n;
    }
    for (uint64_t at = block; at < len; at += block)
        memcpy(p + at, p, len - at < block ? len - at : block);
}

// ANDs v into len bytes of whole pixels; 2- and 4-byte pixels eight bytes at
// a time, starting on a pixel.
static void and_run(uint8_t *p, uint64_t len, uint32_t v, uint32_t bpp)
{
    uint64_t at = 0;
    if (bpp == 2 || bpp == 4) {
        const uint64_t pattern = bpp == 2 ? 0x0001000100010001ull * (v & 0xFFFF) : 0x0000000100000001ull * v;
        for (; at + 8 <= len; at += 8) {
            uint64_t word;
            memcpy(&word, p + at, 8);
            word &= pattern;
            memcpy(p + at, &word, 8);
        }
    }
    for (; at + bpp <= len; at += bpp)
        put_native(p + at, get_native(p + at, bpp) & v, bpp);
}

// Rows are line_length apart and addresses are formed linearly, so a
// rectangle wider than the room to its right runs on into the next rows
// (through the padding, where the driver pads); that is kept, but nothing
// lands outside the mapping.
void fb_fill_rect(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t colour, int and_mode)
{
    const fb_surface &fb = FbSurface;
    const uint32_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    const uint64_t stride = fb_row_bytes(fb);
    if (stride == 0 || fb.size < bpp || w == 0 || h == 0)
        return;
    const uint64_t base = static_cast<uint64_t>(y) * stride + static_cast<uint64_t>(x) * bpp;
    uint64_t span = static_cast<uint64_t>(w) * bpp;
    uint64_t rows = h;
    // Rows that meet or overlap form one run; filling and ANDing give the
    // same bytes whichever row writes them.
    if (span >= stride) {
        span += (rows - 1) * stride;
        rows = 1;
    }
    const uint32_t v = fb_native_colour(fb, colour);
    const bool memset_fill = uniform_bytes(v, bpp);
    const uint8_t *first = nullptr;
    for (uint64_t r = 0; r < rows; r++) {
        const uint64_t at = base + r * stride;
        if (at >= fb.size)
            break;
        const uint64_t room = (fb.size - at) / bpp * bpp;
        const uint64_t len = span < room ? span : room;
        if (len == 0)
            break;
        uint8_t *p = fb.mapping + at;
        if (and_mode)
            and_run(p, len, v, bpp);
        else if (memset_fill)
            memset(p, static_cast<int>(v & 0xFF), len);
        else if (first)
            memcpy(p, first, len);  // later rows are never longer than the first
        else
            fill_run(p, len, v, bpp);
        first = p;
    }
}

void fb_clear(uint16_t colour)
{
    fb_fill_rect(0, 0, static_cast<uint16_t>(FbSurface.xres), static_cast<uint16_t>(FbSurface.yres), colour, 0);
}

// Copies rows of row_bytes, one panel row apart; a row that would cross the
// end of the mapping is cut there.
static void copy_rows(uint64_t dst, const uint8_t *src, uint64_t src_stride, uint64_t row_bytes, uint16_t h)
{
    const fb_surface &fb = FbSurface;
    const uint64_t dst_stride = fb_row_bytes(fb);
    for (uint64_t r = 0; r < h; r++) {
        const uint64_t at = dst + r * dst_stride;
        if (at >= fb.size)
            break;
        const uint64_t n = row_bytes < fb.size - at ? row_bytes : fb.size - at;
        memcpy(fb.mapping + at, src + r * src_stride, n);
    }
}

void fb_blit(uint16_t x, uint16_t y, uint16_t w, uint16_t h, const void *image)
{
    const fb_surface &fb = FbSurface;
    const uint64_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    if (fb.size == 0 || bpp == 0 || int32_t(x) + w > fb.xres || int32_t(y) + h > fb.yres)
        return;
    const uint64_t dst = static_cast<uint64_t>(y) * fb_row_bytes(fb) + x * bpp;
    copy_rows(dst, static_cast<const uint8_t *>(image), w * bpp, w * bpp, h);
}

void fb_blit_region(uint16_t dst_x, uint16_t dst_y, uint16_t image_width, uint16_t src_x,
                    uint16_t src_y, uint16_t w, uint16_t h, const void *image)
{
    const fb_surface &fb = FbSurface;
    const uint64_t bpp = fb_bytes_per_pixel(fb.bits_per_pixel);
    if (fb.size == 0 || bpp == 0 || int32_t(dst_x) + w > fb.xres || int32_t(dst_y) + h > fb.yres)
        return;
    const uint64_t dst = static_cast<uint64_t>(dst_y) * fb_row_bytes(fb) + dst_x * bpp;
    const uint8_t *src = static_cast<const uint8_t *>(image) + ((uint64_t)src_y * image_width + src_x) * bpp;
    copy_rows(dst, src, image_width * bpp, w * bpp, h);
}
