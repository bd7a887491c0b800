# SPDX-License-Identifier: MIT
"""The rig's own checks catch real faults, without booting: each kind of
damage a broken updater could do, planted in a copy of a good result, must
fail its check with the right message, and the good result must pass. The
commands each mode must run come, as in the boots, from the host emulator's
record of the same command line."""
import re
import shutil
import struct
import subprocess
import zlib

import pytest

import dataset
from rig import board, card, console, nand
from rig.build import output
from rig.screen import host_reference


def verdict(check, pattern):
    """CHECK passes when PATTERN is None, else fails matching it."""
    if pattern is None:
        check()
    else:
        with pytest.raises(AssertionError, match=pattern) as failed:
            check()
        lines = str(failed.value).splitlines()
        print("the check failed as it must:", next((line for line in lines if re.search(pattern, line)), lines[0]))


@pytest.fixture(scope="module")
def commands(rig, tmp_path_factory):
    """The commands of a mode-1 and a mode-2 run (label DATA) as the emulator
    records them."""
    out = tmp_path_factory.mktemp("sim")
    return {mode: host_reference(rig.host_sim, rig.font, out / str(mode), "updater=%d,0,0" % mode,
                                 board.PANEL_16).commands for mode in (1, 2)}


# ---- the card ---------------------------------------------------------------

