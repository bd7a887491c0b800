# SPDX-License-Identifier: MIT
"""Mode 1 on simulated NAND with two bad eraseblocks in mtd6, the stand-in
block driver, YAFFS2 and the FAT modules loaded, and the user's data on a
YAFFS2 partition on mtd3: UBI built as ubiformat and ubimkvol make it, the
data copied into its FAT32 volume as measured, the program waiting for the
card to be pulled before it reboots."""
import re
import subprocess

import dataset
from rig import board, card, nand
from rig.console import has_line, related
from rig.runs import MODE1, mode1_as_planned, mode1_boot


def pack_user_data(initramfs, folder):
    """The data set, made afresh, packed as one archive in the order its files
    were made (the guest's set-up makes them on the YAFFS partition in that
    order), that archive, /old-data.cpio, a second archive behind the image's
    initramfs (the kernel unpacks one after the other)."""
    dataset.make(str(folder / "old-data"))
    subprocess.run("cd old-data && cpio -o -H newc -R 0:0 --quiet <creation-order >../old-data.cpio",
                   shell=True, cwd=folder, check=True)
    initrd = folder / "initramfs-data.cpio"
    data = initramfs.read_bytes()
    # An archive that is not compressed must start on a 4-byte boundary.
    initrd.write_bytes(data + b"\0" * (-len(data) % 4))
    subprocess.run("echo old-data.cpio | cpio -o -H newc -R 0:0 --quiet >>%s" % initrd, shell=True, cwd=folder,
                   check=True)
    return initrd


def old_partition(lines, folder):
    """Command 8 mounted the YAFFS partition, and only that, at /blk for the
    copy; the kernel's word that yaffs picked YAFFS2 for the 2 KiB pages (only
    "-t yaffs" makes it say so; the set-up mounts as yaffs2). Gives the
    listing of /blk the copy met."""
    names = sum(1 for _ in (folder / "old-data/user/data").rglob("*")) + 1
    assert any(line.startswith("systest: old data on mtd3: %d names;" % names) for line in lines), \
        "mode1: the set-up did not write the whole data set (%d names) to mtd3: %s" % (
            names, related(lines, "old data", "mtd3", "yaffs2multi"))
    blk = [m[1] for line in lines if (m := re.match(r"systest: mounted during the copy: (\S+ /blk \S+) ", line))]
    assert blk == ["/dev/mtdblock3 /blk yaffs"], \
        "mode1: while the copy ran /blk was not exactly one yaffs mount of /dev/mtdblock3: %s" % blk
    assert any(re.match(r"systest: kernel: .*auto selecting yaffs2$", line) for line in lines), \
        "mode1: the kernel did not log that mount -t yaffs picked YAFFS2: %s" % related(lines, "yaffs")
    listing = [line.removeprefix("systest: listed at the copy: ") for line in lines
               if line.startswith("systest: listed at the copy: ")]
    assert listing, "mode1: no listing of /blk from the copy: %s" % related(lines, "copy was never", "no listing")
    (folder / "listing.txt").write_text("".join(name + "\n" for name in listing))
    return folder / "listing.txt"


def nand_as_made(rig, kpart, lines, folder):
    """The guest's own view (one volume, nothing left over, the worn chip's bad
    eraseblocks known to UBI), then its raw copy of mtd6 read on the host."""
    has_line(lines, "systest: /dev/mtd6 copied to the spare disk", "mode1: the guest did not copy /dev/mtd6 out",
             "mtd6")
    for fact in ("volumes_count = 1", "avail_eraseblocks = 0", "bad_peb_count = %d" % len(board.NAND_BAD_PEBS)):
        has_line(lines, "systest: ubi ubi0/" + fact, "mode1: UBI does not report %s" % fact, "systest: ubi ")
    beb = re.search(r"^CONFIG_MTD_UBI_BEB_LIMIT=(\d+)$", (kpart / "boot/kernel.config").read_text(), re.M)
    assert beb, "the kernel's configuration has no CONFIG_MTD_UBI_BEB_LIMIT"
    print(nand.ubi_image(rig.ubi_tool, folder / "mtd6.img", board.NAND_PEB, board.NAND_CHIP_PEBS, beb[1],
                         "--bad", nand.mtd6_bad(), "--volume-out", folder / "volume.img"))


def test_mode1(rig, kpart, busybox, boot, fresh_card, reference, boot_work):
    card_sha = card.sha(fresh_card.path, 0, fresh_card.path.stat().st_size)
    initrd = pack_user_data(busybox / "initramfs.cpio.gz", boot_work)
    ref = reference("mode1", MODE1, board.PANEL_16, "--card-removal", "polls=5")
    cmdline = "%s systest.badblocks=%s systest.ubiblk systest.yaffs" % (
        MODE1, ",".join(map(str, board.NAND_BAD_PEBS)))
    run = mode1_boot(boot, fresh_card, initrd, cmdline, ref, boot_work)
    failed = [line for line in run.console if nand.MKDOSFS_FAILED.split("%")[0] in line]
    assert not failed, "mode1: with the block driver mkdosfs must succeed, the console said %s" % failed
    listing = old_partition(run.console, boot_work)
    nand_as_made(rig, kpart, run.console, boot_work)
    nand.volume_files(boot_work / "volume.img", boot_work / "arrived")
    nand.arrived_as_measured(boot_work / "old-data", listing, boot_work / "arrived", boot_work / "dataset-classes.txt")
    mode1_as_planned(run, ref, card_sha, boot_work, rig.png_tool)
