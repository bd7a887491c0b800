# SPDX-License-Identifier: MIT
"""BusyBox's applets as boards have them, run under qemu-arm-static with the
updater's own commands on image files and held to what updater-check-image
says of them (imagecheck/tools.h): the test board's, which Buildroot built,
and Debian 12's armhf busybox-static (fetched into the rig's package cache)."""
import subprocess

import pytest

from rig import images


@pytest.fixture(scope="module", params=["buildroot", "debian"])
def board_busybox(request, work, tmp_path_factory):
    """A BusyBox and the root whose libraries it loads."""
    if request.param == "buildroot":
        root = request.getfixturevalue("busybox") / "rootfs"
    else:
        root = tmp_path_factory.mktemp("busybox")
        subprocess.run(["bash", images.SYSTEST / "fetch-debs.sh", work / "debs", "busybox-static:armhf"], check=True)
        deb = sorted((work / "debs").glob("busybox-static_*_armhf.deb"))
        subprocess.run(["dpkg-deb", "-x", deb[-1], root], check=True)
    return ["qemu-arm-static", "-L", str(root), str(root / "bin/busybox")]


@pytest.fixture
def applet(board_busybox):
    return lambda *args: subprocess.run([*board_busybox, *map(str, args)], capture_output=True, text=True)


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
    p = subprocess.run(["unshare", "-fp", "sh", "-c", script, "sh", *board_busybox],
                       capture_output=True, text=True, timeout=60)
    got = (p.stdout + p.stderr).splitlines()[:1]
    assert got == ["TERM"], "reboot sent %s to PID 1, expected TERM" % got
