// SPDX-License-Identifier: MIT
// Screen and font set-up failures: each screen step's exact message, start-up
// going on without touching the frame memory, and the font failure that ends
// the program before any mode.
#include <algorithm>

#include "sim_harness.h"

namespace {

struct StepCase {
    const char *step;
    const char *message;
    const char *injected;               // trace line of the failed step
    const char *first_step_not_reached; // trace line that must be missing
};

void PrintTo(const StepCase &c, std::ostream *os)
{
    *os << c.step;
}

class ScreenSetupFailure : public ::testing::TestWithParam<StepCase> {};

TEST_P(ScreenSetupFailure, PrintsItsMessageAndLeavesTheFrameMemoryAlone)
{
    const StepCase &c = GetParam();
    SimRun r = run_sim({ "--fail-fb", c.step, "--fb-fill", "0xA5A5", "--cmdline", "updater=3,0,0" });
    EXPECT_EQ(r.status, 0) << r.diagnostics;
    // The failure's own message alone, then start-up goes on to the mode.
    EXPECT_EQ(r.console, std::string(c.message) + "Got type = 3, channel = 0\n");
    Frame frame = load_raw_frame(r.out + "/fb1.raw", 800, 480);
    ASSERT_EQ(frame.px.size(), 800u * 480u);
    EXPECT_TRUE(std::all_of(frame.px.begin(), frame.px.end(), [](uint16_t p) { return p == 0xA5A5; }));
    const std::vector<std::string> trace = r.trace();
    EXPECT_NE(std::find(trace.begin(), trace.end(), c.injected), trace.end()) << "no injected " << c.step << " failure";
    if (*c.first_step_not_reached) {
        EXPECT_TRUE(std::none_of(trace.begin(), trace.end(),
                                 [&](const std::string &l) { return l.rfind(c.first_step_not_reached, 0) == 0; }))
            << c.first_step_not_reached << " happened after the failed step";
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, ScreenSetupFailure,
                         ::testing::Values(StepCase{ "open", "open fb err\n", "fb open failed (injected)", "fb vscreeninfo" },
                      StepCase{ "vscreen", "vscreen error\n", "fb vscreeninfo failed (injected)", "fb fscreeninfo" },
                      StepCase{ "fscreen", "fs creen error\n", "fb fscreeninfo failed (injected)", "fb mmap" },
                      StepCase{ "mmap", "fbmeme is ffffffff\n", "fb mmap failed (injected)", "fb osd" },
                      StepCase{ "osd", "osd start error\n", "fb osd failed (injected)", "" }),
                         [](const ::testing::TestParamInfo<StepCase> &info) { return std::string(info.param.step); });

TEST(FontSetup, MissingFontEndsTheProgramBeforeAnyMode)
{
    // Mode 2 would record commands if it ran.
    SimRun r = run_sim({ "--font", "/nonexistent/GOTHIC.TTF", "--cmdline", "updater=2,0,0" });
    EXPECT_EQ(r.status, 1) << r.diagnostics;
    EXPECT_EQ(r.console, "load font, new face error\n");
    EXPECT_EQ(r.file("commands.log"), "");
    const std::vector<std::string> trace = r.trace();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "font open failed"), trace.end());
    EXPECT_EQ(std::find(trace.begin(), trace.end(), "cmdline open"), trace.end());
}

} // namespace
