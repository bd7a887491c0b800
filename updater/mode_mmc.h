// Mode 2: fresh file systems on the user partitions of one MMC block device.
#ifndef UPDATER_MODE_MMC_H
#define UPDATER_MODE_MMC_H

#include <cstddef>

enum part_kind { PART_SKIP = 0, PART_VFAT = 1, PART_EXT3 = 2 };

#define PART_COUNT 6
#define DEFAULT_LABEL "OrvaneIC"

// Kind of partitions 1..PART_COUNT, index 0 for partition 1.
extern const part_kind partition_plan[PART_COUNT];

// Builds the command for one partition into out (size bytes). Returns the
// length written, 0 for a partition that is left alone, or -1 when the text
// would not fit (nothing usable is left in out then).
int build_partition_command(char *out, size_t size, part_kind kind, int channel, int partition,
                            const char *label);

int mmc_user_format(int channel, const char *label);

#endif
