# SPDX-License-Identifier: MIT
"""Mode 2 on the board under BusyBox init with an inittab modelled on
Buildroot's and an fstab that mounts the card's user partitions: partitions 3
and 5 fresh ext3, 6 FAT32 labelled DATA, the rest of the card as it was, the
log on the console, the overlay's screen that of the host emulator. On the
16-bpp panel, a 32-bpp one, and with the fully static program."""
import subprocess

import pytest

from rig import board, screen
from rig.runs import MODE2, mode2_as_planned, screen_as_host

# Variant: the panel, and the system holding the program (fixture name).
VARIANTS = {
    "16bpp": (board.PANEL_16, "busybox"),
    "32bpp": (board.PANEL_32, "busybox"),
    "static": (board.PANEL_16, "static_busybox"),
}


def own_program_screen(rig, system, run, panel, folder, board_lib):
    """The guest's screen against updater-sim running the image's own ARM
    program with the image's libraries, FreeType and font under
    qemu-arm-static: the board's pixels drawn by the board's FreeType build.
    Every command's tool must be found in the image."""
    out = folder / "image-own-program"
    p = subprocess.run([str(rig.host_sim), "--root", str(system / "rootfs"), "--preload", str(board_lib),
                        "--cmdline", MODE2, "--screen", panel.screen, "--out", str(out), "--", "DATA"],
                       capture_output=True, text=True)
    assert p.returncode == 0, "updater-sim running the image's own program ended with status %d:\n%s" % (
        p.returncode, p.stdout + p.stderr)
    missing = [line for line in (out / "in-image.log").read_text().splitlines() if "not found" in line]
    assert not missing, "a command's tool is missing from the image: %s" % missing
    want = (out / "fb1.raw").read_bytes()
    assert run.screen == want, "the guest's screen differs from updater-sim running the image's own program " \
        "in %d bytes" % screen.differing_bytes(run.screen, want)


@pytest.mark.parametrize("variant", VARIANTS)
def test_mode2(variant, request, rig, armhf, boot, fresh_card, reference, boot_work):
    panel, system_fixture = VARIANTS[variant]
    system = request.getfixturevalue(system_fixture)
    ref = reference("mode2", MODE2, panel)
    run = boot("mode2", MODE2, fresh_card.path, system / "initramfs.cpio.gz", panel.dtb).end()
    mode2_as_planned(run, ref, fresh_card, boot_work)
    screen_as_host(run, ref, panel, boot_work, rig.png_tool)
    if panel.bpp != 16:
        screen.same_picture(run, panel, reference("mode2-16bpp", MODE2, board.PANEL_16).screen, boot_work,
                            rig.png_tool)
    # The launcher reaches only a dynamic program.
    if system_fixture == "busybox":
        own_program_screen(rig, system, run, panel, boot_work, armhf.dynamic / "sim/libupdater_board.so")
