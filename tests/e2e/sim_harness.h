// SPDX-License-Identifier: MIT
// Helpers of the end-to-end tests: running the updater on the emulated board,
// reading back its screens, and checking them against the screen layout.
#ifndef TESTS_E2E_SIM_HARNESS_H
#define TESTS_E2E_SIM_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board_env.h"
#include "frame_png.h"

// What one run of updater-sim left behind.
struct SimRun {
    int status = -1;          // the launcher's exit status
    std::string console;      // the program's console output, as passed through
    std::string diagnostics;  // the launcher's own lines (standard error)
    std::string out;          // output folder
    std::string file(const std::string &name) const;
    std::vector<std::string> pictures() const; // NN-*.png names, in order
    std::vector<std::string> trace() const;    // lines of trace.log
};

// Runs updater-sim with the given options into a fresh folder named after the
// current test (plus tag).
SimRun run_sim(const std::vector<std::string> &options, const std::string &tag = "");

// run_sim for a program that stops making progress by design (the
// unexpected-mode halt, a card never pulled): a short grace ends it soon
// after its last screen, instead of the launcher's default of seconds.
SimRun run_sim_to_halt(const std::vector<std::string> &options, const std::string &tag = "");

// Runs a program directly (no launcher) with the given environment additions
// and, unless preload is false, the board library preloaded. Returns its
// standard output.
std::string run_direct(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool preload = true);

std::string unique_folder(const std::string &tag);

struct Frame {
    unsigned xres = 0, yres = 0;
    std::vector<uint16_t> px; // RGB565
    uint16_t at(unsigned x, unsigned y) const { return px[static_cast<size_t>(y) * xres + x]; }
    uint16_t &at(unsigned x, unsigned y) { return px[static_cast<size_t>(y) * xres + x]; }
};
Frame load_raw_frame(const std::string &path, unsigned xres, unsigned yres);
Frame load_png_frame(const std::string &path);

// Where the fixed status lines of the updater's screen lie for a screen size.
struct LineGeometry {
    int band_x, band_y, band_w, band_h;
    int baseline;
};
enum class Line { Status, Detail, Notice, NoticeErase };
LineGeometry line_geometry(Line line, unsigned xres, unsigned yres);

// The font as the device renders it (its character size), measured here
// independently of the program.
class FontOracle {
public:
    explicit FontOracle(const std::string &font_path);
    ~FontOracle();
    FontOracle(const FontOracle &) = delete;
    FontOracle &operator=(const FontOracle &) = delete;
    // The sum of the advances in whole pixels.
    int width(const std::string &text);
    // Rows and columns that carry ink when the pen starts at (x, baseline),
    // glyph by glyph at its sub-pixel place; empty when nothing has ink.
    struct Ink {
        bool any = false;
        int left = 0, right = 0, top = 0, bottom = 0; // inclusive
    };
    Ink ink(const std::string &text, int x, int baseline);

private:
    struct Impl;
    Impl *impl_;
};

// One text the screen should show and one rectangle it should be filled with.
struct ExpectedText {
    std::string text;
    int x, baseline;
};
struct ExpectedFill {
    int x, y, w, h;
    uint16_t colour;
};
ExpectedText centred(FontOracle &font, Line line, const std::string &text, unsigned xres, unsigned yres);
ExpectedText at_notice(const std::string &text, unsigned xres, unsigned yres);

// The whole screen against what it should show: each text's ink in exactly
// its rows and within one pixel of its columns, each fill in place, and black
// everywhere else.
::testing::AssertionResult screen_shows(const Frame &frame, FontOracle &font,
                                        const std::vector<ExpectedText> &texts,
                                        const std::vector<ExpectedFill> &fills = {});

#endif
