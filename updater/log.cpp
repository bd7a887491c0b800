// SPDX-License-Identifier: MIT
#include "updater/log.h"

#include <cstdio>

// Holds the longest log line whole ("cmd: ", a command text of at most 255
// characters and the line break), so each line leaves in one write: a
// reader of the journal or a pipe gets it as one piece.
static char log_buffer[512];

int log_line_buffered()
{
    return setvbuf(stdout, log_buffer, _IOLBF, sizeof(log_buffer)) == 0 ? 0 : -1;
}
