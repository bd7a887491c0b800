// SPDX-License-Identifier: MIT
// Storage probes: device-node and path tests, MTD size, large-file and
// working-directory makers.
#ifndef UPDATER_PROBES_H
#define UPDATER_PROBES_H

#include <cstdint>

// 0 when "/dev/<name>" opens read-only (closed again at once), -1 when it
// does not, when name is null or the path would pass 63 characters. Prints
// nothing.
int dev_node_exists(const char *name);
// 0 when path opens read-only (closed again at once), -1 when it does not or
// path is null. Prints nothing.
int path_exists(const char *path);
// The MTD partition's size in MiB from MEMGETINFO, or -1: prints "dev %s do
// not found.\n" when path does not open, nothing when it is not an MTD node.
int32_t mtd_size_mib(const char *path);
// Creates or truncates path and extends it to size_mib MiB by writing its
// last byte (a hole where the file system allows). Prints "make file: N",
// then "large file N OK. " or "truncate file N failed. ". Returns 0 when the
// size is reached and for 0 MiB (the file stays empty, after the failure
// line); -1 when the size cannot be reached, or after "failed to open file
// %s" when path does not open.
int make_large_file(const char *path, uint64_t size_mib);
// Creates the folders "root" and "inst" (0755) in the current folder;
// failures, an existing folder among them, are ignored. Prints nothing.
void make_work_dirs();

#endif
