// SPDX-License-Identifier: MIT
// updater-sim: runs the unmodified updater on a workstation with the board
// emulated by the preload library libupdater_board.so, and keeps a picture of
// the screen at every step, the commands the program would have run and its
// console output.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/xattr.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "board_env.h"
#include "card_rule.h"
#include "contact_sheet.h"
#include "fail_command.h"
#include "frame_png.h"
#include "image_root.h"
#include "imagecheck/tools.h"
#include "program_check.h"

extern char **environ;

namespace {

#ifndef UPDATER_SIM_DEFAULT_FONT
#define UPDATER_SIM_DEFAULT_FONT "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#endif

// Exit statuses of the launcher itself; otherwise it passes the program's on.
constexpr int kExitStopped = 124;
constexpr int kExitLauncherError = 125;

const char *const kFailSteps[SIM_FB_FAIL_STEP_COUNT] = SIM_FB_FAIL_STEPS;

const char kUsageBoard[] = R"(Usage: updater-sim [OPTIONS] [-- PROGRAM-ARGUMENTS...]

Runs the updater with the board emulated: the kernel command line, the overlay
framebuffer /dev/fb1, the font, the touch panel, the SD card, the shell and
optionally the clock. No command the program asks for is ever run: each is
recorded instead. The program's console output (a pseudo-terminal, as the
board's serial console) is passed through unchanged on standard output.

Board:
  --cmdline TEXT         kernel command line (default "updater=3,0,0"); a line
                         break is added as the kernel does
  --cmdline-file FILE    kernel command line taken byte for byte from FILE
  --no-cmdline           /proc/cmdline cannot be opened
  --screen WxH[xBPP]     overlay framebuffer geometry and depth (default
                         800x480, 16 bits per pixel; 24 is r8g8b8, 32
                         x8r8g8b8, any other depth is offered as is: the
                         program refuses it, and the run has no pictures)
  --line-length BYTES    the driver's line length: rows this far apart,
                         padded past xres pixels (default: no padding; at
                         least a row's pixels)
  --colour-order ORDER   rgb (red in the high bits, default) or bgr
  --fb-fill RGB565       frame memory content before the program starts, as
                         one pixel value, e.g. 0xA5A5 (default 0x0000), in
                         the panel's format; row padding is left 0
)";

// Between the two: --fail-fb, its steps named from the board's own list.
const char kUsageRun[] = R"(  --font FILE            TrueType file served as /font/GOTHIC.TTF
                         (default )" UPDATER_SIM_DEFAULT_FONT R"()
  --no-ctp               the touch panel /dev/vexon210_ctp is missing
  --card-removal RULE    when the SD card is pulled: polls=K (after K opens
                         of its node), ms=T (T ms after the first open) or
                         never (default polls=3)
  --card-index N         the card is /dev/mmcblkN (default: the first
                         /dev/mmcblkN the program opens, i.e. the card index
                         the program itself read from the command line)
  --real-clock           use the real clock (default: a fast clock that moves
                         one second per reading, so timed waits pass at once)
  --clock-set-back       the clock reads the real time once, then an hour
                         earlier, as when it is set back during the run
  --command-status N     exit status reported for every recorded command
                         (default 0)
  --fail-command WORD[=STATUS]
                         the command named WORD (e.g. mkdosfs) reports
                         STATUS instead: an exit status (default 1), -1 (no
                         shell could be started) or signal:N (the shell was
                         killed by signal N)
  --kill-at-reboot       the recorded "reboot" ends the program at once with
                         SIGKILL (exit status 137), as the system going down
                         does: what it has not written out yet is lost

Run:
  --out DIR              output folder (default screens)
  --updater FILE         program to run (default ../updater beside this tool;
                         with --root, /usr/sbin/updater in the image)
  --root DIR             run the program of a board's root file system (a
                         folder): its own loader, libraries and font
                         (/font/GOTHIC.TTF in the image, unless --font),
                         under qemu-user (e.g. qemu-arm-static); each
                         recorded command is looked up in the image
  --preload FILE         board library (default libupdater_board.so beside
                         this tool), built for the program's architecture
  --grace SECONDS        stop the program after this long without progress:
                         no output, no screen set-up step, no command, no
                         card event (default 3; at least 8 with --real-clock),
                         once it has also run for half of it on a processor
                         (a program kept waiting on a loaded machine has not
                         stalled); one that sleeps is stopped after 4 graces
  --timeout SECONDS      stop the program after this long in any case
                         (default 300)
  -h, --help             this text

