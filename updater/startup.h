// Entry of the updater: screen and font set-up, banner, boot parameters from
// the kernel command line, and the dispatch to the selected mode.
#ifndef UPDATER_STARTUP_H
#define UPDATER_STARTUP_H

#include <cstddef>

#define CMDLINE_PATH "/proc/cmdline"
#define CMDLINE_MAX 1024

// Offsets from the start of "updater=".
#define BOOT_PARAM_MODE 8
#define BOOT_PARAM_CHANNEL 10
#define BOOT_PARAM_CARD 12

// The parameter at offset from the first "updater=" within the len bytes of
// buf: the byte minus '0'. 0 when the key is missing or the offset lies
// beyond the bytes given. buf need not be terminated.
int boot_param_from_bytes(const char *buf, size_t len, size_t offset);
int read_boot_param(size_t offset);
int get_updater_mode();
int get_storage_channel();
int get_card_index();

int reserved_mode(int channel);
[[noreturn]] void halt_unexpected_mode();

// The start-up sequence; main() only calls this.
int updater_main(int argc, char **argv);

#endif
