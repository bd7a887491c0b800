// SPDX-License-Identifier: MIT
#include "outputs.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "contact_sheet.h"
#include "frame_png.h"
#include "image_root.h"
#include "imagecheck/tools.h"
#include "launcher.h"

namespace {

const OutputFile &output_file(Output id)
{
    for (const OutputFile &f : kOutputs)
        if (f.id == id) return f;
    std::abort(); // every Output has its row
}

bool is_pattern(const OutputFile &f)
{
    return std::strncmp(f.name, "NN-", 3) == 0;
}

// A numbered picture's name: NN and the rest of its pattern.
std::string picture_name(int number, Output id)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d", number);
    return prefix + std::string(output_file(id).name + 2);
}

bool is_step_picture(const std::string &name, const char *suffix)
{
    return name.size() > 3 && std::isdigit(static_cast<unsigned char>(name[0])) &&
           std::isdigit(static_cast<unsigned char>(name[1])) && name[2] == '-' &&
           name.size() > std::strlen(suffix) &&
           name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0;
}

// Leaves only what this run writes: stale pictures of an earlier run in the
// same folder would read as steps of this one.
void clear_output(const std::string &out)
{
    auto written_here = [](const std::string &name) {
        if (is_step_picture(name, ".png") || is_step_picture(name, ".raw")) return true;
        return std::any_of(std::begin(kOutputs), std::end(kOutputs),
                           [&](const OutputFile &f) { return !is_pattern(f) && name == f.name; });
    };
    for (const std::string &name : folder_entries(out))
        if (written_here(name)) std::remove((out + "/" + name).c_str());
}

// The recording stand-ins for the board's tools: each appends its command
// line to escaped.log beside its folder and fails as a missing tool would.
void write_stand_ins(const std::string &out)
{
    const std::string folder = output_path(out, Output::kStandIns);
    make_folder(folder);
    const std::string script = "#!/bin/sh\n"
                               "# A stand-in for the board's tool: the program escaped the board library.\n"
                               "printf '%s\\n' \"${0##*/} $*\" >>\"${0%/*}/../" +
                               std::string(output_file(Output::kEscaped).name) + "\"\nexit 127\n";
    for (const board_tool &tool : board_tools()) {
        const std::string path = folder + "/" + tool.name;
        write_file(path, script);
        if (chmod(path.c_str(), 0755) != 0) fail("cannot make " + path + " executable");
    }
}

std::string step_caption(int number, const std::string &what)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%02d ", number);
    return prefix + what;
}

// Writes the picture of one frame and adds it, shrunk, to the sheet's cells
// (a frame that cannot be read leaves its cell blank).
void add_picture(const std::string &raw, const std::string &png, const std::string &caption, const Options &o,
                 const SheetLayout &layout, std::vector<SheetCell> *cells)
{
    RgbImage image;
    std::string error;
    cells->push_back({ {}, caption });
    // The panel's memory read back in its own format, whatever its depth,
    // colour order and padding.
    if (!panel_rgb888(read_file(raw), o.panel, &image, &error) || !write_png_rgb(png, image, &error)) {
        std::cerr << "updater-sim: " << error << "\n";
        return;
    }
    std::vector<uint16_t> pixels(static_cast<size_t>(image.width) * image.height);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = rgb888_to_rgb565(&image.rgb[3 * i]);
    cells->back().picture = shrink_screen(pixels, o.panel.xres, o.panel.yres, layout.factor);
}

void write_contact_sheet(const std::string &path, const std::vector<SheetCell> &cells, const SheetLayout &layout)
{
    RgbImage sheet;
    std::string error;
    if (!render_contact_sheet(cells, layout, UPDATER_SIM_DEFAULT_FONT, &sheet, &error))
        std::cerr << "updater-sim: contact sheet: " << error << "\n";
    if (!sheet.rgb.empty() && !write_png_rgb(path, sheet, &error)) std::cerr << "updater-sim: " << error << "\n";
}

} // namespace

std::string output_path(const std::string &out, Output id)
{
    return out + "/" + output_file(id).name;
}

std::string prepare_output(const Options &o)
{
    // Read before the output folder is cleared, which may be where it lies.
    std::string cmdline_text;
    if (o.cmdline) {
        cmdline_text = *o.cmdline + "\n";
    } else if (o.cmdline_file) {
        if (!readable_file(*o.cmdline_file)) fail("cannot read " + *o.cmdline_file);
        cmdline_text = read_file(*o.cmdline_file);
    }
    const std::string out = absolute(o.out);
    make_folder(out);
    clear_output(out);
    if (o.cmdline || o.cmdline_file) write_file(output_path(out, Output::kCmdline), cmdline_text);
    write_file(output_path(out, Output::kFrame), filled_frame(o.panel, o.fb_fill));
    write_file(output_path(out, Output::kCommands), "");
    if (o.ctp) write_file(output_path(out, Output::kCtp), "");
    write_stand_ins(out);
    return out;
}

