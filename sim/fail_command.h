// SPDX-License-Identifier: MIT
/*
 * The command the emulated board's shell fails: "WORD[=STATUS]" (the value of
 * SIM_ENV_FAIL_COMMAND and of the launcher's --fail-command). WORD is a
 * command's name as the board library names its pictures (the first word
 * without a directory); STATUS what system() reports for it:
 *
 *   N          the shell exited with N (0 to 255; 1 when STATUS is left out)
 *   -1         no shell could be started: system() itself gives -1
 *   signal:N   the shell was killed by signal N (1 to 127)
 *
 * Plain C: the board library acts on it, the launcher checks it.
 */
#ifndef SIM_FAIL_COMMAND_H
#define SIM_FAIL_COMMAND_H

#include <stdlib.h>
#include <string.h>

#define SIM_FAIL_WORD_MAX 32

/* Parses text, "WORD[=STATUS]", into word (at most SIM_FAIL_WORD_MAX bytes
   with its zero) and *system_result, the raw value system() returns for it.
   Returns 0, or -1 when text is malformed (word and *system_result then
   undefined). */
static inline int sim_parse_fail_command(const char *text, char *word, int *system_result)
{
    const char *eq = strchr(text, '=');
    size_t len = eq ? (size_t)(eq - text) : strlen(text);
    if (len == 0 || len >= SIM_FAIL_WORD_MAX) return -1;
    memcpy(word, text, len);
    word[len] = '\0';
    if (!eq) {
        *system_result = 1 << 8;
        return 0;
    }
    const char *status = eq + 1;
    char *end = NULL;
    int is_signal = strncmp(status, "signal:", 7) == 0;
    long n = strtol(is_signal ? status + 7 : status, &end, 10);
    if (end == status || *end != '\0') return -1;
    if (is_signal) {
        if (n < 1 || n > 127) return -1;
        *system_result = (int)n;
    } else if (n == -1) {
        *system_result = -1;
    } else {
        if (n < 0 || n > 255) return -1;
        *system_result = (int)n << 8;
    }
    return 0;
}

#endif
