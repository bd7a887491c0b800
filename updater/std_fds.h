// SPDX-License-Identifier: MIT
// Standard descriptors at start: a board whose init has no console may start
// the updater with 0, 1 or 2 closed. The next open would take that number, so
// /dev/fb1 would become standard output (the log lands in the frame memory)
// or standard input (the commands' redirection closes it).
#ifndef UPDATER_STD_FDS_H
#define UPDATER_STD_FDS_H

#define STD_FD_COUNT 3
#define NULL_DEVICE "/dev/null"

// Bit fd set for each standard descriptor fd (0..2) to open on /dev/null,
// from what fcntl(fd, F_GETFD) returned for it (results) and the errno it
// left (errors). Only EBADF means closed: any other failure leaves the
// descriptor as it is. Pure; prints nothing.
unsigned std_fds_closed(const int results[STD_FD_COUNT], const int errors[STD_FD_COUNT]);

// open() flags for /dev/null in place of descriptor fd: read-only for
// standard input, write-only for output and error. Pure; prints nothing.
int std_fd_null_flags(int fd);

// Opens /dev/null in place of descriptor fd (0..2), with std_fd_null_flags,
// whatever fd was before. 0, or -1 when /dev/null could not be opened or
// placed. Prints nothing.
int std_fd_open_null(int fd);

// Opens each closed standard descriptor on /dev/null, leaving open ones
// untouched. Returns 0, or -1 when /dev/null could not be opened or placed
// (the updater goes on). Prints nothing: there may be nowhere to print yet.
// Call it before anything else opens a file.
int std_fds_open_null();

#endif
