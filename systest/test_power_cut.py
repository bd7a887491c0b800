# SPDX-License-Identifier: MIT
"""A power cut during mode 2: QEMU killed as soon as the console shows the
second formatting command, then the same card booted again, which must leave
it as a whole run does."""
from rig import board, card
from rig.runs import MODE2, mode2_as_planned, screen_as_host


def test_power_cut(rig, busybox, boot, fresh_card, reference, boot_work):
    ref = reference("power-cut", MODE2, board.PANEL_16)
    initramfs = busybox / "initramfs.cpio.gz"
    # The second formatting command, so that the first is done and more is left.
    cut_at = "cmd: " + ref.commands[1]
    cut = boot("cut", MODE2, fresh_card.path, initramfs)
    assert cut.wait_line(cut_at), "cut: the console never showed '%s' while QEMU ran" % cut_at
    cut.kill()
    print("cut: power cut %.0f s after QEMU's start" % cut.elapsed())
    assert board.REBOOT_LINE not in cut.console(), "cut: the power cut came after the updater had finished"
    assert not card.complete(fresh_card.path, fresh_card.before, ref.commands, boot_work), \
        "cut: the card was already complete at the power cut"

    run = boot("again", MODE2, fresh_card.path, initramfs).end()
    mode2_as_planned(run, ref, fresh_card, boot_work)
    screen_as_host(run, ref, board.PANEL_16, boot_work, rig.png_tool)
