// SPDX-License-Identifier: MIT
// The program started with standard input, output or error closed: each is
// on /dev/null while it runs, the framebuffer keeps its own descriptor
// through the commands, and no log byte lands in the frame memory.
#include <limits.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim_harness.h"

namespace {

std::string link_of(const std::string &path)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// What the running program's descriptors lead to: its standard three, and
// the number under which it holds the emulated frame memory (-1: nowhere).
struct Held {
    std::string std_fds[3];
    int fb_fd = -1;
};

// The process holding frame_file open, found among all processes.
bool find_holder(const std::string &frame_file, Held *held)
{
    DIR *procs = opendir("/proc");
    if (!procs) return false;
    bool found = false;
    while (dirent *p = readdir(procs)) {
        if (found || !std::isdigit(static_cast<unsigned char>(p->d_name[0]))) continue;
        const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = opendir(fd_dir.c_str());
        if (!fds) continue;
        while (dirent *f = readdir(fds)) {
            if (f->d_name[0] == '.' || link_of(fd_dir + "/" + f->d_name) != frame_file) continue;
            found = true;
            held->fb_fd = std::atoi(f->d_name);
            for (int i = 0; i < 3; i++) held->std_fds[i] = link_of(fd_dir + "/" + std::to_string(i));
        }
        closedir(fds);
    }
    closedir(procs);
    return found;
}

// Runs mode 1 with the card never pulled and the descriptor fd closed, and
// looks at the program's descriptors once every NAND command has run (the
// first one moved standard input) while it waits for the card.
Held mode1_descriptors(int fd, SimRun *run)
{
    const std::string out = unique_folder("") + "/out";
    std::thread launcher([&] {
        *run = run_sim({ "--updater", CLOSED_FD_EXEC, "--cmdline", "updater=1,0,0", "--card-removal", "never",
                         "--grace", "2", "--", std::to_string(fd) });
    });
    Held held;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_file(out + "/commands.log").find("umount /mnt\n") != std::string::npos) {
            find_holder(out + "/fb1.raw", &held);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    launcher.join();
    return held;
}

class ClosedAtStart : public ::testing::TestWithParam<int> {};

TEST_P(ClosedAtStart, IsOnDevNullAndTheFramebufferKeepsItsDescriptor)
{
    const int fd = GetParam();
    SimRun r;
    const Held held = mode1_descriptors(fd, &r);
    EXPECT_EQ(r.status, 124) << r.diagnostics;
    EXPECT_EQ(held.std_fds[fd], "/dev/null");
    EXPECT_GT(held.fb_fd, 2) << "the frame memory is held as a standard descriptor, or not at all";
    for (int other = 1; other < 3; other++) {
        if (other != fd) {
            EXPECT_NE(held.std_fds[other].find("/dev/pts/"), std::string::npos) << other;
        }
    }
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", 800, 480), font,
                             { centred(font, Line::Status, "File system is ready!", 800, 480),
                               centred(font, Line::Detail, "Please remove the SD card and reboot.", 800, 480),
                               at_notice("Calibrating, do not touch the screen!", 800, 480) }));
    if (fd == 1)
        EXPECT_EQ(r.console, "");
    else
        EXPECT_NE(r.console.find("Got type = 1, channel = 0\ncmd: flash_eraseall /dev/mtd6\n"), std::string::npos);
}

std::string fd_name(const ::testing::TestParamInfo<int> &info)
{
    const char *const names[] = { "stdin", "stdout", "stderr" };
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(StdFds, ClosedAtStart, ::testing::Values(0, 1, 2), fd_name);

// With standard output closed the log goes nowhere: the frame memory, written
// back when the program ends, holds the screen and nothing else.
TEST(ClosedAtStart, StdoutClosedLeavesNoLogInTheFrameMemory)
{
    SimRun r = run_sim({ "--updater", CLOSED_FD_EXEC, "--cmdline", "updater=2,0,0", "--", "1", "DATA" });
    ASSERT_EQ(r.status, 0) << r.diagnostics;
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(r.file("commands.log"), "mke2fs -t ext3 /dev/mmcblk0p3\nmke2fs -t ext3 /dev/mmcblk0p5\n"
                                      "mkdosfs -F 32 /dev/mmcblk0p6 -n \"DATA\"\nreboot\n");
    FontOracle font(TEST_FONT);
    EXPECT_TRUE(screen_shows(load_raw_frame(r.out + "/fb1.raw", 800, 480), font,
                             { centred(font, Line::Status, "Erasing user partitions ...", 800, 480) }));
}

} // namespace
