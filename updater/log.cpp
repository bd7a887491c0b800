#include "updater/log.h"

#include <cstdio>

// Holds more than the longest log line (a command text is at most 255
// characters), so a line normally leaves in one write.
static char log_buffer[BUFSIZ];

int log_line_buffered()
{
    return setvbuf(stdout, log_buffer, _IOLBF, sizeof(log_buffer)) == 0 ? 0 : -1;
}
