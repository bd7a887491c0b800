// SPDX-License-Identifier: MIT
// The board's tools each mode runs, and how BusyBox's applet of the same
// name behaves with the updater's command. The commands, the tools' names
// and the modes that need them come from the program's own tables; only
// what the program cannot know is written here. The BusyBox column was
// found by running Debian 12's armhf BusyBox 1.35.0 (busybox-static) under
// qemu-arm-static on image files, and in the ARM system test's guest for
// the applets its mode-1 boot runs; nothing here is from memory.
#ifndef IMAGECHECK_TOOLS_H
#define IMAGECHECK_TOOLS_H

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "updater/mode_mmc.h"
#include "updater/mode_nand.h"

// Bit m stands for updater mode m.
#define MODE_BIT(m) (1u << (m))
#define ALL_MODES (MODE_BIT(1) | MODE_BIT(2) | MODE_BIT(3))

// FAT's volume label holds at most this many characters.
#define FAT_LABEL_MAX 11
#define IMAGECHECK_TEXT_OF_(n) #n
#define IMAGECHECK_TEXT_OF(n) IMAGECHECK_TEXT_OF_(n)

enum applet_verdict {
    APPLET_SAME,            // does what the command expects
    APPLET_DIFFERS,         // runs the command, with a difference worth knowing
    APPLET_FAILS,           // the command fails with it
    APPLET_FAILS_SYSTEMD,   // fails only when systemd is PID 1
};

// What is known of a tool apart from the program, in the order the check
// reports them.
struct tool_facts {
    const char *name;
    const char *package;   // where the real tool comes from on Debian
    applet_verdict applet;
    const char *applet_note;
};

static const tool_facts TOOL_FACTS[] = {
    {"flash_eraseall", "mtd-utils", APPLET_SAME, ""},
    {"ubiformat", "mtd-utils", APPLET_SAME, ""},
    {"insmod", "kmod", APPLET_SAME, "takes the module's parameters like kmod's (mode-1 boot of the system test)"},
    {"ubimkvol", "mtd-utils", APPLET_SAME, ""},
    {"rm", "coreutils", APPLET_SAME, ""},
    {"mknod", "coreutils", APPLET_SAME, ""},
    {"mkdosfs", "dosfstools", APPLET_DIFFERS,
     "BusyBox's mkdosfs always makes FAT32 (-F is accepted and ignored) and cuts a label longer than "
     IMAGECHECK_TEXT_OF(FAT_LABEL_MAX) " characters to " IMAGECHECK_TEXT_OF(FAT_LABEL_MAX) ", where mkfs.fat refuses it"},
    {"mount", "mount", APPLET_SAME, "YAFFS itself must be in the board's kernel"},
    {"cp", "coreutils", APPLET_SAME, ""},
    {"umount", "mount", APPLET_SAME, ""},
    {"mke2fs", "e2fsprogs", APPLET_FAILS,
     "BusyBox's mke2fs has no -t: \"mke2fs: invalid option -- 't'\", status 1, and no file system is made"},
    {"reboot", "systemd-sysv or sysvinit-core", APPLET_FAILS_SYSTEMD,
     "BusyBox's reboot sends SIGTERM to PID 1: BusyBox init then reboots, but systemd takes SIGTERM as "
     "\"re-execute yourself\" and the board does not reboot"},
};

// A tool the program runs, named by the first word of its commands.
struct board_tool {
    std::string name;
    unsigned modes;        // MODE_BIT of each mode whose commands run it
    std::string command;   // the first command that runs it, as the program runs it
    const char *package;
    applet_verdict applet;
    const char *applet_note;
};

// Every command mode runs, in order, as the program runs it (mode 2 on
// channel 0 with the default label).
inline std::vector<std::string> mode_commands(int mode)
{
    std::vector<std::string> commands;
    for (unsigned i = 0; mode == 1 && i < nand_command_count; i++)
        commands.push_back(nand_commands[i].text);
    for (int part = 1; mode == 2 && part <= PART_COUNT; part++) {
        char cmd[CMD_MAX];
        if (build_partition_command(cmd, sizeof(cmd), partition_plan[part - 1], 0, part, DEFAULT_LABEL) > 0)
            commands.push_back(cmd);
    }
    if (mode == 1 || mode == 2)
        commands.push_back(REBOOT_COMMAND);
    return commands;
}

// Word index of a command (0 is its tool), or "" when it has fewer.
inline std::string command_word(const std::string &command, int index)
{
    std::istringstream words(command);
    std::string word;
    for (int i = 0; i <= index; i++)
        if (!(words >> word))
            return "";
    return word;
}

// The tools of every mode's commands: those TOOL_FACTS knows in its order,
// then any other in the order the program first runs it.
inline std::vector<board_tool> board_tools()
{
    std::vector<board_tool> tools;
    for (const tool_facts &f : TOOL_FACTS)
        tools.push_back({f.name, 0, "", f.package, f.applet, f.applet_note});
    for (int mode = 1; mode <= 2; mode++)
        for (const std::string &command : mode_commands(mode)) {
            const std::string name = command_word(command, 0);
            auto t = std::find_if(tools.begin(), tools.end(), [&](const board_tool &b) { return b.name == name; });
            if (t == tools.end())
                t = tools.insert(tools.end(), {name, 0, "", "no package known", APPLET_SAME, ""});
            if (t->command.empty())
                t->command = command;
            t->modes |= MODE_BIT(mode);
        }
    tools.erase(std::remove_if(tools.begin(), tools.end(), [](const board_tool &t) { return t.modes == 0; }),
                tools.end());
    return tools;
}

#endif
