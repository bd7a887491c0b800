# SPDX-License-Identifier: MIT
"""The test board's fixed facts, each written once: what the host hands the
guest (the NAND split, the clock, the panels) and what it reads from the
program's own headers (device names, the lines no good run prints)."""
import re
from dataclasses import dataclass
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]

# The simulated NAND chip the guest's set-up asks nandsim for (these ID bytes
# make it 128 MiB with 2 KiB pages): 1024 eraseblocks of 128 KiB, split like
# the board's into partitions of these many eraseblocks, the rest, the board's
# user area mtd6, after them.
NAND_ID_BYTES = "0x20,0xa1,0x00,0x15"
NAND_PEB = 131072
NAND_CHIP_PEBS = 1024
NAND_PARTS = (8, 32, 8, 128, 8, 8)
NAND_MTD6_FIRST = sum(NAND_PARTS)
NAND_MTD6_PEBS = NAND_CHIP_PEBS - NAND_MTD6_FIRST
NANDSIM_PARAMS = "id_bytes=%s parts=%s" % (NAND_ID_BYTES, ",".join(map(str, NAND_PARTS)))
# The worn chip of the data boot: two bad eraseblocks of the chip, inside mtd6.
NAND_BAD_PEBS = (300, 700)
# A wall clock past the end of 32-bit time.
RTC_PAST_2038 = "2040-01-01T00:00:00"
# Mode 1 waits for the card this long after its last command before the host
# pulls it (the emulator's polls stand for the same wait).
CARD_PULL_AFTER_S = 5


@dataclass(frozen=True)
class Panel:
    """An overlay panel: the device tree that makes it and its depth."""
    dtb: str
    bpp: int
    width: int = 800
    height: int = 480

    @property
    def screen(self):
        return "%dx%dx%d" % (self.width, self.height, self.bpp)

    @property
    def stride(self):
        return self.width * self.bpp // 8

    @property
    def frame_bytes(self):
        return self.stride * self.height


PANEL_16 = Panel("board.dtb", 16)
PANEL_32 = Panel("board-32bpp.dtb", 32)


def c_defines(header):
    """The string #defines of a C header: name -> text."""
    text = (SOURCE / header).read_text()
    return {m[1]: m[2].encode().decode("unicode_escape")
            for m in re.finditer(r'^#define\s+(\w+)\s+"((?:[^"\\]|\\.)*)"', text, re.M)}


NAMES = c_defines("board/names.h")
FB_NODE = NAMES["FB_NODE"]
CTP_NODE = NAMES["CTP_NODE"]
MMC_NODE_PREFIX = NAMES["MMC_NODE_PREFIX"]
# The last command of every mode that changes the storage, as the console
# shows it.
REBOOT_LINE = "cmd: " + c_defines("updater/mode_nand.h")["REBOOT_COMMAND"]


def fault_lines_by_name():
    """What the program prints only when something failed: every #define whose
    name holds _ERR_ in the headers of the units that print them."""
    found = {}
    for header in ("display/framebuffer.h", "display/text.h", "updater/mode_nand.h"):
        found.update((name, text) for name, text in c_defines(header).items() if "_ERR_" in name)
    return found


def fault_lines():
    """The fault lines as a console shows them: each text up to its first %."""
    return [text.split("%")[0].rstrip("\n") for text in fault_lines_by_name().values()]


# The card's partitions that the guest's init mounts, from its fstab.
FSTAB_NODES = re.findall(r"^(%s\S+)" % re.escape(MMC_NODE_PREFIX), (SOURCE / "systest/guest/fstab").read_text(), re.M)
