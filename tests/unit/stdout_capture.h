// SPDX-License-Identifier: MIT
// What the code under test writes to standard output, through its own
// stdio buffer.
#ifndef TESTS_UNIT_STDOUT_CAPTURE_H
#define TESTS_UNIT_STDOUT_CAPTURE_H

#include <string>

void capture_stdout();
// Everything written since capture_stdout; ends the capture.
std::string captured_stdout();

#endif
