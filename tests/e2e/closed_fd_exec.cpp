// SPDX-License-Identifier: MIT
// Starts the updater with one standard descriptor closed, as the init of a
// board without a console does:
//   closed_fd_exec FD [PROGRAM-ARGUMENTS...]
// Given to updater-sim as --updater, it runs under the board library and
// execs the program in its place, so the launcher watches the program itself.
#include <cstdlib>
#include <cstring>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2 || std::strlen(argv[1]) != 1 || argv[1][0] < '0' || argv[1][0] > '2')
        return 125;
    const int fd = argv[1][0] - '0';
    argv[1] = const_cast<char *>(UPDATER_EXE);
    close(fd);
    execv(UPDATER_EXE, argv + 1);
    return 127;
}
