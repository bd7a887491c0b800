// SPDX-License-Identifier: MIT
// The program's run: started on a pseudo-terminal of its own, as on the
// board's serial console, with the board library's environment; its console
// passed through and kept; stopped once it makes no more progress.
#ifndef SIM_CHILD_H
#define SIM_CHILD_H

#include <string>

#include "options.h"
#include "program_check.h"

// How the checked program is started: itself, or under its emulator.
struct Launch {
    LaunchWay way = LaunchWay::kNative;
    std::string emulator;
};

struct RunResult {
    bool stopped = false;
    bool timed_out = false;
    int status = 0; // wait status when not stopped
};

// Runs the program to its end, or until it stalls, with its console copied
// into the output folder out.
RunResult run_program(const Options &o, const Launch &launch, const std::string &out);

#endif
