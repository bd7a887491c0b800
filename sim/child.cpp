// SPDX-License-Identifier: MIT
#include "child.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "board_env.h"
#include "frame_png.h"
#include "launcher.h"
#include "outputs.h"

extern char **environ;

namespace {

// The launcher's own environment less the board's variables and PATH, and
// the preloads it held (*preloads, "" when none).
std::vector<std::string> inherited_environment(std::string *preloads)
{
    std::vector<std::string> envs;
    const std::string preload_key = "LD_PRELOAD=";
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        if (kv.rfind(SIM_ENV_PREFIX, 0) == 0 || kv.rfind("PATH=", 0) == 0) continue;
        if (kv.rfind(preload_key, 0) == 0) {
            *preloads = kv.substr(preload_key.size());
            continue;
        }
        envs.push_back(kv);
    }
    return envs;
}

std::vector<std::string> child_environment(const Options &o, const Launch &launch, const std::string &out)
{
    std::string preload_before;
    std::vector<std::string> envs = inherited_environment(&preload_before);
    auto set = [&](const char *name, const std::string &value) { envs.push_back(name + ("=" + value)); };
    // The workstation's own preloads are of its architecture, not an emulated program's.
    if (launch.way == LaunchWay::kEmulated) preload_before.clear();
    set("LD_PRELOAD", o.preload + (preload_before.empty() ? "" : ":" + preload_before));
    set("PATH", output_path(out, Output::kStandIns));
    set(SIM_ENV_CMDLINE, output_path(out, Output::kCmdline));
    set(SIM_ENV_FB, output_path(out, Output::kFrame));
    set(SIM_ENV_FB_GEOMETRY, std::to_string(o.panel.xres) + "x" + std::to_string(o.panel.yres) + "x" +
                                 std::to_string(o.panel.bits_per_pixel));
    if (o.panel.line_length) set(SIM_ENV_FB_LINE_LENGTH, std::to_string(o.panel.line_length));
    if (o.panel.bgr) set(SIM_ENV_FB_ORDER, SIM_FB_ORDER_BGR);
    if (!o.fail_fb.empty()) set(SIM_ENV_FB_FAIL, o.fail_fb);
    set(SIM_ENV_FONT, *o.font);
    set(SIM_ENV_CTP, o.ctp ? output_path(out, Output::kCtp) : SIM_CTP_ABSENT);
    // Without --card-index the board takes the disk the program waits for.
    set(SIM_ENV_CARD, (o.card_index ? std::to_string(*o.card_index) + ":" : "") + o.card_removal);
    set(SIM_ENV_SYSTEM, output_path(out, Output::kCommands));
    set(SIM_ENV_SYSTEM_STATUS, std::to_string(o.command_status));
    if (!o.fail_command.empty()) set(SIM_ENV_FAIL_COMMAND, o.fail_command);
    if (o.kill_at_reboot) set(SIM_ENV_REBOOT, SIM_REBOOT_KILL);
    set(SIM_ENV_FRAMES, out);
    if (o.clock_back)
        set(SIM_ENV_CLOCK, SIM_CLOCK_BACK);
    else if (o.fast_clock)
        set(SIM_ENV_CLOCK, SIM_CLOCK_FAST);
    set(SIM_ENV_TRACE, output_path(out, Output::kTrace));
    return envs;
}

