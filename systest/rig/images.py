# SPDX-License-Identifier: MIT
"""The images the boots take: the board's kernel part, the BusyBox system
Buildroot makes and the initramfs packed from it, the one with the static
program, and the checks every root passes before it is packed."""
import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path

from . import board
from .build import cached, digest, locked, output, run, tree_digest

SYSTEST = board.SOURCE / "systest"
BUILDROOT = SYSTEST / "buildroot/build.sh"
LIB_DIRS = ("lib/arm-linux-gnueabihf", "usr/lib/arm-linux-gnueabihf", "lib", "usr/lib")
# The shell and the tools the updater's commands run, whose libraries must be
# in the image.
TOOLS = ("bin/sh", "sbin/mke2fs", "sbin/mkfs.fat", "usr/sbin/flash_erase", "usr/sbin/ubiformat", "usr/sbin/ubimkvol")
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


def dynamic_program(elf, what):
    """The dynamic program as a board takes it: it loads FreeType and nothing
    of the C++ runtime (plain procedural code without exceptions or RTTI),
    and on this 32-bit board it has 64-bit time and file offsets: glibc's
    time64 entry points, none of the 32-bit ones (time() of those fails from
    2038 on). Gives the libraries it needs."""
    libs = needed(elf)
    assert "libfreetype.so.6" in libs, "%s does not load FreeType: %s" % (what, libs)
    runtime = [lib for lib in libs if lib.startswith(("libstdc++", "libgcc_s"))]
    assert not runtime, "%s needs the C++ runtime: %s" % (what, libs)
    rows = [row.split() for row in output("readelf", "--dyn-syms", "-W", elf).splitlines()]
    imports = {row[7].split("@")[0] for row in rows if len(row) > 7 and row[6] == "UND"}
    assert "__time64" in imports, "%s does not call __time64: built with a 32-bit time_t" % what
    old = sorted(imports & {"time", "ioctl", "open", "mmap", "lseek"})
    assert not old, "%s calls the 32-bit %s" % (what, old)
    return libs


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


def buildroot_base(work):
    """The board's Buildroot system without the program, from the machine's
    cache or built into it: the long step when that cache is cold, which
    needs nothing of the rest and so comes first. Every test process asks
    for it, and build.sh works in one folder of the clone (the configuration
    it keys by, the output): one process at a time."""
    with locked(Path(work) / "buildroot.lock"):
        run(["bash", BUILDROOT, "base", "--work", Path(work) / "buildroot"], Path(work) / "buildroot-base.log",
            what="systest/buildroot/build.sh base")


def busybox_system(work, source, kpart, font, check_tool):
    """The board's BusyBox system as Buildroot makes it, the program's package
    built from the tree on top and the kernel part laid over it
    (systest/buildroot); its rootfs.tar checked as a board maker checks an
    image before flashing it, then unpacked and packed as the initramfs:
    WORK/busybox/{rootfs/,initramfs.cpio.gz}. Made again when the tree, the
    cross compiler, the kernel part or the font change."""
    toolchain = output("bash", BUILDROOT.with_name("toolchain.sh"), "--key")
    key = digest(tree_digest(source), toolchain, Path(font), kpart.with_name("kpart.key").read_text())

    def make(out):
        out.mkdir()
        made = Path(work) / "buildroot"
        with locked(Path(work) / "buildroot.lock"):
            run(["bash", BUILDROOT, "system", "--work", made, "--kpart", kpart, "--font", font], out / "build.log",
                what="systest/buildroot/build.sh system")
        check_image(check_tool, made / "rootfs.tar", (1, 2, 3))
        root = out / "rootfs"
        root.mkdir()
        subprocess.run(["tar", "-x", "-p", "--numeric-owner", "-f", str(made / "rootfs.tar"), "-C", str(root)],
                       check=True)
        closure(root, ("usr/sbin/updater",) + TOOLS)
        nothing_preloaded(root)
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
        for lib in (lib for d in LIB_DIRS if (root / d).is_dir() for lib in (root / d).iterdir()):
            if lib.name.startswith(FREETYPE_LIBS):
                lib.unlink()
        closure(root, TOOLS)
        check_image(check_tool, root, (2,))
        pack(root, out / "initramfs.cpio.gz")
    return cached(Path(work) / "busybox-static", key, make)


