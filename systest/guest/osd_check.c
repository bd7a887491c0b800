// SPDX-License-Identifier: MIT
/*
 * Holds the overlay driver's stand-in to the board driver's contract for the
 * OSD start request: answered only with the address at which the caller
 * mapped /dev/fb1, refused for anything else, and unknown requests left
 * alone. Run at shutdown, after the screen was taken; every request it has
 * answered is one more in the driver's count, read before it runs.
 *
 *   osd-check    prints "systest: osd-check: ok" or one line per broken case
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "board/names.h"

static void *map_fb(const char *node, int *fd, size_t *len)
{
    *fd = open(node, O_RDWR);
    *len = 4096;
    void *map = *fd < 0 ? MAP_FAILED : mmap(NULL, *len, PROT_READ | PROT_WRITE, MAP_SHARED, *fd, 0);
    return map == MAP_FAILED ? NULL : map;
}

int main(void)
{
    int fb1, fb0;
    size_t len1, len0;
    char *own = map_fb(FB_NODE, &fb1, &len1);
    char *other = map_fb("/dev/fb0", &fb0, &len0);
    char plain[64];
    if (!own || !other) {
        puts("systest: osd-check: cannot map " FB_NODE " and /dev/fb0");
        return 1;
    }
    const struct {
        const char *what;
        unsigned long request;
        void *arg;
        int error; /* 0: answered */
    } cases[] = {
        { "the mapping's address", FB_OSD_START, own, 0 },
        { "an address inside the mapping", FB_OSD_START, own + 4095, EINVAL },
        { "no address", FB_OSD_START, NULL, EINVAL },
        { "a mapping of /dev/fb0", FB_OSD_START, other, EINVAL },
        { "plain memory", FB_OSD_START, plain, EINVAL },
        { "the next request number", FB_OSD_START + 1, own, ENOTTY },
    };
    int failed = 0;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        int status = ioctl(fb1, cases[i].request, cases[i].arg);
        int error = status < 0 ? errno : 0;
        if (error != cases[i].error) {
            printf("systest: osd-check: request 0x%lx with %s: %s, expected %s\n", cases[i].request, cases[i].what,
                   error ? strerror(error) : "answered", cases[i].error ? strerror(cases[i].error) : "answered");
            failed = 1;
        }
    }
    if (!failed)
        puts("systest: osd-check: ok");
    return failed;
}