Output folder:
)";

const char kUsageEnd[] = R"(Exit status:
  the program's own exit status when it ends by itself (128+N when signal N
  ended it); 124 when the launcher stopped it because it made no more progress
  (the unexpected-mode halt spins for ever by design) or ran past --timeout;
  125 when the launcher itself failed (bad option, missing program, output
  folder not writable), refused to start a program the board library would
  not reach (static, setuid, not ELF, another architecture without its
  emulator and a board library built for it), or found that the program
  escaped the board library (escaped.log).

The program's PATH holds only recording stand-ins for the board's tools
(board-tools/ in the output folder), so that even a program that escapes the
board library reaches no real tool by name.

The board library is driven by environment variables, which the launcher sets
and which can also be set by hand with LD_PRELOAD=libupdater_board.so; each
piece whose variable is unset is the real one, and )" SIM_ENV_OSD R"(=1 alone
answers only the OSD start request on the real framebuffer:
)";

// Every file a run leaves in the output folder, with its line of the usage
// text. The usage text, the clean-up before a run, the child's environment
// and the preparation all take the names from here. A name starting "NN-"
// is a pattern: NN is the step's number.
enum class Output {
    kStep, kEnd, kStopped, kFrame, kCommands, kConsole, kCtp, kTrace, kCmdline, kSheet, kInImage, kEscaped, kStandIns
};
struct OutputFile {
    Output id;
    const char *name;
    const char *help; // lines of the usage text, the first beside the name
};
const OutputFile kOutputs[] = {
    { Output::kStep, "NN-cmd-WORD.png",
      "the screen just before command NN (named after the\ncommand, e.g. 03-cmd-mkdosfs.png) would have run" },
    { Output::kEnd, "NN-end.png", "the last screen, when the program ended by itself" },
    { Output::kStopped, "NN-stopped.png", "the last screen, when the launcher stopped it" },
    { Output::kFrame, "fb1.raw",
      "the final frame memory: line length * yres bytes\nin the panel's format (by default xres*yres*2\n"
      "bytes, RGB565 little-endian), as the program left it" },
    { Output::kCommands, "commands.log", "the recorded commands, one line each, in order" },
    { Output::kConsole, "console.log", "a copy of the program's console output" },
    { Output::kCtp, "ctp.bin", "the bytes written to the touch panel node" },
    { Output::kTrace, "trace.log",
      "one line per emulated event (screen set-up steps,\nopens of the command line, font, panel and card)" },
    { Output::kCmdline, "cmdline", "the emulated /proc/cmdline" },
    { Output::kSheet, "contact-sheet.png",
      "every screen above in order, small, in a grid, each\nwith its step under it (\"03 mkdosfs -F 32 ...\",\n"
      "\"05 end\")" },
    { Output::kInImage, "in-image.log",
      "with --root: each recorded command and where the\nboard's shell finds its tool in the image (on the\n"
      "PATH its init gives), or that it does not" },
    { Output::kEscaped, "escaped.log",
      "commands that reached the stand-in tools: only a\nprogram that escaped the board library writes it" },
    { Output::kStandIns, "board-tools/", "the stand-ins, the program's only PATH" },
};

const OutputFile &output_file(Output id)
{
    for (const OutputFile &f : kOutputs)
        if (f.id == id) return f;
    std::abort(); // every Output has its row
}

