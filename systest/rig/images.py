# SPDX-License-Identifier: MIT
"""The images the boots take: the board's kernel part, the BusyBox system
and the initramfs packed from it, the one with the static program, and the
checks every root passes before it is packed."""
import os
import re
import shutil
import subprocess
from pathlib import Path

from . import board
from .build import cached, digest, output, run

SYSTEST = board.SOURCE / "systest"
LIB_DIRS = ("lib/arm-linux-gnueabihf", "usr/lib/arm-linux-gnueabihf", "lib", "usr/lib")
# The tools the updater's commands run, whose libraries must be in the image.
TOOLS = ("bin/dash", "sbin/mke2fs", "sbin/mkfs.fat", "usr/sbin/flash_erase", "usr/sbin/ubiformat", "usr/sbin/ubimkvol")
# What only the dynamic program loads, taken out for the static one.
FREETYPE_LIBS = ("libfreetype", "libpng16", "libbrotli")


def kernel_part(work, debs):
    """KPART: boot/ (kernel, configuration, device trees) and root/ (the files
    laid over a root file system)."""
    kernel = output("apt-cache", "depends", "linux-image-armmp:armhf", check=False)
    key = digest(SYSTEST / "kernel-part.sh", SYSTEST / "fetch-debs.sh", SYSTEST / "osdfb", SYSTEST / "ubiblk",
                 *sorted((SYSTEST / "guest").glob("*.[cd]*")), board.SOURCE / "board/names.h",
                 board.SOURCE / "third_party/yaffs2", board.NANDSIM_PARAMS, kernel)
    return cached(Path(work) / "kpart", key, lambda out: run(
        ["bash", SYSTEST / "kernel-part.sh", "--debs", debs, "--work", Path(work) / "kernel-work",
         "--nandsim", board.NANDSIM_PARAMS, "--out", out], Path(work) / "kernel-part.log", what="kernel-part.sh"))


def needed(elf):
    return re.findall(r"\(NEEDED\).*\[(.*)\]", output("readelf", "-d", elf, check=False))


def closure(root, programs):
    """Every library the programs load, and theirs, is in the image: a missing
    one would only show as a failed command deep inside the boot."""
    todo, seen = [Path(root) / p for p in programs], set()
    while todo:
        elf = todo.pop()
        for lib in needed(elf):
            if lib in seen:
                continue
            seen.add(lib)
            found = [Path(root) / d / lib for d in LIB_DIRS if (Path(root) / d / lib).exists()]
            assert found, "%s needs %s, which is not in the image %s" % (elf.name, lib, root)
            todo.append(found[0].resolve())


def check_image(tool, root, modes):
    """A root file system checked as a board maker would before flashing it,
    for the modes its boots run: when it is not ready, the check's report
    says why."""
    args = [a for m in modes for a in ("--mode", str(m))]
    p = subprocess.run([str(tool), *args, str(root)], capture_output=True, text=True)
    first = next((line for line in p.stdout.splitlines() if line.startswith("FAIL")), "")
    assert p.returncode == 0, "the image %s is not ready for updater mode(s) %s: %s\n%s" % (
        root, modes, first, p.stdout + p.stderr)


def nothing_preloaded(root):
    """Nothing is loaded into the program: the kernel's stand-ins answer it."""
    found = list(Path(root).rglob("libupdater_board*"))
    assert not found, "the board emulator's library is in the image: %s" % found
    defaults = (Path(root) / "etc/default/updater").read_text()
    assert "PRELOAD" not in defaults, "the image's /etc/default/updater preloads a library:\n" + defaults


def pack(root, out):
    """ROOT as a gzip'd newc initramfs."""
    subprocess.run(["bash", "-c", 'cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1 >"$2"',
                    "pack", str(root), str(out)], check=True)
    return Path(out)


def busybox_initramfs(work, kpart, arm_build, font, check_tool):
    """The BusyBox system with the program as installed, checked and packed:
    WORK/busybox/{rootfs/,initramfs.cpio.gz}."""
    stage = Path(work) / "armhf-install"
    shutil.rmtree(stage, ignore_errors=True)
    run(["cmake", "--install", arm_build, "--prefix", "/usr", "--strip"], str(stage) + ".log",
        env={**os.environ, "DESTDIR": str(stage)}, what="cmake --install")
    key = digest(SYSTEST / "busybox-system.sh", SYSTEST / "guest", stage, Path(font), (kpart.with_name("kpart.key")).read_text())

    def make(out):
        out.mkdir()
        run(["bash", SYSTEST / "busybox-system.sh", "--debs", Path(work) / "debs", "--kpart", kpart,
             "--arm-build", arm_build, "--font", font, "--out", out / "rootfs"], out / "build.log",
            what="busybox-system.sh")
        root = out / "rootfs"
        closure(root, ("usr/sbin/updater",) + TOOLS)
        nothing_preloaded(root)
        check_image(check_tool, root, (1, 2, 3))
        pack(root, out / "initramfs.cpio.gz")
    return cached(Path(work) / "busybox", key, make)


def static_initramfs(work, busybox, static_build, check_tool):
    """The fully static program in a copy of the BusyBox system without
    FreeType and the libraries only FreeType loads, so that nothing of the
    dynamic program's is there for it to use."""
    key = digest((busybox.with_name("busybox.key")).read_text(), Path(static_build) / "updater")

    def make(out):
        out.mkdir()
        root = out / "rootfs"
        subprocess.run(["cp", "-a", str(busybox / "rootfs"), str(root)], check=True)
        run(["cmake", "--install", static_build, "--prefix", "/usr", "--strip"], out / "install.log",
            env={**os.environ, "DESTDIR": str(root)}, what="cmake --install (static)")
        shutil.copy(SYSTEST / "guest/updater.default", root / "etc/default/updater")
        program = root / "usr/sbin/updater"
        headers = output("readelf", "-l", program)
        assert "program interpreter" not in headers and not needed(program), \
            "the static build installed a program that loads libraries: %s" % needed(program)
        for lib in (root / "usr/lib/arm-linux-gnueabihf").iterdir():
            if lib.name.startswith(FREETYPE_LIBS):
                lib.unlink()
        closure(root, TOOLS)
        check_image(check_tool, root, (2,))
        pack(root, out / "initramfs.cpio.gz")
    return cached(Path(work) / "busybox-static", key, make)
