# SPDX-License-Identifier: MIT
"""The guest's /dev/fb1 against the host emulator's screen for the same
command line on the same panel."""
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .build import run


@dataclass
class Reference:
    """What the host emulator left for a command line: the screen and the
    commands it recorded (what the guest must run)."""
    screen: Path
    commands: list


def host_reference(sim, font, out, cmdline, panel, *options, args=("DATA",)):
    """The host emulator's run: CMDLINE on PANEL, launcher OPTIONS, then the
    program's ARGS. Its own exit status is the program's (mode 1 ends by
    the reboot request), so only what it left is checked."""
    log = Path(str(out) + ".log")
    subprocess.run(["rm", "-rf", str(out)], check=True)
    with open(log, "w") as f:
        subprocess.run([str(sim), "--cmdline", cmdline, "--screen", panel.screen, "--font", str(font),
                        "--out", str(out), *options, "--", *args], stdout=f, stderr=subprocess.STDOUT)
    screen = Path(out) / "fb1.raw"
    assert screen.exists(), "the host emulator left no fb1.raw:\n" + log.read_text()
    return Reference(screen, (Path(out) / "commands.log").read_text().splitlines())


def differing_bytes(a, b):
    return sum(x != y for x, y in zip(a, b)) + abs(len(a) - len(b))


def png(tool, panel_screen, raw, out):
    run([tool, panel_screen, raw, out], str(out) + ".log", what="fb-to-png")
    return Path(out)


def same_screen(run_, panel, reference, work, png_tool):
    """The guest's screen: the whole panel, not black, byte for byte the host
    emulator's. Both are written as pictures beside the work folder's logs."""
    dump = run_.screen
    assert len(dump) == panel.frame_bytes, "%s: the guest sent %d bytes of its screen, expected %d" % (
        run_.name, len(dump), panel.frame_bytes)
    raw = Path(work) / ("%s-guest-fb1.raw" % run_.name)
    raw.write_bytes(dump)
    png(png_tool, panel.screen, raw, Path(work) / ("%s-guest-fb1.png" % run_.name))
    # An all-black screen would equal a reference that failed the same way.
    assert dump.strip(b"\0"), "%s: the guest's screen is entirely black" % run_.name
    want = reference.read_bytes()
    if dump != want:
        host = png(png_tool, panel.screen, reference, Path(work) / ("%s-host-fb1.png" % run_.name))
        raise AssertionError("%s: the guest's screen differs from the host emulator's in %d bytes (%s, %s)" % (
            run_.name, differing_bytes(dump, want), raw.with_suffix(".png"), host))


def same_picture(run_, panel, reference16, work, png_tool):
    """The host's reference is drawn by the same program, so a colour fault of
    its own would be on both sides: a deeper screen must show exactly the
    picture of the 16-bpp one, its channels read in the panel's format and
    the 16-bpp pixels widened by the frame library."""
    guest = Path(work) / ("%s-guest-fb1.png" % run_.name)
    host = png(png_tool, "%dx%dx16" % (panel.width, panel.height), reference16,
               Path(work) / ("%s-host16-fb1.png" % run_.name))
    assert guest.read_bytes() == host.read_bytes(), \
        "%s: the guest's %s screen does not show the picture of the host emulator's 16-bpp screen (%s, %s)" % (
            run_.name, panel.screen, guest, host)
