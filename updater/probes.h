// Storage probes: device-node and path tests, MTD size, large-file and
// working-directory makers.
#ifndef UPDATER_PROBES_H
#define UPDATER_PROBES_H

#include <cstdint>

int dev_node_exists(const char *name);
int path_exists(const char *path);
int32_t mtd_size_mib(const char *path);
int make_large_file(const char *path, uint64_t size_mib);
void make_work_dirs();

#endif
