# SPDX-License-Identifier: MIT
"""The test board's SD card image, and the checks of what a mode-2 run left
on it.

The 128 MiB card (QEMU's SD model wants a power-of-two size): 1 and 2 primary,
8 MiB of known data each; 3 primary, 16 MiB, old ext4; 4 extended; 5 logical,
16 MiB, old ext2; 6 logical, the rest, old FAT32. Every byte outside the old
file systems starts as random data, so that any stray write there (a wrong
partition number, a tool writing past its partition, a rewritten table)
changes a checksum. What a run must have formatted, and how, is what the host
emulator recorded for the same command line (its commands.log): every other
byte of the card must be as it was."""
import hashlib
import json
import os
import re
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from . import board
from .build import output

SECTOR = 512
CARD_MIB = 128
TABLE = """label: dos
label-id: 0x0ca4d5e7
start=2048, size=16384, type=c
size=16384, type=83
size=32768, type=83
type=5
size=32768, type=83
type=b
"""
# The old file systems on the card: partition, kind, label.
OLD_FILE_SYSTEMS = ((3, "ext4", "OLDROOT"), (5, "ext2", "OLDHOME"), (6, "fat32", "OLDDATA"))
EXTENDED_TYPES = ("5", "f", "85")


def plan(commands):
    """The partitions a run formats, from the commands it ran: (number, kind,
    label) for each, in order."""
    mmc = re.escape(board.MMC_NODE_PREFIX)
    found = []
    for c in commands:
        if m := re.fullmatch(r"mke2fs -t ext3 %s[0-9]+p([0-9]+)" % mmc, c):
            found.append((int(m[1]), "ext3", None))
        elif m := re.fullmatch(r'mkdosfs -F 32 %s[0-9]+p([0-9]+) -n "(.*)"' % mmc, c):
            found.append((int(m[1]), "fat32", m[2]))
    return found


def table(img):
    """The partition table, without the image's own path."""
    t = json.loads(output("sfdisk", "-J", img))["partitiontable"]
    parts = [{k: v for k, v in p.items() if k != "node"} | {"number": int(re.search(r"(\d+)$", p["node"])[1])}
             for p in t["partitions"]]
    return {"label": t["label"], "id": t["id"], "partitions": parts}


def part(img, n):
    """(start, size) of partition N in bytes."""
    p = next(p for p in table(img)["partitions"] if p["number"] == n)
    return p["start"] * SECTOR, p["size"] * SECTOR


def extract(img, n, out):
    start, size = part(img, n)
    with open(img, "rb") as f, open(out, "wb") as o:
        f.seek(start)
        o.write(f.read(size))
    return out


def insert(img, n, fs):
    start, size = part(img, n)
    data = Path(fs).read_bytes()
    assert len(data) <= size, "%s does not fit partition %d" % (fs, n)
    with open(img, "r+b") as f:
        f.seek(start)
        f.write(data)


def make_fs(img, n, kind, label, tmp):
    """A file system of KIND filling partition N."""
    fs = Path(tmp) / ("p%d.fs" % n)
    fs.unlink(missing_ok=True)
    with open(fs, "wb") as f:
        f.truncate(part(img, n)[1])
    if kind.startswith("ext"):
        cmd = ["mke2fs", "-q", "-F", "-t", kind, "-L", label, fs]
    else:
        cmd = ["mkfs.fat", "-F", "32", "-n", label, "-i", "0badcafe", fs]
    subprocess.run([str(c) for c in cmd], check=True, stdout=subprocess.DEVNULL)
    insert(img, n, fs)
    fs.unlink()


def partition_table(img, script):
    subprocess.run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", str(img)], input=script,
                   text=True, check=True)


def create(img, tmp):
    """A fresh card: random bytes, the table, the old file systems."""
    Path(tmp).mkdir(parents=True, exist_ok=True)
    with open(img, "wb") as f:
        f.write(os.urandom(CARD_MIB << 20))
    partition_table(img, TABLE)
    for n, kind, label in OLD_FILE_SYSTEMS:
        make_fs(img, n, kind, label, tmp)


