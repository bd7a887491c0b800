// SPDX-License-Identifier: MIT
// The updater's entry: screen and font set-up, banner, boot parameters and
// the hand-over to the selected mode.
#include <cstdio>

#include "display/framebuffer.h"
#include "display/text.h"
#include "updater/messages.h"
#include "updater/log.h"
#include "updater/mode_mmc.h"
#include "updater/mode_nand.h"
#include "updater/startup.h"
#include "updater/std_fds.h"

int main(int argc, char **argv)
{
    // Before any open: a closed standard descriptor would otherwise be taken
    // by /dev/fb1 and the log written into the frame memory.
    std_fds_open_null();
    // Under systemd the log goes to the journal's socket, and a reboot ends
    // the process with whatever it still buffers.
    log_line_buffered();

    // The screen is optional: without it the updater still does its work.
    fb_open();
    font_open();
    fb_clear(0x0000);
    show_status(MSG_BANNER);

    const int mode = get_updater_mode();
    const int channel = get_storage_channel();
    printf("Got type = %d, channel = %d\n", mode, channel);

    const char *label = argc >= 2 ? argv[1] : nullptr;
    if (mode == 2)
        mmc_user_format(channel, label);
    else if (mode == 3)
        reserved_mode(channel);
    else if (mode == 1)
        run_mode_nand(channel, label);
    else
        halt_unexpected_mode();
    return 0;
}