# What mmdebstrap adds to Debian's minimal system: systemd as init, udev
# (without it systemd never sees the card, and the fstab cannot be mounted),
# kmod (depmod, modprobe), and the program's library and the tools of the
# modes.
DEBIAN_SUITE = "bookworm"
DEBIAN_PACKAGES = ("systemd-sysv", "udev", "kmod", "libfreetype6", "mtd-utils", "dosfstools", "e2fsprogs")


def debian_tarball(work):
    """The Debian 12 armhf root file system made by mmdebstrap, kept in the
    machine's cache (UPDATER_CACHE, by default ~/.cache/orvane-updater), where
    a fresh clone's build finds it, by a key of its package list, the options
    and the version apt offers of each listed package: a new version of any
    of them makes it again. The cache keeps one root, the newest."""
    names = [p + ":armhf" for p in DEBIAN_PACKAGES]
    versions = re.findall(r"^\s*Candidate: (.*)$", output("apt-cache", "policy", *names, check=False), re.M)
    assert len([v for v in versions if v != "(none)"]) == len(names), \
        "apt offers no armhf version of some of %s (apt-get update after dpkg --add-architecture armhf?)" % names
    key = hashlib.sha256(("mmdebstrap --architectures=armhf --variant=minbase %s\n%s\n%s\n" % (
        DEBIAN_SUITE, " ".join(names), "\n".join(versions))).encode()).hexdigest()[:16]
    cache = Path(os.environ.get("UPDATER_CACHE") or Path(os.environ.get("XDG_CACHE_HOME") or
                                                           Path.home() / ".cache") / "orvane-updater")
    try:
        cache.mkdir(parents=True, exist_ok=True)
        os.access(cache, os.W_OK) or cache.rmdir()
    except OSError:
        cache = Path(work)
    tar = cache / ("debian-rootfs-%s.tar" % key)
    with locked(cache / "debian-rootfs.lock"):
        if not tar.exists():
            assert subprocess.run(["arch-test", "armhf"], capture_output=True).returncode == 0, \
                "armhf programs cannot run on this host (qemu-user-static with binfmt_misc: run scripts/setup.sh)"
            run(["mmdebstrap", "--quiet", "--format=tar", "--architectures=armhf", "--variant=minbase",
                 "--include=" + ",".join(DEBIAN_PACKAGES), DEBIAN_SUITE, str(tar) + ".part"],
                Path(work) / "mmdebstrap.log", what="mmdebstrap")
            for old in cache.glob("debian-rootfs-*.tar"):
                old.unlink()
            os.rename(str(tar) + ".part", tar)
    return tar


def debian_root(work, tarball, kpart, deb, font, check_tool):
    """WORK/debian/{debian-root/,initramfs-bootloader.cpio.gz}: the Debian
    system with the package installed by its own dpkg, and the boot loader's
    part; made again when the tarball, the package, the kernel part or the
    test board change."""
    key = digest(tarball.name, Path(deb), kpart.with_name("kpart.key").read_text(), SYSTEST / "debian-root.sh",
                 SYSTEST / "guest", Path(font))

    def make(out):
        out.mkdir()
        run(["bash", SYSTEST / "debian-root.sh", "--tarball", tarball, "--deb", deb, "--kpart", kpart,
             "--debs", Path(work) / "debs", "--font", font, "--out", out], out / "build.log", what="debian-root.sh")
        root = out / "debian-root"
        assert (root / "etc/systemd/system/sysinit.target.wants/updater.service").is_symlink(), \
            "the package's scripts did not enable updater.service (no sysinit.target.wants link)"
        nothing_preloaded(root)
        check_image(check_tool, root, (2,))
    return cached(Path(work) / "debian", key, make)
