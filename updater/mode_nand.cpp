#include "updater/mode_nand.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "display/text.h"
#include "updater/startup.h"

static const char *const nand_commands[] = {
    "flash_eraseall /dev/mtd6",
    "ubiformat /dev/mtd6 -y",
    "insmod /lib/modules/ubi.ko mtd=Local-disk",
    "ubimkvol /dev/ubi0 -m -N test",
    "rm /dev/ubiblk0",
    "mknod /dev/ubiblk0 b 94 0",
    "mkdosfs -F 32 /dev/ubiblk0 -v",
    "mount -t yaffs /dev/mtdblock3 /blk",
    "mount /dev/ubiblk0 /mnt",
    "cp -r /blk/user/data/* /mnt",
    "umount /blk",
    "umount /mnt",
};

// The updater runs unattended, often with the board's console as its
// standard input. Tools such as mke2fs stop and ask "Proceed anyway?" when
// they find a terminal there, which would hang the boot, so every command
// gets /dev/null as its standard input instead.
static void detach_stdin()
{
    int fd = open("/dev/null", O_RDONLY);
    if (fd > 0) {
        dup2(fd, 0);
        close(fd);
    }
}

void run_command(const char *text)
{
    static int stdin_detached;
    if (!stdin_detached) {
        detach_stdin();
        stdin_detached = 1;
    }
    printf("cmd: %s\n", text);
    // The board's tools are reached through the shell by design; the texts
    // are fixed or built with the label quoted (build_partition_command).
    system(text); // NOLINT(cert-env33-c)
}

int ctp_trigger_calibration()
{
    int fd = open(CTP_NODE, O_WRONLY);
    if (fd < 0) {
        puts("CTP is not present.");
        return -1;
    }
    // The driver takes the bare word: no terminating zero, no line break.
    if (write(fd, "ctp_calibrate", 13) < 0) {
        // Whatever the driver makes of it is its own business.
    }
    close(fd);
    return 0;
}

int nand_user_init(int, const char *)
{
    show_status("Initializing user partitions ...");
    for (const char *cmd : nand_commands)
        run_command(cmd);
    show_status("File system is ready!");
    show_detail("Please remove the SD card and reboot.");

    // Room for any int, sign included, so the text is never cut.
    char node[sizeof("/dev/mmcblk-2147483648")];
    (void)snprintf(node, sizeof(node), "/dev/mmcblk%d", get_card_index());
    // The card's node goes away as soon as the card leaves its slot.
    for (;;) {
        int fd = open(node, O_RDONLY);
        if (fd < 0)
            break;
        close(fd);
    }

    run_command("reboot");
    return 0;
}

void run_mode_nand(int channel, const char *label)
{
    const time_t start = time(nullptr);
    if (ctp_trigger_calibration() == 0)
        show_notice("Calibrating, do not touch the screen!");
    nand_user_init(channel, label);

    // The calibration needs at least five seconds. The difference is taken
    // unsigned, so a clock set back during the run ends the wait at once.
    while (static_cast<unsigned long long>(time(nullptr)) - static_cast<unsigned long long>(start) <= 4) {
    }
    erase_notice();
}
