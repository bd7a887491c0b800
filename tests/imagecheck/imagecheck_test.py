#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""updater-check-image on fixture images: the complete ones pass, as folders
and as tar archives, and every planted fault is reported on its item, with
its fix, for exactly the modes it breaks.

    imagecheck_test.py CHECKER FONT WORKDIR
"""
import json
import os
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_image  # noqa: E402

CHECKER, FONT, WORK = sys.argv[1:4]

# init, fault, item, level, words in its detail, modes left not ready
FAULTS = [
    ("busybox", "once", "start-up", "fail", "as ::once:", {2}),
    ("busybox", "after-mount-a", "start-up", "fail", "after mount -a (line 2)", {2}),
    ("busybox", "no-inittab-entry", "start-up", "fail", "no entry runs /etc/init.d/updater", {1, 2, 3}),
    ("busybox", "garbage-inittab", "start-up", "ok", "line 7: unknown action \"bogus\"", set()),
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

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run(image, *args):
    p = subprocess.run([CHECKER, *args, image], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def report(image, *args):
    code, out, err = run(image, "--json", *args)
    try:
        return code, json.loads(out)
    except ValueError:
        check(False, "%s: JSON unreadable: %r %r" % (image, out[:200], err))
        return code, {"modes": {}, "items": []}


def complete_images():
    for init in ("busybox", "systemd", "sysv"):
        root = os.path.join(WORK, "complete-" + init)
        make_image.make(root, FONT, init)
        code, rep = report(root)
        bad = [i for i in rep["items"] if i["status"] != "ok"]
        check(code == 0 and rep["modes"] == {"1": True, "2": True, "3": True} and not bad,
              "complete %s image: status %d, not ok: %s" % (init, code, bad))
        for compression in ("", "gz"):
            tar = root + ".tar" + ("." + compression if compression else "")
            with tarfile.open(tar, "w:" + compression) as t:
                t.add(root, arcname=".")
            code, out, err = run(tar)
            check(code == 0 and "mode 2: ready" in out, "complete %s image as %s: %d %s" % (init, tar, code, err))


def planted_faults():
    for init, fault, item, level, words, broken in FAULTS:
        root = os.path.join(WORK, fault)
        make_image.make(root, FONT, init, fault)
        code, rep = report(root)
        found = [i for i in rep["items"] if i["name"] == item]
        what = "%s: item %s" % (fault, item)
        check(len(found) == 1, what + " reported once")
        if not found:
            continue
        got = found[0]
        check(got["status"] == level, "%s is %s, not %s (%s)" % (what, got["status"], level, got["detail"]))
        check(words in got["detail"], "%s: %r not in %r" % (what, words, got["detail"]))
        check((got["fix"] != "") == (level != "ok"), "%s: fix %r" % (what, got["fix"]))
        not_ready = {int(m) for m, ready in rep["modes"].items() if not ready}
        check(not_ready == broken, "%s: modes not ready %s, expected %s" % (what, not_ready, broken))
        check(code == (1 if broken else 0), "%s: exit status %d" % (what, code))
        # The terminal form: the item's line carries its fix.
        _, out, _ = run(root)
        line = [l for l in out.splitlines() if l[5:25].strip() == item]
        check(len(line) == 1 and ("-- fix: " in line[0]) == (level != "ok"), "%s: text line %s" % (what, line))
        # Asked only for the modes it does not break, the image is ready.
        fine = [str(m) for m in (1, 2, 3) if m not in broken]
        if broken and fine:
            args = sum((["--mode", m] for m in fine), [])
            check(run(root, *args)[0] == 0, "%s: modes %s alone" % (what, fine))


def unreadable_images():
    # Folders and archives that are not images: a clear message, status 2.
    bad_tar = os.path.join(WORK, "broken.tar")
    with open(os.path.join(WORK, "complete-busybox.tar"), "rb") as f:
        data = f.read()
    for name, blob in (("broken.tar", data[:700] + b"\xff" * 900), ("random.bin", os.urandom(4096))):
        path = os.path.join(WORK, name)
        with open(path, "wb") as f:
            f.write(blob)
        code, out, err = run(path)
        check(code == 2 and err.startswith("updater-check-image: " + path + ": ") and not out,
              "%s: status %d, %r" % (name, code, err))
    code, _, err = run(os.path.join(WORK, "nowhere"))
    check(code == 2 and "no such file or folder" in err, "missing image: %d %r" % (code, err))
    # A tar whose links point out of the image, absolute and by "..": the
    # host's font is never read.
    out_tar = os.path.join(WORK, "escape.tar")
    with tarfile.open(out_tar, "w") as t:
        t.add(os.path.join(WORK, "complete-busybox"), arcname=".", filter=lambda i: None if i.name == "./font/GOTHIC.TTF" else i)
        info = tarfile.TarInfo("./font/GOTHIC.TTF")
        info.type, info.linkname = tarfile.SYMTYPE, "../../../.." + os.path.abspath(FONT)
        t.addfile(info)
    code, rep = report(out_tar)
    font = [i for i in rep["items"] if i["name"] == "font"]
    check(code == 1 and font and font[0]["status"] == "fail", "escaping tar link: %d %s" % (code, font))


os.makedirs(WORK, exist_ok=True)
complete_images()
planted_faults()
unreadable_images()
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
