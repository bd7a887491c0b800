# SPDX-License-Identifier: MIT
"""A Debian 12 armhf system made by mmdebstrap on the card's partition 2,
with the project's package installed by its own dpkg: mode 2 under its
systemd, the package's unit, the BusyBox boots' fstab and a persistent
journal read on the host after the reboot; then the same card booted without
updater=, on which nothing of the program runs."""
import re
import shutil
import subprocess
import time

from rig import board, card, console
from rig.runs import MODE2, screen_as_host

ROOT = "root=/dev/mmcblk0p2 rw"
MACHINE_ID = "0a7e5c0de0a7e5c0de0a7e5c0de0a7e5"
UPDATER_ENTRY = re.compile(r" updater\[[0-9]+\]: ")


def program_lines(lines):
    """The program's lines as journald copies them to the console, "updater[PID]: "
    before each, without it; systemd's status line leaves its terminal
    escapes in front of whatever comes next."""
    return [re.sub(r"^(\[ *[0-9.]+\] )?updater\[[0-9]+\]: ", "", re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", line))
            for line in lines]


def root_partition(img, uuid, name, folder):
    """Partition 2, which the running system writes to: still the root file
    system made on the host (the updater never formats it), and clean."""
    p2 = card.extract(img, 2, folder / "p2.img")
    now = card.blkid(p2).get("UUID")
    assert now == uuid, "%s: partition 2 is no longer the root file system made on the host (UUID '%s', was '%s')" % (
        name, now, uuid)
    fsck = subprocess.run(["e2fsck", "-fn", str(p2)], capture_output=True, text=True)
    assert fsck.returncode == 0, "%s: e2fsck -fn finds faults on partition 2, the root file system:\n%s" % (
        name, fsck.stdout + fsck.stderr)
    return p2


def journal(p2, folder, *options):
    """The journal read on the host out of partition 2."""
    out = folder / "journal"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    subprocess.run(["debugfs", "-R", "rdump /var/log/journal/%s %s" % (MACHINE_ID, out), str(p2)],
                   capture_output=True)
    files = list((out / MACHINE_ID).glob("*.journal"))
    assert files, "no journal files on the root file system"
    return subprocess.run(["journalctl", "--directory", str(out / MACHINE_ID), "--no-pager", *options],
                          capture_output=True, text=True).stdout.splitlines()


def journal_as_logged(p2, ref, folder):
    """The program's part of the journal (program and tools, one stream) holds
    the log as written, all of it before the shutdown began, and the system
    never went to emergency mode."""
    entries = journal(p2, folder, "-o", "short-monotonic")
    emergency = [e for e in entries if "Reached target emergency.target" in e]
    assert not emergency, "debian: the system went to emergency mode: %s" % console.related(
        entries, "Timed out", "Dependency failed")
    own = journal(p2, folder, "-o", "cat", "-t", "updater")
    console.log_lines(own, 2, 0, ref.commands)
    console.log_order(own, 0, ref.commands)
    last = max((i for i, e in enumerate(entries) if UPDATER_ENTRY.search(e)), default=-1)
    shutdown = [i for i, e in enumerate(entries)
                if re.search(r"systemd\[1\]: (Removed slice|Stopping |Stopped |.*reboot\.target)", e)]
    assert shutdown, "debian: the journal shows no shutdown"
    assert last < shutdown[0], "debian: the updater's log reached the journal only after the shutdown had begun " \
        "(entry %d, the shutdown from entry %d)" % (last, shutdown[0])


def normal_boot_journal(p2, folder):
    """The second boot reached multi-user, skipped the unit for want of
    "updater" on the kernel command line, and ran nothing of the program."""
    boots = journal(p2, folder, "--list-boots")
    assert len(boots) >= 2, "normal: the journal does not hold two boots: %s" % boots
    entries = journal(p2, folder, "-b", "0", "-o", "short-monotonic")
    for want in ("Reached target multi-user.target",
                 "was skipped because of an unmet condition check (ConditionKernelCommandLine=updater)"):
        assert any(want in e for e in entries), "normal: the journal does not say '%s'" % want
    assert not [e for e in entries if "Reached target emergency.target" in e], "normal: the system went to emergency mode"
    ran = [e for e in entries if UPDATER_ENTRY.search(e)]
    assert not ran, "normal: the updater ran on the boot without updater=: %s" % ran


def normal_boot(guest):
    """The boot without updater= to its own reboot. The program, started where
    it must not be, would hold the boot on its "unexpected mode" screen for
    ever: that is said at once."""
    while guest.running() and guest.elapsed() < guest.timeout:
        ran = [line for line in guest.console() if UPDATER_ENTRY.search(" " + line)]
        assert not ran, "normal: the boot without updater= started the updater: %s" % ran[0]
        time.sleep(0.5)
    return guest.end()


def test_debian(rig, debian_root, boot, reference, boot_work):
    img = boot_work / "card.img"
    card.create_debian(img, debian_root / "debian-root", boot_work)
    before = card.record(img, boot_work, skip={"partition-2"})
    uuid = card.blkid(card.extract(img, 2, boot_work / "p2.img")).get("UUID")
    initrd = debian_root / "initramfs-bootloader.cpio.gz"
    ref = reference("debian", MODE2, board.PANEL_16)

    run = boot("debian", ROOT + " " + MODE2, img, initrd).end()
    lines = program_lines(run.console)
    console.console(lines, 2, 0, ref.commands)
    console.log_order(lines, 0, ref.commands)
    card.check(img, before, ref.commands, boot_work)
    screen_as_host(run, ref, board.PANEL_16, boot_work, rig.png_tool)
    journal_as_logged(root_partition(img, uuid, "debian", boot_work), ref, boot_work)

    run = normal_boot(boot("normal", ROOT, img, initrd))
    console.has_line(run.console, "systest: multi-user.target active",
                     "normal: the system did not report multi-user.target active", "multi-user")
    console.has_line(run.console, "systest: updater.service no inactive", "normal: updater.service was not skipped",
                     "systest: updater.service")
    normal_boot_journal(root_partition(img, uuid, "normal", boot_work), boot_work)
