# SPDX-License-Identifier: MIT
"""The Debian package cross-built for the board, as its maintainer scripts
and lintian see it: the program, both start-up files, the defaults file a
conffile, the manual page; the unit enabled at install and nothing started;
FreeType in Depends and no board tool."""
import re
import subprocess

import pytest

from rig.build import output

FILES = ("/usr/sbin/updater", "/lib/systemd/system/updater.service", "/etc/init.d/updater", "/etc/default/updater",
         "/usr/share/man/man8/updater.8.gz", "/usr/share/doc/orvane-updater/copyright")


def test_lintian(deb_package):
    """No error and no warning; overrides only as the package states them."""
    p = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0",
                        str(deb_package.changes)], capture_output=True, text=True)
    print(p.stdout)
    assert p.returncode == 0, "lintian: %s" % [line for line in p.stdout.splitlines() if line[:3] in ("E: ", "W: ")]


@pytest.mark.parametrize("path", FILES)
def test_holds(deb_package, path):
    assert path in deb_package.contents, "the package does not hold %s" % path


def test_contents_and_fields(deb_package):
    deb = deb_package.deb
    assert output("dpkg-deb", "-f", deb, "Architecture").strip() == "armhf", "the package is not for armhf"
    emulator = [f for f in deb_package.contents if re.search("libupdater_board|updater-sim", f)]
    assert not emulator, "the package holds the board emulator: %s" % emulator
    assert "/etc/default/updater" in (deb_package.control / "conffiles").read_text().split(), \
        "/etc/default/updater is not a conffile"
    depends = output("dpkg-deb", "-f", deb, "Depends").strip()
    assert re.search(r"(^|, )libfreetype6( |,|$)", depends), "Depends lacks libfreetype6: %s" % depends
    # A board that runs one mode only is not made to take the other mode's tools.
    tools = re.findall("mtd-utils|dosfstools|e2fsprogs|kmod", depends)
    assert not tools, "board tools in Depends: %s (%s)" % (tools, depends)


def test_postinst_enables_and_starts_nothing(deb_package):
    """On this boot the program would format storage: the package's scripts
    enable the unit and start neither it nor the init script. A unit left to
    the administrator (dh_installsystemd --no-enable) is enabled only where an
    earlier installation had it (debian-installed)."""
    postinst = (deb_package.control / "postinst").read_text()
    assert "deb-systemd-helper enable 'updater.service'" in postinst and \
        "deb-systemd-helper debian-installed 'updater.service'" not in postinst, \
        "the postinst does not enable updater.service on a first installation"
    starts = re.findall(r"deb-systemd-invoke .*start.*|invoke-rc\.d .*(?:start|restart).*", postinst)
    assert not starts, "the postinst starts the updater: %s" % starts