bool is_pattern(const OutputFile &f)
{
    return std::strncmp(f.name, "NN-", 3) == 0;
}

std::string output_path(const std::string &out, Output id)
{
    return out + "/" + output_file(id).name;
}

// A numbered picture's name: NN and the rest of its pattern.
std::string picture_name(int number, Output id)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d", number);
    return prefix + std::string(output_file(id).name + 2);
}

// One option's or file's entry of the usage text: the name in a column of
// its own, the lines of help beside it.
void print_entry(const std::string &name, const std::string &help)
{
    constexpr size_t kColumn = 25;
    std::string line = "  " + name;
    line += line.size() < kColumn - 1 ? std::string(kColumn - line.size(), ' ') : "\n" + std::string(kColumn, ' ');
    for (char c : help) line += c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, c);
    std::cout << line << "\n";
}

// Words wrapped to lines of at most 79 columns beside the usage text's
// column of names.
std::string wrapped(const std::string &text)
{
    constexpr size_t kWidth = 79 - 25;
    std::string result, line, word;
    std::istringstream words(text);
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > kWidth) {
            result += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return result + line;
}

// "open, vscreen, fscreen, mmap or osd"
std::string fail_step_list()
{
    std::string list;
    for (size_t i = 0; i < SIM_FB_FAIL_STEP_COUNT; i++)
        list += (i == 0 ? "" : i + 1 == SIM_FB_FAIL_STEP_COUNT ? " or " : ", ") + std::string(kFailSteps[i]);
    return list;
}

void print_usage()
{
    std::cout << kUsageBoard;
    print_entry("--fail-fb STEP", wrapped("make one screen set-up step fail: " + fail_step_list()));
    std::cout << kUsageRun;
    for (const OutputFile &f : kOutputs) print_entry(f.name, f.help);
    std::cout << "\n" << kUsageEnd;
}

// One line per board variable with the form of its value.
void print_board_variables()
{
#define SIM_PRINT_VARIABLE(name, value) std::cout << "  " name "=" value "\n";
    SIM_ENV_VARIABLES(SIM_PRINT_VARIABLE)
#undef SIM_PRINT_VARIABLE
    std::cout << "  (" SIM_ENV_FB_FAIL " STEP:";
    for (const char *step : kFailSteps) std::cout << " " << step;
    std::cout << ")\n";
}

struct Options {
    std::optional<std::string> cmdline = std::string("updater=3,0,0");
    std::optional<std::string> cmdline_file;
    sim_panel panel = {800, 480, 16, 0, 0};
    uint16_t fb_fill = 0x0000;
    std::string fail_fb;
    std::optional<std::string> font; // default: the image's, or UPDATER_SIM_DEFAULT_FONT
    bool ctp = true;
    std::string card_removal = "polls=3";
    sim_card_rule card_rule = { SIM_CARD_POLLS, 3, 0, 0 };
    std::optional<int> card_index;
    bool fast_clock = true;
    bool clock_back = false;
    int command_status = 0;
    std::string fail_command;
    bool kill_at_reboot = false;
    std::string out = "screens";
    std::string updater;
    std::string root;
    std::string preload;
    std::optional<double> grace;
    double timeout = 300;
    std::vector<std::string> args;
};

// How the checked program is started: itself, or under its emulator.
struct Launch {
    LaunchWay way = LaunchWay::kNative;
    std::string emulator;
};

[[noreturn]] void usage_error(const std::string &message)
{
    std::cerr << "updater-sim: " << message << "\n(updater-sim --help lists the options)\n";
    std::exit(kExitLauncherError);
}

[[noreturn]] void fail(const std::string &message)
{
    std::cerr << "updater-sim: " << message << "\n";
    std::exit(kExitLauncherError);
}

long parse_number(const std::string &text, const std::string &option, int base = 10)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0)
        usage_error("bad value for " + option + ": " + text);
    return v;
}