def extents(img):
    """The card split at every partition boundary: (name, start, bytes), the
    name "partition-N" inside partition N, "extended-outside-L1-L2...@START"
    inside the extended partition outside its logical ones, else
    "outside-partitions@START" (START in sectors)."""
    parts = table(img)["partitions"]
    total = os.path.getsize(img) // SECTOR
    ext = next((p for p in parts if p["type"].lower() in EXTENDED_TYPES), None)
    logical = "".join("-%d" % p["number"] for p in parts if p["number"] > 4)
    cuts = sorted({0, total} | {p["start"] for p in parts} | {p["start"] + p["size"] for p in parts})
    found = []
    for a, b in zip(cuts, cuts[1:]):
        inside = [p for p in parts if p is not ext and p["start"] <= a and b <= p["start"] + p["size"]]
        if inside:
            name = "partition-%d" % inside[0]["number"]
        elif ext and ext["start"] <= a and b <= ext["start"] + ext["size"]:
            name = "extended-outside%s@%d" % (logical, a)
        else:
            name = "outside-partitions@%d" % a
        found.append((name, a * SECTOR, (b - a) * SECTOR))
    return found


def sha(img, start, size):
    h = hashlib.sha256()
    with open(img, "rb") as f:
        f.seek(start)
        while size > 0:
            chunk = f.read(min(size, 1 << 20))
            h.update(chunk)
            size -= len(chunk)
    return h.hexdigest()


def blkid(path):
    out = output("blkid", "-p", "-o", "export", path, check=False)
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


@dataclass
class Before:
    """The card as a run found it."""
    table: dict
    hashes: list = field(default_factory=list)
    ids: dict = field(default_factory=dict)


def record(img, tmp, skip=()):
    """The state check() compares against; extents named in SKIP are not held
    byte for byte (a running system writes to them)."""
    before = Before(table(img))
    for name, start, size in extents(img):
        if name not in skip:
            before.hashes.append((name, start, size, sha(img, start, size)))
        if name.startswith("partition-") and name not in skip:
            n = int(name.split("-")[1])
            before.ids[n] = blkid(extract(img, n, Path(tmp) / "old.fs"))
    (Path(tmp) / "old.fs").unlink(missing_ok=True)
    return before


def check(img, before, commands, tmp):
    """Everything a correct mode-2 run of COMMANDS leaves on the card: the
    planned partitions freshly formatted, every other byte as it was."""
    formats = plan(commands)
    assert formats, "no partition to check: no formatting command among %s" % commands
    now = table(img)
    assert now == before.table, "the partition table changed: %s" % table_changes(before.table, now)
    formatted = {"partition-%d" % n for n, _, _ in formats}
    for name, start, size, want in before.hashes:
        if name not in formatted:
            assert sha(img, start, size) == want, "%s (%d bytes at %d) changed" % (name, size, start)
    for n, kind, label in formats:
        fs = extract(img, n, Path(tmp) / ("p%d.fs" % n))
        try:
            (fresh_ext3 if kind == "ext3" else fresh_fat32)(fs, n, before.ids.get(n, {}), label)
        finally:
            fs.unlink()


def table_changes(was, now):
    """What differs between two partition tables, for a message."""
    changes = ["%s %s, was %s" % (k, now[k], was[k]) for k in ("label", "id") if now[k] != was[k]]
    old = {p["number"]: p for p in was["partitions"]}
    for p in now["partitions"]:
        q = old.pop(p["number"], {})
        changes += ["partition %d %s %s, was %s" % (p["number"], k, v, q.get(k)) for k, v in p.items() if q.get(k) != v]
    return "; ".join(changes + ["partition %d gone" % n for n in old])


def complete(img, before, commands, tmp):
    """Whether check() holds."""
    try:
        check(img, before, commands, tmp)
    except AssertionError:
        return False
    return True


