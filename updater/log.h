// SPDX-License-Identifier: MIT
// The plain log on standard output. On the console the C library sends each
// line as it is written; to a file, a pipe or the journal's socket it keeps
// the output in a block buffer, so "cmd: " lines would leave only after the
// commands they announce, or never when the reboot ends the process first.
#ifndef UPDATER_LOG_H
#define UPDATER_LOG_H

// Makes standard output line-buffered in a static buffer (no allocation):
// every line leaves the process as its line break is written, before
// anything the program does next. The bytes written do not change. Returns
// 0, or -1 when the C library refuses (the stream keeps its default and the
// updater goes on). Call it before anything is written to standard output.
int log_line_buffered();

#endif
