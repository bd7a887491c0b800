// SPDX-License-Identifier: MIT
// Mode 1: NAND user storage initialisation, and the command runner shared by
// the mode procedures.
#ifndef UPDATER_MODE_NAND_H
#define UPDATER_MODE_NAND_H

#define CMD_MAX 256
// The last command of every mode that changes the storage.
#define REBOOT_COMMAND "reboot"

// What mode 1 prints beside its "cmd: " lines. A name with _ERR_ in it is a
// line no good run prints (the system test's console check reads these
// names from here); the mkdosfs line is printed where the board has no
// block driver for the volume.
#define NAND_ERR_CTP_ABSENT "CTP is not present."
#define NAND_MKDOSFS_FAILED "mkdosfs failed, status %d\n"

// One row of mode 1's command table. decides_verdict marks the one command
// whose failure means there is no file system: the screen then says "File
// system is not ready!". Every other command's status is ignored.
struct nand_command {
    const char *text;
    bool decides_verdict;
};
// Mode 1's commands, run in this order, and how many there are.
extern const nand_command nand_commands[];
extern const unsigned nand_command_count;

// Prints "cmd: <text>\n" and runs text through system() with standard input
// on /dev/null (moved there once, at the first command). The shell's status
// is ignored and nothing is returned: a failing command never stops a mode.
void run_command(const char *text);
// run_command that also gives the command's status, decoded by
// shell_exit_status.
int run_command_status(const char *text);
// What system() returned, as a shell user would see it: the shell's exit
// code when it exited; 128 + N when signal N killed it (the shell's own
// convention for $?); -1 when no shell could be started (system() gave -1)
// or the status is none of these. Pure; never fails.
int shell_exit_status(int system_result);
// Writes "ctp_calibrate" to the touch panel node. Returns 0 when the node
// opens (whatever the write does), -1 and prints "CTP is not present." when
// it does not.
int ctp_trigger_calibration();
// Runs nand_commands, shows "File system is ready!" (or "File system is not
// ready!" after "mkdosfs failed, status N" when the command that decides the
// verdict, the FAT32 mkdosfs, did not exit with 0) and "Please remove
// the SD card and reboot.", waits until /dev/mmcblkN (N = card index) no longer
// opens, then runs REBOOT_COMMAND. Returns 0; channel and label are ignored.
int nand_user_init(int channel, const char *label);
// The whole of mode 1: calibration and its notice, nand_user_init, the
// five-second floor since the start, then the notice band wiped white. No
// result; channel and label are only passed on.
void run_mode_nand(int channel, const char *label);

#endif
