// SPDX-License-Identifier: MIT
// How a shell command's outcome reaches the program and what it makes of it:
// shared by the unit test of the decoding and the end-to-end test, whose
// emulated shell is told to give each outcome (--fail-command WORD=STATUS).
#ifndef TESTS_SHELL_STATUS_CASES_H
#define TESTS_SHELL_STATUS_CASES_H

struct ShellStatusCase {
    const char *outcome; // STATUS of --fail-command
    int system_result;   // what system() returns for it
    int status;          // what the program reports
};

inline constexpr ShellStatusCase kShellStatusCases[] = {
    { "0", 0, 0 },
    { "1", 1 << 8, 1 },
    { "127", 127 << 8, 127 },  // the shell found no such tool
    { "255", 255 << 8, 255 },
    { "-1", -1, -1 },          // no shell could be started
    { "signal:9", 9, 137 },    // killed: 128 + N, as the shell reports it
};

#endif
