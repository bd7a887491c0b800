// SPDX-License-Identifier: MIT
#include "updater/mode_mmc.h"

#include <cstdio>

#include "display/text.h"
#include "board/names.h"
#include "updater/messages.h"
#include "updater/mode_nand.h"

const part_kind partition_plan[PART_COUNT] = {
    PART_SKIP, PART_SKIP, PART_EXT3, PART_SKIP, PART_EXT3, PART_VFAT,
};

// Inside double quotes the shell still gives $, `, " and \ their meaning;
// a backslash before each keeps the label one literal argument. A newline
// needs nothing: quoted, it stays part of the word.
static bool shell_special_in_quotes(char c)
{
    return c == '"' || c == '$' || c == '`' || c == '\\';
}

int build_partition_command(char *out, size_t size, part_kind kind, int channel, int partition,
                            const char *label)
{
    if (size == 0)
        return -1;
    out[0] = '\0';
    if (kind == PART_EXT3) {
        int n = snprintf(out, size, "mke2fs -t ext3 " MMC_NODE_PREFIX "%dp%d", channel, partition);
        if (n < 0 || static_cast<size_t>(n) >= size) {
            out[0] = '\0';
            return -1;
        }
        return n;
    }
    if (kind != PART_VFAT)
        return 0;

    int n = snprintf(out, size, "mkdosfs -F 32 " MMC_NODE_PREFIX "%dp%d -n \"", channel, partition);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return -1;
    }
    size_t len = static_cast<size_t>(n);
    // Room is kept for the closing quote and the terminating zero.
    for (const char *p = label; *p; p++) {
        const size_t need = shell_special_in_quotes(*p) ? 2 : 1;
        if (len + need + 2 > size) {
            out[0] = '\0';
            return -1;
        }
        if (need == 2)
            out[len++] = '\\';
        out[len++] = *p;
    }
    out[len++] = '"';
    out[len] = '\0';
    return static_cast<int>(len);
}

int mmc_user_format(int channel, const char *label)
{
    show_status(MSG_MMC_ERASING);
    const char *fat_label = label ? label : DEFAULT_LABEL;
    for (int part = 1; part <= PART_COUNT; part++) {
        char cmd[CMD_MAX];
        const int n = build_partition_command(cmd, sizeof(cmd), partition_plan[part - 1], channel, part, fat_label);
        if (n > 0)
            run_command(cmd);
        else if (n < 0)
            printf("label too long, " MMC_NODE_PREFIX "%dp%d not formatted\n", channel, part);
    }
    run_command(REBOOT_COMMAND);
    return 0;
}
