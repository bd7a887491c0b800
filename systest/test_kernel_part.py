# SPDX-License-Identifier: MIT
"""The board's kernel part, which every boot takes: laid out as a root file
system's overlay takes it, its device trees' framebuffers where the board
has them."""
import pytest

from rig.build import output

# The motherboard's video RAM, where both framebuffers must lie.
VRAM = (0x4c000000, 8 << 20)
# /dev/fb0 is the kernel's generic framebuffer; /dev/fb1 is made by the
# stand-in overlay driver, which answers the OSD start request.
FRAMEBUFFERS = (("/framebuffer@4c000000", "simple-framebuffer"), ("/framebuffer@4c200000", "systest,osd-framebuffer"))
FORMAT_BYTES = {"r5g6b5": 2, "r8g8b8": 3, "x8r8g8b8": 4}
KPART_FILES = ("boot/vmlinuz", "boot/kernel.config", "boot/board.dtb", "boot/board-32bpp.dtb",
               "root/lib/modules/ubi.ko", "root/lib/modules/systest/osdfb.ko", "root/lib/modules/systest/ubiblk.ko",
               "root/lib/modules/systest/yaffs2multi.ko", "root/sbin/rtc-to-clock", "root/sbin/osd-check",
               "root/etc/systest/modules")


def test_kernel_part_layout(kpart):
    missing = [f for f in KPART_FILES if not (kpart / f).is_file()]
    assert not missing, "the kernel part %s lacks %s" % (kpart, missing)
    trees = list((kpart / "root/lib/modules").glob("*/modules.order"))
    assert len(trees) == 1 and (trees[0].parent / "modules.builtin").is_file(), \
        "the kernel part's root holds not exactly one module tree with its lists: %s" % trees
    listed = [line.split()[0] for line in (kpart / "root/etc/systest/modules").read_text().splitlines()]
    absent = [m for m in listed if not (trees[0].parent / "kernel" / m).is_file()]
    assert listed and not absent, "the guest's load list names modules the kernel part lacks: %s" % absent


@pytest.mark.parametrize("dtb", ["board", "board-32bpp"])
def test_device_tree_framebuffers(kpart, dtb):
    """The kernel maps whatever reg says: a wrong size would only show as a
    short or foreign screen dump. Each framebuffer's memory holds exactly its
    lines, lies in the video RAM and overlaps no other."""
    path = kpart / "boot" / (dtb + ".dtb")
    ends = []
    for node, compatible in FRAMEBUFFERS:
        prop = lambda name: output("fdtget", path, node, name, check=False).strip()
        assert prop("compatible") == compatible, "%s: %s is '%s', expected %s" % (
            dtb, node, prop("compatible"), compatible)
        addr, size = map(int, prop("reg").split())
        width, height, stride = (int(prop(p)) for p in ("width", "height", "stride"))
        fmt = prop("format")
        per_pixel = FORMAT_BYTES.get(fmt, 0)
        assert per_pixel and stride >= width * per_pixel and size == stride * height, \
            "%s: %s: reg size %d is not %d lines of %d bytes of %s" % (dtb, node, size, height, stride, fmt)
        assert VRAM[0] <= addr and addr + size <= sum(VRAM), "%s: %s reaches outside the video RAM" % (dtb, node)
        ends.append((addr, addr + size))
    assert ends[0][1] <= ends[1][0], "%s: the two framebuffers overlap: %s" % (dtb, ends)
