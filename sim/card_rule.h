// SPDX-License-Identifier: MIT
/*
 * When the emulated SD card is pulled: "[N:]RULE", the value of SIM_ENV_CARD
 * (RULE alone is the launcher's --card-removal). RULE is
 *
 *   polls=K   the first K opens of the card's node succeed
 *   ms=T      the card stays for T ms after the first open
 *   never     the card is never pulled
 *
 * and N, when given, the card's index (the card is "/dev/mmcblkN").
 *
 * Plain C: the board library acts on it, the launcher checks it.
 */
#ifndef SIM_CARD_RULE_H
#define SIM_CARD_RULE_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>

enum sim_card_kind { SIM_CARD_OFF, SIM_CARD_POLLS, SIM_CARD_MS, SIM_CARD_NEVER };

struct sim_card_rule {
    enum sim_card_kind kind;
    long limit;     /* K or T */
    int has_index;  /* N was given */
    long index;
};

/* A whole decimal number from text up to end_char; *next past it. */
static inline int sim_card_number(const char *text, char end_char, long *value, const char **next)
{
    char *end = NULL;
    errno = 0;
    *value = strtol(text, &end, 10);
    if (end == text || *end != end_char || errno != 0) return -1;
    *next = end;
    return 0;
}

/* Parses text, "[N:]RULE", into *rule. Returns 0, or -1 when text is
   malformed (*rule then undefined). */
static inline int sim_parse_card_rule(const char *text, struct sim_card_rule *rule)
{
    const char *rest = text;
    memset(rule, 0, sizeof *rule);
    if (strchr(text, ':')) {
        if (sim_card_number(text, ':', &rule->index, &rest) != 0) return -1;
        rule->has_index = 1;
        rest++;
    }
    if (strcmp(rest, "never") == 0) {
        rule->kind = SIM_CARD_NEVER;
        return 0;
    }
    const char *value = NULL;
    if (strncmp(rest, "polls=", 6) == 0) {
        rule->kind = SIM_CARD_POLLS;
        value = rest + 6;
    } else if (strncmp(rest, "ms=", 3) == 0) {
        rule->kind = SIM_CARD_MS;
        value = rest + 3;
    } else {
        return -1;
    }
    const char *end = NULL;
    if (sim_card_number(value, '\0', &rule->limit, &end) != 0 || rule->limit < 0) return -1;
    return 0;
}

#endif
