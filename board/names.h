/* SPDX-License-Identifier: MIT */
/*
 * The board's fixed names: the nodes and files the updater opens and the
 * display driver's own request. Plain C and constants only, so that the
 * program and the emulated board (a C preload library that answers for
 * these very names) read them from here.
 */
#ifndef BOARD_NAMES_H
#define BOARD_NAMES_H

/* The overlay (OSD) framebuffer the updater draws into. */
#define FB_NODE "/dev/fb1"
/* The overlay driver's own request that starts its OSD layer: _IO('F',
   0xC9), type 'F', number 0xC9, no data direction. It takes the mapping's
   address. */
#define FB_OSD_START 0x46C9
#define CMDLINE_PATH "/proc/cmdline"
#define FONT_PATH "/font/GOTHIC.TTF"
/* The touch panel's driver, which takes the word "ctp_calibrate". */
#define CTP_NODE "/dev/vexon210_ctp"
/* Whole MMC disks are this prefix and their number; partitions add "p" and
   theirs. */
#define MMC_NODE_PREFIX "/dev/mmcblk"

#endif
