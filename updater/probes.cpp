// SPDX-License-Identifier: MIT
#include "updater/probes.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int dev_node_exists(const char *name)
{
    if (!name)
        return -1;
    char path[64] = "/dev/";
    const size_t prefix = strlen(path);
    const size_t n = strlen(name);
    if (n > sizeof(path) - 1 - prefix)
        return -1;
    memcpy(path + prefix, name, n + 1);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int path_exists(const char *path)
{
    if (!path)
        return -1;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

int32_t mtd_size_mib(const char *path)
{
    int fd = open(path, O_RDONLY | O_LARGEFILE);
    if (fd < 0) {
        printf("dev %s do not found.\n", path);
        return -1;
    }
    mtd_info_user info;
    const int rc = ioctl(fd, MEMGETINFO, &info);
    close(fd);
    // A node that is not an MTD device leaves the record unfilled.
    if (rc < 0)
        return -1;
    return static_cast<int32_t>(info.size >> 20);
}

int make_large_file(const char *path, uint64_t size_mib)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, 0666);
    if (fd < 0) {
        printf("failed to open file %s\n", path);
        return -1;
    }
    const unsigned long long mib = size_mib;
    printf("make file: %llu\n", mib);

    // The last byte alone is written: the rest stays a hole where the file
    // system allows it. An empty request seeks to -1, which fails and leaves
    // the empty file as it is.
    const uint64_t max_mib = static_cast<uint64_t>(INT64_MAX) >> 20;
    int rc = 0;
    if (size_mib > max_mib) {
        printf("truncate file %llu failed. \n", mib);
        rc = -1;
    } else {
        const off64_t last = static_cast<off64_t>(size_mib << 20) - 1;
        if (lseek64(fd, last, SEEK_SET) < 0) {
            printf("truncate file %llu failed. \n", mib);
            rc = size_mib > 0 ? -1 : 0;
        } else if (write(fd, "", 1) != 1) {
            printf("truncate file %llu failed. \n", mib);
            rc = -1;
        } else {
            printf("large file %llu OK. \n", mib);
        }
    }
    close(fd);
    return rc;
}

void make_work_dirs()
{
    mkdir("root", 0755);
    mkdir("inst", 0755);
}
