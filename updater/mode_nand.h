// Mode 1: NAND user storage initialisation, and the command runner shared by
// the mode procedures.
#ifndef UPDATER_MODE_NAND_H
#define UPDATER_MODE_NAND_H

#define CMD_MAX 256
#define CTP_NODE "/dev/vexon210_ctp"

// Logs "cmd: <text>" and runs text through the shell; the status is ignored.
void run_command(const char *text);
int ctp_trigger_calibration();
int nand_user_init(int channel, const char *label);
void run_mode_nand(int channel, const char *label);

#endif
