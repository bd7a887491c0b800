# SPDX-License-Identifier: MIT
"""The ARM system test's fixtures: the builds and images every boot takes
(session fixtures, made once for their inputs whichever test process asks
first), a fresh card, the host emulator's reference, and boot(), which starts
the board under QEMU and always ends it.

    /usr/bin/python3 -m pytest systest [-k NAME] [--rig build/systest/rig.json]
"""
import json
import os
import re
import shutil
from pathlib import Path
from types import SimpleNamespace

import pytest

from rig import board, build, card, images, screen
from rig.qemu import Guest

CONSOLE_TAIL = 40


def pytest_addoption(parser):
    parser.addoption("--rig", default=str(board.SOURCE / "build/systest/rig.json"),
                     help="the build's paths for the rig, written by CMake (default: %(default)s)")


@pytest.fixture(scope="session")
def rig(pytestconfig):
    path = Path(pytestconfig.getoption("rig"))
    if not path.exists():
        pytest.exit("no %s: configure the build first (cmake -S . -B build)" % path, 2)
    paths = json.loads(path.read_text())
    assert os.geteuid() == 0, "the rig must run as root: an initramfs needs a /dev/console node"
    unbuilt = [name for name, value in paths.items() if not value]
    assert not unbuilt, "this build has no %s (%s): the rig needs the host emulator, the image check, " \
        "fb-to-png and ubi-check" % (unbuilt, path)
    return SimpleNamespace(**{k: Path(v) if v else None for k, v in paths.items()})


@pytest.fixture(scope="session")
def work(rig):
    rig.work.mkdir(parents=True, exist_ok=True)
    return rig.work


@pytest.fixture(scope="session")
def armhf(rig, work):
    """The program cross-built for the board: dynamically linked (with the
    board library beside it) and fully static, as the armhf-static preset
    builds it against the lean vendored FreeType."""
    missing = [t for t in ("arm-linux-gnueabihf-g++", "arm-linux-gnueabihf-readelf", "qemu-system-arm")
               if not shutil.which(t)]
    assert not missing, "missing tools %s: run scripts/setup.sh" % missing
    builds = {"armhf": ["--toolchain", rig.source / "cmake/toolchains/armhf.cmake", "-DCMAKE_BUILD_TYPE=Release",
                        "-DCMAKE_INSTALL_PREFIX=/usr"],
              "armhf-static": ["--preset", "armhf-static"]}
    with build.locked(work / "armhf.lock"):
        for name, args in builds.items():
            build.run(["cmake", "-S", rig.source, "-B", work / name, *args], work / (name + "-configure.log"),
                      what="configure " + name)
            build.run(["cmake", "--build", work / name, "-j2"], work / (name + "-build.log"), what="build " + name)
    return SimpleNamespace(dynamic=work / "armhf", static=work / "armhf-static")


@pytest.fixture(scope="session")
def kpart(work):
    return images.kernel_part(work, work / "debs")


@pytest.fixture(scope="session")
def buildroot_base(work):
    """The board's Buildroot system without the program: the long build when
    the machine's cache is cold."""
    images.buildroot_base(work)


@pytest.fixture(scope="session")
def busybox(rig, work, buildroot_base, kpart):
    """The BusyBox system every BusyBox boot takes, made by Buildroot: rootfs/
    and its initramfs.cpio.gz. The board's system comes before the kernel
    part, which another test process may be making meanwhile."""
    return images.busybox_system(work, rig.source, kpart, rig.font, rig.check_tool)


@pytest.fixture(scope="session")
def static_busybox(rig, work, busybox, armhf):
    return images.static_initramfs(work, busybox, armhf.static, rig.check_tool)


@pytest.fixture(scope="session")
def deb_package(rig, work):
    """The Debian package cross-built from the tree as a clone holds it
    (tracked files and new ones), made again when any of them changes."""
    key = build.tree_digest(rig.source)

    def make(out):
        build.run(["bash", images.SYSTEST / "deb-package.sh", "--source", rig.source, "--out", out],
                  work / "deb-build.log", what="dpkg-buildpackage -aarmhf")
        build.run(["dpkg-deb", "-e", next(out.glob("*_armhf.deb")), out / "control"], work / "deb-control.log")
    out = build.cached(work / "deb", key, make)
    deb = out / "orvane-updater_armhf.deb"
    contents = [line.split()[-1].removeprefix(".") for line in build.output("dpkg-deb", "-c", deb).splitlines()]
    return SimpleNamespace(deb=deb.resolve(), changes=next(out.glob("*_armhf.changes")), control=out / "control",
                           contents=contents)


@pytest.fixture(scope="session")
def debian_root(rig, work, kpart, deb_package):
    return images.debian_root(work, images.debian_tarball(work), kpart, deb_package.deb, rig.font, rig.check_tool)


@pytest.fixture
def boot_work(request, work):
    """The test's own work folder, fresh: its card, consoles and screens."""
    folder = work / "boots" / re.sub(r"[^\w.-]+", "-", request.node.name.removeprefix("test_")).strip("-")
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


@pytest.fixture
def fresh_card(boot_work):
    """A fresh card and its state before the boot."""
    img = boot_work / "card.img"
    card.create(img, boot_work)
    return SimpleNamespace(path=img, before=card.record(img, boot_work))


@pytest.fixture
def reference(rig, boot_work):
    """The host emulator's screen and commands for a command line on a panel."""
    def make(name, cmdline, panel, *options, args=("DATA",)):
        return screen.host_reference(rig.host_sim, rig.font, boot_work / (name + "-host"), cmdline, panel,
                                     *options, args=args)
    return make


@pytest.fixture
def boot(request, kpart, boot_work):
    """boot(name, cmdline, card, initrd, dtb=..., extra=...) starts the board
    and gives its Guest; .end() waits for the guest to end and gives its Run.
    Whatever fails, every QEMU started is ended."""
    guests = request.node.guests = []

    def start(name, cmdline, card_path, initrd, dtb="board.dtb", extra=(), timeout=600):
        guest = Guest(boot_work, name, kpart / "boot/vmlinuz", kpart / "boot" / dtb, initrd, cmdline, card_path,
                      extra, timeout)
        guests.append(guest)
        print("%s: QEMU started, %s" % (name, cmdline))
        return guest
    yield start
    for guest in guests:
        guest.kill()
        print("%s: QEMU ended %.0f s after its start" % (guest.name, guest.elapsed()))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed boot shows the last lines of each guest's console."""
    report = (yield).get_result()
    if report.failed:
        for guest in getattr(item, "guests", []):
            tail = "\n".join(guest.shown()[-CONSOLE_TAIL:])
            report.sections.append(("last console lines of %s (%s)" % (guest.name, guest.console_log), tail))
