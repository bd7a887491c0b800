// SPDX-License-Identifier: MIT
// The board's tools each mode runs, and how BusyBox's applet of the same
// name behaves with the updater's command. The BusyBox column was found by
// running Debian 12's armhf BusyBox 1.35.0 (busybox-static) under
// qemu-arm-static on image files, and in the ARM system test's guest for
// the applets its mode-1 boot runs; nothing here is from memory.
#ifndef IMAGECHECK_TOOLS_H
#define IMAGECHECK_TOOLS_H

// Bit m stands for updater mode m.
#define MODE_BIT(m) (1u << (m))
#define ALL_MODES (MODE_BIT(1) | MODE_BIT(2) | MODE_BIT(3))

enum applet_verdict {
    APPLET_SAME,            // does what the command expects
    APPLET_DIFFERS,         // runs the command, with a difference worth knowing
    APPLET_FAILS,           // the command fails with it
    APPLET_FAILS_SYSTEMD,   // fails only when systemd is PID 1
};

struct board_tool {
    const char *name;
    unsigned modes;
    const char *command;   // the command that needs it, as the program runs it
    const char *package;   // where the real tool comes from on Debian
    applet_verdict applet;
    const char *applet_note;
};

static const board_tool BOARD_TOOLS[] = {
    {"flash_eraseall", MODE_BIT(1), "flash_eraseall /dev/mtd6", "mtd-utils", APPLET_SAME, ""},
    {"ubiformat", MODE_BIT(1), "ubiformat /dev/mtd6 -y", "mtd-utils", APPLET_SAME, ""},
    {"insmod", MODE_BIT(1), "insmod /lib/modules/ubi.ko mtd=Local-disk", "kmod", APPLET_SAME,
     "takes the module's parameters like kmod's (mode-1 boot of the system test)"},
    {"ubimkvol", MODE_BIT(1), "ubimkvol /dev/ubi0 -m -N test", "mtd-utils", APPLET_SAME, ""},
    {"rm", MODE_BIT(1), "rm /dev/ubiblk0", "coreutils", APPLET_SAME, ""},
    {"mknod", MODE_BIT(1), "mknod /dev/ubiblk0 b 94 0", "coreutils", APPLET_SAME, ""},
    {"mkdosfs", MODE_BIT(1) | MODE_BIT(2), "mkdosfs -F 32 /dev/ubiblk0 -v", "dosfstools", APPLET_DIFFERS,
     "BusyBox's mkdosfs always makes FAT32 (-F is accepted and ignored) and cuts a label longer than 11 "
     "characters to 11, where mkfs.fat refuses it"},
    {"mount", MODE_BIT(1), "mount -t yaffs /dev/mtdblock3 /blk", "mount", APPLET_SAME,
     "YAFFS itself must be in the board's kernel"},
    {"cp", MODE_BIT(1), "cp -r /blk/user/data/* /mnt", "coreutils", APPLET_SAME, ""},
    {"umount", MODE_BIT(1), "umount /blk", "mount", APPLET_SAME, ""},
    {"mke2fs", MODE_BIT(2), "mke2fs -t ext3 /dev/mmcblk0p3", "e2fsprogs", APPLET_FAILS,
     "BusyBox's mke2fs has no -t: \"mke2fs: invalid option -- 't'\", status 1, and no file system is made"},
    {"reboot", MODE_BIT(1) | MODE_BIT(2), "reboot", "systemd-sysv or sysvinit-core", APPLET_FAILS_SYSTEMD,
     "BusyBox's reboot sends SIGTERM to PID 1: BusyBox init then reboots, but systemd takes SIGTERM as "
     "\"re-execute yourself\" and the board does not reboot"},
};

// The module mode 1's insmod loads.
#define UBI_MODULE "/lib/modules/ubi.ko"
// FAT's volume label holds at most 11 characters.
#define FAT_LABEL_MAX 11

#endif