double parse_seconds(const std::string &text, const std::string &option)
{
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v > 0)) usage_error("bad value for " + option + ": " + text);
    return v;
}

// Reads the option's value from the command line, moving *i past it.
std::string option_value(int argc, char **argv, int *i)
{
    if (*i + 1 >= argc) usage_error(std::string(argv[*i]) + " needs a value");
    return argv[++*i];
}

void parse_screen(const std::string &v, Options *o)
{
    if (v.empty() || v.back() == 'x' || sim_panel_parse_screen(v.c_str(), &o->panel) != 0)
        usage_error("bad screen size: " + v + " (expected WxH or WxHxBPP, e.g. 800x480 or 800x480x32)");
}

void parse_card_removal(const std::string &v, Options *o)
{
    // The index is an option of its own here.
    if (v.find(':') != std::string::npos || sim_parse_card_rule(v.c_str(), &o->card_rule) != 0)
        usage_error("--card-removal takes polls=K, ms=T or never");
    o->card_removal = v;
}

// The options that shape the emulated board. False when a is none of them.
bool parse_board_option(const std::string &a, int argc, char **argv, int *i, Options *o)
{
    auto value = [&] { return option_value(argc, argv, i); };
    if (a == "--cmdline") {
        o->cmdline = value();
        o->cmdline_file.reset();
    } else if (a == "--cmdline-file") {
        o->cmdline_file = value();
        o->cmdline.reset();
    } else if (a == "--no-cmdline") {
        o->cmdline.reset();
        o->cmdline_file.reset();
    } else if (a == "--screen") {
        parse_screen(value(), o);
    } else if (a == "--line-length") {
        o->panel.line_length = static_cast<unsigned>(parse_number(value(), a));
    } else if (a == "--colour-order") {
        const std::string order = value();
        if (order != SIM_FB_ORDER_RGB && order != SIM_FB_ORDER_BGR) usage_error("--colour-order takes rgb or bgr");
        o->panel.bgr = order == SIM_FB_ORDER_BGR;
    } else if (a == "--fb-fill") {
        long v = parse_number(value(), a, 0);
        if (v > 0xFFFF) usage_error("--fb-fill takes a 16-bit pixel value");
        o->fb_fill = static_cast<uint16_t>(v);
    } else if (a == "--fail-fb") {
        o->fail_fb = value();
        if (std::none_of(std::begin(kFailSteps), std::end(kFailSteps), [&](const char *s) { return o->fail_fb == s; }))
            usage_error("--fail-fb takes " + fail_step_list());
    } else if (a == "--font") {
        o->font = value();
    } else if (a == "--no-ctp") {
        o->ctp = false;
    } else if (a == "--card-removal") {
        parse_card_removal(value(), o);
    } else if (a == "--card-index") {
        o->card_index = static_cast<int>(parse_number(value(), a));
    } else {
        return false;
    }
    return true;
}

// The options of the clock, the shell and the run itself. False when a is
// none of them.
bool parse_run_option(const std::string &a, int argc, char **argv, int *i, Options *o)
{
    auto value = [&] { return option_value(argc, argv, i); };
    if (a == "--real-clock") {
        o->fast_clock = false;
    } else if (a == "--clock-set-back") {
        o->clock_back = true;
    } else if (a == "--command-status") {
        long v = parse_number(value(), a);
        if (v > 255) usage_error("--command-status takes 0 to 255");
        o->command_status = static_cast<int>(v);
    } else if (a == "--fail-command") {
        o->fail_command = value();
        char word[SIM_FAIL_WORD_MAX];
        int result = 0;
        if (sim_parse_fail_command(o->fail_command.c_str(), word, &result) != 0)
            usage_error("--fail-command takes WORD, WORD=N (0 to 255), WORD=-1 or WORD=signal:N");
    } else if (a == "--kill-at-reboot") {
        o->kill_at_reboot = true;
    } else if (a == "--out") {
        o->out = value();
    } else if (a == "--updater") {
        o->updater = value();
    } else if (a == "--root") {
        o->root = value();
    } else if (a == "--preload") {
        o->preload = value();
    } else if (a == "--grace") {
        o->grace = parse_seconds(value(), a);
    } else if (a == "--timeout") {
        o->timeout = parse_seconds(value(), a);
    } else {
        return false;
    }
    return true;
}

