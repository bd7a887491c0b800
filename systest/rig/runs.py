# SPDX-License-Identifier: MIT
"""Every check of a whole mode-2 run, shared by the boots that run it."""
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