def format_like_updater(img, n, kind, tmp, label=""):
    """What the updater's commands do on the board, done on the host."""
    fs = card.extract(img, n, tmp / "part.fs")
    cmd = {"ext3": ["mke2fs", "-q", "-t", "ext3"], "ext4": ["mke2fs", "-q", "-t", "ext4"],
           "fat32": ["mkdosfs", "-F", "32", "-n", label]}[kind]
    subprocess.run(cmd + [str(fs)], check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    card.insert(img, n, fs)


def flip(img, offset):
    with open(img, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([(byte + 1) % 256]))


def zero_block_bitmap(img, n, tmp):
    fs = card.extract(img, n, tmp / "part.fs")
    dump = output("dumpe2fs", fs, check=False)
    bitmap = int(dump.split("Block bitmap at ")[1].split()[0])
    size = int(dump.split("Block size:")[1].split()[0])
    with open(fs, "r+b") as f:
        f.seek(bitmap * size)
        f.write(b"\0" * size)
    card.insert(img, n, fs)


@pytest.fixture(scope="module")
def cards(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("card")
    shutil.rmtree(tmp)
    tmp.mkdir()
    card.create(tmp / "card.img", tmp)
    before = card.record(tmp / "card.img", tmp)
    shutil.copy(tmp / "card.img", tmp / "good.img")
    for n, kind, label in ((3, "ext3", ""), (5, "ext3", ""), (6, "fat32", "DATA")):
        format_like_updater(tmp / "good.img", n, kind, tmp, label)
    starts = {p["number"]: (p["start"], p["start"] + p["size"]) for p in card.table(tmp / "card.img")["partitions"]}
    return tmp, before, starts


S = card.SECTOR
# id: the damage (tmp, image, partition bounds), the commands it is held to,
# the message its check must fail with (None: it must pass).
CARD_CASES = {
    "correct-run": (None, 2, None),
    "nothing-done": (lambda t, i, p: shutil.copy(t / "card.img", i), 2, r"partition 3: blkid type 'ext4'"),
    "byte-in-partition-2": (lambda t, i, p: flip(i, p[2][0] * S + 4096), 2, r"partition-2 .* changed"),
    "logical-partitions-ebr": (lambda t, i, p: flip(i, p[5][1] * S + 446 + 8), 2,
                               r"the partition table changed: partition 6 start"),
    "gap-before-partition-6": (lambda t, i, p: flip(i, (p[6][0] - 1) * S), 2, r"extended-outside-5-6@\d+ .* changed"),
    "disk-signature": (lambda t, i, p: flip(i, 440), 2, r"the partition table changed"),
    "boot-code": (lambda t, i, p: flip(i, 100), 2, r"outside-partitions@0 .* changed"),
    "partition-5-left-alone": (lambda t, i, p: card.insert(i, 5, card.extract(t / "card.img", 5, t / "p5")), 2,
                               r"partition 5: blkid type 'ext2'"),
    "ext4-not-ext3": (lambda t, i, p: format_like_updater(i, 3, "ext4", t), 2, r"partition 3: blkid type 'ext4'"),
    "default-label": (lambda t, i, p: format_like_updater(i, 6, "fat32", t, "OrvaneIC"), 2,
                      r"partition 6: label 'OrvaneIC'"),
    "damaged-ext3": (lambda t, i, p: zero_block_bitmap(i, 3, t), 2, r"partition 3: e2fsck"),
    # The checks follow the commands: a partition they do not format must be as
    # it was, and no command at all leaves nothing to pass.
    "formatted-without-its-command": (None, "without-p5", r"partition-5 .* changed"),
    "no-recorded-command": (lambda t, i, p: shutil.copy(t / "card.img", i), "none", r"no partition to check"),
}


@pytest.mark.parametrize("case", CARD_CASES)
def test_card_check(cards, commands, case):
    tmp, before, bounds = cards
    damage, held_to, pattern = CARD_CASES[case]
    img = tmp / "case.img"
    shutil.copy(tmp / "good.img", img)
    if damage:
        damage(tmp, img, bounds)
    cmds = {2: commands[2], "without-p5": [c for c in commands[2] if "p5" not in c], "none": []}[held_to]
    verdict(lambda: card.check(img, before, cmds, tmp), pattern)


# ---- the console --------------------------------------------------------------

GOOD_CONSOLE = [
    "[    1.02] simple-pm-bus bus@40000000: probe", "systest: board ready", "Got type = 2, channel = 0",
    "cmd: mke2fs -t ext3 /dev/mmcblk0p3", "mke2fs 1.47.0 (5-Feb-2023)", "cmd: mke2fs -t ext3 /dev/mmcblk0p5",
    "mke2fs 1.47.0 (5-Feb-2023)", "Creating journal (1024 blocks): done", 'cmd: mkdosfs -F 32 /dev/mmcblk0p6 -n "DATA"',
    "mkfs.fat 4.2 (2021-01-31)", "cmd: reboot", "The system is going down NOW!", "[   16.62] reboot: Restarting system"]


def after(lines, start, new):
    i = next(i for i, line in enumerate(lines) if line.startswith(start))
    return lines[:i + 1] + [new] + lines[i + 1:]


def replaced(lines, old, new):
    return [line.replace(old, new) for line in lines]


def swapped(lines, a, b):
    return [b if line == a else a if line == b else line for line in lines]


def dropped(lines, start):
    return [line for line in lines if not line.startswith(start)]


def fault_sample(text):
    """A line as the program prints it: its format's fields filled in."""
    return text.replace("%08x", "00000000").replace("%d", "0").rstrip("\n")


P3, P5 = "cmd: mke2fs -t ext3 /dev/mmcblk0p3", "cmd: mke2fs -t ext3 /dev/mmcblk0p5"
CONSOLE_CASES = {
    "correct-log": (lambda c: c, None),
    "missing-banner": (lambda c: dropped(c, "Got type"), "missing or out of order: Got type = 2"),
    "wrong-channel": (lambda c: replaced(c, "channel = 0", "channel = 1"), "Got type = 2, channel = 0"),
    "partitions-out-of-order": (lambda c: swapped(c, P3, P5), "out of order: " + P5),
    "unquoted-label": (lambda c: replaced(c, '-n "DATA"', "-n DATA"), 'cmd: mkdosfs -F 32 /dev/mmcblk0p6 -n "DATA"'),
    "extra-command": (lambda c: after(c, "mkfs.fat", "cmd: rm /dev/ubiblk0"), "5 command lines on the console"),
    "repeated-command": (lambda c: after(c, "mkfs.fat", P5), "printed 2 times"),
    "tool-asked": (lambda c: after(c, "mke2fs 1.47", "Proceed anyway? (y,N)"), "Proceed anyway?"),
    "no-kernel-restart": (lambda c: dropped(c, "[   16.62]"), "never restarted"),
    "partition-mounted-by-init": (lambda c: after(c, P3, "/dev/mmcblk0p3 is mounted; will not make a filesystem here!"),
                                  "the card's partitions were mounted when the updater formatted them"),
    "tool-missing-dash": (lambda c: after(c, P3, "sh: 1: mke2fs: not found"), "a command's tool is not in the image"),
}
# Every line the program prints only when something failed, read from its
# headers.
for _name, _text in board.fault_lines_by_name().items():
    CONSOLE_CASES["fault-line-" + _name] = (
        lambda c, t=_text: after(c, "systest: board ready", fault_sample(t)), "unexpected console output: " +
        fault_sample(_text.split("%")[0]).strip())


@pytest.mark.parametrize("case", CONSOLE_CASES)
def test_console_check(commands, case):
    change, pattern = CONSOLE_CASES[case]
    verdict(lambda: console.console(change(list(GOOD_CONSOLE)), 2, 0, commands[2]), pattern and re.escape(pattern))


def test_console_check_without_recorded_commands():
    with pytest.raises(AssertionError, match="no commands recorded"):
        console.console(GOOD_CONSOLE, 2, 0, [])


ORDER_CASES = {
    "each-line-before-its-tool": (lambda c: c, None),
    "line-after-its-tool": (lambda c: swapped(c, 'cmd: mkdosfs -F 32 /dev/mmcblk0p6 -n "DATA"', "mkfs.fat 4.2 (2021-01-31)"),
                            "out of order"),
    "all-lines-at-the-end": (lambda c: [x for x in c if not x.startswith(("Got type", "cmd: "))] +
                             [x for x in c if x.startswith(("Got type", "cmd: "))], "out of order"),
}


@pytest.mark.parametrize("case", ORDER_CASES)
def test_log_order_check(commands, case):
    change, pattern = ORDER_CASES[case]
    verdict(lambda: console.log_order(change(list(GOOD_CONSOLE)), 0, commands[2]), pattern)


NAND_CONSOLE_CASES = {
    "correct-nand-log": (lambda c: c, None),
    "touch-panel-missing": (lambda c: after(c, "Got type", "CTP is not present."),
                            "unexpected console output: CTP is not present."),
    "storage-command-skipped": (lambda c: dropped(c, "cmd: ubimkvol"),
                                "missing or out of order: cmd: ubimkvol /dev/ubi0 -m -N test"),
    "reboot-before-the-last-command": (lambda c: after(dropped(c, "cmd: reboot"), "cmd: cp -r", "cmd: reboot"),
                                       "out of order: cmd: reboot"),
    # The updater goes on past a failed command: the shell's line is all.
    "tool-missing-ash": (lambda c: after(c, "cmd: flash_eraseall", "sh: flash_eraseall: not found"),
                         "a command's tool is not in the image: ['sh: flash_eraseall: not found']"),
}


def good_reports(panel):
    return ["systest: board ready", "systest: the updater has ended", "systest: OSD start requests answered: 1",
            "systest: osd-check: ok", "systest: fb1 bits_per_pixel = %d" % panel.bpp,
            "systest: fb1 stride = %d" % panel.stride, "systest: fb1 virtual_size = %d,%d" % (panel.width, panel.height)]


REPORT_CASES = {
    "all-reported": (lambda r: r, None),
    "set-up-unfinished": (lambda r: dropped(r, "systest: board ready"), "the guest's set-up never finished"),
    "guest-step-failed": (lambda r: after(r, "systest: board ready", "systest: flash_eraseall /dev/mtd3 failed"),
                          "a step of the guest's own scripts failed"),
    "two-osd-starts": (lambda r: replaced(r, "answered: 1", "answered: 2"), "exactly one OSD start request"),
}


@pytest.mark.parametrize("case", REPORT_CASES)
def test_guest_report_check(case):
    change, pattern = REPORT_CASES[case]
    verdict(lambda: console.guest_reports(change(good_reports(board.PANEL_16)), board.PANEL_16),
            pattern and re.escape(pattern))


@pytest.mark.parametrize("case", NAND_CONSOLE_CASES)
def test_nand_console_check(commands, case):
    good = ["systest: board ready"] + console.expected_lines(1, 0, commands[1]) + ["reboot: Restarting system"]
    change, pattern = NAND_CONSOLE_CASES[case]
    verdict(lambda: console.console(change(good), 1, 0, commands[1]), pattern and re.escape(pattern))


# ---- the UBI image ------------------------------------------------------------
# ubinize (the host's mtd-utils) writes the layout volume; the rest of a
# freshly ubiformatted partition is eraseblocks holding only ubinize's own
# erase-counter header. A small chip: 64 eraseblocks of 128 KiB, 2 KiB pages,
# of which UBI keeps 2 for the layout, 2 for itself and 2 for bad blocks.
PEB, LEB, PEBS, AVAILABLE, BEB_LIMIT = 131072, 129024, 64, 58, 20


def make_ubi(out, tmp, *volumes):
    """A UBI image of VOLUMES (name, type, LEBs, id, image) as ubinize makes it."""
    ini = "".join("[%s]\nmode=ubi\nvol_id=%d\nvol_type=%s\nvol_name=%s\nvol_size=%d\n%s" % (
        name, vid, kind, name, lebs * LEB, "image=%s\n" % image if image else "")
        for name, kind, lebs, vid, image in volumes)
    (tmp / "ubi.ini").write_text(ini)
    subprocess.run(["ubinize", "-o", str(tmp / "layout.ubi"), "-p", "128KiB", "-m", "2048", "-s", "512", "-Q",
                    "12345", str(tmp / "ubi.ini")], check=True, stdout=subprocess.DEVNULL)
    layout = (tmp / "layout.ubi").read_bytes()
    free = layout[:64] + b"\xff" * (PEB - 64)
    out.write_bytes(layout + free * (PEBS - len(layout) // PEB))
    return out


def erase(img, *pebs):
    with open(img, "r+b") as f:
        for n in pebs:
            f.seek(n * PEB)
            f.write(b"\xff" * PEB)


@pytest.fixture(scope="module")
def ubi(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("ubi")
    (tmp / "volume.bin").write_text("old user data\n")
    test = ("test", "dynamic", AVAILABLE, 0, None)
    return tmp, {
        "good": make_ubi(tmp / "good.ubi", tmp, test),
        "smaller": make_ubi(tmp / "smaller.ubi", tmp, test[:2] + (AVAILABLE - 1, 0, None)),
        "static": make_ubi(tmp / "static.ubi", tmp, ("test", "static", AVAILABLE, 0, tmp / "volume.bin")),
        "named": make_ubi(tmp / "named.ubi", tmp, ("data",) + test[1:]),
        "two": make_ubi(tmp / "two.ubi", tmp, ("test", "dynamic", 50, 0, None), ("spare", "dynamic", 8, 1, None)),
        "data": make_ubi(tmp / "data.ubi", tmp, test[:4] + (tmp / "volume.bin",)),
    }


# id: the image, the damage, the bad eraseblocks named, the message.
UBI_CASES = {
    "fresh-volume-taking-all-space": ("good", None, None, None),
    "changed-erase-counter": ("good", lambda i: flip(i, 40 * PEB + 15), None,
                              "eraseblock 40: erase-counter header CRC is wrong"),
    "erased-eraseblock": ("good", lambda i: erase(i, 63), None, "eraseblock 63: no erase-counter header"),
    "damaged-volume-table-record": ("good", lambda i: flip(i, PEB + 2048 + 16), None,
                                    "volume table copy 1: record 0 CRC is wrong"),
    "lost-layout-eraseblock": ("good", lambda i: erase(i, 0), None, "1 layout-volume eraseblocks, expected 2"),
    "volume-one-eraseblock-short": ("smaller", None, None, "volume takes 57 eraseblocks, all available is 58"),
    "static-volume": ("static", None, None, "volume is not dynamic"),
    "another-name": ("named", None, None, "volume named 'data', expected 'test'"),
    "two-volumes": ("two", None, None, "2 volumes, expected 1"),
    # A worn chip: eraseblocks ubiformat skipped hold no UBI header, and the
    # volume keeps its size (UBI's bad-block reserve shrinks by as many).
    "bad-eraseblocks-named": ("good", lambda i: erase(i, 20, 63), "20,63", None),
    "bad-eraseblock-not-named": ("good", lambda i: erase(i, 20, 40, 63), "20,63",
                                 "eraseblock 40: no erase-counter header"),
}


@pytest.mark.parametrize("case", UBI_CASES)
def test_ubi_check(rig, ubi, case):
    tmp, images = ubi
    source, damage, bad, pattern = UBI_CASES[case]
    img = tmp / "case.ubi"
    shutil.copy(images[source], img)
    if damage:
        damage(img)
    options = ("--bad", bad) if bad else ()
    verdict(lambda: nand.ubi_image(rig.ubi_tool, img, PEB, PEBS, BEB_LIMIT, *options),
            pattern and re.escape(pattern))


def second_copy_of_leb0(img, sqnum):
    """A second copy of LEB 0 in the last eraseblock with other data and
    sequence number SQNUM; the first copy gets 5."""
    data = bytearray(img.read_bytes())
    vid_off, data_off = struct.unpack(">II", data[16:24])
    vid = lambda n: n * PEB + vid_off
    first = next(n for n in range(len(data) // PEB)
                 if data[vid(n):vid(n) + 4] == b"UBI!" and struct.unpack(">II", data[vid(n) + 8:vid(n) + 16]) == (0, 0))
    data[63 * PEB:64 * PEB] = data[first * PEB:(first + 1) * PEB]
    data[63 * PEB + data_off:63 * PEB + data_off + 14] = b"newer user dat"
    for n, sq in ((first, 5), (63, sqnum)):
        data[vid(n) + 40:vid(n) + 48] = struct.pack(">Q", sq)
        data[vid(n) + 60:vid(n) + 64] = struct.pack(">I", zlib.crc32(bytes(data[vid(n):vid(n) + 60])) ^ 0xffffffff)
    img.write_bytes(data)


@pytest.mark.parametrize("sqnum, leb0", [(6, b"newer user dat"), (4, b"old user data")], ids=["newer-wins", "older-loses"])
def test_volume_pulled_out(rig, ubi, sqnum, leb0):
    """Of two copies of a LEB, wherever each lies, the one with the higher
    sequence number is the volume's."""
    tmp, images = ubi
    shutil.copy(images["data"], tmp / "case.ubi")
    second_copy_of_leb0(tmp / "case.ubi", sqnum)
    nand.ubi_image(rig.ubi_tool, tmp / "case.ubi", PEB, PEBS, BEB_LIMIT, "--volume-out", tmp / "volume.img")
    volume = (tmp / "volume.img").read_bytes()
    assert volume.startswith(leb0) and len(volume) == AVAILABLE * LEB, \
        "the volume pulled out starts %r and holds %d bytes, expected %r and %d" % (
            volume[:len(leb0)], len(volume), leb0, AVAILABLE * LEB)


# ---- the user's data ----------------------------------------------------------

@pytest.fixture(scope="module")
def data_set(tmp_path_factory):
    """The data set, and the old partition's listing in the order its names
    were made and with every folder's order reversed."""
    tmp = tmp_path_factory.mktemp("data")
    dataset.make(str(tmp / "old-data"))
    made = [line.removeprefix("user/data/") for line in (tmp / "old-data/creation-order").read_text().splitlines()
            if line.startswith("user/data/")]
    for name, names in (("made", made), ("reversed", made[::-1]),
                        ("short", [n for n in made if n != "logs/day-04/log-294.txt"])):
        (tmp / name).write_text("".join(n + "\n" for n in names))
    return tmp


def drop_a_write(arrived):
    """One 4 KiB block of the large file never reached the flash."""
    with open(arrived / "big/recording.bin", "r+b") as f:
        f.seek(300 * 4096)
        f.write(b"\xff" * 4096)


def put(path, text):
    path.write_text(text)


# id: the listing the arrived tree is made for, the listing it is classed
# against, the change to what arrived, the message.
DATA_CASES = {
    "as-measured": ("made", "made", None, None),
    "dropped-write": ("made", "made", drop_a_write, "big/recording.bin: altered, expected identical"),
    "copy-stopped-early": ("made", "made", lambda a: [shutil.rmtree(a / d) for d in ("logs/day-09", "odd")],
                           "logs/day-09/log-299.txt: lost, expected identical"),
    "file-never-in-the-data": ("made", "made", lambda a: put(a / "FSCK0000.REC", "stray\n"),
                               "FSCK0000.REC: on the volume, but of no name"),
    "other-readme-surviving": ("made", "made", lambda a: shutil.copy(a.parent / "old-data/user/data/odd/Readme.txt",
                                                                     a / "odd/Readme.txt"),
                               "odd/Readme.txt: identical, expected altered"),
    # A POSIX cp opens the first name again: that name keeps the second's
    # bytes.
    "first-name-kept-by-posix-cp": ("made", "made", lambda a: (a / "odd/README.TXT").rename(a / "odd/Readme.txt"),
                                    "odd/README.TXT: renamed, expected identical"),
    "forbidden-name-arrived": ("made", "made", lambda a: put(a / "odd/star*.txt", "bytes of odd/star*.txt\n"),
                               "odd/star*.txt: identical, expected lost"),
    "name-changed-case": ("made", "made",
                          lambda a: (a / "logs/day-03/log-013.txt").rename(a / "logs/day-03/LOG-013.TXT"),
                          "logs/day-03/log-013.txt: renamed, expected identical"),
    # The pairs whose classes follow the old partition's order, listed the
    # other way round: what arrives then must follow that order.
    "as-measured-reversed": ("reversed", "reversed", None, None),
    "reversed-against-made": ("reversed", "made", None, "odd/README.TXT: altered, expected identical"),
    "made-against-reversed": ("made", "reversed", None, "links/first-name.txt: identical, expected lost"),
    # The old partition itself must have held exactly the data set.
    "name-missing-from-old-partition": ("made", "short", None,
                                        "logs/day-04/log-294.txt: in the data set, not on the old partition"),
}


@pytest.mark.parametrize("case", DATA_CASES)
def test_user_data_check(data_set, case):
    made_for, listed, change, pattern = DATA_CASES[case]
    arrived = data_set / ("arrived-" + case)
    dataset.write_expected(str(data_set / "old-data"), str(data_set / made_for), str(arrived))
    if change:
        change(arrived)
    verdict(lambda: nand.arrived_as_measured(data_set / "old-data", data_set / listed, arrived,
                                             data_set / ("classes-" + case)), pattern and re.escape(pattern))
