#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""updater-check-image on fixture images: the complete ones pass, as folders
and as tar archives, and every planted fault is reported on its item, with
its fix, for exactly the modes it breaks.

    pytest imagecheck_test.py --checker CHECKER --font FONT --work WORKDIR
"""
import json
import os
import subprocess
import sys
import tarfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_image  # noqa: E402

# init, fault, item, level, words in its detail, modes left not ready
FAULTS = [
    ("busybox", "once", "start-up", "fail", "as ::once:", {2}),
    ("busybox", "after-mount-a", "start-up", "fail", "after mount -a (line 2)", {2}),
    ("busybox", "no-inittab-entry", "start-up", "fail", "no entry runs /etc/init.d/updater", {1, 2, 3}),
    ("busybox", "garbage-inittab", "start-up", "ok", "line 7: unknown action \"bogus\"", set()),
    # Started twice: the second run comes after mount -a whatever the mode.
    ("busybox", "twice-in-inittab", "start-up", "fail",
     "lines 3, 5 each run /etc/init.d/updater: the updater would run 2 times", {1, 2, 3}),
    ("busybox", "twice-by-rcs", "start-up", "fail", "/etc/inittab and /etc/init.d/S50updater each start", {1, 2, 3}),
    ("busybox", "rcs-only", "start-up", "fail", "/etc/init.d/S50updater starts it only from rcS", {1, 2, 3}),
    ("sysv-inittab", "sysv-inittab-after-mount-a", "start-up", "fail", "after mount -a (line 3)", {2}),
    ("sysv", "sysv-linked-twice", "start-up", "fail", "S05updater and /etc/rcS.d/S20updater each start", {1, 2, 3}),
    ("sysv", "sysv-after-mountall", "start-up", "fail", "S20updater runs after S10mountall.sh", {2}),
    ("sysv", "sysv-not-linked", "start-up", "fail", "no S??updater link", {1, 2, 3}),
    ("systemd", "unit-not-enabled", "start-up", "fail", "installed but not enabled", {1, 2, 3}),
    ("systemd", "unit-masked", "start-up file", "fail", "masked", {1, 2, 3}),
    ("systemd", "unit-reordered", "start-up", "fail", "not ordered as shipped", {2}),
    ("systemd", "journal-volatile", "journal", "warn", "lost at its reboot", set()),
    ("busybox", "missing-library", "program", "fail",
     "libpng16.so.16 (needed by /opt/ft/libfreetype.so.6.18.3)", {1, 2, 3}),
    ("busybox", "amd64-program", "program", "fail", "x86 (amd64), not armhf", {1, 2, 3}),
    ("busybox", "truncated-program", "program", "fail", "program headers lie outside the file", {1, 2, 3}),
    ("busybox", "font-without-bang", "font", "fail", "no glyph for '!' (U+0021)", {1, 2, 3}),
    ("busybox", "font-not-a-font", "font", "fail", "cannot open face 0", {1, 2, 3}),
    ("busybox", "font-link-out-of-image", "font", "fail", "is not in the image", {1, 2, 3}),
    ("busybox", "font-link-up-and-out", "font", "fail", "is not in the image", {1, 2, 3}),
    ("busybox", "no-bin-sh", "/bin/sh", "fail", "/bin/sh is not in the image", {1, 2, 3}),
    ("busybox", "link-loop", "/bin/sh", "fail", "too many levels of symbolic links", {1, 2, 3}),
    ("busybox", "no-ubi-module", "UBI module", "fail", "/lib/modules/ubi.ko is missing", {1}),
    ("busybox", "no-mkdosfs", "tool mkdosfs", "fail", "not on PATH /sbin:/usr/sbin:/bin:/usr/bin", {1, 2}),
    ("busybox", "busybox-mke2fs", "tool mke2fs", "fail", "invalid option -- 't'", {2}),
    ("busybox", "no-ubiformat-applet", "tool ubiformat", "fail", "has no applet ubiformat", {1}),
    ("busybox", "long-label", "label", "fail", "mkfs.fat refuses it", {2}),
]

@pytest.fixture(scope="module")
def checker(options):
    os.makedirs(options["work"], exist_ok=True)
    return options


def run(checker, image, *args):
    p = subprocess.run([checker["checker"], *args, image], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def report(checker, image, *args):
    code, out, err = run(checker, image, "--json", *args)
    try:
        return code, json.loads(out)
    except ValueError:
        pytest.fail("%s: JSON unreadable: %r %r" % (image, out[:200], err))


@pytest.mark.parametrize("init", ["busybox", "systemd", "sysv", "sysv-inittab"])
def test_complete_image(checker, init):
    root = os.path.join(checker["work"], "complete-" + init)
    make_image.make(root, checker["font"], init)
    code, rep = report(checker, root)
    bad = [i for i in rep["items"] if i["status"] != "ok"]
    assert code == 0 and rep["modes"] == {"1": True, "2": True, "3": True} and not bad, \
        "complete %s image: status %d, not ok: %s" % (init, code, bad)
    for compression in ("", "gz"):
        tar = root + ".tar" + ("." + compression if compression else "")
        with tarfile.open(tar, "w:" + compression) as t:
            t.add(root, arcname=".")
        code, out, err = run(checker, tar)
        assert code == 0 and "mode 2: ready" in out, "complete %s image as %s: %d %s" % (init, tar, code, err)


@pytest.mark.parametrize("init, fault, item, level, words, broken", FAULTS, ids=[f[1] for f in FAULTS])
def test_planted_fault(checker, init, fault, item, level, words, broken):
    root = os.path.join(checker["work"], fault)
    make_image.make(root, checker["font"], init, fault)
    code, rep = report(checker, root)
    found = [i for i in rep["items"] if i["name"] == item]
    assert len(found) == 1, "item %s reported %d times" % (item, len(found))
    got = found[0]
    assert got["status"] == level, "item %s is %s, not %s (%s)" % (item, got["status"], level, got["detail"])
    assert words in got["detail"], "item %s: %r not in %r" % (item, words, got["detail"])
    assert (got["fix"] != "") == (level != "ok"), "item %s: fix %r" % (item, got["fix"])
    not_ready = {int(m) for m, ready in rep["modes"].items() if not ready}
    assert not_ready == broken, "modes not ready %s, expected %s" % (not_ready, broken)
    assert code == (1 if broken else 0), "exit status %d" % code
    # The terminal form: the item's line carries its fix.
    _, out, _ = run(checker, root)
    line = [l for l in out.splitlines() if l[5:25].strip() == item]
    assert len(line) == 1 and ("-- fix: " in line[0]) == (level != "ok"), "text line %s" % line
    # Asked only for the modes it does not break, the image is ready.
    fine = [str(m) for m in (1, 2, 3) if m not in broken]
    if broken and fine:
        args = sum((["--mode", m] for m in fine), [])
        assert run(checker, root, *args)[0] == 0, "modes %s alone are not ready" % fine


@pytest.mark.parametrize("name", ["broken.tar", "random.bin"])
def test_not_an_image(checker, name):
    """Folders and archives that are not images: a clear message, status 2."""
    root = os.path.join(checker["work"], "complete-busybox")
    make_image.make(root, checker["font"], "busybox")
    with tarfile.open(root + ".tar", "w") as t:
        t.add(root, arcname=".")
    with open(root + ".tar", "rb") as f:
        blob = f.read()[:700] + b"\xff" * 900 if name == "broken.tar" else os.urandom(4096)
    path = os.path.join(checker["work"], name)
    with open(path, "wb") as f:
        f.write(blob)
    code, out, err = run(checker, path)
    assert code == 2 and err.startswith("updater-check-image: " + path + ": ") and not out, \
        "%s: status %d, %r" % (name, code, err)


def test_missing_image(checker):
    code, _, err = run(checker, os.path.join(checker["work"], "nowhere"))
    assert code == 2 and "no such file or folder" in err, "missing image: %d %r" % (code, err)


def test_tar_links_out_of_the_image(checker):
    """A tar whose links point out of the image, absolute and by "..": the
    host's font is never read."""
    root = os.path.join(checker["work"], "complete-busybox")
    make_image.make(root, checker["font"], "busybox")
    out_tar = os.path.join(checker["work"], "escape.tar")
    with tarfile.open(out_tar, "w") as t:
        t.add(root, arcname=".", filter=lambda i: None if i.name == "./font/GOTHIC.TTF" else i)
        info = tarfile.TarInfo("./font/GOTHIC.TTF")
        info.type, info.linkname = tarfile.SYMTYPE, "../../../.." + os.path.abspath(checker["font"])
        t.addfile(info)
    code, rep = report(checker, out_tar)
    font = [i for i in rep["items"] if i["name"] == "font"]
    assert code == 1 and font and font[0]["status"] == "fail", "escaping tar link: %d %s" % (code, font)
