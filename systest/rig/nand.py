# SPDX-License-Identifier: MIT
"""Mode 1's results read on the host: the UBI image in a raw copy of the
NAND user area, the FAT32 volume in it, and the user's data on the volume,
every name classed as measured (dataset.py)."""
import contextlib
import io
import os
import subprocess

from . import board
import dataset

MKDOSFS_FAILED = board.c_defines("updater/mode_nand.h")["NAND_MKDOSFS_FAILED"].rstrip("\n")


def mtd6_bad():
    """The chip's bad eraseblocks counted from mtd6's start: "N,M"."""
    return ",".join(str(b - board.NAND_MTD6_FIRST) for b in board.NAND_BAD_PEBS)


def ubi_image(tool, image, peb, pebs, beb_limit, *options):
    """The image ubiformat and ubimkvol make, one dynamic volume "test" taking
    all available eraseblocks (ubi-check's OPTIONS: --bad, --volume-out)."""
    p = subprocess.run([str(tool), str(image), str(peb), str(pebs), str(beb_limit), "test", *map(str, options)],
                       capture_output=True, text=True)
    assert p.returncode == 0, "%s is not the UBI image ubiformat and ubimkvol make:\n%s" % (image, p.stdout + p.stderr)
    return p.stdout


def volume_files(volume, arrived):
    """The FAT32 volume clean, and its files copied out to ARRIVED."""
    fsck = subprocess.run(["fsck.fat", "-n", str(volume)], capture_output=True, text=True)
    assert fsck.returncode == 0, "fsck.fat -n finds faults in the FAT32 volume:\n" + fsck.stdout + fsck.stderr
    arrived.mkdir(parents=True)
    # The volume's fake MBR confuses mtools' partition check; names come out
    # as UTF-8 only under a UTF-8 locale.
    mcopy = subprocess.run(["mcopy", "-s", "-n", "-m", "-i", str(volume), "::/*", str(arrived) + "/"],
                           capture_output=True, text=True,
                           env={**os.environ, "MTOOLS_SKIP_CHECK": "1", "LC_ALL": "C.UTF-8"})
    assert mcopy.returncode == 0, "the FAT32 volume's files cannot be copied out:\n" + mcopy.stdout + mcopy.stderr


def arrived_as_measured(old_data, listing, arrived, report):
    """Every name of the data set classed exactly as measured, for the order
    the old partition LISTING gave."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = dataset.run_classify(str(old_data), str(listing), str(arrived), str(report))
    print(out.getvalue(), end="")
    faults = [line for line in out.getvalue().splitlines() if line.startswith("FAULT")]
    assert status == 0, "the user's data did not arrive as measured (every name's class: %s):\n%s" % (
        report, "\n".join(faults))