def fresh_ext3(fs, n, old, _label):
    """A fresh, clean ext3 file system filling partition N, not the one before."""
    ids = blkid(fs)
    assert ids.get("TYPE") == "ext3", "partition %d: blkid type '%s', expected ext3" % (n, ids.get("TYPE", ""))
    assert ids.get("UUID") and ids["UUID"] != old.get("UUID"), \
        "partition %d: UUID '%s' is not new (before: '%s')" % (n, ids.get("UUID", ""), old.get("UUID", ""))
    assert "LABEL" not in ids, "partition %d: the old label '%s' is still there" % (n, ids["LABEL"])
    header = output("dumpe2fs", "-h", fs, check=False)
    fields = dict(re.findall(r"^([^:\n]+):\s+(.*)$", header, re.M))
    assert fields.get("Filesystem state") == "clean", \
        "partition %d: state '%s', expected clean" % (n, fields.get("Filesystem state"))
    features = fields.get("Filesystem features", "").split()
    assert "has_journal" in features, "partition %d: no journal among %s" % (n, features)
    ext4 = sorted({"extent", "64bit", "flex_bg"} & set(features))
    assert not ext4, "partition %d: ext4 features present: %s" % (n, ext4)
    covered = int(fields.get("Block count", 0)) * int(fields.get("Block size", 0))
    assert covered == os.path.getsize(fs), \
        "partition %d: the file system covers %d of %d bytes" % (n, covered, os.path.getsize(fs))
    fsck = subprocess.run(["e2fsck", "-fn", str(fs)], capture_output=True, text=True)
    assert fsck.returncode == 0, "partition %d: e2fsck -fn reports problems:\n%s" % (n, fsck.stdout + fsck.stderr)


def fresh_fat32(fs, n, old, label):
    """A fresh, clean FAT32 file system labelled LABEL filling partition N."""
    ids = blkid(fs)
    got = (ids.get("TYPE", ""), ids.get("VERSION", ""))
    assert got == ("vfat", "FAT32"), "partition %d: blkid '%s' '%s', expected vfat FAT32" % ((n,) + got)
    assert ids.get("LABEL", "") == label, "partition %d: label '%s', expected '%s'" % (n, ids.get("LABEL", ""), label)
    assert ids.get("UUID") and ids["UUID"] != old.get("UUID"), \
        "partition %d: volume id '%s' is not new (before: '%s')" % (n, ids.get("UUID", ""), old.get("UUID", ""))
    fsck = subprocess.run(["fsck.fat", "-n", str(fs)], capture_output=True, text=True)
    assert fsck.returncode == 0, "partition %d: fsck.fat -n reports problems:\n%s" % (n, fsck.stdout + fsck.stderr)


# The Debian card (MiB), numbered like the BusyBox boots' card: 1 known data,
# 2 the root, 3 old ext4, 4 extended, 5 old ext2, 6 old FAT32.
DEBIAN_CARD_MIB, DEBIAN_ROOT_MIB = 512, 360
DEBIAN_TABLE = """label: dos
label-id: 0x0ca4d5e8
start=2048, size=%d, type=c
size=%d, type=83
size=%d, type=83
type=5
size=%d, type=83
type=b
""" % (8 << 11, DEBIAN_ROOT_MIB << 11, 16 << 11, 16 << 11)


def create_debian(img, root, tmp):
    """The Debian card: random bytes everywhere but partition 2, which holds
    ROOT as an ext4 file system written without mounting, and the old file
    systems of 3, 5 and 6."""
    start, size = (2048 + (8 << 11)) * SECTOR, DEBIAN_ROOT_MIB << 20
    with open(img, "wb") as f:
        f.write(os.urandom(start))
        f.seek(start + size)
        f.write(os.urandom((DEBIAN_CARD_MIB << 20) - start - size))
    partition_table(img, DEBIAN_TABLE)
    assert part(img, 2) == (start, size), "partition 2 is not where the card was filled around"
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-L", "debian-root", "-E", "offset=%d" % start,
                    "-d", str(root), str(img), str(size // 1024)], check=True)
    for n, kind, label in OLD_FILE_SYSTEMS:
        make_fs(img, n, kind, label, tmp)