void write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void stop_child(pid_t pid)
{
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

struct Child {
    pid_t pid;
    int master; // our end of the program's terminal
};

// Starts the program with its console on a new pseudo-terminal.
Child spawn_on_pty(const Options &o, const Launch &launch, std::vector<std::string> envs)
{
    std::vector<std::string> args;
    if (launch.way == LaunchWay::kEmulated) {
        // -L: the loader and every library the program opens come from the image first.
        args = { launch.emulator };
        if (!o.root.empty()) args.insert(args.end(), { "-L", o.root });
    }
    args.push_back(o.updater);
    args.insert(args.end(), o.args.begin(), o.args.end());
    std::vector<char *> envp = c_strings(envs), argv = c_strings(args);
    // A raw terminal: the console bytes reach us exactly as the program wrote
    // them, without the line discipline turning "\n" into "\r\n".
    termios raw{};
    cfmakeraw(&raw);
    Child c{ -1, -1 };
    std::cout.flush();
    c.pid = forkpty(&c.master, nullptr, &raw, nullptr);
    if (c.pid < 0) fail(std::string("cannot start the program on a pseudo-terminal: ") + std::strerror(errno));
    if (c.pid == 0) {
        execve(args[0].c_str(), argv.data(), envp.data());
        std::fprintf(stderr, "updater-sim: cannot run %s: %s\n", args[0].c_str(), std::strerror(errno));
        _exit(127);
    }
    return c;
}

// Passes what the program wrote on its console through, waiting up to
// wait_ms for it. Returns 1 when bytes came, 0 when none did and -1 once
// every holder of the terminal has closed it.
int pass_console(int master, std::ofstream &console, int wait_ms)
{
    char buf[4096];
    pollfd p{ master, POLLIN, 0 };
    if (poll(&p, 1, wait_ms) <= 0) return 0;
    ssize_t n = read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return 0;
    if (n <= 0) return -1; // EIO on a terminal nobody holds any more
    write_all(STDOUT_FILENO, buf, static_cast<size_t>(n));
    console.write(buf, n);
    console.flush();
    return 1;
}

// Seconds the process has spent on a processor so far (user and system
// time from /proc/PID/stat); 0 when it cannot be read.
double cpu_seconds(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return 0;
    std::istringstream fields(stat.substr(name_end + 2));
    std::string skip;
    for (int field = 3; field < 14; field++) fields >> skip; // state .. cmajflt
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Decides that the program stalled: no console output and no emulated event
// for the grace period, or past the timeout in any case. The program must
// also have run for half the grace since its last progress, so that on a
// loaded machine a program that merely waited for a processor is not taken
// for one that halted; one that sleeps or blocks is stopped after four times
// the grace.
class StallWatch {
public:
    StallWatch(const Options &o, const Launch &launch, pid_t pid, std::string trace_path)
        : pid_(pid), trace_path_(std::move(trace_path)), grace_(grace_of(o, launch)), timeout_(o.timeout)
    {
    }
    void progressed()
    {
        last_progress_ = Clock::now();
        cpu_at_progress_ = cpu_seconds(pid_);
    }
    bool stalled()
    {
        off_t trace_now = file_size(trace_path_);
        if (trace_now != trace_seen_) {
            trace_seen_ = trace_now;
            progressed();
        }
        if (timed_out()) return true;
        const double idle = seconds_since(last_progress_);
        if (idle <= grace_) return false;
        return cpu_seconds(pid_) - cpu_at_progress_ >= grace_ / 2 || idle > 4 * grace_;
    }
    bool timed_out() const { return seconds_since(started_) > timeout_; }

private:
    using Clock = std::chrono::steady_clock;
    static double seconds_since(Clock::time_point t)
    {
        return std::chrono::duration<double>(Clock::now() - t).count();
    }
    static double grace_of(const Options &o, const Launch &launch)
    {
        double grace = o.grace ? *o.grace : (o.fast_clock ? 3.0 : 8.0);
        // An emulated processor takes several times as long for the same steps.
        if (launch.way == LaunchWay::kEmulated && !o.grace) grace *= 4;
        if (!o.fast_clock) grace = std::max(grace, 8.0);
        // The card stays for T ms of real time whatever the clock does.
        if (o.card_rule.kind == SIM_CARD_MS) grace += static_cast<double>(o.card_rule.limit) / 1000.0;
        return grace;
    }
    const pid_t pid_;
    const std::string trace_path_;
    const double grace_, timeout_;
    const Clock::time_point started_ = Clock::now();
    Clock::time_point last_progress_ = started_;
    double cpu_at_progress_ = 0;
    off_t trace_seen_ = -1;
};

// Pumps the program's console until it has ended and its terminal is drained,
// or stops it once it stalls.
RunResult pump(const Child &c, std::ofstream &console, StallWatch &watch)
{
    RunResult result;
    bool pty_open = true, exited = false;
    while (pty_open || !exited) {
        if (pty_open) {
            int got = pass_console(c.master, console, 20);
            if (got > 0) watch.progressed();
            if (got > 0) continue;
            pty_open = got == 0;
        } else {
            usleep(20 * 1000);
        }
        int status = 0;
        if (!exited && waitpid(c.pid, &status, WNOHANG) == c.pid) {
            exited = true;
            result.status = status;
        }
        if (exited || !watch.stalled()) continue; // after an exit, drain what it wrote before
        result.stopped = true;
        result.timed_out = watch.timed_out();
        stop_child(c.pid);
        // Whatever is still in the terminal was written before the stop.
        while (pass_console(c.master, console, 0) > 0) {
        }
        break;
    }
    return result;
}

} // namespace

RunResult run_program(const Options &o, const Launch &launch, const std::string &out)
{
    Child c = spawn_on_pty(o, launch, child_environment(o, launch, out));
    std::ofstream console(output_path(out, Output::kConsole), std::ios::binary);
    StallWatch watch(o, launch, c.pid, output_path(out, Output::kTrace));
    RunResult result = pump(c, console, watch);
    close(c.master);
    return result;
}
