// SPDX-License-Identifier: MIT
#include "stdout_capture.h"

#include <cstdio>

#include <gtest/gtest.h>

void capture_stdout()
{
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string captured_stdout()
{
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
