// SPDX-License-Identifier: MIT
// What a run leaves in the output folder: the folder laid out before the
// program starts, its frames turned into pictures and a contact sheet after
// it, and the launcher's report of the run.
#ifndef SIM_OUTPUTS_H
#define SIM_OUTPUTS_H

#include <string>

#include "board/names.h"
#include "child.h"
#include "options.h"

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
inline const OutputFile kOutputs[] = {
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
    { Output::kCmdline, "cmdline", "the emulated " CMDLINE_PATH },
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

// A file's path in the output folder out.
std::string output_path(const std::string &out, Output id);

// Makes the output folder, empties it of an earlier run's files and lays
// the board out in it. Returns the folder's absolute path.
std::string prepare_output(const Options &o);
// Turns the frames of the steps, then the last screen, into pictures and
// the contact sheet of them all. Returns the number of pictures; *last is
// the last one. A panel without colours gets neither: fb1.raw alone is kept.
int convert(const Options &o, const std::string &out, bool stopped, std::string *last);
// Says how the run ended and returns the launcher's exit status.
int report(const Options &o, const RunResult &r, const std::string &out, int pictures, const std::string &last);
// With --root: where the board's shell would find each recorded command's
// tool, on the PATH the image's init gives.
void report_in_image(const Options &o, const std::string &out);
// True, and said, when a command reached the stand-in tools: the program ran
// outside the board library, so its run is not the emulated board's.
bool escaped(const std::string &out);

#endif
