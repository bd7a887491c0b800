// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "board/names.h"
#include "board_env.h"
#include "fail_command.h"
#include "launcher.h"
#include "outputs.h"
#include "updater/mode_nand.h"

namespace {

const char *const kFailSteps[SIM_FB_FAIL_STEP_COUNT] = SIM_FB_FAIL_STEPS;

const char kUsageIntro[] = R"(Usage: updater-sim [OPTIONS] [-- PROGRAM-ARGUMENTS...]

Runs the updater with the board emulated: the kernel command line, the overlay
framebuffer )" FB_NODE R"(, the font, the touch panel, the SD card, the shell and
optionally the clock. No command the program asks for is ever run: each is
recorded instead. The program's console output (a pseudo-terminal, as the
board's serial console) is passed through unchanged on standard output.

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

[[noreturn]] void usage_error(const std::string &message)
{
    std::cerr << "updater-sim: " << message << "\n(updater-sim --help lists the options)\n";
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

// The options that need more than a line to take their value.
void set_screen(Options &o, Arg, Arg v)
{
    if (v.empty() || v.back() == 'x' || sim_panel_parse_screen(v.c_str(), &o.panel) != 0)
        usage_error("bad screen size: " + v + " (expected WxH or WxHxBPP, e.g. 800x480 or 800x480x32)");
}

void set_fail_fb(Options &o, Arg, Arg v)
{
    if (std::none_of(std::begin(kFailSteps), std::end(kFailSteps), [&](const char *s) { return v == s; }))
        usage_error("--fail-fb takes " + fail_step_list());
    o.fail_fb = v;
}

void set_card_removal(Options &o, Arg, Arg v)
{
    // The index is an option of its own here.
    if (v.find(':') != std::string::npos || sim_parse_card_rule(v.c_str(), &o.card_rule) != 0)
        usage_error("--card-removal takes polls=K, ms=T or never");
    o.card_removal = v;
}

void set_fail_command(Options &o, Arg, Arg v)
{
    char word[SIM_FAIL_WORD_MAX];
    int result = 0;
    if (sim_parse_fail_command(v.c_str(), word, &result) != 0)
        usage_error("--fail-command takes WORD, WORD=N (0 to 255), WORD=-1 or WORD=signal:N");
    o.fail_command = v;
}

[[noreturn]] void show_help(Options &, Arg, Arg);

} // namespace

const std::vector<OptionEntry> kOptions = {
    { "Board:", "--cmdline", "TEXT", "kernel command line (default \"updater=3,0,0\"); a line\nbreak is added as the kernel does",
      [](Options &o, Arg, Arg v) { o.cmdline = v; o.cmdline_file.reset(); } },
    { nullptr, "--cmdline-file", "FILE", "kernel command line taken byte for byte from FILE",
      [](Options &o, Arg, Arg v) { o.cmdline_file = v; o.cmdline.reset(); } },
    { nullptr, "--no-cmdline", nullptr, CMDLINE_PATH " cannot be opened",
      [](Options &o, Arg, Arg) { o.cmdline.reset(); o.cmdline_file.reset(); } },
    { nullptr, "--screen", "WxH[xBPP]",
      "overlay framebuffer geometry and depth (default\n800x480, 16 bits per pixel; 24 is r8g8b8, 32\n"
      "x8r8g8b8, any other depth is offered as is: the\nprogram refuses it, and the run has no pictures)",
      set_screen },
    { nullptr, "--line-length", "BYTES",
      "the driver's line length: rows this far apart,\npadded past xres pixels (default: no padding; at\n"
      "least a row's pixels)",
      [](Options &o, Arg a, Arg v) { o.panel.line_length = static_cast<unsigned>(parse_number(v, a)); } },
    { nullptr, "--colour-order", "ORDER", "rgb (red in the high bits, default) or bgr",
      [](Options &o, Arg, Arg v) {
          if (v != SIM_FB_ORDER_RGB && v != SIM_FB_ORDER_BGR) usage_error("--colour-order takes rgb or bgr");
          o.panel.bgr = v == SIM_FB_ORDER_BGR;
      } },
    { nullptr, "--fb-fill", "RGB565",
      "frame memory content before the program starts, as\none pixel value, e.g. 0xA5A5 (default 0x0000), in\n"
      "the panel's format; row padding is left 0",
      [](Options &o, Arg a, Arg v) {
          const long fill = parse_number(v, a, 0);
          if (fill > 0xFFFF) usage_error("--fb-fill takes a 16-bit pixel value");
          o.fb_fill = static_cast<uint16_t>(fill);
      } },
    { nullptr, "--fail-fb", "STEP", wrapped("make one screen set-up step fail: " + fail_step_list()), set_fail_fb },
    { nullptr, "--font", "FILE", "TrueType file served as " FONT_PATH "\n(default " UPDATER_SIM_DEFAULT_FONT ")",
      [](Options &o, Arg, Arg v) { o.font = v; } },
    { nullptr, "--no-ctp", nullptr, "the touch panel " CTP_NODE " is missing",
      [](Options &o, Arg, Arg) { o.ctp = false; } },
    { nullptr, "--card-removal", "RULE",
      "when the SD card is pulled: polls=K (after K opens\nof its node), ms=T (T ms after the first open) or\n"
      "never (default polls=3)",
      set_card_removal },
    { nullptr, "--card-index", "N",
      "the card is " MMC_NODE_PREFIX "N (default: the first\n" MMC_NODE_PREFIX "N the program opens, i.e. the card "
      "index\nthe program itself read from the command line)",
      [](Options &o, Arg a, Arg v) { o.card_index = static_cast<int>(parse_number(v, a)); } },
    { nullptr, "--real-clock", nullptr,
      "use the real clock (default: a fast clock that moves\none second per reading, so timed waits pass at once)",
      [](Options &o, Arg, Arg) { o.fast_clock = false; } },
    { nullptr, "--clock-set-back", nullptr,
      "the clock reads the real time once, then an hour\nearlier, as when it is set back during the run",
      [](Options &o, Arg, Arg) { o.clock_back = true; } },
    { nullptr, "--command-status", "N", "exit status reported for every recorded command\n(default 0)",
      [](Options &o, Arg a, Arg v) {
          const long status = parse_number(v, a);
          if (status > 255) usage_error("--command-status takes 0 to 255");
          o.command_status = static_cast<int>(status);
      } },
    { nullptr, "--fail-command", "WORD[=STATUS]",
      "the command named WORD (e.g. mkdosfs) reports\nSTATUS instead: an exit status (default 1), -1 (no\n"
      "shell could be started) or signal:N (the shell was\nkilled by signal N)",
      set_fail_command },
    { nullptr, "--kill-at-reboot", nullptr,
      "the recorded \"" REBOOT_COMMAND "\" ends the program at once with\nSIGKILL (exit status 137), as the system "
      "going down\ndoes: what it has not written out yet is lost",
      [](Options &o, Arg, Arg) { o.kill_at_reboot = true; } },
    { "\nRun:", "--out", "DIR", "output folder (default screens)", [](Options &o, Arg, Arg v) { o.out = v; } },
    { nullptr, "--updater", "FILE",
      "program to run (default ../updater beside this tool;\nwith --root, " IMAGE_PROGRAM " in the image)",
      [](Options &o, Arg, Arg v) { o.updater = v; } },
    { nullptr, "--root", "DIR",
      "run the program of a board's root file system (a\nfolder): its own loader, libraries and font\n(" FONT_PATH
      " in the image, unless --font),\nunder qemu-user (e.g. qemu-arm-static); each\nrecorded command is looked up "
      "in the image",
      [](Options &o, Arg, Arg v) { o.root = v; } },
    { nullptr, "--preload", "FILE",
      "board library (default libupdater_board.so beside\nthis tool), built for the program's architecture",
      [](Options &o, Arg, Arg v) { o.preload = v; } },
    { nullptr, "--grace", "SECONDS",
      "stop the program after this long without progress:\nno output, no screen set-up step, no command, no\n"
      "card event (default 3; at least 8 with --real-clock),\nonce it has also run for half of it on a processor\n"
      "(a program kept waiting on a loaded machine has not\nstalled); one that sleeps is stopped after 4 graces",
      [](Options &o, Arg a, Arg v) { o.grace = parse_seconds(v, a); } },
    { nullptr, "--timeout", "SECONDS", "stop the program after this long in any case\n(default 300)",
      [](Options &o, Arg a, Arg v) { o.timeout = parse_seconds(v, a); } },
    { nullptr, "-h, --help", nullptr, "this text", show_help },
};

namespace {

void print_usage()
{
    std::cout << kUsageIntro;
    for (const OptionEntry &entry : kOptions) {
        if (entry.heading) std::cout << entry.heading << "\n";
        print_entry(entry.names + (entry.value ? " " + std::string(entry.value) : ""), entry.help);
    }
    std::cout << "\nOutput folder:\n";
    for (const OutputFile &f : kOutputs) print_entry(f.name, f.help);
    std::cout << "\n" << kUsageEnd;
}

void show_help(Options &, Arg, Arg)
{
    print_usage();
    print_board_variables();
    std::exit(0);
}

// The row of an option by any of its names, or null.
const OptionEntry *option_entry(const std::string &arg)
{
    for (const OptionEntry &entry : kOptions) {
        const std::vector<std::string> names = option_names(entry);
        if (std::find(names.begin(), names.end(), arg) != names.end()) return &entry;
    }
    return nullptr;
}

} // namespace

std::vector<std::string> option_names(const OptionEntry &entry)
{
    std::vector<std::string> names;
    std::istringstream list(entry.names);
    for (std::string name; std::getline(list >> std::ws, name, ',');) names.push_back(name);
    return names;
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
        const OptionEntry *entry = option_entry(a);
        if (!entry) usage_error("unknown option: " + a);
        if (entry->value && i + 1 >= argc) usage_error(a + " needs a value");
        entry->apply(o, a, entry->value ? argv[++i] : "");
    }
    check_options(o);
    return o;
}
