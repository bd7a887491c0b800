// SPDX-License-Identifier: MIT
/*
 * Sets the system clock from the board's RTC and prints it. A 32-bit kernel
 * leaves the clock at the epoch when the RTC is past 2038 (its boot-time copy
 * refuses times a 32-bit time_t cannot hold), and BusyBox's date and hwclock
 * here are built with a 32-bit time_t: this helper is built with a 64-bit one.
 *
 *   rtc-to-clock      prints "systest: system clock set to YYYY-MM-DDTHH:MM:SS UTC"
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(void)
{
    FILE *f = fopen("/sys/class/rtc/rtc0/since_epoch", "r");
    unsigned long long seconds = 0;
    if (!f || fscanf(f, "%llu", &seconds) != 1) {
        puts("systest: no RTC to take the clock from");
        return 1;
    }
    fclose(f);
    struct timespec ts = {.tv_sec = (time_t)seconds, .tv_nsec = 0};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
        perror("systest: clock_settime");
        return 1;
    }
    time_t now = time(NULL);
    struct tm tm;
    char text[32];
    if (now == (time_t)-1 || !gmtime_r(&now, &tm) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm)) {
        puts("systest: the clock cannot be read back");
        return 1;
    }
    printf("systest: system clock set to %s UTC\n", text);
    return 0;
}
