// SPDX-License-Identifier: MIT
/*
 * The board's tools that the program's commands name (mode 1 and mode 2).
 * The launcher gives the program a PATH holding only a recording stand-in for
 * each, so that a program that escapes the board library reaches no real tool
 * by name; a tool missing here is then "not found", never the workstation's.
 * Plain C, for any part of the emulator that needs the list.
 */
#ifndef SIM_BOARD_TOOLS_H
#define SIM_BOARD_TOOLS_H

#define SIM_BOARD_TOOLS                                                                      \
    { "flash_eraseall", "ubiformat", "insmod", "ubimkvol", "rm", "mknod", "mkdosfs", "mount", \
      "cp", "umount", "mke2fs", "reboot" }

#endif
