# SPDX-License-Identifier: MIT
"""The initramfs images every BusyBox boot takes, which their fixtures pack
only after updater-check-image found the root ready: the Buildroot-made
system and its copy with the static program."""
import pytest

from rig.build import output


@pytest.mark.parametrize("system", ["busybox", "static_busybox"])
def test_initramfs_holds_the_system(request, system):
    """The packed archive holds every name of the checked root, and no other."""
    folder = request.getfixturevalue(system)
    listed = output("bash", "-c", 'gzip -dc "$1" | cpio -t --quiet', "list", folder / "initramfs.cpio.gz").split()
    names = [n.removeprefix("./") for n in output("bash", "-c", 'cd "$1" && find .', "find", folder / "rootfs").split()]
    assert sorted(listed) == sorted(names), "%s/initramfs.cpio.gz: %d names, its root %d" % (
        folder, len(listed), len(names))
