// SPDX-License-Identifier: MIT
#include <string>

#include <gtest/gtest.h>

#include "tests/shell_status_cases.h"
#include "stdout_capture.h"
#include "updater/mode_nand.h"

TEST(ShellStatus, DecodesWhatSystemReturns)
{
    for (const ShellStatusCase &c : kShellStatusCases)
        EXPECT_EQ(shell_exit_status(c.system_result), c.status) << c.outcome;
    // A stopped child is no outcome the shell can report.
    EXPECT_EQ(shell_exit_status(0x137f), -1);
}

// The real shell, as on the board: its exit, its death by a signal.
TEST(ShellStatus, RealShellOutcomesAndTheirLogLine)
{
    const struct {
        const char *command;
        int status;
    } cases[] = { { "exit 0", 0 }, { "exit 3", 3 }, { "kill -9 $$", 137 }, { "no-such-tool-here 2>/dev/null", 127 } };
    for (const auto &c : cases) {
        capture_stdout();
        const int status = run_command_status(c.command);
        EXPECT_EQ(captured_stdout(), std::string("cmd: ") + c.command + "\n");
        EXPECT_EQ(status, c.status) << c.command;
    }
}
