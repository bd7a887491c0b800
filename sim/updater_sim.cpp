// SPDX-License-Identifier: MIT
// updater-sim: runs the unmodified updater on a workstation with the board
// emulated by the preload library libupdater_board.so, and keeps a picture of
// the screen at every step, the commands the program would have run and its
// console output. The options are in options.cpp, the program's run in
// child.cpp, the output folder and the report in outputs.cpp.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "board/names.h"
#include "child.h"
#include "image_root.h"
#include "launcher.h"
#include "options.h"
#include "outputs.h"
#include "program_check.h"

namespace {

// The program and the font of a board's root file system, as the board
// would find them.
void locate_in_image(Options &o)
{
    o.root = absolute(o.root);
    while (o.root.size() > 1 && o.root.back() == '/') o.root.pop_back();
    struct stat sb;
    if (stat(o.root.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) fail("no root file system at " + o.root + " (see --root)");
    const std::string program = o.updater.empty() ? IMAGE_PROGRAM : o.updater;
    o.updater = image_path(o.root, program);
    if (o.updater.empty()) fail("no program " + program + " in the image " + o.root + " (see --updater)");
    if (!o.font) {
        const std::string font = image_path(o.root, FONT_PATH);
        o.font = font.empty() ? o.root + FONT_PATH : font;
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

} // namespace

int main(int argc, char **argv)
{
    Options o = parse_options(argc, argv);
    locate_files(o);
    const Launch launch = check_program(o);
    const std::string out = prepare_output(o);
    const RunResult r = run_program(o, launch, out);
    std::string last;
    const int pictures = convert(o, out, r.stopped, &last);
    const int status = report(o, r, out, pictures, last);
    report_in_image(o, out);
    return escaped(out) ? kExitLauncherError : status;
}
