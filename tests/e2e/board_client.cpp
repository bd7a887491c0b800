// SPDX-License-Identifier: MIT
// A stand-in for the device program that makes the board library's calls one
// at a time, so each emulated piece can be checked on its own, including the
// ones the updater reaches only deep inside a mode.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "board/names.h"

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    const std::string op = argv[1];
    if (op == "read" && argc == 3) {
        int fd = open(argv[2], O_RDONLY);
        if (fd < 0) {
            std::printf("open failed: %s\n", std::strerror(errno));
            return 0;
        }
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        if (n > 0) std::fwrite(buf, 1, static_cast<size_t>(n), stdout);
    } else if (op == "fopen" && argc == 3) {
        FILE *f = std::fopen(argv[2], "r");
        if (!f) {
            std::printf("fopen failed: %s\n", std::strerror(errno));
            return 0;
        }
        char buf[4096];
        size_t n = std::fread(buf, 1, sizeof buf, f);
        std::fclose(f);
        std::fwrite(buf, 1, n, stdout);
    } else if (op == "write" && argc == 4) {
        int fd = open(argv[2], O_WRONLY);
        if (fd < 0) {
            std::printf("open failed: %s\n", std::strerror(errno));
            return 0;
        }
        std::printf("wrote %zd\n", write(fd, argv[3], std::strlen(argv[3])));
        close(fd);
    } else if (op == "osd") {
        int fd = open(FB_NODE, O_RDWR);
        if (fd < 0) {
            std::printf("open failed: %s\n", std::strerror(errno));
            return 0;
        }
        fb_fix_screeninfo fix{};
        if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0) return 1;
        void *map = mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) return 1;
        char *off = static_cast<char *>(map) + 2;
        std::printf("wrong address: %d\n", ioctl(fd, FB_OSD_START, off));
        std::printf("mapping: %d\n", ioctl(fd, FB_OSD_START, map));
        int other = open(FB_NODE, O_RDWR);
        std::printf("other descriptor: %d\n", ioctl(other, FB_OSD_START, map));
    } else if (op == "clock" && argc == 3) {
        time_t last = time(nullptr);
        for (int i = 1; i < std::atoi(argv[2]); i++) {
            time_t now;
            time(&now);
            std::printf("%ld ", static_cast<long>(now - last));
            last = now;
        }
        std::printf("\n");
    } else if (op == "card" && argc >= 3) {
        // Each node in turn, opened until it fails. Bounded where the updater
        // waits for ever, so a card that is never pulled shows as the bound.
        for (int node = 2; node < argc; node++) {
            long opens = 0;
            for (int fd; opens < 100000 && (fd = open(argv[node], O_RDONLY)) >= 0; opens++) close(fd);
            std::printf("opens %ld\n", opens);
        }
    } else if (op == "system" && argc == 3) {
        std::printf("status %d\n", system(argv[2]));
    } else {
        return 2;
    }
    return 0;
}
