#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Makes small board root file systems for updater-check-image's tests: a
complete one (BusyBox, systemd or SysV init, the last in Debian's
layout or Buildroot's), or one with a fault planted.

    make_image.py OUT --font FONT [--init busybox|systemd] [--fault NAME]

The programs are stand-in ELF files (32-bit ARM, hard float) with the
interpreter and libraries of the real ones; the start-up files are the
project's own, from init/.
"""
import argparse
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
INIT = os.path.join(HERE, "..", "..", "init")
TRIPLET = "arm-linux-gnueabihf"
INTERP = "/lib/ld-linux-armhf.so.3"
APPLETS = ["insmod", "rm", "mknod", "mount", "cp", "umount", "reboot", "mkdosfs", "mke2fs", "init", "sh"]


def elf(needed=(), interp=None, machine=40, flags=0x05000400, extra=b""):
    """A 32-bit little-endian ELF with one loadable segment holding its
    interpreter, dynamic section and string table."""
    strtab = b"\0"
    offsets = []
    for name in needed:
        offsets.append(len(strtab))
        strtab += name.encode() + b"\0"
    phnum = 1 + (interp is not None) + 1
    interp_off = 52 + 32 * phnum
    interp_b = (interp.encode() + b"\0") if interp else b""
    str_off = interp_off + len(interp_b)
    dyn_off = (str_off + len(strtab) + 3) & ~3
    base = 0x10000
    dyn = b"".join(struct.pack("<II", 1, o) for o in offsets)
    dyn += struct.pack("<II", 5, base + str_off) + struct.pack("<II", 10, len(strtab)) + struct.pack("<II", 0, 0)
    body_end = dyn_off + len(dyn)
    total = body_end + len(extra)
    ph = struct.pack("<8I", 1, 0, base, base, total, total, 5, 0x1000)
    if interp:
        ph += struct.pack("<8I", 3, interp_off, base + interp_off, base + interp_off, len(interp_b), len(interp_b), 4, 1)
    ph += struct.pack("<8I", 2, dyn_off, base + dyn_off, base + dyn_off, len(dyn), len(dyn), 6, 4)
    hdr = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    hdr += struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, base, 52, 0, flags, 52, 32, phnum, 40, 0, 0)
    out = hdr + ph + interp_b + strtab
    out += bytes(dyn_off - len(out)) + dyn + extra
    return out


def put(root, path, data, mode=0o755):
    full = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(full, mode)


def link(root, path, target):
    full = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    if os.path.lexists(full):
        os.remove(full)
    os.symlink(target, full)


def from_template(name, **values):
    with open(os.path.join(INIT, name)) as f:
        text = f.read()
    for key, value in values.items():
        text = text.replace("@%s@" % key, value)
    return text.replace("$$", "$")


def libraries(root):
    lib = "/usr/lib/" + TRIPLET
    put(root, INTERP, elf(), 0o755)
    put(root, "/lib/%s/libc.so.6" % TRIPLET, elf(), 0o644)
    put(root, lib + "/libz.so.1", elf(["libc.so.6"]), 0o644)
    put(root, lib + "/libpng16.so.16", elf(["libz.so.1", "libc.so.6"]), 0o644)
    put(root, "/opt/ft/libfreetype.so.6.18.3", elf(["libpng16.so.16", "libz.so.1", "libc.so.6"]), 0o644)
    link(root, "/opt/ft/libfreetype.so.6", "libfreetype.so.6.18.3")
    # Found only through ld.so.conf's include.
    put(root, "/etc/ld.so.conf", "include /etc/ld.so.conf.d/*.conf\n", 0o644)
    put(root, "/etc/ld.so.conf.d/freetype.conf", "# the board's FreeType\n/opt/ft\n", 0o644)


def tools(root):
    busybox = elf(extra=b"BusyBox v1.35.0\0" + b"\0".join(a.encode() for a in APPLETS) + b"\0")
    put(root, "/bin/busybox", busybox)
    for applet in ["insmod", "rm", "mknod", "mount", "cp", "umount"]:
        link(root, "/bin/" + applet, "busybox")
    put(root, "/bin/dash", elf(["libc.so.6"], INTERP))
    link(root, "/bin/sh", "/bin/dash")
    for tool in ["ubiformat", "ubimkvol", "flash_erase"]:
        put(root, "/usr/sbin/" + tool, elf(["libc.so.6"], INTERP))
    put(root, "/usr/sbin/flash_eraseall", "#!/bin/sh\nexec flash_erase \"$@\"\n")
    put(root, "/sbin/mkfs.fat", elf(["libc.so.6"], INTERP))
    link(root, "/sbin/mkdosfs", "mkfs.fat")
    put(root, "/sbin/mke2fs", elf(["libc.so.6"], INTERP))
    put(root, "/lib/modules/ubi.ko", elf(), 0o644)


def busybox_init(root):
    link(root, "/sbin/init", "../bin/busybox")
    link(root, "/sbin/reboot", "../bin/busybox")
    put(root, "/etc/init.d/updater", from_template("updater.init.in", UPDATER_PROGRAM="/usr/sbin/updater",
                                                   UPDATER_DEFAULTS_FILE="/etc/default/updater"))
    put(root, "/etc/inittab", "::sysinit:/bin/mount -t proc proc /proc\n"
                              "::sysinit:/bin/mount -o remount,rw /\n"
                              "::sysinit:/etc/init.d/updater start\n"
                              "::sysinit:/bin/mount -a\n", 0o644)


def sysv_init(root):
    put(root, "/sbin/init", elf(["libc.so.6"], INTERP))
    put(root, "/sbin/reboot", elf(["libc.so.6"], INTERP))
    put(root, "/etc/init.d/updater", from_template("updater.init.in", UPDATER_PROGRAM="/usr/sbin/updater",
                                                   UPDATER_DEFAULTS_FILE="/etc/default/updater"))
    put(root, "/etc/init.d/mountall.sh", "#!/bin/sh\nmount -a\n")
    link(root, "/etc/rcS.d/S05updater", "../init.d/updater")
    link(root, "/etc/rcS.d/S10mountall.sh", "../init.d/mountall.sh")


def sysv_inittab_init(root):
    """SysV init as Buildroot sets it up: the script started from the
    inittab (its finalize hook's line), rcS after mount -a."""
    sysv_init(root)
    shutil.rmtree(os.path.join(root, "etc/rcS.d"))
    put(root, "/etc/inittab", "si1::sysinit:/bin/mount -t proc proc /proc\n"
                              "si2::sysinit:/bin/mount -o remount,rw /\n"
                              "upd::sysinit:/etc/init.d/updater start\n"
                              "si4::sysinit:/bin/mount -a\n"
                              "rcS:12345:wait:/etc/init.d/rcS\n", 0o644)


def systemd_init(root):
    put(root, "/lib/systemd/systemd", elf(["libc.so.6"], INTERP))
    link(root, "/sbin/init", "/lib/systemd/systemd")
    put(root, "/bin/systemctl", elf(["libc.so.6"], INTERP))
    link(root, "/sbin/reboot", "/bin/systemctl")
    unit = "/usr/lib/systemd/system/updater.service"
    put(root, unit, from_template("updater.service.in", UPDATER_PROGRAM="/usr/sbin/updater",
                                  UPDATER_DEFAULTS_FILE="/etc/default/updater"), 0o644)
    link(root, "/etc/systemd/system/sysinit.target.wants/updater.service", unit)
    os.makedirs(os.path.join(root, "var/log/journal"))


def without_glyph(font, char, out):
    from fontTools.ttLib import TTFont
    f = TTFont(font)
    for table in f["cmap"].tables:
        table.cmap.pop(ord(char), None)
    f.save(out)


def plant(root, fault, font):
    """The faults the tests plant, by name."""
    inittab = os.path.join(root, "etc/inittab")
    r = lambda p: os.path.join(root, p.lstrip("/"))
    if fault == "once":
        text = open(inittab).read().replace("::sysinit:/etc/init.d/updater", "::once:/etc/init.d/updater")
        put(root, "/etc/inittab", text, 0o644)
    elif fault == "after-mount-a":
        put(root, "/etc/inittab", "::sysinit:/bin/mount -t proc proc /proc\n::sysinit:/bin/mount -a\n"
                                  "::sysinit:/etc/init.d/updater start\n", 0o644)
    elif fault == "no-inittab-entry":
        text = open(inittab).read().replace("::sysinit:/etc/init.d/updater start\n", "")
        put(root, "/etc/inittab", text, 0o644)
    elif fault == "twice-in-inittab":
        put(root, "/etc/inittab", open(inittab).read() + "::once:/etc/init.d/updater start\n", 0o644)
    elif fault == "twice-by-rcs":
        link(root, "/etc/init.d/S50updater", "updater")
    elif fault == "rcs-only":
        plant(root, "no-inittab-entry", font)
        link(root, "/etc/init.d/S50updater", "updater")
    elif fault == "sysv-inittab-after-mount-a":
        text = open(inittab).read().replace("upd::sysinit:/etc/init.d/updater start\n", "")
        put(root, "/etc/inittab", text + "upd::sysinit:/etc/init.d/updater start\n", 0o644)
    elif fault == "sysv-linked-twice":
        link(root, "/etc/rcS.d/S20updater", "../init.d/updater")
    elif fault == "sysv-after-mountall":
        os.remove(r("/etc/rcS.d/S05updater"))
        link(root, "/etc/rcS.d/S20updater", "../init.d/updater")
    elif fault == "sysv-not-linked":
        os.remove(r("/etc/rcS.d/S05updater"))
    elif fault == "unit-not-enabled":
        os.remove(r("/etc/systemd/system/sysinit.target.wants/updater.service"))
    elif fault == "unit-masked":
        link(root, "/etc/systemd/system/updater.service", "/dev/null")
    elif fault == "unit-reordered":
        path = r("/usr/lib/systemd/system/updater.service")
        put(root, "/usr/lib/systemd/system/updater.service",
            open(path).read().replace("Before=local-fs-pre.target", "After=local-fs.target"), 0o644)
    elif fault == "journal-volatile":
        os.rmdir(r("/var/log/journal"))
    elif fault == "missing-library":
        os.remove(r("/usr/lib/%s/libpng16.so.16" % TRIPLET))
    elif fault == "font-without-bang":
        without_glyph(font, "!", r("/font/GOTHIC.TTF"))
    elif fault == "font-not-a-font":
        put(root, "/font/GOTHIC.TTF", b"\0\1\0\0" + bytes(64), 0o644)
    elif fault == "no-bin-sh":
        os.remove(r("/bin/sh"))
    elif fault == "font-link-out-of-image":
        # The host has this file; the image does not.
        os.remove(r("/font/GOTHIC.TTF"))
        link(root, "/font/GOTHIC.TTF", os.path.abspath(font))
    elif fault == "font-link-up-and-out":
        os.remove(r("/font/GOTHIC.TTF"))
        link(root, "/font/GOTHIC.TTF", "../" * 12 + os.path.abspath(font).lstrip("/"))
    elif fault == "no-ubi-module":
        os.remove(r("/lib/modules/ubi.ko"))
    elif fault == "no-mkdosfs":
        os.remove(r("/sbin/mkdosfs"))
    elif fault == "busybox-mke2fs":
        os.remove(r("/sbin/mke2fs"))
        link(root, "/sbin/mke2fs", "../bin/busybox")
    elif fault == "no-ubiformat-applet":
        os.remove(r("/usr/sbin/ubiformat"))
        link(root, "/usr/sbin/ubiformat", "../../bin/busybox")
    elif fault == "amd64-program":
        put(root, "/usr/sbin/updater", elf(["libc.so.6"], "/lib64/ld-linux-x86-64.so.2", machine=62, flags=0))
    elif fault == "truncated-program":
        put(root, "/usr/sbin/updater", open(r("/usr/sbin/updater"), "rb").read()[:60])
    elif fault == "long-label":
        put(root, "/etc/default/updater", "UPDATER_LABEL=USERDATA2026X\n", 0o644)
    elif fault == "garbage-inittab":
        put(root, "/etc/inittab", "\0\xff::::\n" + open(inittab).read() + "nonsense\n::bogus:/x\n", 0o644)
    elif fault == "link-loop":
        os.remove(r("/bin/sh"))
        link(root, "/bin/sh", "/bin/sh2")
        link(root, "/bin/sh2", "sh")
    elif fault:
        raise SystemExit("unknown fault " + fault)


def make(root, font, init="busybox", fault=None):
    if os.path.exists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    libraries(root)
    tools(root)
    put(root, "/usr/sbin/updater", elf(["libfreetype.so.6", "libc.so.6"], INTERP))
    put(root, "/etc/default/updater", "#UPDATER_LABEL=DATA\n", 0o644)
    with open(font, "rb") as f:
        put(root, "/font/GOTHIC.TTF", f.read(), 0o644)
    {"systemd": systemd_init, "sysv": sysv_init, "sysv-inittab": sysv_inittab_init}.get(init, busybox_init)(root)
    plant(root, fault, font)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--font", required=True)
    ap.add_argument("--init", default="busybox", choices=["busybox", "systemd", "sysv", "sysv-inittab"])
    ap.add_argument("--fault")
    a = ap.parse_args()
    make(a.out, a.font, a.init, a.fault)
