// SPDX-License-Identifier: MIT
// Built in the sanitizer build only: the program that the end-to-end tests run
// carries the sanitizer runtime, and that runtime and the board library are
// both active in the same run.
#include <cstdlib>

#include "sim_harness.h"

TEST(Sanitized, RuntimeAndBoardLibraryBothActive)
{
    // At verbosity 1 the runtime reports its start-up on standard error,
    // which the launcher's pseudo-terminal hands back as console output.
    const char *saved = std::getenv("ASAN_OPTIONS");
    const std::string before = saved ? saved : "";
    setenv("ASAN_OPTIONS", (before.empty() ? "verbosity=1" : before + ":verbosity=1").c_str(), 1);
    SimRun r = run_sim({ "--cmdline", "updater=3,0,0" });
    if (saved)
        setenv("ASAN_OPTIONS", before.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");

    EXPECT_EQ(r.status, 0) << r.diagnostics;
    EXPECT_NE(r.console.find("AddressSanitizer"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("Got type = 3, channel = 0\n"), std::string::npos) << r.console;
    const std::vector<std::string> trace = r.trace();
    ASSERT_FALSE(trace.empty()) << "the board library saw nothing";
    EXPECT_EQ(trace.front(), "fb open");
}
