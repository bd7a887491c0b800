// SPDX-License-Identifier: MIT
#include "updater/std_fds.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

unsigned std_fds_closed(const int results[STD_FD_COUNT], const int errors[STD_FD_COUNT])
{
    unsigned closed = 0;
    for (int fd = 0; fd < STD_FD_COUNT; fd++)
        if (results[fd] < 0 && errors[fd] == EBADF)
            closed |= 1u << fd;
    return closed;
}

int std_fd_null_flags(int fd)
{
    return fd == STDIN_FILENO ? O_RDONLY : O_WRONLY;
}

// open() hands out the lowest free number, which is fd itself when the
// closed ones are filled in ascending order; dup2 covers anything else.
int std_fd_open_null(int fd)
{
    const int got = open(NULL_DEVICE, std_fd_null_flags(fd));
    if (got < 0)
        return -1;
    // The new descriptor is the standard one now and stays open.
    if (got == fd)
        return 0; // cppcheck-suppress resourceLeak
    const int rc = dup2(got, fd) == fd ? 0 : -1;
    close(got);
    return rc;
}

int std_fds_open_null()
{
    int results[STD_FD_COUNT];
    int errors[STD_FD_COUNT];
    for (int fd = 0; fd < STD_FD_COUNT; fd++) {
        errno = 0;
        results[fd] = fcntl(fd, F_GETFD);
        errors[fd] = errno;
    }
    const unsigned closed = std_fds_closed(results, errors);
    int rc = 0;
    for (int fd = 0; fd < STD_FD_COUNT; fd++)
        if ((closed & (1u << fd)) && std_fd_open_null(fd) != 0)
            rc = -1;
    return rc;
}
