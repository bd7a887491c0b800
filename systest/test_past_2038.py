# SPDX-License-Identifier: MIT
"""Mode 1 with the board's clock past 2038 and no block driver for the
volume: mkdosfs fails and says so, the five-second floor still ends, and the
screen, "File system is not ready!" over the white notice band, is the host
emulator's with the same failure. The guest's Debian tools have a 32-bit
time_t and fail there (their stat() of every node and sysfs file made after
the clock moved gives EOVERFLOW), so this boot checks the program and not the
storage."""
from rig import board, card, nand
from rig.console import related
from rig.runs import MODE1, mode1_as_planned, mode1_boot


def test_past_2038(rig, busybox, boot, fresh_card, reference, boot_work):
    card_sha = card.sha(fresh_card.path, 0, fresh_card.path.stat().st_size)
    ref = reference("mode1", MODE1, board.PANEL_16, "--card-removal", "polls=5", "--fail-command", "mkdosfs=1")
    run = mode1_boot(boot, fresh_card, busybox / "initramfs.cpio.gz", MODE1, ref, boot_work,
                        extra=("-rtc", "base=" + board.RTC_PAST_2038))
    day = board.RTC_PAST_2038.split("T")[0]
    assert any(line.startswith("systest: system clock set to %sT" % day) for line in run.console), \
        "mode1: the guest's clock was not set past 2038: expected 'systest: system clock set to %sT...', " \
        "found: %s" % (day, related(run.console, "systest: system clock"))
    failed = [line for line in run.console if line.startswith(nand.MKDOSFS_FAILED.split("%")[0])]
    assert failed == [nand.MKDOSFS_FAILED % 1], \
        "mode1: without a block driver the console must say '%s', it said %s" % (nand.MKDOSFS_FAILED % 1, failed)
    mode1_as_planned(run, ref, card_sha, boot_work, rig.png_tool)
