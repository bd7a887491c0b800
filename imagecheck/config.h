// SPDX-License-Identifier: MIT
// Readers of the text files that decide how an image starts the updater:
// the inittab, ld.so.conf, systemd units and shell start-up scripts. Pure:
// each takes the file's text and returns what it found.
#ifndef IMAGECHECK_CONFIG_H
#define IMAGECHECK_CONFIG_H

#include <string>
#include <vector>

struct InittabEntry {
    int line = 0;
    std::string action;
    std::string process;
};

// id:runlevels:action:process lines; comments and blank lines skipped. Lines
// that are not of that form, or name an action init does not know, are
// listed in bad as "line N: ..." and left out.
std::vector<InittabEntry> parse_inittab(const std::string &text, std::vector<std::string> &bad);

// Where the entries that run script lie among the others. Empty when exactly
// one does and it is a sysinit entry ahead of every "mount -a"; otherwise
// what is wrong. starts says how many entries run the script.
std::string inittab_hook_problem(const std::vector<InittabEntry> &entries, const std::string &script, int &starts);

// The folders an ld.so.conf names, and the patterns of its include lines
// (relative ones against the folder of the file).
void parse_ld_so_conf(const std::string &text, const std::string &file_dir, std::vector<std::string> &dirs,
                      std::vector<std::string> &includes);

// Every value of key in [section] of a systemd unit, in order.
std::vector<std::string> unit_values(const std::string &text, const std::string &section, const std::string &key);

// The value of a plain assignment NAME=value (optionally after "export")
// at the start of a line of a shell script; quotes removed. found says
// whether there was one (the last one counts).
std::string shell_assignment(const std::string &text, const std::string &name, bool &found);

// The program an ExecStart= line starts: its first word, or with
// "sh -c '...'" the first word (after any "exec") of the shell's command.
std::string exec_program(const std::string &exec_start);

// Whether a shell glob (* ? [...]) matches name.
bool glob_match(const std::string &pattern, const std::string &name);

#endif