// Checks what only the options together decide. A driver's rows always hold
// their pixels, whatever the order the options came in.
void check_options(const Options &o)
{
    const unsigned row = sim_panel_packed_row(&o.panel);
    if (o.panel.line_length != 0 && o.panel.line_length < row)
        usage_error("bad value for --line-length: " + std::to_string(o.panel.line_length) + " (a row of " +
                    std::to_string(o.panel.xres) + " pixels at " + std::to_string(o.panel.bits_per_pixel) + " bpp takes " +
                    std::to_string(row) + " bytes)");
}

Options parse_options(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--") {
            o.args.assign(argv + i + 1, argv + argc);
            break;
        }
        if (a == "-h" || a == "--help") {
            print_usage();
            print_board_variables();
            std::exit(0);
        }
        if (!parse_board_option(a, argc, argv, &i, &o) && !parse_run_option(a, argc, argv, &i, &o))
            usage_error("unknown option: " + a);
    }
    check_options(o);
    return o;
}

std::string own_folder()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

bool readable_file(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

void make_folder(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string piece;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(parts, piece, '/')) {
        if (piece.empty()) continue;
        partial += piece + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create folder " + partial + ": " + std::strerror(errno));
    }
}

bool is_step_picture(const std::string &name, const char *suffix)
{
    return name.size() > 3 && std::isdigit(static_cast<unsigned char>(name[0])) &&
           std::isdigit(static_cast<unsigned char>(name[1])) && name[2] == '-' &&
           name.size() > std::strlen(suffix) &&
           name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0;
}

std::vector<std::string> folder_entries(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Leaves only what this run writes: stale pictures of an earlier run in the
// same folder would read as steps of this one.
void clear_output(const std::string &out)
{
    auto written_here = [](const std::string &name) {
        if (is_step_picture(name, ".png") || is_step_picture(name, ".raw")) return true;
        return std::any_of(std::begin(kOutputs), std::end(kOutputs),
                           [&](const OutputFile &f) { return !is_pattern(f) && name == f.name; });
    };
    for (const std::string &name : folder_entries(out))
        if (written_here(name)) std::remove((out + "/" + name).c_str());
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) fail("cannot write " + path);
}

off_t file_size(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? sb.st_size : -1;
}

std::vector<std::string> child_environment(const Options &o, const Launch &launch, const std::string &out)
{
    std::vector<std::string> envs;
    std::string preload_before;
    const std::string preload_key = "LD_PRELOAD=";
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        if (kv.rfind(SIM_ENV_PREFIX, 0) == 0 || kv.rfind("PATH=", 0) == 0) continue;
        if (kv.rfind(preload_key, 0) == 0) {
            preload_before = kv.substr(preload_key.size());
            continue;
        }
        envs.push_back(kv);
    }
    auto set = [&](const char *name, const std::string &value) { envs.push_back(name + ("=" + value)); };
    // The workstation's own preloads are of its architecture, not an emulated program's.
    if (launch.way == LaunchWay::kEmulated) preload_before.clear();
    envs.push_back(preload_key + o.preload + (preload_before.empty() ? "" : ":" + preload_before));
    envs.push_back("PATH=" + output_path(out, Output::kStandIns));
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

struct RunResult {
    bool stopped = false;
    bool timed_out = false;
    int status = 0; // wait status when not stopped
};

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

RunResult run_program(const Options &o, const Launch &launch, const std::string &out)
{
    Child c = spawn_on_pty(o, launch, child_environment(o, launch, out));
    std::ofstream console(output_path(out, Output::kConsole), std::ios::binary);
    StallWatch watch(o, launch, c.pid, output_path(out, Output::kTrace));
    RunResult result = pump(c, console, watch);
    close(c.master);
    return result;
}

