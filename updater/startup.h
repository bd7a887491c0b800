// SPDX-License-Identifier: MIT
// Boot parameters from the kernel command line, and the two modes that need
// nothing beyond the screen: mode 3 and the unexpected-mode halt.
#ifndef UPDATER_STARTUP_H
#define UPDATER_STARTUP_H

#include <cstddef>

#include "board/names.h"

#define CMDLINE_MAX 1024

// Offsets from the start of "updater=".
#define BOOT_PARAM_MODE 8
#define BOOT_PARAM_CHANNEL 10
#define BOOT_PARAM_CARD 12

// The parameter at offset from the first "updater=" within the len bytes of
// buf: the byte, unsigned, minus '0' (no digit check). 0 when the key is
// missing or the offset lies beyond the bytes given. buf need not be
// terminated and is only read. Pure; prints nothing.
int boot_param_from_bytes(const char *buf, size_t len, size_t offset);
// The parameter at offset in the first CMDLINE_MAX bytes of /proc/cmdline,
// read afresh on every call. 0 when the file cannot be opened or read, or
// holds no key; prints nothing.
int read_boot_param(size_t offset);
// read_boot_param at BOOT_PARAM_MODE, _CHANNEL and _CARD.
int get_updater_mode();
int get_storage_channel();
int get_card_index();

// Mode 3: does nothing and returns 0; channel is ignored; prints nothing.
int reserved_mode(int channel);
// Shows "Unexpected updater mode!" / "Please reboot your device." and spins
// for ever without sleeping: never returns, never ends the process.
[[noreturn]] void halt_unexpected_mode();

#endif
