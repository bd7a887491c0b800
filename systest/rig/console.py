# SPDX-License-Identifier: MIT
"""Checks of what a boot printed: the program's log lines on the serial
console (or in the journal), the guest's own reports, and the lines that no
good run prints. What the program must print comes from the host emulator's
run of the same command line: the commands it recorded."""
import difflib
import re

from . import board

# An unattended tool that stopped to ask would have hung the boot; if it
# asked at all, something answered for it.
TOOL_QUESTIONS = ("Proceed anyway?",)
# The storage tools refuse a mounted file system.
REFUSED = re.compile(r"is mounted; will not make a filesystem here|contains a mounted filesystem|"
                     r"unable to open %s[0-9p]+: Device or resource busy" % re.escape(board.MMC_NODE_PREFIX))
# The shell found no tool for a command (BusyBox's ash: "sh: NAME: not
# found", dash: "sh: 1: NAME: not found"). The updater goes on past a failed
# mode-1 command, so this line may be all a missing tool leaves.
NO_TOOL = re.compile(r"\bsh: (?:[0-9]+: )?(\S+): not found")
# What the guest's own scripts print when one of their steps failed.
GUEST_FAILED = re.compile(r"^systest: .* failed$")


def lines_of(raw):
    """A console log's lines without the terminal's carriage returns."""
    return raw.decode("utf-8", "replace").replace("\r", "").split("\n")


def related(lines, *words):
    """The lines holding any of WORDS, for a message."""
    found = [line for line in lines if any(w in line for w in words)]
    return "; ".join(found) if found else "no such line"


def has_line(lines, want, why, *words):
    assert want in lines, "%s: expected the line '%s', found: %s" % (why, want, related(lines, *(words or (want,))))


def expected_lines(mode, channel, commands):
    return ["Got type = %d, channel = %d" % (mode, channel)] + ["cmd: " + c for c in commands]


def log_lines(lines, mode, channel, commands):
    """The run's log lines, each whole, in order, exactly once, and no other
    command run."""
    assert commands, "no commands recorded by the host emulator"
    at = -1
    for want in expected_lines(mode, channel, commands):
        later = [i for i, line in enumerate(lines) if line == want and i > at]
        assert later, "log line missing or out of order: %s" % want
        at = later[0]
        assert lines.count(want) == 1, "log line printed %d times: %s" % (lines.count(want), want)
    ran = [line for line in lines if line.startswith("cmd: ")]
    assert len(ran) == len(commands), "%d command lines on the console, expected %d: %s" % (
        len(ran), len(commands), ran)


def console(lines, mode, channel, commands):
    """Every console check of a run: its log lines, no line of a failure, no
    refused partition, and the kernel's restart at the end."""
    assert any(lines), "no console output at all"
    log_lines(lines, mode, channel, commands)
    for fault in TOOL_QUESTIONS + tuple(board.fault_lines()):
        found = [line for line in lines if fault in line]
        assert not found, "unexpected console output: %s (the line '%s'; a good run prints none)" % (fault, found[0])
    missing = [line for line in lines if NO_TOOL.search(line)]
    assert not missing, "a command's tool is not in the image: %s" % missing
    refused = [line for line in lines if REFUSED.search(line)]
    assert not refused, "the card's partitions were mounted when the updater formatted them: %s" % refused[0]
    assert any("reboot: Restarting system" in line for line in lines), "the kernel never restarted the machine"


def log_order(lines, channel, commands):
    """Mode 2: each log line left the program before the command it announces
    ran. The tools write their first line at once (mke2fs and mkfs.fat their
    version), so each "cmd: " line must come before that tool's first line,
    and the tool's line before the next "cmd: " line."""
    got = []
    for line in lines:
        if m := re.match(r"(mke2fs|mkfs\.fat) [0-9]\S* ", line):
            got.append(m[1] + " VERSION")
        elif line.startswith(("Got type = ", "cmd: ")):
            got.append(line)
    want = []
    for line in expected_lines(2, channel, commands):
        want.append(line)
        if line.startswith("cmd: mke2fs"):
            want.append("mke2fs VERSION")
        elif line.startswith("cmd: mkdosfs"):
            want.append("mkfs.fat VERSION")
    assert got == want, "the log lines and the tools' own output are out of order (a log line left the program " \
        "after its command ran):\n" + "\n".join(difflib.unified_diff(want, got, "expected", "found", lineterm=""))


def guest_reports(lines, panel):
    """What the guest's set-up and shutdown reported, in every boot: the set-up
    finished, the program ended before the screen was taken, it started the
    overlay through the driver once, the driver holds to the request's
    contract, and the kernel's overlay is the panel the reference was drawn
    on."""
    has_line(lines, "systest: board ready", "the guest's set-up never finished", "systest:")
    failed = [line for line in lines if GUEST_FAILED.match(line)]
    assert not failed, "a step of the guest's own scripts failed: %s" % failed
    has_line(lines, "systest: the updater has ended", "the updater was still running when the system went down",
             "the updater")
    has_line(lines, "systest: OSD start requests answered: 1",
             "the overlay driver did not answer exactly one OSD start request", "OSD start")
    has_line(lines, "systest: osd-check: ok", "the overlay driver does not hold to the OSD start request's contract",
             "osd-check")
    for fact in ("bits_per_pixel = %d" % panel.bpp, "stride = %d" % panel.stride,
                 "virtual_size = %d,%d" % (panel.width, panel.height)):
        has_line(lines, "systest: fb1 " + fact, "the guest's kernel did not report %s for %s" % (fact, board.FB_NODE),
                 "systest: fb1 ")


def fstab_mounted(lines, nodes):
    """BusyBox init mounts the fstab's partitions once the program's entry has
    ended: the guest lists what is mounted at shutdown."""
    has_line(lines, "systest: card partitions mounted at shutdown: " + " ".join(nodes),
             "init did not mount the card's partitions from the fstab after the updater", "mounted at shutdown")
