// SPDX-License-Identifier: MIT
// What the parts of the updater-sim launcher share: its own exit statuses,
// how it gives up, and the few file operations it needs.
#ifndef SIM_LAUNCHER_H
#define SIM_LAUNCHER_H

#include <sys/types.h>

#include <string>
#include <vector>

#ifndef UPDATER_SIM_DEFAULT_FONT
#define UPDATER_SIM_DEFAULT_FONT "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#endif

// Exit statuses of the launcher itself; otherwise it passes the program's on.
constexpr int kExitStopped = 124;
constexpr int kExitLauncherError = 125;

// Says what went wrong on standard error and exits with kExitLauncherError.
[[noreturn]] void fail(const std::string &message);
// The folder the launcher's own program lies in ("." when unknown).
std::string own_folder();
// path taken from the current folder, unless it is absolute already.
std::string absolute(const std::string &path);
bool readable_file(const std::string &path);
// Makes the folder and those above it; fails when one cannot be made.
void make_folder(const std::string &path);
// The names in a folder, sorted; none when it cannot be read.
std::vector<std::string> folder_entries(const std::string &folder);
// Replaces the file's content with bytes; fails when it cannot.
void write_file(const std::string &path, const std::string &bytes);
// -1 when there is no such file.
off_t file_size(const std::string &path);
std::vector<std::string> lines_of(const std::string &text);

#endif
