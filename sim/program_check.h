// SPDX-License-Identifier: MIT
// What the launcher must know about a program before it starts it: the board
// library reaches a program only through the dynamic loader's LD_PRELOAD, so
// a program the loader does not preload into (a static one, a setuid one, one
// of another architecture without its emulator and a library built for it)
// would run on the workstation itself: its /proc/cmdline, its /dev/fb1, its
// disks. Such a program is refused before it starts.
#ifndef SIM_PROGRAM_CHECK_H
#define SIM_PROGRAM_CHECK_H

#include <string>

// The parts of an ELF file's header that decide how it can be run.
struct ElfFacts {
    bool is64 = false;
    bool little_endian = true;
    unsigned machine = 0; // e_machine
    unsigned type = 0;    // e_type: 2 an executable, 3 a shared object or PIE
    bool has_interp = false;
    std::string interp;   // PT_INTERP, the dynamic loader it names
};

// Reads the facts from the first bytes of a file (its header and program
// headers must lie within them). False, with *error saying why, when the
// bytes are not ELF or are malformed.
bool read_elf_facts(const std::string &bytes, ElfFacts *facts, std::string *error);

// "ARM (32-bit)", "x86-64", ..., or "machine N (32-bit)" for one not named.
std::string architecture_name(const ElfFacts &f);

// Debian's user-mode emulator for programs of this architecture
// (qemu-user-static), or "" when none is known.
std::string user_emulator_name(const ElfFacts &f);

// Everything the decision needs, gathered from the files by the launcher.
struct LaunchFacts {
    std::string program_path;
    std::string program_head;       // the program's first bytes
    bool setid = false;             // setuid or setgid bit
    bool capabilities = false;      // file capabilities (security.capability)
    std::string library_path;
    std::string library_head;       // the board library's first bytes
    ElfFacts host;                  // the launcher's own architecture
    std::string emulator;           // path of the user-mode emulator found, or ""
    bool in_image = false;          // the program of a board's root file system, with its own libraries
    bool loader_present = false;    // the program's loader exists where it will be looked for
};

// How the program will run: natively, or under the user-mode emulator (a
// foreign program, or one that must load the image's own libraries).
// kRefused comes with the reason.
enum class LaunchWay { kNative, kEmulated, kRefused };
struct LaunchDecision {
    LaunchWay way = LaunchWay::kRefused;
    std::string reason;
    ElfFacts program;
};
LaunchDecision decide_launch(const LaunchFacts &f);

#endif
