# SPDX-License-Identifier: MIT
"""The boots of a mode and every check of a whole run of it, shared by the
features that run it."""
import time

from . import board, card, console, screen

MODE2 = "updater=2,0,0"


def mode2_as_planned(run, ref, fresh_card, tmp):
    """The console of a mode-2 run under BusyBox init and what it left on the
    card."""
    console.console(run.console, 2, 0, ref.commands)
    console.log_order(run.console, 0, ref.commands)
    console.fstab_mounted(run.console, board.FSTAB_NODES)
    card.check(run.card, fresh_card.before, ref.commands, tmp)


def screen_as_host(run, ref, panel, folder, png_tool):
    """The guest's reports and its screen against the host emulator's."""
    console.guest_reports(run.console, panel)
    screen.same_screen(run, panel, ref.screen, folder, png_tool)

MODE1 = "updater=1,0,0"
PANEL_WORD = b"ctp_calibrate"


def mode1_boot(boot, fresh_card, initrd, cmdline, ref, folder, extra=()):
    """Mode 1 to its end: once the last storage command ran the program polls
    the card; after the wait it must still be waiting, then the card is
    pulled, and only then may it reboot."""
    spare = folder / "mtd6.img"
    with open(spare, "wb") as f:
        f.truncate(board.NAND_MTD6_PEBS * board.NAND_PEB)
    guest = boot("mode1", cmdline, fresh_card.path, initrd, extra=(
        "-drive", "if=none,id=spare,format=raw,file=%s" % spare, "-device", "virtio-blk-device,drive=spare", *extra))
    last = "cmd: " + [c for c in ref.commands if "cmd: " + c != board.REBOOT_LINE][-1]
    assert guest.wait_line(last), "mode1: the console never showed the last storage command (%s) while QEMU ran" % last
    time.sleep(board.CARD_PULL_AFTER_S)
    at_pull = guest.console()
    assert board.REBOOT_LINE not in at_pull, "mode1: '%s' was logged with the SD card still in (within %d s of " \
        "the last command)" % (board.REBOOT_LINE, board.CARD_PULL_AFTER_S)
    assert guest.running(), "mode1: QEMU ended while the updater should wait for the card"
    guest.pull_card()
    print("mode1: SD card pulled %.0f s after QEMU's start" % guest.elapsed())
    return guest.end()


def mode1_as_planned(run, ref, card_sha, folder, png_tool):
    """What every mode-1 boot must show: its log lines, the panel asked to
    calibrate, the card unwritten,
    the guest's reports and the screen."""
    console.console(run.console, 1, 0, ref.commands)
    console.has_line(run.console, "systest: panel file bytes: " + PANEL_WORD.hex(),
                     "mode1: the touch panel file does not hold exactly %s" % PANEL_WORD.decode(), "panel file bytes")
    assert card.sha(run.card, 0, run.card.stat().st_size) == card_sha, "mode1: the SD card was written to"
    screen_as_host(run, ref, board.PANEL_16, folder, png_tool)
