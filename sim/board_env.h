// SPDX-License-Identifier: MIT
/*
 * The environment variables that drive the board library (libupdater_board.so).
 * Plain C: the library itself, the updater-sim launcher and the tests take the
 * names from here. Each piece is switched on by its own variable; with the
 * variable unset (or empty) the piece is the real one (the real file, node,
 * clock or shell).
 */
#ifndef SIM_BOARD_ENV_H
#define SIM_BOARD_ENV_H

/* Every variable starts with this; a launcher drops inherited ones. */
#define SIM_ENV_PREFIX "UPDATER_SIM_"

/* "/proc/cmdline" reads FILE instead (any bytes, any length); a FILE that does
   not exist makes the command line absent (open fails, ENOENT). */
#define SIM_ENV_CMDLINE SIM_ENV_PREFIX "CMDLINE"
/* "/dev/fb1" is emulated: FILE holds the frame memory (line length * yres
   bytes, pixels little-endian in the panel's format; xres * yres * 2 bytes of
   RGB565 by default) and is what the program maps, so the pixels outlive the
   process. Both screen-information requests are answered. */
#define SIM_ENV_FB SIM_ENV_PREFIX "FB"
/* WxH or WxHxBPP: geometry and depth of the emulated framebuffer (800x480,
   16 bits per pixel). 24 is r8g8b8, 32 x8r8g8b8; any other depth is offered
   without colour channels. */
#define SIM_ENV_FB_GEOMETRY SIM_ENV_PREFIX "FB_GEOMETRY"
/* BYTES: the line length the driver reports, rows that far apart (default
   xres pixels, no padding). */
#define SIM_ENV_FB_LINE_LENGTH SIM_ENV_PREFIX "FB_LINE_LENGTH"
/* rgb|bgr: red in the high bits (default) or blue (BGR565, x8b8g8r8). */
#define SIM_ENV_FB_ORDER SIM_ENV_PREFIX "FB_ORDER"
#define SIM_FB_ORDER_RGB "rgb"
#define SIM_FB_ORDER_BGR "bgr"
/* STEP: make one step of the screen set-up fail (SIM_FB_FAIL_STEPS). */
#define SIM_ENV_FB_FAIL SIM_ENV_PREFIX "FB_FAIL"
/* 1: answer the display driver's OSD start request (0x46C9) on a descriptor
   of "/dev/fb1", real or emulated: 0 when its argument is the address of a
   mapping made from that descriptor, otherwise refused (-1, EINVAL) and
   logged. Implied by SIM_ENV_FB. */
#define SIM_ENV_OSD SIM_ENV_PREFIX "OSD"
/* "/font/GOTHIC.TTF" opens FILE instead. */
#define SIM_ENV_FONT SIM_ENV_PREFIX "FONT"
/* FILE|absent: "/dev/vexon210_ctp" is a recorder (every byte written to it is
   appended to FILE exactly); "absent" makes the node missing (ENOENT). */
#define SIM_ENV_CTP SIM_ENV_PREFIX "CTP"
#define SIM_CTP_ABSENT "absent"
/* [N:]RULE: the SD card opens until RULE fires, then is gone for good. RULE is
   polls=K (the first K opens succeed), ms=T (present for T ms after the first
   open) or never. With N the card is "/dev/mmcblkN"; without it the card is
   the first "/dev/mmcblkM" the program opens, so it is always the disk the
   program itself chose. Every other "/dev/mmcblkM" is missing. */
#define SIM_ENV_CARD SIM_ENV_PREFIX "CARD"
/* FILE: system() never runs anything; the command text is appended to FILE,
   one line each. */
#define SIM_ENV_SYSTEM SIM_ENV_PREFIX "SYSTEM"
/* S: exit status reported for recorded commands (default 0). */
#define SIM_ENV_SYSTEM_STATUS SIM_ENV_PREFIX "SYSTEM_STATUS"
/* WORD[=STATUS]: recorded commands named WORD report STATUS instead
   (sim/fail_command.h: an exit status, -1 for no shell, signal:N). */
#define SIM_ENV_FAIL_COMMAND SIM_ENV_PREFIX "FAIL_COMMAND"
/* kill: a recorded "reboot" ends the program at once with SIGKILL, as the
   system going down does; whatever it still holds in its buffers is lost.
   Needs SIM_ENV_SYSTEM. */
#define SIM_ENV_REBOOT SIM_ENV_PREFIX "REBOOT"
#define SIM_REBOOT_KILL "kill"
/* DIR: before each recorded command, copy the emulated frame memory to
   DIR/NN-cmd-WORD.raw (NN counting from 01, WORD the command name). */
#define SIM_ENV_FRAMES SIM_ENV_PREFIX "FRAMES"
/* fast: time() starts at the real time and moves one second further on every
   call, so waits on the wall clock pass at once. back: time() gives the real
   time once, then a time an hour earlier on every later call, as when the
   clock is set back during a run. */
#define SIM_ENV_CLOCK SIM_ENV_PREFIX "CLOCK"
#define SIM_CLOCK_FAST "fast"
#define SIM_CLOCK_BACK "back"
/* FILE: append one line per emulated event (without it, only refusals are
   reported, on standard error). */
#define SIM_ENV_TRACE SIM_ENV_PREFIX "TRACE"

/* The screen set-up steps SIM_ENV_FB_FAIL can break, in the order the program
   takes them. */
#define SIM_FB_FAIL_STEPS { "open", "vscreen", "fscreen", "mmap", "osd" }
#define SIM_FB_FAIL_STEP_COUNT 5

/* Every variable with the form of its value, for help texts and tests:
   X(NAME, "VALUE FORM"). */
#define SIM_ENV_VARIABLES(X)                                                     \
    X(SIM_ENV_CMDLINE, "FILE")                                                   \
    X(SIM_ENV_FB, "FILE")                                                        \
    X(SIM_ENV_FB_GEOMETRY, "WxH[xBPP]")                                          \
    X(SIM_ENV_FB_LINE_LENGTH, "BYTES")                                           \
    X(SIM_ENV_FB_ORDER, SIM_FB_ORDER_RGB "|" SIM_FB_ORDER_BGR)                   \
    X(SIM_ENV_FB_FAIL, "STEP")                                                   \
    X(SIM_ENV_OSD, "1")                                                          \
    X(SIM_ENV_FONT, "FILE")                                                      \
    X(SIM_ENV_CTP, "FILE|" SIM_CTP_ABSENT)                                       \
    X(SIM_ENV_CARD, "[N:]polls=K|[N:]ms=T|[N:]never")                      \
    X(SIM_ENV_SYSTEM, "FILE")                                                    \
    X(SIM_ENV_SYSTEM_STATUS, "N")                                                \
    X(SIM_ENV_FAIL_COMMAND, "WORD[=N|=-1|=signal:N]")                           \
    X(SIM_ENV_REBOOT, SIM_REBOOT_KILL)                                           \
    X(SIM_ENV_FRAMES, "DIR")                                                     \
    X(SIM_ENV_CLOCK, SIM_CLOCK_FAST "|" SIM_CLOCK_BACK)                          \
    X(SIM_ENV_TRACE, "FILE")

#endif
