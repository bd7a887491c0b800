// SPDX-License-Identifier: MIT
// Standard descriptors at start: which count as closed, and that each closed
// one ends up on /dev/null with the right access while open ones are kept.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "updater/std_fds.h"

namespace {

bool is_null_device(int fd)
{
    struct stat got, null_dev;
    return fstat(fd, &got) == 0 && stat(NULL_DEVICE, &null_dev) == 0 && S_ISCHR(got.st_mode) &&
           got.st_rdev == null_dev.st_rdev;
}

// The lowest descriptor above the standard three that is not open.
int first_free_descriptor()
{
    int fd = STD_FD_COUNT;
    while (fcntl(fd, F_GETFD) != -1)
        fd++;
    return fd;
}

int child_status(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In a child: closes the descriptors in closed_mask, keeps a pipe on each
// other standard descriptor, runs std_fds_open_null and checks the result.
// Exit status 0 when all holds, else the number of the first failed check.
int run_in_child(unsigned closed_mask)
{
    const pid_t pid = fork();
    if (pid == 0) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            _exit(90);
        for (int fd = 0; fd < STD_FD_COUNT; fd++) {
            if (closed_mask & (1u << fd))
                close(fd);
            else if (dup2(pipe_fds[fd == 0 ? 0 : 1], fd) != fd)
                _exit(91);
        }
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        const int spare = first_free_descriptor();
        if (std_fds_open_null() != 0)
            _exit(92);
        for (int fd = 0; fd < STD_FD_COUNT; fd++) {
            struct stat sb;
            if (fstat(fd, &sb) != 0)
                _exit(10 + fd);
            const bool was_closed = closed_mask & (1u << fd);
            if (was_closed != is_null_device(fd))
                _exit(20 + fd);
            if (was_closed && (fcntl(fd, F_GETFL) & O_ACCMODE) != (fd == 0 ? O_RDONLY : O_WRONLY))
                _exit(30 + fd);
            if (!was_closed && !S_ISFIFO(sb.st_mode))
                _exit(40 + fd);
        }
        // Nothing beyond the standard three is left open by the repair.
        if (fcntl(spare, F_GETFD) != -1)
            _exit(50);
        _exit(0);
    }
    return child_status(pid);
}

// In a child whose standard input is open on a pipe, as on a board whose
// console is a terminal: std_fd_open_null(0) must leave it on /dev/null,
// read-only, and nothing else open. Exit status 0 when all holds, else the
// number of the first failed check.
int replace_open_stdin_in_child()
{
    const pid_t pid = fork();
    if (pid == 0) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0 || dup2(pipe_fds[0], 0) != 0)
            _exit(90);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        const int spare = first_free_descriptor();
        if (std_fd_open_null(0) != 0)
            _exit(1);
        if (!is_null_device(0))
            _exit(2);
        if ((fcntl(0, F_GETFL) & O_ACCMODE) != O_RDONLY)
            _exit(3);
        if (fcntl(spare, F_GETFD) != -1)
            _exit(4);
        _exit(0);
    }
    return child_status(pid);
}

} // namespace

TEST(StdFds, OnlyBadDescriptorCountsAsClosed)
{
    const int all_open[] = { 0, 1, 0 };
    const int no_error[] = { 0, 0, 0 };
    EXPECT_EQ(std_fds_closed(all_open, no_error), 0u);

    const int failed[] = { -1, 0, -1 };
    const int bad[] = { EBADF, 0, EBADF };
    EXPECT_EQ(std_fds_closed(failed, bad), 0x5u);
    // A failure of another kind says nothing about the descriptor.
    const int other[] = { EINTR, 0, EBADF };
    EXPECT_EQ(std_fds_closed(failed, other), 0x4u);

    const int all_failed[] = { -1, -1, -1 };
    const int all_bad[] = { EBADF, EBADF, EBADF };
    EXPECT_EQ(std_fds_closed(all_failed, all_bad), 0x7u);
}

TEST(StdFds, InputReadsAndOutputsWrite)
{
    EXPECT_EQ(std_fd_null_flags(0), O_RDONLY);
    EXPECT_EQ(std_fd_null_flags(1), O_WRONLY);
    EXPECT_EQ(std_fd_null_flags(2), O_WRONLY);
}

TEST(StdFds, EveryClosedSetIsFilledAndOpenOnesKept)
{
    for (unsigned mask = 0; mask < (1u << STD_FD_COUNT); mask++)
        EXPECT_EQ(run_in_child(mask), 0) << "closed set 0x" << std::hex << mask;
}

// What every command of the modes gets as its standard input.
TEST(StdFds, OpenInputIsReplacedByNullDevice)
{
    EXPECT_EQ(replace_open_stdin_in_child(), 0);
}
