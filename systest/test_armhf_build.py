# SPDX-License-Identifier: MIT
"""The program cross-built for the board (armhf), dynamically linked with the
board library beside it and fully static: the architecture and ABI, 64-bit
time and file offsets, the libraries each needs, the install rule putting the
program in sbin under any prefix, nothing of the host in the configuration,
and the static one, built by its preset against the lean vendored FreeType,
carrying no compression or image code in at most 500,000 bytes stripped."""
import glob
import os
import re
import subprocess

import pytest

from rig import images
from rig.build import output, run

TRIPLE = "arm-linux-gnueabihf"
STATIC_LIMIT = 500_000


def readelf(*args):
    return output(TRIPLE + "-readelf", *args)


def needed(elf):
    return sorted(re.findall(r"\(NEEDED\).*\[(.*)\]", readelf("-d", elf)))


def program(armhf, kind):
    return {"dynamic": armhf.dynamic / "updater", "static": armhf.static / "updater",
            "board library": armhf.dynamic / "sim/libupdater_board.so"}[kind]


@pytest.mark.parametrize("kind", ["dynamic", "static", "board library"])
def test_arm_eabi5_hard_float(armhf, kind):
    """The board: 32-bit ARM, EABI 5, hard-float calling convention."""
    header = readelf("-h", program(armhf, kind))
    for field, pattern in (("Class", r"ELF32"), ("Machine", r"ARM"), ("Flags", r".*Version5 EABI.*hard-float ABI")):
        found = re.search(r"^\s*%s:\s+(.*)$" % field, header, re.M)
        assert found and re.match(pattern, found[1]), "%s: %s is '%s', expected %s" % (
            kind, field, found and found[1], pattern)


def test_dynamic_program(armhf):
    elf = program(armhf, "dynamic")
    assert "[Requesting program interpreter: /lib/ld-linux-armhf.so.3]" in readelf("-l", elf), \
        "the dynamic program does not use the armhf loader"
    print("the dynamic program needs:", images.dynamic_program(elf, "the dynamic program"))


def test_board_library_needs_only_the_c_library(armhf):
    extra = set(needed(program(armhf, "board library"))) - {"libc.so.6", "libdl.so.2", "ld-linux-armhf.so.3"}
    assert not extra, "the board library needs %s (only the C library is on every board)" % sorted(extra)


def test_static_program(armhf):
    elf = program(armhf, "static")
    assert "program interpreter" not in readelf("-l", elf), "the static program asks for a program interpreter"
    assert not needed(elf), "the static program needs shared libraries: %s" % needed(elf)
    # Its FreeType draws TrueType glyphs and nothing else.
    extra = [row.split()[2] for row in output(TRIPLE + "-nm", elf).splitlines()
             if len(row.split()) == 3 and row.split()[1] in "TtDdBbRr"
             and re.match(r"(png_|inflate|deflate|Brotli|BZ2_|hb_)", row.split()[2])]
    assert not extra, "the static program carries compression or image code: %s" % extra[:3]
    print("the static program runs on Linux %s and later" % re.search(r"ABI:\s*(\S+)", readelf("-n", elf))[1])


@pytest.mark.parametrize("prefix", ["/usr", "/opt/board"])
@pytest.mark.parametrize("build", ["dynamic", "static"])
def test_install_rule(armhf, tmp_path, build, prefix):
    """The program lands in sbin under whatever prefix the board image uses."""
    folder = armhf.dynamic if build == "dynamic" else armhf.static
    run(["cmake", "--install", folder, "--prefix", prefix], tmp_path / "install.log",
        env={**os.environ, "DESTDIR": str(tmp_path / "root")})
    installed = tmp_path / "root" / prefix.lstrip("/") / "sbin/updater"
    assert installed.is_file(), "%s: the install with prefix %s left no %s/sbin/updater" % (build, prefix, prefix)
    assert installed.read_bytes() == (folder / "updater").read_bytes(), \
        "%s: the installed program differs from the built one" % build


@pytest.mark.parametrize("build", ["dynamic", "static"])
def test_configuration_is_the_boards(armhf, build):
    """Nothing found for the target may come from the host's multiarch folder,
    and the compiler is the cross one."""
    folder = armhf.dynamic if build == "dynamic" else armhf.static
    host = output("gcc", "-print-multiarch", check=False).strip()
    cache = (folder / "CMakeCache.txt").read_text()
    leaked = [line for line in cache.splitlines() if re.match(r"(FREETYPE|PNG|ZLIB)[A-Z_]*:", line)
              and host and "/%s/" % host in line]
    assert not leaked, "%s: a host library was picked up: %s" % (build, leaked[:3])
    compilers = "".join(open(f).read() for f in glob.glob(str(folder / "CMakeFiles/*/CMakeCXXCompiler.cmake")))
    assert re.search(r'^set\(CMAKE_CXX_COMPILER "[^"]*%s-g\+\+"\)' % TRIPLE, compilers, re.M), \
        "%s: not compiled with %s-g++" % (build, TRIPLE)


def test_sizes(armhf, tmp_path):
    """cmake --install --strip, as a board image is made, strips as the cross
    strip does; the static program, made for an initramfs, fits its limit."""
    sizes = {}
    for name, elf in (("dynamic", program(armhf, "dynamic")), ("static", program(armhf, "static"))):
        subprocess.run([TRIPLE + "-strip", "-o", str(tmp_path / name), str(elf)], check=True)
        sizes[name] = (tmp_path / name).stat().st_size
    print("stripped sizes (bytes):", sizes)
    run(["cmake", "--install", armhf.dynamic, "--prefix", "/usr", "--strip"], tmp_path / "install.log",
        env={**os.environ, "DESTDIR": str(tmp_path / "root")})
    assert (tmp_path / "root/usr/sbin/updater").read_bytes() == (tmp_path / "dynamic").read_bytes(), \
        "cmake --install --strip did not install the stripped program"
    assert sizes["static"] <= STATIC_LIMIT, "the static program is %d bytes stripped, over %d" % (
        sizes["static"], STATIC_LIMIT)
