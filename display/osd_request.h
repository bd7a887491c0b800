/* SPDX-License-Identifier: MIT */
/*
 * The board's overlay display driver has one request of its own besides the
 * standard framebuffer ones: it starts the OSD layer, given the address at
 * which the caller mapped the frame memory. _IO('F', 0xC9): type 'F', number
 * 0xC9, no data direction.
 *
 * Plain C with nothing included, so that the program and the test rig's
 * kernel stand-in for that driver take the number from this one place.
 */
#ifndef DISPLAY_OSD_REQUEST_H
#define DISPLAY_OSD_REQUEST_H

#define FB_OSD_START 0x46C9

#endif
