#include "display/framebuffer.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

// The overlay driver's own request that starts its OSD layer: type 'F',
// number 0xC9, no data direction. It takes the mapping's address.
#define FB_OSD_START 0x46C9

fb_surface FbSurface;

int fb_open()
{
    int fd = open("/dev/fb1", O_RDWR);
    if (fd < 0) {
        puts("open fb err");
        return -1;
    }

    fb_var_screeninfo var;
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
        puts("vscreen error");
        return -1;
    }

    fb_fix_screeninfo fix;
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) {
        puts("fs creen error");
        return -1;
    }

    void *map = mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    FbSurface.mapping = static_cast<uint8_t *>(map);
    if (map == MAP_FAILED) {
        printf("fbmeme is %08x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(map)));
        return -1;
    }

    if (ioctl(fd, FB_OSD_START, map) < 0) {
        puts("osd start error");
        return -1;
    }

    // The descriptor and the mapping live as long as the process.
    FbSurface.xres = static_cast<int32_t>(var.xres);
    FbSurface.yres = static_cast<int32_t>(var.yres);
    FbSurface.bits_per_pixel = static_cast<int32_t>(var.bits_per_pixel);
    FbSurface.size = fix.smem_len;
    return 0;
}

// Rows are xres pixels apart and addresses are formed linearly, so a
// rectangle wider than the room to its right runs on into the next rows; that
// is kept, but nothing lands outside the mapping.
void fb_fill_rect(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t colour, int and_mode)
{
    const fb_surface &fb = FbSurface;
    if (fb.size < 2 || fb.xres <= 0)
        return;
    const uint64_t xres = static_cast<uint64_t>(fb.xres);
    const uint64_t base = (static_cast<uint64_t>(y) * xres + x) * static_cast<uint64_t>(fb.bits_per_pixel / 8);

    for (uint64_t r = 0; r < h; r++) {
        const uint64_t row = base + 2 * r * xres;
        if (row + 2 > fb.size)
            break;
        uint64_t cols = (fb.size - row) / 2;
        if (cols > w)
            cols = w;
        uint8_t *px = fb.mapping + row;
        if (and_mode) {
            for (uint64_t c = 0; c < cols; c++)
                fb_put_pixel(px + 2 * c, fb_get_pixel(px + 2 * c) & colour);
        } else {
            for (uint64_t c = 0; c < cols; c++)
                fb_put_pixel(px + 2 * c, colour);
        }
    }
}

void fb_clear(uint16_t colour)
{
    fb_fill_rect(0, 0, static_cast<uint16_t>(FbSurface.xres), static_cast<uint16_t>(FbSurface.yres), colour, 0);
}

// Copies rows bytes-per-pixel wide; a row that would cross the end of the
// mapping is cut there.
static void copy_rows(uint64_t dst, const uint8_t *src, uint64_t src_stride, uint64_t row_bytes, uint16_t h)
{
    const fb_surface &fb = FbSurface;
    const uint64_t dst_stride = static_cast<uint64_t>(fb.xres) * static_cast<uint64_t>(fb.bits_per_pixel / 8);
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
    if (fb.size == 0 || int32_t(x) + w > fb.xres || int32_t(y) + h > fb.yres)
        return;
    const uint64_t bpp = static_cast<uint64_t>(fb.bits_per_pixel / 8);
    const uint64_t dst = (x + (uint64_t)y * static_cast<uint64_t>(fb.xres)) * bpp;
    copy_rows(dst, static_cast<const uint8_t *>(image), w * bpp, w * bpp, h);
}

void fb_blit_region(uint16_t dst_x, uint16_t dst_y, uint16_t image_width, uint16_t src_x,
                    uint16_t src_y, uint16_t w, uint16_t h, const void *image)
{
    const fb_surface &fb = FbSurface;
    if (fb.size == 0 || int32_t(dst_x) + w > fb.xres || int32_t(dst_y) + h > fb.yres)
        return;
    const uint64_t bpp = static_cast<uint64_t>(fb.bits_per_pixel / 8);
    const uint64_t dst = ((uint64_t)dst_y * static_cast<uint64_t>(fb.xres) + dst_x) * bpp;
    const uint8_t *src = static_cast<const uint8_t *>(image) + ((uint64_t)src_y * image_width + src_x) * bpp;
    copy_rows(dst, src, image_width * bpp, w * bpp, h);
}
