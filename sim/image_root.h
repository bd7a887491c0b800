// SPDX-License-Identifier: MIT
// A board's root file system unpacked in a folder, read as the board would
// see it: every path, and every symbolic link on the way (absolute ones
// included), resolved inside the folder, so that nothing outside it is ever
// reached through the image.
#ifndef SIM_IMAGE_ROOT_H
#define SIM_IMAGE_ROOT_H

#include <string>

// The workstation's path of the board's path inside root (root itself
// absolute, without a trailing slash), following symbolic links as the
// board would, ".." never above root. "" when it does not exist there, or
// the links loop.
std::string image_path(const std::string &root, const std::string &board_path);

// The PATH that the program's commands are looked up on: the image's init
// (BusyBox's init and SysV init give /sbin:/usr/sbin:/bin:/usr/bin, systemd
// /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin), unless the
// defaults file the start-up files read sets PATH= itself.
std::string image_command_path(const std::string &root);

// Where the board's shell finds a command's tool: "" when it is not found on
// path. A tool named with a slash is looked up as it stands.
std::string image_find_tool(const std::string &root, const std::string &path, const std::string &tool);

// The tool's file is BusyBox (an applet by its name), not the tool itself.
bool image_is_busybox(const std::string &root, const std::string &board_path);

#endif
