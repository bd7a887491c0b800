// SPDX-License-Identifier: MIT
// The launcher's options: the record they fill and the one table that gives
// their parser, their usage text and the list the documentation is checked
// against.
#ifndef SIM_OPTIONS_H
#define SIM_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card_rule.h"
#include "panel_format.h"

// Where a board's root file system holds the program (--root).
#define IMAGE_PROGRAM "/usr/sbin/updater"

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

// One option: the heading of the usage text it opens (or none), its names
// ("-h, --help" gives two), the form of its value (none for a switch), its
// lines of help ('\n' between them), and what it does to the record.
using Arg = const std::string &;
struct OptionEntry {
    const char *heading;
    const char *names;
    const char *value;
    std::string help;
    void (*apply)(Options &o, Arg option, Arg value);
};
extern const std::vector<OptionEntry> kOptions;
// Each of the row's names.
std::vector<std::string> option_names(const OptionEntry &entry);

// The options of the command line; a wrong one ends the launcher with
// kExitLauncherError, --help with 0 after the usage text.
Options parse_options(int argc, char **argv);

#endif
