// SPDX-License-Identifier: MIT
// Mode 2: fresh file systems on the user partitions of one MMC block device.
#ifndef UPDATER_MODE_MMC_H
#define UPDATER_MODE_MMC_H

#include <cstddef>

enum part_kind { PART_SKIP = 0, PART_VFAT = 1, PART_EXT3 = 2 };

#define PART_COUNT 6
#define DEFAULT_LABEL "OrvaneIC"

// Kind of partitions 1..PART_COUNT, index 0 for partition 1.
extern const part_kind partition_plan[PART_COUNT];

// Builds the command for one partition into out (size bytes): mke2fs for
// PART_EXT3, mkdosfs with label quoted for the shell for PART_VFAT. Returns
// the length written, 0 (out empty) for a partition that is left alone, or
// -1 when size is 0 or the text would not fit (out then holds "" if size > 0).
// label is read only for PART_VFAT. Pure; prints nothing.
int build_partition_command(char *out, size_t size, part_kind kind, int channel, int partition,
                            const char *label);

// The whole of mode 2 on /dev/mmcblkN (N = channel): shows "Erasing user
// partitions ...", runs each partition's command, then "reboot". A label
// too long to fit is reported as "label too long, /dev/mmcblk%dp%d not
// formatted" and that partition skipped. Returns 0; a null label means
// DEFAULT_LABEL.
int mmc_user_format(int channel, const char *label);

#endif
