// SPDX-License-Identifier: MIT
#include <string>

#include <gtest/gtest.h>

#include "updater/startup.h"

namespace {

int param(const std::string &cmdline, size_t offset)
{
    return boot_param_from_bytes(cmdline.data(), cmdline.size(), offset);
}

} // namespace

TEST(BootParam, SeparatorsAreNeverExamined)
{
    const std::string line = "console=ttyS0,115200 updater=2x7y1 rootwait";
    EXPECT_EQ(param(line, BOOT_PARAM_MODE), 2);
    EXPECT_EQ(param(line, BOOT_PARAM_CHANNEL), 7);
    EXPECT_EQ(param(line, BOOT_PARAM_CARD), 1);
}

TEST(BootParam, AnyCharacterGivesItsCodeMinusZero)
{
    EXPECT_EQ(param("updater=1 quiet", BOOT_PARAM_MODE), 1);
    EXPECT_EQ(param("updater=1 quiet", BOOT_PARAM_CHANNEL), 'q' - '0');
    EXPECT_EQ(param("updater=x", BOOT_PARAM_MODE), 'x' - '0');
    EXPECT_EQ(param("updater=\xff", BOOT_PARAM_MODE), 255 - '0');
}

TEST(BootParam, FirstKeyWinsAndLongerKeysMatch)
{
    EXPECT_EQ(param("updater=3,0,0 updater=1,0,0", BOOT_PARAM_MODE), 3);
    EXPECT_EQ(param("xupdater=2,5,0", BOOT_PARAM_CHANNEL), 5);
    EXPECT_EQ(param("updater 2,0,0 updater:1", BOOT_PARAM_MODE), 0);
}

TEST(BootParam, MissingKeyGivesZero)
{
    EXPECT_EQ(param("", BOOT_PARAM_MODE), 0);
    EXPECT_EQ(param("console=ttyS0 root=/dev/mmcblk0p2", BOOT_PARAM_MODE), 0);
    // A zero byte ends the text, as in a string search.
    EXPECT_EQ(param(std::string("quiet\0updater=2,0,0", 19), BOOT_PARAM_MODE), 0);
}

TEST(BootParam, OffsetPastTheBytesReadGivesZero)
{
    EXPECT_EQ(param("updater=2", BOOT_PARAM_MODE), 2);
    EXPECT_EQ(param("updater=2", BOOT_PARAM_CHANNEL), 0);
    EXPECT_EQ(param("updater=2,", BOOT_PARAM_CHANNEL), 0);
    EXPECT_EQ(param("updater=2,3", BOOT_PARAM_CHANNEL), 3);
    EXPECT_EQ(param("updater=2,3,", BOOT_PARAM_CARD), 0);
    EXPECT_EQ(param("updater=", BOOT_PARAM_MODE), 0);
}

TEST(BootParam, KeyCutByTheReadLimitCountsAsMissing)
{
    // Only the first 1024 bytes of the command line are read.
    std::string line(CMDLINE_MAX - 4, ' ');
    line += "updater=2,0,0";
    EXPECT_EQ(param(line.substr(0, CMDLINE_MAX), BOOT_PARAM_MODE), 0);
    std::string fits(CMDLINE_MAX - 13, ' ');
    fits += "updater=2,0,1";
    EXPECT_EQ(param(fits.substr(0, CMDLINE_MAX), BOOT_PARAM_CARD), 1);
}
