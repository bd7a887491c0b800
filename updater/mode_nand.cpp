// SPDX-License-Identifier: MIT
#include "updater/mode_nand.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "display/text.h"
#include "board/names.h"
#include "updater/messages.h"
#include "updater/startup.h"
#include "updater/std_fds.h"

// Without a FAT32 file system the volume holds nothing, however the commands
// after it went: that one command decides what the screen may claim.
const nand_command nand_commands[] = {
    { "flash_eraseall /dev/mtd6", false },
    { "ubiformat /dev/mtd6 -y", false },
    { "insmod /lib/modules/ubi.ko mtd=Local-disk", false },
    { "ubimkvol /dev/ubi0 -m -N test", false },
    { "rm /dev/ubiblk0", false },
    { "mknod /dev/ubiblk0 b 94 0", false },
    { "mkdosfs -F 32 /dev/ubiblk0 -v", true },
    { "mount -t yaffs /dev/mtdblock3 /blk", false },
    { "mount /dev/ubiblk0 /mnt", false },
    { "cp -r /blk/user/data/* /mnt", false },
    { "umount /blk", false },
    { "umount /mnt", false },
};
const unsigned nand_command_count = sizeof(nand_commands) / sizeof(nand_commands[0]);

int shell_exit_status(int system_result)
{
    if (system_result == -1)
        return -1;
    if (WIFEXITED(system_result))
        return WEXITSTATUS(system_result);
    if (WIFSIGNALED(system_result))
        return 128 + WTERMSIG(system_result);
    return -1;
}

int run_command_status(const char *text)
{
    static int stdin_detached;
    if (!stdin_detached) {
        // The updater runs unattended, often with the board's console as its
        // standard input. Tools such as mke2fs stop and ask "Proceed anyway?"
        // when they find a terminal there, which would hang the boot, so
        // every command gets /dev/null as its standard input instead.
        (void)std_fd_open_null(STDIN_FILENO);
        stdin_detached = 1;
    }
    printf("cmd: %s\n", text);
    // The board's tools are reached through the shell by design; the texts
    // are fixed or built with the label quoted (build_partition_command).
    return shell_exit_status(system(text)); // NOLINT(cert-env33-c)
}

void run_command(const char *text)
{
    (void)run_command_status(text);
}

int ctp_trigger_calibration()
{
    int fd = open(CTP_NODE, O_WRONLY);
    if (fd < 0) {
        puts(NAND_ERR_CTP_ABSENT);
        return -1;
    }
    // The driver takes the bare word: no terminating zero, no line break.
    if (write(fd, "ctp_calibrate", 13) < 0) {
        // Whatever the driver makes of it is its own business.
    }
    close(fd);
    return 0;
}

// Runs every command of the table whatever their statuses. Returns the
// status of the one that decides the verdict.
static int run_nand_commands()
{
    int mkdosfs_status = 0;
    for (unsigned i = 0; i < nand_command_count; i++) {
        const nand_command &c = nand_commands[i];
        const int status = run_command_status(c.text);
        if (c.decides_verdict && status != 0) {
            mkdosfs_status = status;
            printf(NAND_MKDOSFS_FAILED, status);
        }
    }
    return mkdosfs_status;
}

int nand_user_init(int, const char *)
{
    show_status(MSG_NAND_INIT);
    const int mkdosfs_status = run_nand_commands();
    show_status(mkdosfs_status == 0 ? MSG_FS_READY : MSG_FS_NOT_READY);
    show_detail(MSG_REMOVE_CARD);

    // Room for any int, sign included, so the text is never cut.
    char node[sizeof(MMC_NODE_PREFIX "-2147483648")];
    (void)snprintf(node, sizeof(node), MMC_NODE_PREFIX "%d", get_card_index());
    // The card's node goes away as soon as the card leaves its slot.
    for (;;) {
        int fd = open(node, O_RDONLY);
        if (fd < 0)
            break;
        close(fd);
    }

    run_command(REBOOT_COMMAND);
    return 0;
}

void run_mode_nand(int channel, const char *label)
{
    const time_t start = time(nullptr);
    if (ctp_trigger_calibration() == 0)
        show_notice(MSG_CALIBRATING);
    nand_user_init(channel, label);

    // The calibration needs at least five seconds. The difference is taken
    // unsigned, so a clock set back during the run ends the wait at once.
    while (static_cast<unsigned long long>(time(nullptr)) - static_cast<unsigned long long>(start) <= 4) {
    }
    erase_notice();
}