// The program and the font of a board's root file system, as the board
// would find them.
void locate_in_image(Options &o)
{
    o.root = absolute(o.root);
    while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
    struct stat sb;
    if (stat(o.root.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) fail("no root file system at " + o.root + " (see --root)");
    const std::string program = o.updater.empty() ? "/usr/sbin/updater" : o.updater;
    o.updater = image_path(o.root, program);
    if (o.updater.empty()) fail("no program " + program + " in the image " + o.root + " (see --updater)");
    if (!o.font) {
        const std::string font = image_path(o.root, "/font/GOTHIC.TTF");
        o.font = font.empty() ? o.root + "/font/GOTHIC.TTF" : font;
    }
}

// Finds the program, the board library and the font.
void locate_files(Options &o)
{
    const std::string here = own_folder();
    if (!o.root.empty()) locate_in_image(o);
    if (o.updater.empty()) o.updater = here + "/../updater";
    if (o.preload.empty()) o.preload = here + "/libupdater_board.so";
    if (!o.font) o.font = UPDATER_SIM_DEFAULT_FONT;
    o.updater = absolute(o.updater);
    o.preload = absolute(o.preload);
    o.font = absolute(*o.font);
    if (access(o.updater.c_str(), X_OK) != 0) fail("no program to run at " + o.updater + " (see --updater)");
    if (!readable_file(o.preload)) fail("no board library at " + o.preload + " (see --preload)");
    // A missing font is a board to emulate too (the program must give up), so
    // it is only pointed out.
    if (!readable_file(*o.font)) std::cerr << "updater-sim: note: font " << *o.font << " cannot be read\n";
}

std::string file_head(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::string head(65536, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(std::max<std::streamsize>(f.gcount(), 0)));
    return head;
}

// The emulator of that name on the launcher's own PATH, or "".
std::string find_emulator(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path && *path ? path : "/usr/bin:/bin");
    for (std::string dir; !name.empty() && std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

// Refuses, before it starts, a program the board library would not reach.
Launch check_program(const Options &o)
{
    LaunchFacts f;
    f.program_path = o.updater;
    f.program_head = file_head(o.updater);
    struct stat sb;
    f.setid = stat(o.updater.c_str(), &sb) == 0 && (sb.st_mode & (S_ISUID | S_ISGID)) != 0;
    f.capabilities = getxattr(o.updater.c_str(), "security.capability", nullptr, 0) > 0;
    f.library_path = o.preload;
    f.library_head = file_head(o.preload);
    f.in_image = !o.root.empty();
    std::string error;
    read_elf_facts(file_head("/proc/self/exe"), &f.host, &error);
    ElfFacts program;
    if (read_elf_facts(f.program_head, &program, &error)) {
        f.emulator = find_emulator(user_emulator_name(program));
        f.loader_present = program.has_interp &&
                           (f.in_image ? !image_path(o.root, program.interp).empty() : readable_file(program.interp));
    }
    const LaunchDecision d = decide_launch(f);
    if (d.way == LaunchWay::kRefused) fail("refused to start the program: " + d.reason);
    return Launch{ d.way, f.emulator };
}

// The recording stand-ins for the board's tools: each appends its command
// line to escaped.log beside its folder and fails as a missing tool would.
void write_stand_ins(const std::string &out)
{
    const std::string folder = output_path(out, Output::kStandIns);
    make_folder(folder);
    const std::string script = "#!/bin/sh\n"
                               "# A stand-in for the board's tool: the program escaped the board library.\n"
                               "printf '%s\\n' \"${0##*/} $*\" >>\"${0%/*}/../" +
                               std::string(output_file(Output::kEscaped).name) + "\"\nexit 127\n";
    for (const board_tool &tool : board_tools()) {
        const std::string path = folder + "/" + tool.name;
        write_file(path, script);
        if (chmod(path.c_str(), 0755) != 0) fail("cannot make " + path + " executable");
    }
}

// Makes the output folder and lays out the board in it. Returns the output
// folder.
std::string prepare(Options &o)
{
    // Read before the output folder is cleared, which may be where it lies.
    std::string cmdline_text;
    if (o.cmdline) {
        cmdline_text = *o.cmdline + "\n";
    } else if (o.cmdline_file) {
        if (!readable_file(*o.cmdline_file)) fail("cannot read " + *o.cmdline_file);
        cmdline_text = read_file(*o.cmdline_file);
    }
    const std::string out = absolute(o.out);
    make_folder(out);
    clear_output(out);
    if (o.cmdline || o.cmdline_file) write_file(output_path(out, Output::kCmdline), cmdline_text);
    write_file(output_path(out, Output::kFrame), filled_frame(o.panel, o.fb_fill));
    write_file(output_path(out, Output::kCommands), "");
    if (o.ctp) write_file(output_path(out, Output::kCtp), "");
    write_stand_ins(out);
    return out;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

std::string step_caption(int number, const std::string &what)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d ", number);
    return prefix + what;
}

// Writes the picture of one frame and adds it, shrunk, to the sheet's cells
// (a frame that cannot be read leaves its cell blank).
void add_picture(const std::string &raw, const std::string &png, const std::string &caption, const Options &o,
                 const SheetLayout &layout, std::vector<SheetCell> *cells)
{
    RgbImage image;
    std::string error;
    cells->push_back({ {}, caption });
    // The panel's memory read back in its own format, whatever its depth,
    // colour order and padding.
    if (!panel_rgb888(read_file(raw), o.panel, &image, &error) || !write_png_rgb(png, image, &error)) {
        std::cerr << "updater-sim: " << error << "\n";
        return;
    }
    std::vector<uint16_t> pixels(static_cast<size_t>(image.width) * image.height);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = rgb888_to_rgb565(&image.rgb[3 * i]);
    cells->back().picture = shrink_screen(pixels, o.panel.xres, o.panel.yres, layout.factor);
}

void write_contact_sheet(const std::string &path, const std::vector<SheetCell> &cells, const SheetLayout &layout)
{
    RgbImage sheet;
    std::string error;
    if (!render_contact_sheet(cells, layout, UPDATER_SIM_DEFAULT_FONT, &sheet, &error))
        std::cerr << "updater-sim: contact sheet: " << error << "\n";
    if (!sheet.rgb.empty() && !write_png_rgb(path, sheet, &error)) std::cerr << "updater-sim: " << error << "\n";
}

// Turns the frames of the steps, then the last screen, into pictures and
// the contact sheet of them all. Returns the number of pictures; *last is
// the last one. A panel without colours gets neither: fb1.raw alone is kept.
int convert(const Options &o, const std::string &out, bool stopped, std::string *last)
{
    std::vector<std::string> raws;
    for (const std::string &name : folder_entries(out))
        if (is_step_picture(name, ".raw")) raws.push_back(name);
    if (!sim_panel_has_colours(&o.panel)) {
        for (const std::string &name : raws) std::remove((out + "/" + name).c_str());
        return 0;
    }
    const std::vector<std::string> commands = lines_of(read_file(output_path(out, Output::kCommands)));
    const SheetLayout layout = sheet_layout(o.panel.xres, o.panel.yres, raws.size() + 1);
    std::vector<SheetCell> cells;
    int steps = 0;
    for (const std::string &name : raws) {
        steps = std::max(steps, std::atoi(name.c_str()));
        const std::string raw = out + "/" + name;
        const size_t command = static_cast<size_t>(std::atoi(name.c_str())) - 1;
        add_picture(raw, raw.substr(0, raw.size() - 4) + ".png",
                    step_caption(steps, command < commands.size() ? commands[command] : ""), o, layout, &cells);
        std::remove(raw.c_str());
    }
    *last = out + "/" + picture_name(steps + 1, stopped ? Output::kStopped : Output::kEnd);
    add_picture(output_path(out, Output::kFrame), *last, step_caption(steps + 1, stopped ? "stopped" : "end"), o,
                layout, &cells);
    write_contact_sheet(output_path(out, Output::kSheet), cells, layout);
    return steps + 1;
}

// Says how the run ended and returns the launcher's exit status.
int report(const Options &o, const RunResult &r, const std::string &out, int pictures, const std::string &last)
{
    int exit_status;
    if (r.stopped) {
        if (r.timed_out)
            std::cerr << "updater-sim: the program was still running after " << o.timeout << " s and was stopped\n";
        else
            std::cerr << "updater-sim: the program made no progress and was stopped (it halts on "
                         "its last screen by design, or waits for ever)\n";
        exit_status = kExitStopped;
    } else if (WIFEXITED(r.status)) {
        exit_status = WEXITSTATUS(r.status);
        std::cerr << "updater-sim: the program exited with status " << exit_status << "\n";
    } else {
        exit_status = 128 + WTERMSIG(r.status);
        std::cerr << "updater-sim: the program was ended by signal " << WTERMSIG(r.status) << "\n";
    }
    const std::string commands = read_file(output_path(out, Output::kCommands));
    std::cerr << "updater-sim: " << std::count(commands.begin(), commands.end(), '\n')
              << " command(s) recorded, none run: " << output_path(out, Output::kCommands) << "\n";
    if (pictures > 0)
        std::cerr << "updater-sim: " << pictures << " picture(s) in " << out << "/, the last screen is " << last << "\n";
    else
        std::cerr << "updater-sim: no picture: the program does not draw on a " << o.panel.bits_per_pixel
                  << "-bpp panel, and its memory has no colours to read back; the frame memory is "
                  << output_path(out, Output::kFrame) << "\n";
    return exit_status;
}

// With --root: where the board's shell would find each recorded command's
// tool, on the PATH the image's init gives.
void report_in_image(const Options &o, const std::string &out)
{
    if (o.root.empty()) return;
    const std::string path = image_command_path(o.root);
    std::string log;
    int found_count = 0, total = 0;
    for (const std::string &command : lines_of(read_file(output_path(out, Output::kCommands)))) {
        std::istringstream words(command);
        std::string tool;
        words >> tool;
        const std::string found = image_find_tool(o.root, path, tool);
        total++;
        if (found.empty()) {
            log += "not found on " + path + ": " + command + "\n";
            std::cerr << "updater-sim: in the image, " << tool << " is not found on " << path << "\n";
            continue;
        }
        found_count++;
        log += (image_is_busybox(o.root, found) ? "BusyBox applet " : "found ") + found + ": " + command + "\n";
    }
    write_file(output_path(out, Output::kInImage), log);
    std::cerr << "updater-sim: in the image, " << found_count << " of " << total
              << " command(s) find their tool: " << output_path(out, Output::kInImage) << "\n";
}

// True, and said, when a command reached the stand-in tools: the program ran
// outside the board library, so its run is not the emulated board's.
bool escaped(const std::string &out)
{
    const std::string log = read_file(output_path(out, Output::kEscaped));
    if (log.empty()) return false;
    std::cerr << "updater-sim: the program escaped the board library: "
              << std::count(log.begin(), log.end(), '\n') << " command(s) reached the stand-in tools, none ran: "
              << output_path(out, Output::kEscaped) << "\n";
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o = parse_options(argc, argv);
    locate_files(o);
    const Launch launch = check_program(o);
    const std::string out = prepare(o);
    const RunResult r = run_program(o, launch, out);
    std::string last;
    const int pictures = convert(o, out, r.stopped, &last);
    const int status = report(o, r, out, pictures, last);
    report_in_image(o, out);
    return escaped(out) ? kExitLauncherError : status;
}
