// SPDX-License-Identifier: MIT
// Every text the updater shows on the screen, in one place. The program's
// call sites use these names; host tools that must know which characters
// the board's font needs take the list below from here as well.
#ifndef UPDATER_MESSAGES_H
#define UPDATER_MESSAGES_H

#define MSG_BANNER "Orvane Updater ..."
#define MSG_UNEXPECTED_MODE "Unexpected updater mode!"
#define MSG_PLEASE_REBOOT "Please reboot your device."
#define MSG_CALIBRATING "Calibrating, do not touch the screen!"
#define MSG_NAND_INIT "Initializing user partitions ..."
#define MSG_FS_READY "File system is ready!"
#define MSG_FS_NOT_READY "File system is not ready!"
#define MSG_REMOVE_CARD "Please remove the SD card and reboot."
#define MSG_MMC_ERASING "Erasing user partitions ..."

// For an initialiser list: const char *const all[] = {SCREEN_MESSAGES};
#define SCREEN_MESSAGES                                                                            \
    MSG_BANNER, MSG_UNEXPECTED_MODE, MSG_PLEASE_REBOOT, MSG_CALIBRATING, MSG_NAND_INIT,           \
        MSG_FS_READY, MSG_FS_NOT_READY, MSG_REMOVE_CARD, MSG_MMC_ERASING

#endif