int convert(const Options &o, const std::string &out, bool stopped, std::string *last)
{
    std::vector<std::string> raws;
    for (const std::string &name : folder_entries(out))
        if (is_step_picture(name, ".raw")) raws.push_back(name);
    if (!sim_panel_has_colours(&o.panel)) {
        for (const std::string &name : raws) std::remove((out + "/" + name).c_str());
        return 0;
    }
    const std::vector<std::string> commands = lines_of(read_file(output_path(out, Output::kCommands)));
    const SheetLayout layout = sheet_layout(o.panel.xres, o.panel.yres, raws.size() + 1);
    std::vector<SheetCell> cells;
    int steps = 0;
    for (const std::string &name : raws) {
        steps = std::max(steps, std::atoi(name.c_str()));
        const std::string raw = out + "/" + name;
        const size_t command = static_cast<size_t>(std::atoi(name.c_str())) - 1;
        add_picture(raw, raw.substr(0, raw.size() - 4) + ".png",
                    step_caption(steps, command < commands.size() ? commands[command] : ""), o, layout, &cells);
        std::remove(raw.c_str());
    }
    *last = out + "/" + picture_name(steps + 1, stopped ? Output::kStopped : Output::kEnd);
    add_picture(output_path(out, Output::kFrame), *last, step_caption(steps + 1, stopped ? "stopped" : "end"), o,
                layout, &cells);
    write_contact_sheet(output_path(out, Output::kSheet), cells, layout);
    return steps + 1;
}

int report(const Options &o, const RunResult &r, const std::string &out, int pictures, const std::string &last)
{
    int exit_status;
    if (r.stopped) {
        if (r.timed_out)
            std::cerr << "updater-sim: the program was still running after " << o.timeout << " s and was stopped\n";
        else
            std::cerr << "updater-sim: the program made no progress and was stopped (it halts on "
                         "its last screen by design, or waits for ever)\n";
        exit_status = kExitStopped;
    } else if (WIFEXITED(r.status)) {
        exit_status = WEXITSTATUS(r.status);
        std::cerr << "updater-sim: the program exited with status " << exit_status << "\n";
    } else {
        exit_status = 128 + WTERMSIG(r.status);
        std::cerr << "updater-sim: the program was ended by signal " << WTERMSIG(r.status) << "\n";
    }
    const std::string commands = read_file(output_path(out, Output::kCommands));
    std::cerr << "updater-sim: " << std::count(commands.begin(), commands.end(), '\n')
              << " command(s) recorded, none run: " << output_path(out, Output::kCommands) << "\n";
    if (pictures > 0)
        std::cerr << "updater-sim: " << pictures << " picture(s) in " << out << "/, the last screen is " << last << "\n";
    else
        std::cerr << "updater-sim: no picture: the program does not draw on a " << o.panel.bits_per_pixel
                  << "-bpp panel, and its memory has no colours to read back; the frame memory is "
                  << output_path(out, Output::kFrame) << "\n";
    return exit_status;
}

void report_in_image(const Options &o, const std::string &out)
{
    if (o.root.empty()) return;
    const std::string path = image_command_path(o.root);
    std::string log;
    int found_count = 0, total = 0;
    for (const std::string &command : lines_of(read_file(output_path(out, Output::kCommands)))) {
        std::istringstream words(command);
        std::string tool;
        words >> tool;
        const std::string found = image_find_tool(o.root, path, tool);
        total++;
        if (found.empty()) {
            log += "not found on " + path + ": " + command + "\n";
            std::cerr << "updater-sim: in the image, " << tool << " is not found on " << path << "\n";
            continue;
        }
        found_count++;
        log += (image_is_busybox(o.root, found) ? "BusyBox applet " : "found ") + found + ": " + command + "\n";
    }
    write_file(output_path(out, Output::kInImage), log);
    std::cerr << "updater-sim: in the image, " << found_count << " of " << total
              << " command(s) find their tool: " << output_path(out, Output::kInImage) << "\n";
}

bool escaped(const std::string &out)
{
    const std::string log = read_file(output_path(out, Output::kEscaped));
    if (log.empty()) return false;
    std::cerr << "updater-sim: the program escaped the board library: "
              << std::count(log.begin(), log.end(), '\n') << " command(s) reached the stand-in tools, none ran: "
              << output_path(out, Output::kEscaped) << "\n";
    return true;
}
