// SPDX-License-Identifier: MIT
/*
 * The emulated overlay panel's pixel layout: depth, row length and where the
 * colours lie. Plain C: the board library answers the screen-information
 * requests from it, and the launcher and the tests read the frame memory
 * back with it.
 */
#ifndef SIM_PANEL_FORMAT_H
#define SIM_PANEL_FORMAT_H

#include <stddef.h>
#include <stdio.h>

struct sim_panel {
    unsigned xres, yres;
    unsigned bits_per_pixel; /* 16, 24 or 32 are drawable; any other is offered as is */
    unsigned line_length;    /* bytes from one row to the next; 0: xres pixels */
    int bgr;                 /* blue in the high bits instead of red */
};

struct sim_channel {
    unsigned offset, length;
};

/* The formats a driver gives at each depth: RGB565 (BGR565), r8g8b8
   (b8g8r8), x8r8g8b8 (x8b8g8r8), as the kernel's simple-framebuffer names
   them. Other depths get no channels. */
static inline void sim_panel_channels(const struct sim_panel *p, struct sim_channel *red,
                                      struct sim_channel *green, struct sim_channel *blue)
{
    struct sim_channel r = { 0, 0 }, g = { 0, 0 }, b = { 0, 0 };
    if (p->bits_per_pixel == 16) {
        r.offset = 11, r.length = 5, g.offset = 5, g.length = 6, b.offset = 0, b.length = 5;
    } else if (p->bits_per_pixel == 24 || p->bits_per_pixel == 32) {
        r.offset = 16, r.length = 8, g.offset = 8, g.length = 8, b.offset = 0, b.length = 8;
    }
    if (p->bgr) {
        unsigned high = r.offset;
        r.offset = b.offset;
        b.offset = high;
    }
    *red = r, *green = g, *blue = b;
}

static inline unsigned sim_panel_bytes_per_pixel(const struct sim_panel *p)
{
    return (p->bits_per_pixel + 7) / 8;
}

/* Whether the panel's memory can be read back as colours: only the depths
   sim_panel_channels gives channels to. */
static inline int sim_panel_has_colours(const struct sim_panel *p)
{
    struct sim_channel r, g, b;
    sim_panel_channels(p, &r, &g, &b);
    return r.length != 0;
}

/* Bytes of one row's visible pixels, without padding: the shortest line
   length a driver can report. */
static inline unsigned sim_panel_packed_row(const struct sim_panel *p)
{
    return p->xres * sim_panel_bytes_per_pixel(p);
}

/* The line_length the driver reports. */
static inline unsigned sim_panel_line_length(const struct sim_panel *p)
{
    return p->line_length ? p->line_length : sim_panel_packed_row(p);
}

/* Bytes of frame memory: every row of the larger of the reported and the
   packed length (a driver's memory always holds its visible rows). */
static inline size_t sim_panel_frame_bytes(const struct sim_panel *p)
{
    size_t packed = sim_panel_packed_row(p), line = sim_panel_line_length(p);
    return (line > packed ? line : packed) * p->yres;
}

/* "WxH" or "WxHxBPP" into *p (16 bits when no depth is given); 0 on success,
   -1 with *p unchanged. */
static inline int sim_panel_parse_screen(const char *text, struct sim_panel *p)
{
    unsigned w = 0, h = 0, bits = 16;
    char extra;
    int got = text ? sscanf(text, "%ux%ux%u%c", &w, &h, &bits, &extra) : 0;
    if ((got != 2 && got != 3) || w == 0 || h == 0 || w > 8192 || h > 8192 || bits == 0 || bits > 64) return -1;
    p->xres = w, p->yres = h, p->bits_per_pixel = bits;
    return 0;
}

#endif
