// SPDX-License-Identifier: MIT
#include "updater/startup.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "display/text.h"
#include "updater/messages.h"

static const char BOOT_KEY[] = "updater=";

int boot_param_from_bytes(const char *buf, size_t len, size_t offset)
{
    // The bytes are searched as a string: a zero byte ends the search.
    const size_t text_len = strnlen(buf, len);
    const size_t key_len = sizeof(BOOT_KEY) - 1;
    for (size_t at = 0; at + key_len <= text_len; at++) {
        if (memcmp(buf + at, BOOT_KEY, key_len) != 0)
            continue;
        if (offset >= len - at)
            return 0;
        return static_cast<int>(static_cast<unsigned char>(buf[at + offset])) - '0';
    }
    return 0;
}

int read_boot_param(size_t offset)
{
    char buf[CMDLINE_MAX];
    int fd = open(CMDLINE_PATH, O_RDONLY);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    if (n <= 0)
        return 0;
    return boot_param_from_bytes(buf, static_cast<size_t>(n), offset);
}

int get_updater_mode()
{
    return read_boot_param(BOOT_PARAM_MODE);
}

int get_storage_channel()
{
    return read_boot_param(BOOT_PARAM_CHANNEL);
}

int get_card_index()
{
    return read_boot_param(BOOT_PARAM_CARD);
}

int reserved_mode(int)
{
    return 0;
}

void halt_unexpected_mode()
{
    show_status(MSG_UNEXPECTED_MODE);
    show_detail(MSG_PLEASE_REBOOT);
    // The device stays on this screen until it is reset. An empty endless
    // loop may be assumed to end and be dropped by a C++ compiler; every
    // pass here stores to a volatile object, an observable side effect, so
    // no compiler at any optimisation level may remove the loop.
    static volatile unsigned spins;
    for (;;)
        spins = spins + 1;
}
