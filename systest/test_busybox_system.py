# SPDX-License-Identifier: MIT
"""The board's BusyBox system as Buildroot makes it with the project's
external tree (systest/buildroot): the program's package built from the tree
as it stands, not from an older copy kept with the cached system, and the
program it installed fit for the board. Its fixture has already found the
image ready for modes 1, 2 and 3 with updater-check-image."""
import filecmp
import shutil

from rig import images
from rig.build import locked, output, tree_files


def test_package_built_from_the_tree(rig, work, busybox):
    """Buildroot's copy of the package's source (its local site method) is
    the tree: a change the cache key or Buildroot's stamps missed would boot
    an older program."""
    copies = sorted((work / "buildroot/output/build").glob("orvane-updater-*"))
    assert len(copies) == 1, "not one copy of the package's source in Buildroot's output: %s" % copies
    copy = copies[0]
    differ = [f for f in tree_files(rig.source)
              if not (copy / f).is_file() or not filecmp.cmp(rig.source / f, copy / f, shallow=False)]
    assert not differ, "Buildroot built the program from a copy that differs from the tree in %d files: %s" % (
        len(differ), differ[:5])


def test_installed_program(busybox):
    """Buildroot's compiler flags do not take the program's own: FreeType,
    no C++ runtime, 64-bit time."""
    print("the image's program needs:", images.dynamic_program(busybox / "rootfs/usr/sbin/updater",
                                                               "the program Buildroot installed"))


def test_cache_key_is_the_same_in_another_clone(rig, work, buildroot_base, tmp_path):
    """The board's system is kept in the machine's cache for every clone: its
    key names nothing of the clone's folder, or each new clone (CI's among
    them) would build the whole system again."""
    clone = tmp_path / "another-clone"
    for part in ("CMakeLists.txt", "systest/options.sh", "systest/buildroot", "buildroot-external",
                 "third_party/buildroot"):
        (clone / part).parent.mkdir(parents=True, exist_ok=True)
        copy = shutil.copy if (rig.source / part).is_file() else shutil.copytree
        copy(rig.source / part, clone / part)
    with locked(work / "buildroot.lock"):
        keys = [output("bash", root / "systest/buildroot/build.sh", "key", "--work", folder).strip().splitlines()[-1]
                for root, folder in ((rig.source, work / "buildroot"), (clone, tmp_path / "work"))]
    assert keys[0] == keys[1], "the board's system has key %s in this clone and %s in another one" % tuple(keys)
