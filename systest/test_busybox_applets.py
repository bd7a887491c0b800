# SPDX-License-Identifier: MIT
"""The board's BusyBox applets (Debian 12's armhf busybox-static, from the
rig's package cache) run under qemu-arm-static with the updater's own
commands on image files, held to what updater-check-image says of them
(imagecheck/tools.h)."""
import glob
import subprocess

import pytest


@pytest.fixture(scope="module")
def board_busybox(work, busybox, tmp_path_factory):
    """The package the BusyBox system was made of, unpacked."""
    root = tmp_path_factory.mktemp("busybox")
    deb = sorted(glob.glob(str(work / "debs/busybox-static_*_armhf.deb")))
    assert deb, "no busybox-static armhf package in %s" % (work / "debs")
    subprocess.run(["dpkg-deb", "-x", deb[-1], str(root)], check=True)
    return root / "bin/busybox"


@pytest.fixture
def applet(board_busybox):
    return lambda *args: subprocess.run(["qemu-arm-static", str(board_busybox), *map(str, args)],
                                        capture_output=True, text=True)


@pytest.mark.parametrize("name, there", [(a, True) for a in ("insmod", "rm", "mknod", "mount", "cp", "umount",
                                                                  "reboot", "mkdosfs", "mke2fs")] +
                         [(a, False) for a in ("flash_eraseall", "ubiformat", "ubimkvol")])
def test_applet_list(applet, name, there):
    applets = applet("--list").stdout.split()
    assert (name in applets) == there, "%s is %san applet of the board's BusyBox" % (name, "not " if there else "")


def test_mke2fs_refuses_ext3(applet, tmp_path):
    img = tmp_path / "ext.img"
    with open(img, "wb") as f:
        f.truncate(16 << 20)
    p = applet("mke2fs", "-t", "ext3", img)
    assert p.returncode != 0 and "invalid option -- 't'" in p.stdout + p.stderr, \
        "mke2fs -t ext3: status %d, %s" % (p.returncode, p.stdout + p.stderr)
    assert img.read_bytes()[1080:1082] != b"\x53\xef", "BusyBox's mke2fs made an ext file system after all"


def test_mkdosfs_cuts_a_long_label(applet, tmp_path):
    img = tmp_path / "fat.img"
    with open(img, "wb") as f:
        f.truncate(64 << 20)
    p = applet("mkdosfs", "-F", "32", img, "-n", "ABCDEFGHIJKLMN")
    boot = img.read_bytes()[:90]
    assert p.returncode == 0, "mkdosfs -F 32 -n LONG failed: %s" % (p.stdout + p.stderr)
    assert boot[82:87] == b"FAT32", "mkdosfs did not make FAT32: %r" % boot[82:87]
    assert boot[71:82] == b"ABCDEFGHIJK", "mkdosfs did not cut the label to 11: %r" % boot[71:82]


def test_reboot_signals_pid1_with_sigterm(board_busybox):
    """reboot signals PID 1: a shell as PID 1 of its own namespace reports
    what it received."""
    script = 'for s in TERM USR1 USR2 INT; do trap "echo $s; exit 0" $s; done; "$@" reboot & wait; sleep 5 & wait'
    p = subprocess.run(["unshare", "-fp", "sh", "-c", script, "sh", "qemu-arm-static", str(board_busybox)],
                       capture_output=True, text=True, timeout=60)
    got = (p.stdout + p.stderr).splitlines()[:1]
    assert got == ["TERM"], "reboot sent %s to PID 1, expected TERM" % got
