// SPDX-License-Identifier: MIT
// The log when standard output is not a terminal (a file, a pipe, the
// journal's socket): every line must leave the program before the command it
// announces runs, and before the reboot ends the program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "sim_harness.h"

extern char **environ;

namespace {

struct OutputRun {
    int status = -1; // wait status
    std::string output;
};

// Runs the program on the board with standard output on a file opened for
// appending, or on a pipe. The board appends each command it records to the
// program's own standard output, as a tool run from the shell writes its
// lines there; the reboot kills the program, as the system going down does.
OutputRun run_to_output(const std::string &cmdline, bool pipe_out)
{
    const std::string folder = unique_folder(cmdline.substr(8, 1) + (pipe_out ? "-pipe" : "-file"));
    std::ofstream(folder + "/cmdline") << cmdline << "\n";
    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (std::string(*e).rfind(SIM_ENV_PREFIX, 0) != 0) env.push_back(*e);
    env.insert(env.end(), { std::string("LD_PRELOAD=") + BOARD_LIB, SIM_ENV_CMDLINE "=" + folder + "/cmdline",
                            SIM_ENV_FB "=" + folder + "/fb1.raw", SIM_ENV_FB_FAIL "=open", SIM_ENV_FONT "=" TEST_FONT,
                            SIM_ENV_CTP "=" SIM_CTP_ABSENT, SIM_ENV_CARD "=polls=2", SIM_ENV_CLOCK "=" SIM_CLOCK_FAST,
                            SIM_ENV_SYSTEM "=/proc/self/fd/1", SIM_ENV_REBOOT "=" SIM_REBOOT_KILL });
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char *argv[] = { const_cast<char *>(UPDATER_EXE), nullptr };

    const std::string file = folder + "/stdout";
    int fds[2] = { -1, -1 };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (pipe_out && pipe(fds) == 0) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    }
    OutputRun run;
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, UPDATER_EXE, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_out) {
        close(fds[1]);
        char buf[4096];
        for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) run.output.append(buf, static_cast<size_t>(n));
        close(fds[0]);
    }
    if (rc == 0) waitpid(pid, &run.status, 0);
    if (!pipe_out) run.output = read_file(file);
    return run;
}

// The output holds first the lines before any command, then for every
// command its "cmd: " line directly followed by the command's own line, the
// last command being the reboot.
::testing::AssertionResult each_line_before_its_command(const std::string &output,
                                                        const std::vector<std::string> &before, size_t commands)
{
    std::vector<std::string> lines;
    std::istringstream s(output);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    if (output.empty() || output.back() != '\n') return ::testing::AssertionFailure() << "the output does not end a line:\n" << output;
    if (lines.size() != before.size() + 2 * commands)
        return ::testing::AssertionFailure() << lines.size() << " lines, expected " << before.size() + 2 * commands
                                             << ":\n" << output;
    for (size_t i = 0; i < before.size(); i++)
        if (lines[i] != before[i])
            return ::testing::AssertionFailure() << "line " << i + 1 << " is '" << lines[i] << "', expected '" << before[i] << "'";
    for (size_t i = before.size(); i < lines.size(); i += 2)
        if (lines[i] != "cmd: " + lines[i + 1])
            return ::testing::AssertionFailure() << "line " << i + 1 << " is '" << lines[i] << "', expected 'cmd: "
                                                 << lines[i + 1] << "' before the command's own line";
    if (lines.back() != "reboot") return ::testing::AssertionFailure() << "the last command is '" << lines.back() << "'";
    return ::testing::AssertionSuccess();
}

TEST(Log, EveryLineLeavesBeforeItsCommandAndBeforeTheRebootKillsTheProgram)
{
    struct Case {
        std::string cmdline;
        std::vector<std::string> before; // the screen's message, the mode, the touch panel's message
        size_t commands;
    };
    const Case cases[] = {
        { "updater=1,0,0", { "open fb err", "Got type = 1, channel = 0", "CTP is not present." }, 13 },
        { "updater=2,0,0", { "open fb err", "Got type = 2, channel = 0" }, 4 },
    };
    for (const Case &c : cases) {
        for (bool pipe_out : { false, true }) {
            SCOPED_TRACE(c.cmdline + (pipe_out ? " to a pipe" : " to a file"));
            const OutputRun r = run_to_output(c.cmdline, pipe_out);
            EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGKILL) << "wait status " << r.status;
            EXPECT_TRUE(each_line_before_its_command(r.output, c.before, c.commands));
        }
    }
}

TEST(Log, LauncherKillsTheProgramAtTheReboot)
{
    SimRun r = run_sim({ "--cmdline", "updater=2,0,0", "--kill-at-reboot", "--", "DATA" });
    EXPECT_EQ(r.status, 128 + SIGKILL) << r.diagnostics;
    EXPECT_EQ(r.console.substr(r.console.rfind("cmd: ")), "cmd: reboot\n");
}

} // namespace
